#include "module/ModuleState.h"

#include "common/ModuleLock.h"
#include "common/TransportSetting.h"
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

void ReadTroubleShootSwitch() { g_troubleShoot = ReadTroubleShootSetting(); }

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
