#include "core/Guid.h"

namespace hv::host {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at text[pos].
bool ReadHex(std::string_view text, size_t pos, int digits, uint64_t* out) {
  uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(text[pos + i]);
    if (h < 0) return false;
    v = v << 4 | uint64_t(h);
  }
  *out = v;
  return true;
}

}  // namespace

bool Guid::Parse(std::string_view text, Guid* out) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-')
    return false;
  uint64_t d1, d2, d3, d4, d5;
  if (!ReadHex(text, 1, 8, &d1) || !ReadHex(text, 10, 4, &d2) || !ReadHex(text, 15, 4, &d3) ||
      !ReadHex(text, 20, 4, &d4) || !ReadHex(text, 25, 12, &d5))
    return false;
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = uint8_t(d1 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[4 + i] = uint8_t(d2 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[6 + i] = uint8_t(d3 >> (8 * i));
  // The last 8 bytes are in text order, not a number.
  b[8] = uint8_t(d4 >> 8);
  b[9] = uint8_t(d4);
  for (int i = 0; i < 6; ++i) b[10 + i] = uint8_t(d5 >> (8 * (5 - i)));
  *out = Guid(b);
  return true;
}

std::string Guid::ToRegistryString() const {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(38);
  auto put = [&](uint8_t v) {
    s += kHex[v >> 4];
    s += kHex[v & 15];
  };
  s += '{';
  for (int i = 3; i >= 0; --i) put(bytes_[i]);
  s += '-';
  put(bytes_[5]);
  put(bytes_[4]);
  s += '-';
  put(bytes_[7]);
  put(bytes_[6]);
  s += '-';
  put(bytes_[8]);
  put(bytes_[9]);
  s += '-';
  for (int i = 10; i < 16; ++i) put(bytes_[i]);
  s += '}';
  return s;
}

bool Guid::IsNull() const {
  for (uint8_t b : bytes_)
    if (b) return false;
  return true;
}

}  // namespace hv::host
