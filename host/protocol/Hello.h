// The first exchange on a connection. The client names the protocol versions
// it speaks; the host answers with the one both speak and the largest payload
// it accepts.
//
//   Hello:      u32 magic, u16 lowest version, u16 highest version
//   HelloReply: u32 magic, u16 chosen version, u16 0, u32 largest payload
#pragma once
#include <cstdint>

#include "common/ByteStream.h"

namespace hv::host {

struct Hello {
  // The bytes "HVMX" read as a little-endian number.
  static constexpr uint32_t kMagic = 0x584D5648;
  static constexpr uint16_t kVersion = 1;
  static constexpr size_t kSize = 8;

  uint16_t lowest = kVersion;
  uint16_t highest = kVersion;

  void Write(ByteWriter& w) const;
  // Fails on a wrong size, a wrong magic or lowest above highest.
  static bool Decode(const uint8_t* payload, size_t size, Hello* out);
};

struct HelloReply {
  static constexpr size_t kSize = 12;

  uint16_t version = Hello::kVersion;
  uint32_t maxPayload = 0;

  void Write(ByteWriter& w) const;
  static bool Decode(const uint8_t* payload, size_t size, HelloReply* out);
};

}  // namespace hv::host
