// Message templates with numbered insertion places ("%1", "%2!d!") filled
// from an item's insertion arguments.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

namespace hv {

class CTAVDiagnosticLogItem;

// Loads string id of module into a buffer of 3000 characters (so at most
// 2999 come through); empty when there is no such string.
std::wstring LoadResourceString(HMODULE module, UINT id);

// The text of template with the arguments inserted. Returns false only when
// the argument array for the formatter cannot be allocated.
bool FormatInsertions(const std::wstring& messageTemplate, const std::vector<VARIANT>& arguments,
                      std::wstring* result);

// Checks an item's message against its insertion arguments; on failure sets
// the thread's error information (except for floating-point formats) and
// returns E_FAIL.
HRESULT CheckMessage(CTAVDiagnosticLogItem& item);

}  // namespace hv
