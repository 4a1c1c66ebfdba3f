// Where the Mux service is found: the product's registry settings, shared by
// the library (which connects for every log manager) and by the Mux
// component's store adaptor (which connects on its own for a local reader).
#pragma once
#include <windows.h>

#include <string>

namespace hv {

// The registry key of the product's settings under HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t kProductKey[] = L"Software\\Corvala Software\\Halvern Diagnostics";

// The address a client connects to: the part of "InterprocessTransport" after
// its first ";", or the default's when the value is missing or unusable.
std::wstring MuxConnectAddress();

// Whether "TroubleShootMode" holds the 32-bit value 1: the library and the
// Mux component then write their trouble-shoot trace to the debugger output.
bool ReadTroubleShootSetting();

}  // namespace hv
