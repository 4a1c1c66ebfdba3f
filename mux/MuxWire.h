// The wire form of the link between HVMux.dll and the Mux service (described
// in full in docs/protocol.md): frames of
//
//   u32 length   the bytes after this field: 8 + payload size
//   u16 kind     FrameKind
//   u16 flags    0
//   u32 id       chosen by the client for its frames, numbered from 1; a
//                HelloReply, Reply or Error carries the id of the frame it
//                answers (an Error 0 when the frame could not be read)
//   payload
//
// all little-endian. A Post, Transact, Reply or Notify payload is one protocol
// message:
//
//   u16 field count; per field: u8 name length, the name, u16 value length,
//   the value; u32 text length in UTF-16 code units (0: no text), the code
//   units; u32 data length, the data; u32 body length, the body
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteStream.h"

namespace hv {
struct MuxMessageView;
struct MuxMessageContent;
}  // namespace hv

namespace hv::wire {

enum class FrameKind : uint16_t {
  Hello = 1,       // client -> service, the first frame of a connection
  HelloReply = 2,  // service -> client
  Post = 3,        // client -> service, one message, no answer
  Transact = 4,    // client -> service, answered by a Reply or an Error
  Reply = 5,       // service -> client, carries the id of the Transact
  Notify = 6,      // service -> client, a message that answers no transact
  Error = 7,       // service -> client, a frame the service refused
  // Reading and subscriptions: each request is answered by one frame with
  // its id, the answer named here, or an Error.
  OpenReader = 16,         // -> ReaderOpened
  ReaderOpened = 17,       // u32 reader number, i32 result of the first move
  ReadPage = 18,           // -> Page
  Page = 19,               // u32 count, u32 flags (bit 0: nothing further), items
  SetPosition = 20,        // -> Done
  SetDirection = 21,       // -> Done
  CloseReader = 22,        // -> Done
  Done = 23,               // i32 result
  CloneReader = 24,        // -> ReaderOpened
  Subscribe = 25,          // -> Subscribed
  Subscribed = 26,         // u32 subscription number
  Unsubscribe = 27,        // -> Done
  Push = 28,               // service -> client, id = subscription number; items
  SubscriptionEnded = 29,  // service -> client, id = subscription number; as an Error
};

// A Page's flag: nothing further in the reading direction for now.
inline constexpr uint32_t kPageNoMore = 1;
// The most items one ReadPage may ask for.
inline constexpr uint32_t kMaxPageItems = 4096;

inline constexpr size_t kHeaderSize = 12;
inline constexpr uint32_t kLengthOverhead = 8;
// Far above any item, small enough that a lying length cannot exhaust memory.
inline constexpr uint32_t kMaxPayload = 4u << 20;

// Limits of a protocol message, checked when a field is set so that the
// caller learns of them at once rather than from a refused frame.
inline constexpr size_t kMaxFields = 64;
inline constexpr size_t kMaxFieldNameLength = 64;
inline constexpr size_t kMaxFieldValueLength = 1024;
inline constexpr size_t kMaxErrorText = 1024;

// The bytes "HVMX" read as a little-endian number.
inline constexpr uint32_t kHelloMagic = 0x584D5648;
inline constexpr uint16_t kProtocolVersion = 1;

// The payload size of a frame carrying this message.
size_t MessagePayloadSize(const MuxMessageView& message);
// Appends a whole frame carrying the message.
void AppendMessageFrame(std::vector<uint8_t>* out, FrameKind kind, uint32_t id, const MuxMessageView& message);
// Appends the Hello frame: the versions this component speaks.
void AppendHelloFrame(std::vector<uint8_t>* out, uint32_t id);

// A class id as the frames carry it: in its memory layout.
void WriteClsid(ByteWriter& w, REFCLSID clsid);

// Appends a whole frame with a payload of the reading kinds.
void AppendFrame(std::vector<uint8_t>* out, FrameKind kind, uint32_t id, const uint8_t* payload, size_t size);

// One item of a Page or Push: its stream exactly as it was posted.
struct StoredItem {
  uint64_t storeNumber = 0;
  const uint8_t* stream = nullptr;
  size_t size = 0;
};
// Splits the items that follow a Page's or Push's header; false when the
// count and the lengths do not account for every byte.
bool DecodeItems(const uint8_t* items, size_t size, uint32_t count, std::vector<StoredItem>* out);

// Each decoder checks every length against the payload and fails on any
// byte it cannot account for.
bool DecodeMessage(const uint8_t* payload, size_t size, MuxMessageContent* message);
bool DecodeHelloReply(const uint8_t* payload, size_t size, uint16_t* version, uint32_t* maxPayload);
bool DecodeError(const uint8_t* payload, size_t size, HRESULT* result, std::string* text);

}  // namespace hv::wire
