// Provider resource DLLs, found through the registry per provider and
// language and kept loaded for the rest of the process.
#pragma once
#include <windows.h>

#include <string>

namespace hv {

// The provider's resource DLL for the first language of: the thread's
// locale, the user's default, the system's default, English; or null.
HMODULE GetProviderResourceModule(const std::wstring& provider);

// Frees every DLL the cache loaded (library unload).
void ReleaseProviderResourceModules();

}  // namespace hv
