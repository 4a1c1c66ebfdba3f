// Little-endian writer and reader for byte formats (protocol frames, records).
// Measuring and writing share one routine: a ByteWriter without a buffer only
// counts, so size and content cannot disagree.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace hv {

class ByteWriter {
 public:
  // Counts only.
  ByteWriter() = default;
  explicit ByteWriter(std::vector<uint8_t>* out) : out_(out) {}

  void u8(uint8_t v) { bytes(&v, 1); }
  void u16(uint16_t v) { uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)}; bytes(b, 2); }
  void u32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    bytes(b, 4);
  }
  void u64(uint64_t v) { u32(uint32_t(v)); u32(uint32_t(v >> 32)); }
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void f64(double v) { uint64_t u; std::memcpy(&u, &v, 8); u64(u); }
  void bytes(const void* data, size_t n) {
    if (out_ && n) out_->insert(out_->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
    size_ += n;
  }
  size_t size() const { return size_; }

 private:
  std::vector<uint8_t>* out_ = nullptr;
  size_t size_ = 0;
};

// Every read checks the remaining length; a short read fails and leaves the
// position where it was.
class ByteReader {
 public:
  ByteReader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), size_(size) {}

  bool u8(uint8_t* v) { return bytes(v, 1); }
  bool u16(uint16_t* v) {
    uint8_t b[2];
    if (!bytes(b, 2)) return false;
    *v = uint16_t(b[0] | (b[1] << 8));
    return true;
  }
  bool u32(uint32_t* v) {
    uint8_t b[4];
    if (!bytes(b, 4)) return false;
    *v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
  }
  bool u64(uint64_t* v) {
    uint32_t lo, hi;
    if (remaining() < 8) return false;
    u32(&lo);
    u32(&hi);
    *v = uint64_t(hi) << 32 | lo;
    return true;
  }
  bool i32(int32_t* v) {
    uint32_t u;
    if (!u32(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool f64(double* v) {
    uint64_t u;
    if (!u64(&u)) return false;
    std::memcpy(v, &u, 8);
    return true;
  }
  bool bytes(void* out, size_t n) {
    if (remaining() < n) return false;
    if (n) std::memcpy(out, p_ + pos_, n);
    pos_ += n;
    return true;
  }
  bool skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }
  const uint8_t* current() const { return p_ + pos_; }
  size_t position() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }

 private:
  const uint8_t* p_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace hv
