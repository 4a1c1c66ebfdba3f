// The values hvdiag reads from its command line and writes to its output:
// severity and audience masks, languages, times, numbers, and text escaped
// for XML and JSON.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace hv::diag {

enum class MaskKind { kSeverity, kAudience };

// A mask written as a number 0 to 15, "all", "none", or names joined by ",",
// "|" or "+" (case and spaces ignored): "Error|Audit", "veltra, op".
bool ParseMask(MaskKind kind, const std::wstring& text, unsigned long* mask);
// "Error|Warning", "none"; bits without a name are written as a number.
std::wstring MaskText(MaskKind kind, unsigned long mask);

// "de", "en", "fr-ca" or a locale id ("0x0407", "1031") to a locale id.
bool ParseLanguage(const std::wstring& text, LCID* lcid);

// A whole number in decimal (optionally signed) or hexadecimal ("0x...").
bool ParseLong(const std::wstring& text, long* value);

// "2023-03-15", "2023-03-15T06:00:00Z", "2023-03-15T06:00:00.250Z" (UTC) or
// an OLE date as a plain number, to an OLE date.
bool ParseTime(const std::wstring& text, DATE* date);
// An OLE date (UTC) as "2023-03-15T06:00:00.000Z"; "" for 0 (never stamped)
// and the number itself for a value outside the years 100 to 9999.
std::wstring TimeText(DATE date);

std::wstring XmlEscaped(const std::wstring& text);
// A JSON string literal, quotes included.
std::wstring JsonString(const std::wstring& text);

// A VARIANT as text by the standard conversion; "" when it cannot be converted.
std::wstring VariantText(const VARIANT& value);

// The strings of a one-dimensional array of VARIANTs, each converted by
// VariantText; empty for anything else.
std::vector<std::wstring> VariantStrings(const VARIANT& list);

}  // namespace hv::diag
