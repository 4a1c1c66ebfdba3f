#include "mux/MuxWire.h"

#include <algorithm>

#include "common/ByteStream.h"
#include "mux/CMuxMessage.h"

namespace hv::wire {
namespace {

// Measuring and writing share this routine, so the length field and the
// bytes cannot disagree.
void WriteMessage(ByteWriter& w, const MuxMessageView& message) {
  w.u16(static_cast<uint16_t>(message.fields.size()));
  for (const auto& field : message.fields) {
    w.u8(static_cast<uint8_t>(field.first.size()));
    w.bytes(field.first.data(), field.first.size());
    w.u16(static_cast<uint16_t>(field.second.size()));
    w.bytes(field.second.data(), field.second.size());
  }
  w.u32(message.hasText ? static_cast<uint32_t>(message.text.size()) : 0);
  if (message.hasText)
    for (wchar_t unit : message.text) w.u16(static_cast<uint16_t>(unit));
  w.u32(static_cast<uint32_t>(message.dataSize));
  w.bytes(message.data, message.dataSize);
  w.u32(static_cast<uint32_t>(message.bodySize));
  w.bytes(message.body, message.bodySize);
}

void WriteHeader(ByteWriter& w, FrameKind kind, uint32_t id, size_t payloadSize) {
  w.u32(static_cast<uint32_t>(kLengthOverhead + payloadSize));
  w.u16(static_cast<uint16_t>(kind));
  w.u16(0);
  w.u32(id);
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxFieldNameLength) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
  return true;
}

}  // namespace

size_t MessagePayloadSize(const MuxMessageView& message) {
  ByteWriter measure;
  WriteMessage(measure, message);
  return measure.size();
}

void AppendMessageFrame(std::vector<uint8_t>* out, FrameKind kind, uint32_t id, const MuxMessageView& message) {
  const size_t payloadSize = MessagePayloadSize(message);
  // The queue grows by doubling: reserving just enough for each frame would
  // copy the whole queue again for every frame once it outgrows its buffer.
  const size_t needed = out->size() + kHeaderSize + payloadSize;
  if (needed > out->capacity()) out->reserve(std::max(needed, 2 * out->capacity()));
  ByteWriter w(out);
  WriteHeader(w, kind, id, payloadSize);
  WriteMessage(w, message);
}

void AppendHelloFrame(std::vector<uint8_t>* out, uint32_t id) {
  ByteWriter w(out);
  WriteHeader(w, FrameKind::Hello, id, 8);
  w.u32(kHelloMagic);
  w.u16(kProtocolVersion);
  w.u16(kProtocolVersion);
}

void WriteClsid(ByteWriter& w, REFCLSID clsid) {
  w.u32(clsid.Data1);
  w.u16(clsid.Data2);
  w.u16(clsid.Data3);
  w.bytes(clsid.Data4, sizeof(clsid.Data4));
}

void AppendFrame(std::vector<uint8_t>* out, FrameKind kind, uint32_t id, const uint8_t* payload, size_t size) {
  ByteWriter w(out);
  WriteHeader(w, kind, id, size);
  w.bytes(payload, size);
}

bool DecodeItems(const uint8_t* items, size_t size, uint32_t count, std::vector<StoredItem>* out) {
  out->clear();
  ByteReader r(items, size);
  for (uint32_t i = 0; i < count; ++i) {
    StoredItem item;
    uint32_t length = 0;
    if (!r.u64(&item.storeNumber) || !r.u32(&length) || length > r.remaining()) return false;
    item.stream = r.current();
    item.size = length;
    r.skip(length);
    out->push_back(item);
  }
  return r.remaining() == 0;
}

bool DecodeMessage(const uint8_t* payload, size_t size, MuxMessageContent* message) {
  *message = MuxMessageContent();
  ByteReader r(payload, size);
  uint16_t count = 0;
  if (!r.u16(&count) || count > kMaxFields) return false;
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t nameLength = 0;
    if (!r.u8(&nameLength)) return false;
    std::string name(nameLength, '\0');
    if (!r.bytes(name.data(), nameLength) || !ValidName(name)) return false;
    uint16_t valueLength = 0;
    if (!r.u16(&valueLength) || valueLength > kMaxFieldValueLength) return false;
    std::string value(valueLength, '\0');
    if (!r.bytes(value.data(), valueLength)) return false;
    // A value is handed out NUL-terminated: an inner zero would cut it.
    if (value.find('\0') != std::string::npos) return false;
    for (const auto& field : message->fields)
      if (field.first == name) return false;
    message->fields.emplace_back(std::move(name), std::move(value));
  }
  uint32_t textUnits = 0;
  if (!r.u32(&textUnits) || textUnits > r.remaining() / 2) return false;
  message->hasText = textUnits != 0;
  message->text.resize(textUnits);
  for (wchar_t& unit : message->text) {
    uint16_t u = 0;
    r.u16(&u);
    unit = static_cast<wchar_t>(u);
  }
  uint32_t dataSize = 0;
  if (!r.u32(&dataSize) || dataSize > r.remaining()) return false;
  message->data.assign(r.current(), r.current() + dataSize);
  r.skip(dataSize);
  uint32_t bodySize = 0;
  if (!r.u32(&bodySize) || bodySize != r.remaining()) return false;
  message->body.assign(r.current(), r.current() + bodySize);
  return true;
}

bool DecodeHelloReply(const uint8_t* payload, size_t size, uint16_t* version, uint32_t* maxPayload) {
  ByteReader r(payload, size);
  uint32_t magic = 0;
  uint16_t reserved = 0;
  if (size != 12 || !r.u32(&magic) || !r.u16(version) || !r.u16(&reserved) || !r.u32(maxPayload)) return false;
  return magic == kHelloMagic && reserved == 0;
}

bool DecodeError(const uint8_t* payload, size_t size, HRESULT* result, std::string* text) {
  ByteReader r(payload, size);
  int32_t code = 0;
  uint16_t length = 0;
  if (!r.i32(&code) || !r.u16(&length) || length > kMaxErrorText || r.remaining() != length) return false;
  *result = static_cast<HRESULT>(code);
  text->assign(reinterpret_cast<const char*>(r.current()), length);
  return true;
}

}  // namespace hv::wire
