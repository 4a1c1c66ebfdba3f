// The 272-byte description of one adaptor that answers a "3" request:
//
//   0   u32 audiences the adaptor serves
//   4   u32 severities it handles
//   8   4 bytes, the enabled severities for VELTRA, Dev, Eng and Op
//   12  260 bytes, the display name in UTF-16LE, NUL-terminated, zero-filled
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "common/ByteStream.h"

namespace hv::host {

struct AdaptorInfoRecord {
  static constexpr size_t kSize = 272;
  static constexpr size_t kNameBytes = 260;
  // 129 characters and the terminating NUL fill the name field.
  static constexpr size_t kMaxNameUnits = kNameBytes / 2 - 1;

  uint32_t audienceMask = 0;
  uint32_t severityMask = 0;
  std::array<uint8_t, 4> enableFlags{};
  std::u16string name;  // a longer name is cut to kMaxNameUnits when written

  void Write(ByteWriter& w) const;
};

}  // namespace hv::host
