#include "adaptors/ForwarderSettings.h"

#include <algorithm>
#include <cctype>

namespace hv::host {
namespace {

const char* const kFacilityNames[] = {"kern", "user", "mail", "daemon", "auth", "syslog",
                                      "lpr",  "news", "uucp", "cron",   "authpriv", "ftp"};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool Digits(std::string_view s, size_t maxDigits) {
  return !s.empty() && s.size() <= maxDigits &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A whole number from `low` to `high`, digits only.
bool ParseRange(std::string_view text, uint64_t low, uint64_t high, uint64_t* out) {
  if (!Digits(text, 12)) return false;
  uint64_t v = std::stoull(std::string(text));
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

// Header fields may hold printable US-ASCII only, without spaces.
bool PrintableAscii(std::string_view s, size_t maxLength) {
  return !s.empty() && s.size() <= maxLength &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= 33 && c <= 126; });
}

}  // namespace

bool SplitServerAddress(std::string_view text, std::string* host, uint16_t* port) {
  std::string_view h, p;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    // A bare IPv6 address would be ambiguous with its port.
    if (h.find(':') != std::string_view::npos) return false;
  }
  uint64_t n;
  if (h.empty() || !PrintableAscii(h, 255) || !ParseRange(p, 1, 65535, &n)) return false;
  *host = std::string(h);
  *port = uint16_t(n);
  return true;
}

bool ParseFacility(std::string_view text, int* facility) {
  std::string t = Lower(text);
  uint64_t n;
  if (ParseRange(t, 0, 23, &n)) return *facility = int(n), true;
  for (int i = 0; i < int(std::size(kFacilityNames)); ++i)
    if (t == kFacilityNames[i]) return *facility = i, true;
  if (t.size() == 6 && t.compare(0, 5, "local") == 0 && t[5] >= '0' && t[5] <= '7')
    return *facility = 16 + (t[5] - '0'), true;
  return false;
}

bool IsForwarderKey(std::string_view key) {
  return key == "server" || key == "facility" || key == "app_name" || key == "hostname" ||
         key == "buffer_items" || key == "reconnect_max_ms" || key == "max_message_bytes";
}

bool ApplyForwarderKey(std::string_view key, std::string_view value, ForwarderSettings* s, std::string* error) {
  uint64_t n;
  if (key == "server") {
    std::string host;
    uint16_t port;
    if (!SplitServerAddress(value, &host, &port))
      return *error = "server must be HOST:PORT with a port from 1 to 65535 ([ADDRESS]:PORT for IPv6)", false;
    s->server = std::string(value);
  } else if (key == "facility") {
    if (!ParseFacility(value, &s->facility))
      return *error = "facility must be a number from 0 to 23 or a name such as daemon or local0", false;
  } else if (key == "app_name") {
    if (!PrintableAscii(value, 48))
      return *error = "app_name must be 1 to 48 printable ASCII characters without spaces", false;
    s->appName = std::string(value);
  } else if (key == "hostname") {
    if (!PrintableAscii(value, 255))
      return *error = "hostname must be 1 to 255 printable ASCII characters without spaces", false;
    s->hostname = std::string(value);
  } else if (key == "buffer_items") {
    if (!ParseRange(value, 1, 10000000, &n)) return *error = "buffer_items must be a number from 1 to 10000000", false;
    s->bufferItems = size_t(n);
  } else if (key == "reconnect_max_ms") {
    if (!ParseRange(value, 100, 3600000, &n))
      return *error = "reconnect_max_ms must be a number from 100 to 3600000", false;
    s->reconnectMaxMs = int(n);
  } else if (key == "max_message_bytes") {
    if (!ParseRange(value, 1024, 1048576, &n))
      return *error = "max_message_bytes must be a number from 1024 to 1048576", false;
    s->maxMessageBytes = size_t(n);
  } else {
    return *error = "unknown key " + std::string(key), false;
  }
  return true;
}

}  // namespace hv::host
