#include "protocol/Hello.h"

namespace hv::host {

void Hello::Write(ByteWriter& w) const {
  w.u32(kMagic);
  w.u16(lowest);
  w.u16(highest);
}

bool Hello::Decode(const uint8_t* payload, size_t size, Hello* out) {
  if (size != kSize) return false;
  ByteReader r(payload, size);
  uint32_t magic;
  r.u32(&magic);
  r.u16(&out->lowest);
  r.u16(&out->highest);
  return magic == kMagic && out->lowest <= out->highest;
}

void HelloReply::Write(ByteWriter& w) const {
  w.u32(Hello::kMagic);
  w.u16(version);
  w.u16(0);
  w.u32(maxPayload);
}

bool HelloReply::Decode(const uint8_t* payload, size_t size, HelloReply* out) {
  if (size != kSize) return false;
  ByteReader r(payload, size);
  uint32_t magic;
  uint16_t reserved;
  r.u32(&magic);
  r.u16(&out->version);
  r.u16(&reserved);
  r.u32(&out->maxPayload);
  return magic == Hello::kMagic && reserved == 0;
}

}  // namespace hv::host
