// The entry points of HVScriptBridge.dll.
#include <windows.h>

#include "common/ClassFactory.h"
#include "common/ComRegistration.h"
#include "tools/scriptbridge/CHVScriptBridge.h"

namespace {

constexpr wchar_t kProgId[] = L"Halvern.ScriptBridge";
constexpr wchar_t kDescription[] = L"HVScriptBridge Class";

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_HVScriptBridge)) return CLASS_E_CLASSNOTAVAILABLE;
  hv::ComPtr<hv::ClassFactory> factory = hv::MakeObject<hv::ClassFactory>(&hv::CreateObject<hv::CHVScriptBridge>);
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return hv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  const std::wstring path = hv::ThisModulePath();
  RETURN_IF_FAILED(hv::RegisterInprocClass(CLSID_HVScriptBridge, kDescription, path, LIBID_HVScriptBridgeLib));
  const std::wstring clsid = hv::GuidText(CLSID_HVScriptBridge);
  RETURN_IF_FAILED(hv::SetClassesValue(kProgId, nullptr, kDescription));
  RETURN_IF_FAILED(hv::SetClassesValue(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED(hv::SetClassesValue(L"CLSID\\" + clsid + L"\\ProgID", nullptr, kProgId));
  return hv::RegisterTypeLibOf(path);
}

STDAPI DllUnregisterServer() {
  RETURN_IF_FAILED(hv::DeleteClassesTree(kProgId));
  RETURN_IF_FAILED(hv::UnregisterInprocClass(CLSID_HVScriptBridge));
  return hv::UnregisterTypeLibVersion(LIBID_HVScriptBridgeLib, 1, 0, LOCALE_NEUTRAL);
}
