// Item streams built by hand for the tests, field by field in stream order,
// so a test can damage any one of them. Independent of the host's decoder.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hvtest {

using Bytes = std::vector<uint8_t>;

// A counted string: byte count (UTF-16 units * 2 + 2), the units, a zero unit.
Bytes Counted(std::u16string_view text);
// A variant value: the 2-byte type code followed by `data`.
Bytes Variant(uint16_t vt, const Bytes& data);
Bytes Le32(uint32_t v);
Bytes Le64(uint64_t v);
Bytes Concat(std::initializer_list<Bytes> parts);

struct ItemBytes {
  uint32_t version = 2;
  std::u16string location, provider, messageText, userName, helpFile;
  double dateTime = 0.0;
  int32_t severity = 0, audience = 0, verbosity = 0;
  uint32_t helpContext = 0;
  uint8_t errorGuid[16] = {};
  int32_t messageId = -1;
  std::vector<Bytes> arguments;  // each a whole variant value
  Bytes child;                   // a whole item stream, or empty
  uint32_t childFiller = 0;      // zero bytes after the child inside its block
  std::vector<Bytes> extended;   // each a whole entry: name, type, value
  Bytes userDescription = {0, 0, 2, 0, 0, 0, 0, 0};  // VT_EMPTY, written for version 2 only

  Bytes Build() const;
};

// An item the routing will take: the given audience and severity, a location
// naming it so the store can be searched for it.
Bytes SimpleItem(const std::u16string& location, int32_t audience, int32_t severity);

}  // namespace hvtest
