// Numbers in protocol fields: base 10, a leading "-" for negative values and
// nothing else.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace hv::host {

std::string FormatInt32(int32_t value);
// Strict: an optional "-", one or more digits, nothing else, within 32 bits.
// The host never guesses at a number it is meant to echo back.
bool ParseInt32(std::string_view text, int32_t* out);

}  // namespace hv::host
