// An OLE DATE (days since 1899-12-30; the fraction is the time of day and
// counts forward from midnight also for dates before 1899-12-30) as ISO 8601
// text, for people who look into the store with an SQL shell.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace hv::host {

// "YYYY-MM-DDTHH:MM:SS.mmmZ" (item times are UTC), or nothing for a value
// outside the years 100 to 9999 that OLE dates cover, or for NaN.
std::optional<std::string> OleDateToIso(double date);

// The other way round, strictly: "YYYY-MM-DD" (midnight), or
// "YYYY-MM-DDTHH:MM:SSZ" with 1 to 3 digits of a second's fraction allowed
// before the "Z" ("HH:MM" alone is allowed too). Only the years 1900 to 9999
// and real calendar dates are taken; nothing is filled in or wrapped around.
bool IsoToOleDate(std::string_view text, double* date);

}  // namespace hv::host
