#include "protocol/FrameReader.h"

namespace hv::host {

void FrameReader::Append(const uint8_t* data, size_t size) {
  if (broken_) return;
  // Drop consumed bytes before growing, so the buffer holds at most one
  // partial frame plus what the last read brought.
  if (start_ && start_ == buffer_.size()) {
    // A large frame's room is given back once it is handled.
    if (buffer_.capacity() > (size_t(1) << 20)) std::vector<uint8_t>().swap(buffer_);
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 65536 && start_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

bool FrameReader::PendingLength(uint32_t* length) const {
  ByteReader r(buffer_.data() + start_, Pending());
  return r.u32(length);
}

FrameReader::Status FrameReader::Next(Frame* frame, std::string* error) {
  if (broken_) {
    *error = "the frame stream is broken";
    return Status::Broken;
  }
  ByteReader r(buffer_.data() + start_, Pending());
  uint32_t length;
  if (!r.u32(&length)) return Status::NeedMore;
  if (length < FrameCodec::kLengthOverhead || length > FrameCodec::kLengthOverhead + FrameCodec::kMaxPayload) {
    broken_ = true;
    *error = "frame length " + std::to_string(length) + " is outside " + std::to_string(FrameCodec::kLengthOverhead) +
             " to " + std::to_string(FrameCodec::kLengthOverhead + FrameCodec::kMaxPayload);
    return Status::Broken;
  }
  if (r.remaining() < length) return Status::NeedMore;
  uint16_t kind;
  r.u16(&kind);
  r.u16(&frame->flags);
  r.u32(&frame->id);
  frame->kind = FrameKind(kind);
  size_t payloadSize = length - FrameCodec::kLengthOverhead;
  frame->payload.assign(r.current(), r.current() + payloadSize);
  start_ += 4 + length;
  return Status::HaveFrame;
}

}  // namespace hv::host
