#include "module/ModuleState.h"

#include "common/ModuleLock.h"
#include "common/Unique.h"
#include "msgtext/ResourceCache.h"

namespace hv {
namespace {

bool g_troubleShoot = false;
HINSTANCE g_moduleInstance = nullptr;
HINSTANCE g_resourceModule = nullptr;
HMODULE g_languageLibrary = nullptr;

}  // namespace

bool TroubleShootMode() { return g_troubleShoot; }
void SetTroubleShootModeForTesting(bool on) { g_troubleShoot = on; }

void ReadTroubleShootSwitch() {
  g_troubleShoot = false;
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key.get(), L"TroubleShootMode", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
      value == 1)
    g_troubleShoot = true;
}

HINSTANCE ResourceModule() { return g_resourceModule ? g_resourceModule : ThisModule(); }

void ModuleStartup(HINSTANCE instance) {
  g_moduleInstance = instance;
  g_resourceModule = instance;
  ReadTroubleShootSwitch();
  g_languageLibrary = LoadLanguageLibrary(L"TAVDiagnostics", L"Halvern Diagnostics", nullptr, instance);
  if (g_languageLibrary) g_resourceModule = g_languageLibrary;
}

void ModuleShutdown() {
  if (g_troubleShoot && ModuleLockCount() > 0)
    OutputDebugStringW(L"HV Diag: TAVDiagnostics.DLL forced to unload with a non-zero reference count\r\n");
  if (g_resourceModule != g_moduleInstance) g_resourceModule = g_moduleInstance;
  if (g_languageLibrary) {
    FreeLibrary(g_languageLibrary);
    g_languageLibrary = nullptr;
  }
  ReleaseProviderResourceModules();
}

}  // namespace hv
