// Registry entries of in-process COM servers under HKEY_CLASSES_ROOT, and the
// registration of the type library embedded in a module.
#pragma once
#include <windows.h>

#include <string>

namespace hv {

// A GUID in registry form: braces, upper-case hexadecimal.
std::wstring GuidText(REFGUID guid);
// The full path of the module this code is linked into.
std::wstring ThisModulePath();

// Sets a string value (null name: the default value), creating the key.
HRESULT SetClassesValue(const std::wstring& path, const wchar_t* name, const std::wstring& value);
HRESULT CreateClassesKey(const std::wstring& path);
// Removes a key with everything under it; a missing key is not a failure.
HRESULT DeleteClassesTree(const std::wstring& path);

// CLSID\{class id} = description, InprocServer32 = module path with
// ThreadingModel "Both", TypeLib = library id. The class key is replaced whole.
HRESULT RegisterInprocClass(REFCLSID clsid, const wchar_t* description, const std::wstring& modulePath,
                            REFGUID libid);
HRESULT UnregisterInprocClass(REFCLSID clsid);
// The server path the class is registered with; S_FALSE and "" when none.
HRESULT RegisteredInprocServer(REFCLSID clsid, std::wstring* modulePath);

// Registers TYPELIB 1 of the file at modulePath.
HRESULT RegisterTypeLibOf(const std::wstring& modulePath);
// Removes the registration of a type library version; one never made (or
// already removed) is not a failure.
HRESULT UnregisterTypeLibVersion(REFGUID libid, WORD major, WORD minor, LCID lcid);

}  // namespace hv
