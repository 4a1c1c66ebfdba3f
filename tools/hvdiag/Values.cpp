#include "tools/hvdiag/Values.h"

#include <oleauto.h>

#include <cmath>
#include <cstdio>
#include <cwchar>

#include "common/Unique.h"

namespace hv::diag {
namespace {

const wchar_t* const kSeverityNames[] = {L"Error", L"Warning", L"Info", L"Audit"};
const wchar_t* const kAudienceNames[] = {L"VELTRA", L"Dev", L"Eng", L"Op"};

const wchar_t* const* NamesOf(MaskKind kind) {
  return kind == MaskKind::kSeverity ? kSeverityNames : kAudienceNames;
}

std::wstring Trim(const std::wstring& text) {
  size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

bool Digits(const std::wstring& text, size_t at, size_t count, int* value) {
  if (at + count > text.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (!iswdigit(text[i])) return false;
    v = v * 10 + (text[i] - L'0');
  }
  *value = v;
  return true;
}

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;  // 1970-01-01 is day 25569
}

void CivilFromDays(long days, int* y, int* m, int* d) {
  long z = days - 25569 + 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

}  // namespace

bool ParseMask(MaskKind kind, const std::wstring& text, unsigned long* mask) {
  const std::wstring whole = Trim(text);
  long number = 0;
  if (ParseLong(whole, &number)) {
    if (number < 0 || number > 15) return false;
    *mask = static_cast<unsigned long>(number);
    return true;
  }
  if (_wcsicmp(whole.c_str(), L"all") == 0) return *mask = 15, true;
  if (_wcsicmp(whole.c_str(), L"none") == 0) return *mask = 0, true;
  unsigned long result = 0;
  size_t start = 0;
  while (start <= whole.size()) {
    size_t end = whole.find_first_of(L",|+", start);
    if (end == std::wstring::npos) end = whole.size();
    const std::wstring name = Trim(whole.substr(start, end - start));
    bool known = false;
    for (int bit = 0; bit < 4; ++bit)
      if (_wcsicmp(name.c_str(), NamesOf(kind)[bit]) == 0) result |= 1u << bit, known = true;
    if (!known) return false;
    start = end + 1;
  }
  *mask = result;
  return true;
}

std::wstring MaskText(MaskKind kind, unsigned long mask) {
  if (mask == 0) return L"none";
  std::wstring text;
  for (int bit = 0; bit < 4; ++bit)
    if (mask & (1u << bit)) text += (text.empty() ? L"" : L"|") + std::wstring(NamesOf(kind)[bit]);
  if (mask & ~15ul) text += (text.empty() ? L"" : L"|") + std::to_wstring(mask & ~15ul);
  return text;
}

bool ParseLanguage(const std::wstring& text, LCID* lcid) {
  static const struct {
    const wchar_t* code;
    LCID lcid;
  } kLanguages[] = {{L"en", 0x0409}, {L"en-us", 0x0409}, {L"en-gb", 0x0809}, {L"de", 0x0407},
                    {L"de-de", 0x0407}, {L"de-ch", 0x0807}, {L"de-at", 0x0C07}, {L"fr", 0x040C},
                    {L"fr-ca", 0x0C0C}, {L"it", 0x0410}, {L"es", 0x040A}, {L"nl", 0x0413},
                    {L"pt", 0x0816}, {L"pt-br", 0x0416}, {L"sv", 0x041D}, {L"da", 0x0406},
                    {L"pl", 0x0415}, {L"cs", 0x0405}, {L"ja", 0x0411}, {L"zh_cn", 0x0804}};
  for (const auto& language : kLanguages)
    if (_wcsicmp(text.c_str(), language.code) == 0) return *lcid = language.lcid, true;
  long number = 0;
  if (!ParseLong(text, &number) || number <= 0) return false;
  *lcid = static_cast<LCID>(number);
  return true;
}

bool ParseLong(const std::wstring& text, long* value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  errno = 0;
  const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
  const long long v = hex ? static_cast<long long>(wcstoull(text.c_str() + 2, &end, 16))
                          : wcstoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != L'\0' || (hex && text.size() == 2)) return false;
  if (hex ? v > 0xFFFFFFFFll : (v < -2147483648ll || v > 2147483647ll)) return false;
  *value = static_cast<long>(hex ? static_cast<unsigned long>(v) : v);
  return true;
}

bool ParseTime(const std::wstring& text, DATE* date) {
  int y, mo, d, h = 0, mi = 0, s = 0, ms = 0;
  if (Digits(text, 0, 4, &y) && text.size() >= 10 && text[4] == L'-' && Digits(text, 5, 2, &mo) &&
      text[7] == L'-' && Digits(text, 8, 2, &d)) {
    size_t at = 10;
    if (at < text.size()) {
      if (text[at] != L'T' || !Digits(text, 11, 2, &h) || text.size() < 17 || text[13] != L':' ||
          !Digits(text, 14, 2, &mi))
        return false;
      at = 16;
      if (at < text.size() && text[at] == L':') {
        if (!Digits(text, 17, 2, &s)) return false;
        at = 19;
        if (at < text.size() && text[at] == L'.') {
          size_t n = 0;
          int scale = 100;
          while (at + 1 + n < text.size() && iswdigit(text[at + 1 + n]) && n < 3)
            ms += (text[at + 1 + n] - L'0') * scale, scale /= 10, ++n;
          if (n == 0) return false;
          at += 1 + n;
        }
      }
      if (at + 1 != text.size() || text[at] != L'Z') return false;
    }
    if (y < 1900 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59) return false;
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kMonthDays[mo - 1] || (mo == 2 && d == 29 && !leap)) return false;
    *date = DaysFromCivil(y, mo, d) + ((h * 3600.0 + mi * 60.0 + s) * 1000.0 + ms) / 86400000.0;
    return true;
  }
  wchar_t* end = nullptr;
  const double number = wcstod(text.c_str(), &end);
  if (text.empty() || *end != L'\0' || !(number >= 0) || number >= 2958466 || !iswdigit(text[0])) return false;
  *date = number;
  return true;
}

