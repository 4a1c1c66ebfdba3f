// Cuts a byte stream from a socket into frames. Bytes arrive in whatever
// pieces the transport delivers; a frame is handed out once all of it is
// there. A length outside the allowed range means the stream cannot be cut
// any further: the reader stays failed from then on.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Frame.h"

namespace hv::host {

class FrameReader {
 public:
  enum class Status { NeedMore, HaveFrame, Broken };

  void Append(const uint8_t* data, size_t size);
  Status Next(Frame* frame, std::string* error);

  // Bytes received that do not yet make a whole frame.
  size_t Pending() const { return buffer_.size() - start_; }
  // The length the pending frame announced, once its length field is in.
  bool PendingLength(uint32_t* length) const;

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool broken_ = false;
};

}  // namespace hv::host
