#include "core/OleDate.h"

#include <cmath>
#include <cstdio>

namespace hv::host {
namespace {

// Proleptic Gregorian calendar from a day count relative to 1970-01-01.
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Exactly `n` decimal digits at `pos`.
bool Digits(std::string_view s, size_t pos, size_t n, unsigned* value) {
  if (pos + n > s.size()) return false;
  unsigned v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + unsigned(s[i] - '0');
  }
  *value = v;
  return true;
}

constexpr double kMinDate = -657434.0;   // 0100-01-01
constexpr double kMaxDate = 2958466.0;   // 10000-01-01, exclusive
constexpr int64_t kDaysFrom1899To1970 = 25569;

}  // namespace

bool IsoToOleDate(std::string_view s, double* date) {
  unsigned year, month, day, hour = 0, minute = 0, second = 0, ms = 0;
  if (!Digits(s, 0, 4, &year) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, &month) || s[7] != '-' ||
      !Digits(s, 8, 2, &day))
    return false;
  if (year < 1900 || month < 1 || month > 12 || day < 1) return false;
  static const unsigned kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned monthDays = kMonthDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
  if (day > monthDays) return false;
  if (s.size() > 10) {
    // A time of day must say that it is UTC.
    if (s[10] != 'T' || s.back() != 'Z' || !Digits(s, 11, 2, &hour) || s.size() < 17 || s[13] != ':' ||
        !Digits(s, 14, 2, &minute))
      return false;
    size_t pos = 16;
    if (s[pos] == ':') {
      if (!Digits(s, pos + 1, 2, &second)) return false;
      pos += 3;
      if (s[pos] == '.') {
        size_t digits = s.size() - 1 - (pos + 1);
        if (digits < 1 || digits > 3 || !Digits(s, pos + 1, digits, &ms)) return false;
        for (size_t i = digits; i < 3; ++i) ms *= 10;
        pos += 1 + digits;
      }
    }
    if (pos != s.size() - 1 || hour > 23 || minute > 59 || second > 59) return false;
  }
  int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1899To1970;
  *date = double(days) + double((hour * 3600 + minute * 60 + second) * 1000 + ms) / 86400000.0;
  return true;
}

std::optional<std::string> OleDateToIso(double date) {
  if (!(date >= kMinDate && date < kMaxDate)) return std::nullopt;
  double whole;
  double fraction = std::modf(date, &whole);
  int64_t days = static_cast<int64_t>(whole);
  int64_t ms = std::llround(std::fabs(fraction) * 86400000.0);
  if (ms >= 86400000) {  // rounding reached the next midnight
    ms -= 86400000;
    days += 1;
  }
  int64_t year;
  unsigned month, day;
  CivilFromDays(days - kDaysFrom1899To1970, &year, &month, &day);
  if (year > 9999) return std::nullopt;
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
                month, day, static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
  return std::string(text);
}

}  // namespace hv::host