std::wstring TimeText(DATE date) {
  if (date == 0) return L"";
  if (!(date >= -657434 && date < 2958466)) {  // years 100 to 9999
    wchar_t text[64];
    swprintf(text, 64, L"%.17g", date);
    return text;
  }
  const long long totalMs = std::llround(date * 86400000.0);
  long long days = totalMs / 86400000;
  long long rest = totalMs % 86400000;
  if (rest < 0) rest += 86400000, --days;
  int y, m, d;
  CivilFromDays(static_cast<long>(days), &y, &m, &d);
  wchar_t text[40];
  swprintf(text, 40, L"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d, static_cast<int>(rest / 3600000),
           static_cast<int>(rest / 60000 % 60), static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000));
  return text;
}

std::wstring XmlEscaped(const std::wstring& text) {
  std::wstring escaped;
  for (wchar_t c : text) {
    switch (c) {
      case L'&': escaped += L"&amp;"; break;
      case L'<': escaped += L"&lt;"; break;
      case L'>': escaped += L"&gt;"; break;
      case L'"': escaped += L"&quot;"; break;
      case L'\'': escaped += L"&apos;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::wstring JsonString(const std::wstring& text) {
  std::wstring quoted = L"\"";
  for (wchar_t c : text) {
    switch (c) {
      case L'"': quoted += L"\\\""; break;
      case L'\\': quoted += L"\\\\"; break;
      case L'\n': quoted += L"\\n"; break;
      case L'\r': quoted += L"\\r"; break;
      case L'\t': quoted += L"\\t"; break;
      case L'\b': quoted += L"\\b"; break;
      case L'\f': quoted += L"\\f"; break;
      default:
        if (c < 0x20 || c == 0x2028 || c == 0x2029) {
          wchar_t escape[8];
          swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
          quoted += escape;
        } else {
          quoted += c;  // surrogate pairs pass through whole and become UTF-8 on output
        }
    }
  }
  return quoted + L"\"";
}

std::wstring VariantText(const VARIANT& value) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return L"";
  if (value.vt == VT_BSTR) return value.bstrVal ? value.bstrVal : L"";
  unique_variant text;
  if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR)) || text->bstrVal == nullptr) return L"";
  return text->bstrVal;
}

std::vector<std::wstring> VariantStrings(const VARIANT& list) {
  std::vector<std::wstring> strings;
  if (list.vt != (VT_ARRAY | VT_VARIANT) || list.parray == nullptr || SafeArrayGetDim(list.parray) != 1)
    return strings;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(list.parray, 1, &lower);
  SafeArrayGetUBound(list.parray, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    unique_variant element;
    if (SUCCEEDED(SafeArrayGetElement(list.parray, &i, element.get()))) strings.push_back(VariantText(*element.get()));
  }
  return strings;
}

}  // namespace hv::diag
