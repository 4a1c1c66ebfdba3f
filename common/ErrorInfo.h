// Messages for the caller travel in the thread's COM error information.
#pragma once
#include <windows.h>

namespace hv {

// The source every error-info object of the library names.
inline constexpr const wchar_t kErrorSource[] = L"Halvern Diagnostics";

// Sets the calling thread's error information to a new error object with this
// description and the library's source. The caller chooses the HRESULT.
void ReportError(const wchar_t* description);

}  // namespace hv
