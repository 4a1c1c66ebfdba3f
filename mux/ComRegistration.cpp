#include "mux/ComRegistration.h"

#include <oleauto.h>

#include "common/ComPtr.h"
#include "common/ModuleLock.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace hv {
namespace {

HRESULT SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  unique_hkey key;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteTree(const std::wstring& path) {
  LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
  // RegDeleteTreeW empties the key; the key itself goes with RegDeleteKeyW.
  status = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
  return S_OK;
}

}  // namespace

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ThisModulePath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
  return std::wstring(path, length < MAX_PATH ? length : 0);
}

HRESULT RegisterInprocClass(REFCLSID clsid, const wchar_t* description, const std::wstring& modulePath,
                            REFGUID libid) {
  RETURN_HR_IF(E_UNEXPECTED, modulePath.empty());
  const std::wstring classKey = L"CLSID\\" + GuidText(clsid);
  RETURN_IF_FAILED(DeleteTree(classKey));
  RETURN_IF_FAILED(SetValue(classKey, nullptr, description));
  RETURN_IF_FAILED(SetValue(classKey + L"\\InprocServer32", nullptr, modulePath));
  RETURN_IF_FAILED(SetValue(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"));
  RETURN_IF_FAILED(SetValue(classKey + L"\\TypeLib", nullptr, GuidText(libid)));
  return S_OK;
}

HRESULT UnregisterInprocClass(REFCLSID clsid) { return DeleteTree(L"CLSID\\" + GuidText(clsid)); }

HRESULT RegisteredInprocServer(REFCLSID clsid, std::wstring* modulePath) {
  RETURN_HR_IF_NULL(E_POINTER, modulePath);
  modulePath->clear();
  const std::wstring serverKey = L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
  wchar_t path[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH * sizeof(wchar_t);
  const LONG status =
      RegGetValueW(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
  if (status == ERROR_FILE_NOT_FOUND) return S_FALSE;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  *modulePath = path;
  return S_OK;
}

HRESULT RegisterTypeLibOf(const std::wstring& modulePath) {
  ComPtr<ITypeLib> lib;
  RETURN_IF_FAILED(LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, lib.put()));
  return RegisterTypeLib(lib.get(), const_cast<LPOLESTR>(modulePath.c_str()), nullptr);
}

HRESULT UnregisterTypeLibVersion(REFGUID libid, WORD major, WORD minor) {
#ifdef _WIN64
  const SYSKIND kind = SYS_WIN64;
#else
  const SYSKIND kind = SYS_WIN32;
#endif
  const HRESULT hr = UnRegisterTypeLib(libid, major, minor, LOCALE_NEUTRAL, kind);
  if (hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED) return S_OK;
  return hr;
}

}  // namespace hv
