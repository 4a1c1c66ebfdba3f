#include "protocol/MuxMessage.h"

namespace hv::host {
namespace {

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > MuxMessage::kMaxNameLength) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

bool ValidValue(std::string_view value) {
  return value.size() <= MuxMessage::kMaxValueLength && value.find('\0') == std::string_view::npos;
}

}  // namespace

const std::string* MuxMessage::Field(std::string_view name) const {
  for (const auto& f : fields_)
    if (f.first == name) return &f.second;
  return nullptr;
}

void MuxMessage::SetField(std::string_view name, std::string_view value) {
  for (auto& f : fields_)
    if (f.first == name) {
      f.second = std::string(value);
      return;
    }
  fields_.emplace_back(std::string(name), std::string(value));
}

void MuxMessage::Write(ByteWriter& w) const {
  w.u16(uint16_t(fields_.size()));
  for (const auto& f : fields_) {
    w.u8(uint8_t(f.first.size()));
    w.bytes(f.first.data(), f.first.size());
    w.u16(uint16_t(f.second.size()));
    w.bytes(f.second.data(), f.second.size());
  }
  w.u32(uint32_t(text.size()));
  for (char16_t c : text) w.u16(uint16_t(c));
  w.u32(uint32_t(data.size()));
  w.bytes(data.data(), data.size());
  w.u32(uint32_t(body.size()));
  w.bytes(body.data(), body.size());
}

bool MuxMessage::Decode(const uint8_t* payload, size_t size, MuxMessage* out, std::string* error) {
  *out = MuxMessage();
  ByteReader r(payload, size);
  auto fail = [&](const std::string& what) {
    *error = "message: " + what + " at byte " + std::to_string(r.position());
    return false;
  };
  uint16_t count;
  if (!r.u16(&count)) return fail("payload ends inside the field count");
  if (count > kMaxFields) return fail("field count " + std::to_string(count) + " exceeds " + std::to_string(kMaxFields));
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t nameLength;
    if (!r.u8(&nameLength)) return fail("payload ends inside a field name length");
    std::string name(nameLength, '\0');
    if (!r.bytes(name.data(), nameLength)) return fail("payload ends inside a field name");
    if (!ValidName(name)) return fail("field name \"" + name + "\" is empty, too long or not printable ASCII");
    uint16_t valueLength;
    if (!r.u16(&valueLength)) return fail("payload ends inside the value length of field " + name);
    if (valueLength > kMaxValueLength)
      return fail("value of field " + name + " has " + std::to_string(valueLength) + " bytes, more than " +
                  std::to_string(kMaxValueLength));
    std::string value(valueLength, '\0');
    if (!r.bytes(value.data(), valueLength)) return fail("payload ends inside the value of field " + name);
    if (!ValidValue(value)) return fail("value of field " + name + " holds a zero byte");
    if (out->Field(name)) return fail("field " + name + " appears twice");
    out->fields_.emplace_back(std::move(name), std::move(value));
  }
  uint32_t textUnits;
  if (!r.u32(&textUnits)) return fail("payload ends inside the text length");
  if (textUnits > r.remaining() / 2)
    return fail("text of " + std::to_string(textUnits) + " code units is longer than the payload");
  out->text.resize(textUnits);
  for (auto& c : out->text) {
    uint16_t unit = 0;
    r.u16(&unit);
    c = char16_t(unit);
  }
  uint32_t dataSize;
  if (!r.u32(&dataSize)) return fail("payload ends inside the data length");
  if (dataSize > r.remaining()) return fail("data of " + std::to_string(dataSize) + " bytes is longer than the payload");
  out->data.assign(r.current(), r.current() + dataSize);
  r.skip(dataSize);
  uint32_t bodySize;
  if (!r.u32(&bodySize)) return fail("payload ends inside the body length");
  if (bodySize != r.remaining())
    return fail("body length " + std::to_string(bodySize) + " does not match the " + std::to_string(r.remaining()) +
                " bytes that remain");
  out->body.assign(r.current(), r.current() + bodySize);
  return true;
}

}  // namespace hv::host
