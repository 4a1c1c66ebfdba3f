#include "protocol/Frame.h"

namespace hv::host {

std::vector<uint8_t> FrameCodec::Encode(FrameKind kind, uint32_t id, const std::function<void(ByteWriter&)>& payload) {
  ByteWriter measure;
  payload(measure);
  std::vector<uint8_t> out;
  out.reserve(kHeaderSize + measure.size());
  ByteWriter w(&out);
  w.u32(uint32_t(kLengthOverhead + measure.size()));
  w.u16(uint16_t(kind));
  w.u16(0);
  w.u32(id);
  payload(w);
  return out;
}

std::vector<uint8_t> FrameCodec::Encode(FrameKind kind, uint32_t id, const std::vector<uint8_t>& payload) {
  return Encode(kind, id, [&](ByteWriter& w) { w.bytes(payload.data(), payload.size()); });
}

}  // namespace hv::host
