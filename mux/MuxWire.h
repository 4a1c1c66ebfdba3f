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
};

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

// Each decoder checks every length against the payload and fails on any
// byte it cannot account for.
bool DecodeMessage(const uint8_t* payload, size_t size, MuxMessageContent* message);
bool DecodeHelloReply(const uint8_t* payload, size_t size, uint16_t* version, uint32_t* maxPayload);
bool DecodeError(const uint8_t* payload, size_t size, HRESULT* result, std::string* text);

}  // namespace hv::wire
