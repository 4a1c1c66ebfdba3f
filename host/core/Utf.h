// Conversions between the UTF-16 text of items and the UTF-8 text of the
// store, the configuration and the log. A lone surrogate becomes U+FFFD, so a
// damaged string is stored readable instead of refused.
#pragma once
#include <string>
#include <string_view>

namespace hv::host {

std::string Utf16ToUtf8(std::u16string_view text);
// Appends one code point in UTF-8.
void PutUtf8(std::string& out, char32_t c);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace hv::host
