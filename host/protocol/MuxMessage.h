// One protocol message as it travels inside a Post, Transact, Reply or Notify
// frame: named narrow fields, a wide text, data bytes and body bytes.
//
//   u16 field count (at most kMaxFields)
//   per field: u8 name length (1 to kMaxNameLength), the name's bytes
//              (printable ASCII, no space), u16 value length (0 to
//              kMaxValueLength), the value's bytes (any byte but 0)
//   u32 text length in UTF-16 code units (0: no text), the code units
//   u32 data length, the data
//   u32 body length, the body
//
// The message fills its payload exactly.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ByteStream.h"

namespace hv::host {

class MuxMessage {
 public:
  static constexpr size_t kMaxFields = 64;
  static constexpr size_t kMaxNameLength = 64;
  static constexpr size_t kMaxValueLength = 1024;

  // Null when the message has no such field. Names compare exactly.
  const std::string* Field(std::string_view name) const;
  // Adds the field, or replaces its value; the order of first setting stays.
  void SetField(std::string_view name, std::string_view value);
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

  std::u16string text;  // empty: no text
  std::vector<uint8_t> data;
  std::vector<uint8_t> body;

  void Write(ByteWriter& w) const;
  // Every limit above is checked; on failure `error` says which.
  static bool Decode(const uint8_t* payload, size_t size, MuxMessage* out, std::string* error);

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace hv::host
