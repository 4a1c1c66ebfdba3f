// The entry points of HVMux.dll. Two creatable classes: the Mux service
// object and the store adaptor (the default adaptor's local reader).
#include <windows.h>

#include <mutex>

#include "HVMux.h"
#include "common/ClassFactory.h"
#include "common/ModuleLock.h"
#include "mux/CMuxService.h"
#include "mux/CStoreAdaptor.h"
#include "common/ComRegistration.h"

namespace {

struct ClassEntry {
  const CLSID* clsid;
  hv::CreatorFunction create;
  const wchar_t* description;
};

const ClassEntry kClasses[] = {
    {&CLSID_MuxService, &hv::CreateObject<hv::CMuxService>, L"MuxService Class"},
    {&CLSID_HVStoreAdaptor, &hv::CreateObject<hv::CStoreAdaptor>, L"HVStoreAdaptor Class"},
};
constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

std::mutex g_factoryMutex;
IClassFactory* g_factories[kClassCount] = {};  // kept until unload; they hold no module lock

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH: {
      std::lock_guard<std::mutex> lock(g_factoryMutex);
      for (IClassFactory*& factory : g_factories) {
        if (factory) factory->Release();
        factory = nullptr;
      }
      break;
    }
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  for (size_t i = 0; i < kClassCount; ++i) {
    if (!IsEqualCLSID(clsid, *kClasses[i].clsid)) continue;
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    if (!g_factories[i]) {
      hv::ComPtr<hv::ClassFactory> factory = hv::MakeObject<hv::ClassFactory>(kClasses[i].create);
      RETURN_IF_NULL_ALLOC(factory);
      g_factories[i] = factory.release();
    }
    return g_factories[i]->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return hv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  const std::wstring path = hv::ThisModulePath();
  for (const ClassEntry& entry : kClasses)
    RETURN_IF_FAILED(hv::RegisterInprocClass(*entry.clsid, entry.description, path, LIBID_HVMuxLib));
  return hv::RegisterTypeLibOf(path);
}

STDAPI DllUnregisterServer() {
  for (const ClassEntry& entry : kClasses) RETURN_IF_FAILED(hv::UnregisterInprocClass(*entry.clsid));
  return hv::UnregisterTypeLibVersion(LIBID_HVMuxLib, 1, 0, LOCALE_NEUTRAL);
}
