// Cuts the bytes the service sends into frames. Bytes arrive in whatever
// pieces the transport delivers; a frame is handed out once all of it is in.
// A length outside the allowed range means the stream cannot be cut any
// further: the reader stays broken from then on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mux/MuxWire.h"

namespace hv {

struct MuxFrame {
  wire::FrameKind kind = wire::FrameKind::Post;
  uint16_t flags = 0;
  uint32_t id = 0;
  // Points into the reader's buffer: valid until the next Append.
  const uint8_t* payload = nullptr;
  size_t payloadSize = 0;
};

class MuxFrameReader {
 public:
  enum class Status { NeedMore, HaveFrame, Broken };

  void Append(const uint8_t* data, size_t size);
  Status Next(MuxFrame* frame);

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool broken_ = false;
};

}  // namespace hv
