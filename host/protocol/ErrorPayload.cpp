#include "protocol/ErrorPayload.h"

namespace hv::host {

void ErrorPayload::Write(ByteWriter& w) const {
  size_t n = text.size() < kMaxText ? text.size() : kMaxText;
  // Never cut inside a UTF-8 sequence.
  while (n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  w.i32(result);
  w.u16(uint16_t(n));
  w.bytes(text.data(), n);
}

bool ErrorPayload::Decode(const uint8_t* payload, size_t size, ErrorPayload* out) {
  ByteReader r(payload, size);
  uint16_t n;
  if (!r.i32(&out->result) || !r.u16(&n) || n > kMaxText || r.remaining() != n) return false;
  out->text.assign(reinterpret_cast<const char*>(r.current()), n);
  return true;
}

}  // namespace hv::host
