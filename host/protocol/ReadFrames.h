// Payloads of the reading and subscription frames, all little-endian; every
// request must fill its payload exactly. docs/protocol.md has the full
// description.
//
//   OpenReader    16 class id, u32 direction, u32 origin, i32 offset,
//                 u32 filter length in UTF-16 units, the filter (UTF-16LE)
//   ReaderOpened  u32 reader, i32 result
//   ReadPage      u32 reader, u32 most items wanted
//   Page          u32 item count, u32 flags (1: nothing further), items
//   SetPosition   u32 reader, u32 origin, i32 offset
//   SetDirection  u32 reader, u32 direction
//   CloseReader   u32 reader
//   CloneReader   u32 reader
//   Done          i32 result
//   Subscribe     16 class id, u32 filter length, the filter
//   Subscribed    u32 subscription
//   Unsubscribe   u32 subscription
//   Push          u32 item count, items
//   SubscriptionEnded  as an Error payload: i32 result, u16 length, UTF-8 text
//
// An item in a Page or Push: u64 its number in the store, u32 length, its
// item stream.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteStream.h"
#include "core/Guid.h"

namespace hv::host {

struct OpenReaderRequest {
  Guid adaptor;
  uint32_t direction = 0;  // 0 reverse (newest first), 1 forward
  uint32_t origin = 0;     // 0 start, 2 end
  int32_t offset = 0;
  std::u16string filter;

  static bool Decode(const uint8_t* payload, size_t size, OpenReaderRequest* out, std::string* error);
};

struct SubscribeRequest {
  Guid adaptor;
  std::u16string filter;

  static bool Decode(const uint8_t* payload, size_t size, SubscribeRequest* out, std::string* error);
};

// The requests that name a reader or subscription and up to two numbers:
// ReadPage, SetPosition, SetDirection, CloseReader, CloneReader, Unsubscribe.
struct HandleRequest {
  uint32_t handle = 0;
  uint32_t first = 0;
  int32_t second = 0;

  // `numbers` is how many follow the handle (0, 1 or 2).
  static bool Decode(const uint8_t* payload, size_t size, int numbers, HandleRequest* out, std::string* error);
};

// Writes the items of a Page or Push, after their count (and flags).
class ItemListWriter {
 public:
  static constexpr size_t kItemFraming = 12;
  static void Item(ByteWriter& w, int64_t number, const std::vector<uint8_t>& stream) {
    w.u64(uint64_t(number));
    w.u32(uint32_t(stream.size()));
    w.bytes(stream.data(), stream.size());
  }
};

}  // namespace hv::host
