// The two creatable classes of the library, in registration order.
#pragma once
#include <windows.h>

#include "common/ClassFactory.h"

namespace hv {

struct ClassEntry {
  const CLSID* clsid;
  const wchar_t* progId;       // version-independent; the versioned one adds ".1"
  const wchar_t* description;
  CreatorFunction create;
};

// TAVDiagnosticLogItem, then TAVDiagnosticsLogMgr.
const ClassEntry* ClassTable();
size_t ClassTableSize();

// The class factory of a class of the table, created on first request and
// kept until unload; CLASS_E_CLASSNOTAVAILABLE for any other class.
HRESULT GetClassFactory(REFCLSID clsid, REFIID riid, void** ppv);
void ReleaseClassFactories();

// Writes or removes the registration entries of every class and the type library.
HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace hv
