// Process-wide state of the library: the trouble-shoot switch and the
// resource module from which localised texts are loaded.
#pragma once
#include <windows.h>

#include "common/TransportSetting.h"

namespace hv {

// Set once at start-up from "TroubleShootMode"; read by item building and delivery.
bool TroubleShootMode();
// Reads "TroubleShootMode" (a 32-bit value of 1 turns the switch on) and sets the switch.
void ReadTroubleShootSwitch();
void SetTroubleShootModeForTesting(bool on);

// The library's own file until a language resource library is loaded.
HINSTANCE ResourceModule();

// Searches and loads the language resource library (see LanguageLibrary.cpp).
// productName and subKeyName may be null. Returns the loaded module or null.
HMODULE LoadLanguageLibrary(const wchar_t* baseName, const wchar_t* productName,
                            const wchar_t* subKeyName, HINSTANCE moduleInstance);

// Start-up and unload of the library, called by DllMain.
void ModuleStartup(HINSTANCE instance);
void ModuleShutdown();

}  // namespace hv
