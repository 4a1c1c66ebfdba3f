#include "adaptors/VariantText.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "core/OleDate.h"
#include "core/Utf.h"

namespace hv::host {
namespace {

template <typename T>
std::string Shortest(T v) {
  char text[64];
  auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

// Currency is a 64-bit count of ten-thousandths.
std::string Currency(int64_t v) {
  uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  std::string text = (v < 0 ? "-" : "") + std::to_string(magnitude / 10000);
  unsigned fraction = unsigned(magnitude % 10000);
  if (fraction) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%04u", fraction);
    std::string f = digits;
    while (f.back() == '0') f.pop_back();
    text += f;
  }
  return text;
}

}  // namespace

std::string VariantToText(const VariantValue& value) {
  switch (value.form) {
    case VariantValue::Form::NullObject:
      return std::string();
    case VariantValue::Form::Text:
      return Utf16ToUtf8(value.text);
    case VariantValue::Form::Fixed:
      break;
  }
  const uint64_t bits = value.fixedBits;
  switch (value.vt) {
    case VT_I1:
      return std::to_string(int8_t(bits));
    case VT_UI1:
      return std::to_string(uint8_t(bits));
    case VT_I2:
      return std::to_string(int16_t(bits));
    case VT_UI2:
      return std::to_string(uint16_t(bits));
    case VT_BOOL:
      return uint16_t(bits) ? "true" : "false";
    case VT_I4: case VT_INT: case VT_ERROR:
      return std::to_string(int32_t(bits));
    case VT_UI4: case VT_UINT:
      return std::to_string(uint32_t(bits));
    case VT_I8:
      return std::to_string(int64_t(bits));
    case VT_UI8:
      return std::to_string(bits);
    case VT_CY:
      return Currency(int64_t(bits));
    case VT_R4: {
      uint32_t b = uint32_t(bits);
      float f;
      std::memcpy(&f, &b, 4);
      return Shortest(f);
    }
    case VT_R8: case VT_DATE: {
      double d;
      std::memcpy(&d, &bits, 8);
      if (value.vt == VT_DATE)
        if (auto iso = OleDateToIso(d)) return *iso;
      return Shortest(d);
    }
    default:
      // The decoder gives a fixed form only to the types above.
      return std::to_string(bits);
  }
}

}  // namespace hv::host
