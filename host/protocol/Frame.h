// Frames between HVMux.dll and tarnhost. Every frame is
//
//   u32 length   bytes after this field: 8 + payload size
//   u16 kind     FrameKind
//   u16 flags    0; no flag is defined yet
//   u32 id       chosen by the sender of a request; echoed in its answer
//   payload
//
// all little-endian. docs/protocol.md is the full description.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "common/ByteStream.h"

namespace hv::host {

enum class FrameKind : uint16_t {
  Hello = 1,       // client -> host, first frame of a connection
  HelloReply = 2,  // host -> client
  Post = 3,        // client -> host, one message, no answer
  Transact = 4,    // client -> host, one message, answered by Reply or Error
  Reply = 5,       // host -> client, id of the transact
  Notify = 6,      // host -> client, a message that answers no transact ("5")
  Error = 7,       // host -> client, a refused frame
  // Reading stored messages and subscribing to new ones (ReadFrames.h).
  OpenReader = 16,         // client -> host, answered by ReaderOpened or Error
  ReaderOpened = 17,       // host -> client
  ReadPage = 18,           // client -> host, answered by Page or Error
  Page = 19,               // host -> client
  SetPosition = 20,        // client -> host, answered by Done or Error
  SetDirection = 21,       // client -> host, answered by Done or Error
  CloseReader = 22,        // client -> host, answered by Done or Error
  Done = 23,               // host -> client
  CloneReader = 24,        // client -> host, answered by ReaderOpened or Error
  Subscribe = 25,          // client -> host, answered by Subscribed or Error
  Subscribed = 26,         // host -> client
  Unsubscribe = 27,        // client -> host, answered by Done or Error
  Push = 28,               // host -> client, id: the subscription
  SubscriptionEnded = 29,  // host -> client, id: the subscription
  // 30 and 31 are kept for reading too, 32 and above for later.
};

struct Frame {
  FrameKind kind = FrameKind::Post;
  uint16_t flags = 0;
  uint32_t id = 0;
  std::vector<uint8_t> payload;
};

class FrameCodec {
 public:
  static constexpr size_t kHeaderSize = 12;
  // The length field counts kind, flags and id too.
  static constexpr uint32_t kLengthOverhead = 8;
  // 4 MiB is far above any item (texts are cut to 3000 characters when the
  // item is built) and small enough that a lying length cannot exhaust memory.
  static constexpr uint32_t kMaxPayload = 4u << 20;

  // The payload is written by `payload`, called twice: once to measure, once
  // to write, so the length field cannot disagree with the bytes.
  static std::vector<uint8_t> Encode(FrameKind kind, uint32_t id, const std::function<void(ByteWriter&)>& payload);
  static std::vector<uint8_t> Encode(FrameKind kind, uint32_t id, const std::vector<uint8_t>& payload);
};

}  // namespace hv::host
