#include "adaptors/SyslogMessage.h"

#include <algorithm>
#include <vector>

#include "adaptors/VariantText.h"
#include "core/OleDate.h"
#include "core/Utf.h"

namespace hv::host {
namespace {

constexpr size_t kMaxHostname = 255;
constexpr size_t kMaxAppName = 48;
constexpr size_t kMaxParamName = 32;
// Below this the header and the note about left-out parameters might not
// fit; the configuration allows no smaller limit.
constexpr size_t kMinMessageBytes = 1024;
// Room kept for ` omitted="4294967295"` when parameters must be left out.
constexpr size_t kOmittedRoom = 22;
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr int64_t kDaysFrom1899To1970 = 25569;

// Printable US-ASCII is all a header field may hold: every other character
// (a space, a letter outside ASCII) becomes one "_".
std::string HeaderField(std::u16string_view text, size_t maxLength) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < maxLength; ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ++i;
    out += (c >= 33 && c <= 126) ? char(c) : '_';
  }
  return out;
}

// Parameter names are printable ASCII without "=", space, "]" and '"', at
// most 32 of them; an extended parameter's name is cut to fit the same way
// as a header field.
std::string ParamName(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < kMaxParamName; ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ++i;
    bool allowed = c >= 33 && c <= 126 && c != '=' && c != ']' && c != '"';
    out += allowed ? char(c) : '_';
  }
  return out.empty() ? "_" : out;
}

// ` name="value"` with '"', '\' and ']' escaped by a backslash.
std::string Param(std::string_view name, std::string_view value) {
  std::string out;
  out.reserve(name.size() + value.size() + 4);
  out += ' ';
  out += name;
  out += "=\"";
  for (char c : value) {
    if (c == '"' || c == '\\' || c == ']') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string Timestamp(double itemDate, std::chrono::system_clock::time_point received) {
  // 0.0 is the datetime of an item that nobody stamped.
  if (itemDate == 0.0) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(received.time_since_epoch()).count();
    itemDate = double(kDaysFrom1899To1970) + double(ms) / 86400000.0;
  }
  auto iso = OleDateToIso(itemDate);
  return iso ? *iso : "-";
}

// The longest prefix of `text` within `limit` bytes that does not end
// inside a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

struct SdParam {
  bool extended;
  std::string text;
};

}  // namespace

int SyslogMessage::Severity(int32_t itemSeverity) {
  if (itemSeverity & 1) return 3;  // Error: err
  if (itemSeverity & 2) return 4;  // Warning: warning
  if (itemSeverity & 8) return 5;  // Audit: notice
  return 6;                        // Info: info
}

std::string SyslogMessage::Format(const ItemRecord& item, std::chrono::system_clock::time_point received,
                                  const ForwarderSettings& settings) {
  const size_t maxBytes = std::max(settings.maxMessageBytes, kMinMessageBytes);

  std::string location = Utf16ToUtf8(item.location);
  std::string provider = Utf16ToUtf8(item.provider);
  std::string hostname = HeaderField(item.location, kMaxHostname);
  std::string appName = HeaderField(item.provider, kMaxAppName);
  if (hostname.empty()) hostname = settings.hostname.empty() ? "-" : settings.hostname;
  if (appName.empty()) appName = settings.appName.empty() ? "-" : settings.appName;

  std::string header = "<" + std::to_string(settings.facility * 8 + Severity(item.severity)) + ">1 " +
                       Timestamp(item.dateTime, received) + " " + hostname + " " + appName + " - " +
                       std::string(kMsgId) + " ";

  std::vector<SdParam> params;
  params.push_back({false, Param("audience", std::to_string(item.audience))});
  params.push_back({false, Param("severity", std::to_string(item.severity))});
  params.push_back({false, Param("verbosity", std::to_string(item.verbosity))});
  params.push_back({false, Param("user", Utf16ToUtf8(item.userName))});
  if (item.messageId != -1) params.push_back({false, Param("message_id", std::to_string(item.messageId))});
  // The header fields lose what is not printable ASCII; the full text
  // travels as data then.
  if (!location.empty() && location != hostname) params.push_back({false, Param("location", location)});
  if (!provider.empty() && provider != appName) params.push_back({false, Param("provider", provider)});
  for (size_t i = 0; i < item.arguments.size(); ++i)
    params.push_back({false, Param("arg" + std::to_string(i + 1), VariantToText(item.arguments[i]))});
  for (const ExtendedParam& e : item.extended)
    params.push_back({true, Param(ParamName(e.name), VariantToText(e.value))});

  std::string msg;
  if (!item.messageText.empty()) msg = std::string(kBom) + Utf16ToUtf8(item.messageText);
  else if (item.messageId != -1) msg = "resource " + std::to_string(item.messageId);

  // Within the limit the text has the first claim on up to half the room
  // after the header, the parameters on the rest in their order; a
  // parameter that does not fit is left out with all that follow it.
  const size_t budget = maxBytes - std::min(maxBytes, header.size());
  const size_t msgWant = msg.empty() ? 0 : 1 + msg.size();
  const size_t sdRoom = budget - std::min(msgWant, budget / 2);
  const size_t open = 2 + kSdId.size();
  const size_t openExtended = 2 + kExtendedSdId.size();

  size_t all = open;
  bool anyExtended = false;
  for (const SdParam& p : params) {
    if (p.extended && !anyExtended) all += openExtended, anyExtended = true;
    all += p.text.size();
  }
  size_t kept = params.size();
  if (all > sdRoom) {
    size_t used = open + kOmittedRoom;
    bool opened = false;
    for (kept = 0; kept < params.size(); ++kept) {
      size_t cost = params[kept].text.size() + (params[kept].extended && !opened ? openExtended : 0);
      if (used + cost > sdRoom) break;
      used += cost;
      opened = opened || params[kept].extended;
    }
  }

  std::string sd = "[" + std::string(kSdId);
  std::string extended;
  for (size_t i = 0; i < kept; ++i) (params[i].extended ? extended : sd) += params[i].text;
  if (kept < params.size()) sd += " omitted=\"" + std::to_string(params.size() - kept) + "\"";
  sd += "]";
  if (!extended.empty()) sd += "[" + std::string(kExtendedSdId) + extended + "]";

  const size_t msgRoom = budget - std::min(budget, sd.size());
  if (msgWant > msgRoom) {
    msg = msgRoom > 1 ? CutUtf8(msg, msgRoom - 1) : std::string();
    // Nothing of a text left but (part of) its byte order mark.
    if (msg.size() <= kBom.size() && !item.messageText.empty()) msg.clear();
  }

  std::string line = header + sd;
  if (!msg.empty()) line += " " + msg;
  return line;
}

std::string SyslogMessage::Frame(std::string_view message) {
  std::string framed = std::to_string(message.size());
  framed += ' ';
  framed += message;
  return framed;
}

}  // namespace hv::host
