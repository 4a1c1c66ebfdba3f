// Registration entries of an in-process class and of the type library
// embedded in the module, shared by HVMux.dll and its test double (which
// takes over the same class id in the test prefix).
//
//   CLSID\{class id}                 = description, TypeLib = {library id}
//   CLSID\{class id}\InprocServer32  = module path, ThreadingModel = Both
#pragma once
#include <windows.h>

#include <string>

namespace hv {

std::wstring GuidText(REFGUID guid);
// The full path of the module this code is linked into.
std::wstring ThisModulePath();

// Replaces the class's key whole.
HRESULT RegisterInprocClass(REFCLSID clsid, const wchar_t* description, const std::wstring& modulePath,
                            REFGUID libid);
// Removes the class's key; a missing key is not a failure.
HRESULT UnregisterInprocClass(REFCLSID clsid);
// The server path the class is registered with; S_FALSE and "" when none.
HRESULT RegisteredInprocServer(REFCLSID clsid, std::wstring* modulePath);

// Registers TYPELIB 1 of the file at modulePath, so that its automation
// interfaces marshal through the type library.
HRESULT RegisterTypeLibOf(const std::wstring& modulePath);
// Removes the registration of version major.minor; one never made is not a failure.
HRESULT UnregisterTypeLibVersion(REFGUID libid, WORD major, WORD minor);

}  // namespace hv
