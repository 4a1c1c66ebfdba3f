// Which stored messages a reader or a subscription wants: the filter
// document a viewer passes, read into conditions that all must hold.
//
//   <Filter>
//     <Severity>Error, Warning</Severity>     the severity shares a bit with the mask
//     <Audience>Op</Audience>                 the audience shares a bit with the mask
//     <MaxVerbosity>2</MaxVerbosity>          verbosity at most this
//     <From>2023-03-15T00:00:00Z</From>       time at or after (ISO 8601 UTC or OLE DATE)
//     <Before>45001</Before>                  time before
//     <Location match="prefix">Plant 1/</Location>   exact (the default) or prefix
//     <Provider>Conveyor</Provider>
//     <User>OPS\jdoe</User>
//     <Text>jam</Text>                        the message text contains it, A-Z ignoring case
//     <MaxCount>500</MaxCount>                a reader hands out at most this many
//   </Filter>
//
// An empty text selects everything. A malformed document is refused with a
// sentence naming the line and column; it never reads as "nothing matches".
// docs/filters.md is the full description.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hv::host {

struct TextCondition {
  std::string value;  // UTF-8
  bool prefix = false;
};

struct Filter {
  // The longest filter text taken, in UTF-16 code units.
  static constexpr size_t kMaxLength = 65536;

  std::optional<uint32_t> severities;  // 1 to 15
  std::optional<uint32_t> audiences;   // 1 to 15
  std::optional<int32_t> maxVerbosity;
  std::optional<double> from;    // OLE DATE, inclusive
  std::optional<double> before;  // OLE DATE, exclusive
  std::optional<TextCondition> location;
  std::optional<TextCondition> provider;
  std::optional<TextCondition> user;
  std::string text;  // empty: no condition
  std::optional<uint32_t> maxCount;

  // On failure `error` says what is wrong and where; `filter` is then
  // unspecified.
  static bool Parse(std::u16string_view document, Filter* filter, std::string* error);
  static bool Parse(std::string_view utf8Document, Filter* filter, std::string* error);
};

}  // namespace hv::host
