// The entry points of HVMux.dll. One creatable class: the Mux service object.
#include <windows.h>

#include <mutex>

#include "HVMux.h"
#include "common/ClassFactory.h"
#include "common/ModuleLock.h"
#include "mux/CMuxService.h"
#include "common/ComRegistration.h"

namespace {

std::mutex g_factoryMutex;
IClassFactory* g_factory = nullptr;  // kept until unload; holds no module lock

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH: {
      std::lock_guard<std::mutex> lock(g_factoryMutex);
      if (g_factory) g_factory->Release();
      g_factory = nullptr;
      break;
    }
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  RETURN_HR_IF(CLASS_E_CLASSNOTAVAILABLE, !IsEqualCLSID(clsid, CLSID_MuxService));
  std::lock_guard<std::mutex> lock(g_factoryMutex);
  if (!g_factory) {
    hv::ComPtr<hv::ClassFactory> factory = hv::MakeObject<hv::ClassFactory>(&hv::CreateObject<hv::CMuxService>);
    RETURN_IF_NULL_ALLOC(factory);
    g_factory = factory.release();
  }
  return g_factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return hv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  const std::wstring path = hv::ThisModulePath();
  RETURN_IF_FAILED(hv::RegisterInprocClass(CLSID_MuxService, L"MuxService Class", path, LIBID_HVMuxLib));
  return hv::RegisterTypeLibOf(path);
}

STDAPI DllUnregisterServer() {
  RETURN_IF_FAILED(hv::UnregisterInprocClass(CLSID_MuxService));
  return hv::UnregisterTypeLibVersion(LIBID_HVMuxLib, 1, 0, LOCALE_NEUTRAL);
}
