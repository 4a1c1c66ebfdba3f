#include "store/Filter.h"

#include <cstdlib>
#include <set>

#include "core/ConfigFile.h"
#include "core/MiniXml.h"
#include "core/OleDate.h"
#include "core/Utf.h"

namespace hv::host {
namespace {

// 10000-01-01: OLE dates end before it.
constexpr double kEndOfDates = 2958466.0;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool ParseInteger(std::string_view s, int64_t min, int64_t max, int64_t* out) {
  bool negative = !s.empty() && s[0] == '-';
  std::string_view digits = negative ? s.substr(1) : s;
  if (!AllDigits(digits) || digits.size() > 10) return false;
  int64_t v = std::strtoll(std::string(digits).c_str(), nullptr, 10);
  if (negative) v = -v;
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

// An OLE DATE written as a plain decimal number ("45000.5"), or an ISO 8601
// UTC time.
bool ParseTime(std::string_view s, double* out) {
  if (s.size() >= 5 && s[4] == '-') return IsoToOleDate(s, out);
  size_t dot = s.find('.');
  std::string_view whole = s.substr(0, dot);
  if (!AllDigits(whole) || whole.size() > 7) return false;
  if (dot != std::string_view::npos && !AllDigits(s.substr(dot + 1))) return false;
  double v = std::strtod(std::string(s).c_str(), nullptr);
  if (!(v >= 0.0 && v < kEndOfDates)) return false;
  *out = v;
  return true;
}

class FilterReader {
 public:
  FilterReader(std::string_view document, Filter* filter, std::string* error)
      : document_(document), filter_(filter), error_(error) {}

  bool Read() {
    XmlElement root;
    std::string why;
    if (!MiniXml::Parse(document_, &root, &why)) return *error_ = "filter, " + why, false;
    if (root.name != "Filter") return Fail(root, "the document's element is <" + root.name + ">, not <Filter>");
    if (!root.attributes.empty()) return Fail(root, "<Filter> has no attributes; " + root.attributes[0].first + " is not known");
    if (!Trim(root.text).empty()) return Fail(root, "text directly inside <Filter>; every condition is an element of its own");
    std::set<std::string> seen;
    for (const XmlElement& e : root.children) {
      if (!seen.insert(e.name).second) return Fail(e, "<" + e.name + "> appears twice");
      if (!e.children.empty()) return Fail(e.children[0], "<" + e.name + "> holds text only, not <" + e.children[0].name + ">");
      if (!Condition(e)) return false;
    }
    if (filter_->from && filter_->before && !(*filter_->from < *filter_->before))
      return Fail(root, "<From> must be earlier than <Before>");
    return true;
  }

 private:
  bool Fail(const XmlElement& e, const std::string& what) {
    *error_ = "filter, " + MiniXml::Where(document_, e.offset) + ": " + what;
    return false;
  }

  bool NoAttributes(const XmlElement& e) {
    if (e.attributes.empty()) return true;
    return Fail(e, "<" + e.name + "> has no attribute " + e.attributes[0].first);
  }

  bool Mask(const XmlElement& e, bool severity, std::optional<uint32_t>* out) {
    if (!NoAttributes(e)) return false;
    uint32_t mask = 0;
    bool ok = severity ? ConfigFile::ParseSeverities(e.text, &mask) : ConfigFile::ParseAudiences(e.text, &mask);
    const char* names = severity ? "Error, Warning, Info, Audit" : "VELTRA, Dev, Eng, Op";
    if (!ok)
      return Fail(e, "<" + e.name + "> \"" + e.text + "\" is not a mask: a number 1 to 15, \"all\", or names (" +
                         names + ") joined by \",\", \"|\" or \"+\"");
    if (mask == 0) return Fail(e, "<" + e.name + "> selects nothing; leave the element out to select every value");
    *out = mask;
    return true;
  }

  bool Text(const XmlElement& e, std::optional<TextCondition>* out) {
    TextCondition c;
    for (const auto& a : e.attributes) {
      if (a.first != "match") return Fail(e, "<" + e.name + "> has no attribute " + a.first + " (only match)");
      if (a.second == "prefix") c.prefix = true;
      else if (a.second != "exact") return Fail(e, "match=\"" + a.second + "\" is neither \"exact\" nor \"prefix\"");
    }
    c.value = e.text;
    *out = std::move(c);
    return true;
  }

  bool Time(const XmlElement& e, std::optional<double>* out) {
    if (!NoAttributes(e)) return false;
    double v;
    std::string_view t = Trim(e.text);
    if (!ParseTime(t, &v))
      return Fail(e, "<" + e.name + "> \"" + std::string(t) +
                         "\" is not a time: YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS[.mmm]Z (UTC, years 1900 to 9999), or an "
                         "OLE date from 0 up to 2958466 written as a plain decimal number");
    *out = v;
    return true;
  }

  bool Condition(const XmlElement& e) {
    const std::string& n = e.name;
    if (n == "Severity") return Mask(e, true, &filter_->severities);
    if (n == "Audience") return Mask(e, false, &filter_->audiences);
    if (n == "Location") return Text(e, &filter_->location);
    if (n == "Provider") return Text(e, &filter_->provider);
    if (n == "User") return Text(e, &filter_->user);
    if (n == "From") return Time(e, &filter_->from);
    if (n == "Before") return Time(e, &filter_->before);
    if (n == "Text") {
      if (!NoAttributes(e)) return false;
      filter_->text = e.text;
      return true;
    }
    if (n == "MaxVerbosity") {
      int64_t v;
      if (!NoAttributes(e)) return false;
      if (!ParseInteger(Trim(e.text), INT32_MIN, INT32_MAX, &v))
        return Fail(e, "<MaxVerbosity> \"" + e.text + "\" is not a whole number within 32 bits");
      filter_->maxVerbosity = int32_t(v);
      return true;
    }
    if (n == "MaxCount") {
      int64_t v;
      if (!NoAttributes(e)) return false;
      if (!ParseInteger(Trim(e.text), 1, INT32_MAX, &v))
        return Fail(e, "<MaxCount> \"" + e.text + "\" is not a whole number from 1 to 2147483647");
      filter_->maxCount = uint32_t(v);
      return true;
    }
    return Fail(e, "unknown element <" + n +
                       "> (known: Severity, Audience, MaxVerbosity, From, Before, Location, Provider, User, Text, "
                       "MaxCount)");
  }

  std::string_view document_;
  Filter* filter_;
  std::string* error_;
};

}  // namespace

bool Filter::Parse(std::string_view document, Filter* filter, std::string* error) {
  *filter = Filter();
  if (Trim(document).empty()) return true;
  return FilterReader(document, filter, error).Read();
}

bool Filter::Parse(std::u16string_view document, Filter* filter, std::string* error) {
  if (document.size() > kMaxLength) {
    *error = "filter: " + std::to_string(document.size()) + " characters, more than " + std::to_string(kMaxLength);
    return false;
  }
  return Parse(std::string_view(Utf16ToUtf8(document)), filter, error);
}

}  // namespace hv::host
