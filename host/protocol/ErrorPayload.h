// The payload of an Error frame: why the host refused the frame whose id the
// Error frame carries.
//
//   i32 result code, u16 text length (at most kMaxText), UTF-8 text
#pragma once
#include <cstdint>
#include <string>

#include "common/ByteStream.h"
#include "core/HResult.h"

namespace hv::host {

struct ErrorPayload {
  static constexpr size_t kMaxText = 1024;

  HResult result = E_FAIL;
  std::string text;

  // A longer text is cut to kMaxText bytes.
  void Write(ByteWriter& w) const;
  static bool Decode(const uint8_t* payload, size_t size, ErrorPayload* out);
};

}  // namespace hv::host
