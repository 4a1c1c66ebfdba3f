#include "mux/MuxFrameReader.h"

#include "common/ByteStream.h"

namespace hv {

void MuxFrameReader::Append(const uint8_t* data, size_t size) {
  if (broken_) return;
  // Drop what was handed out before growing: the buffer holds at most one
  // partial frame and what the last read brought.
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

MuxFrameReader::Status MuxFrameReader::Next(MuxFrame* frame) {
  if (broken_) return Status::Broken;
  ByteReader r(buffer_.data() + start_, buffer_.size() - start_);
  uint32_t length = 0;
  if (!r.u32(&length)) return Status::NeedMore;
  if (length < wire::kLengthOverhead || length > wire::kLengthOverhead + wire::kMaxPayload) {
    broken_ = true;
    return Status::Broken;
  }
  if (r.remaining() < length) return Status::NeedMore;
  uint16_t kind = 0;
  r.u16(&kind);
  r.u16(&frame->flags);
  r.u32(&frame->id);
  frame->kind = static_cast<wire::FrameKind>(kind);
  frame->payload = r.current();
  frame->payloadSize = length - wire::kLengthOverhead;
  start_ += 4 + length;
  return Status::HaveFrame;
}

}  // namespace hv
