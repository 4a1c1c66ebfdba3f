// A class id in its in-memory layout: a 32-bit, two 16-bit fields (each
// little-endian) and 8 bytes. That is the layout the data of "3" and "8"
// messages carry, and the registry form is printed from it.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/ByteStream.h"

namespace hv::host {

class Guid {
 public:
  Guid() = default;
  explicit Guid(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", braces required, case ignored.
  static bool Parse(std::string_view text, Guid* out);
  // Upper-case hexadecimal with braces, as the registry writes class ids.
  std::string ToRegistryString() const;

  void Write(ByteWriter& w) const { w.bytes(bytes_.data(), bytes_.size()); }
  bool Read(ByteReader& r) { return r.bytes(bytes_.data(), bytes_.size()); }

  bool IsNull() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const Guid& o) const { return bytes_ == o.bytes_; }
  bool operator!=(const Guid& o) const { return bytes_ != o.bytes_; }
  bool operator<(const Guid& o) const { return bytes_ < o.bytes_; }

 private:
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace hv::host
