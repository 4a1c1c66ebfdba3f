// The language codes of the definition files and how a viewer's language
// selects among the texts written for several languages.
#pragma once
#include <windows.h>

namespace hv {

// The "xml:lang" code for a viewer's locale id; "en-us" for any id the
// definition files have no code for.
const wchar_t* LanguageCodeForLcid(ULONG lcid);

// Whether a text marked with "xml:lang" lang is meant for a viewer whose code
// is viewerCode. A null or missing lang is the empty string.
bool LanguageMatches(const wchar_t* viewerCode, const wchar_t* lang);

// Ordinal comparison without regard to letter case (the uppercase table of
// the system, independent of the thread's locale).
bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b);

}  // namespace hv
