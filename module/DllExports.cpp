// The entry points of TAVDiagnostics.dll.
#include <windows.h>

#include "common/ModuleLock.h"
#include "module/ClassTable.h"
#include "module/ModuleState.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      hv::ModuleStartup(instance);
      break;
    case DLL_PROCESS_DETACH:
      hv::ModuleShutdown();
      hv::ReleaseClassFactories();
      break;
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return hv::GetClassFactory(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return hv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return hv::RegisterServer(); }

STDAPI DllUnregisterServer() { return hv::UnregisterServer(); }
