#include "module/ClassTable.h"

#include <mutex>

#include "TAVDiagnostics.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "mgr/CTAVDiagnosticLogMgr.h"

namespace hv {
namespace {

const ClassEntry kClasses[] = {
    {&CLSID_TAVDiagnosticLogItem, L"TAVDiagnostics.TAVDiagnosticLogItem", L"TAVDiagnosticLogItem Class",
     &CreateObject<CTAVDiagnosticLogItem>},
    {&CLSID_TAVDiagnosticLogMgr, L"TAVDiagnostics.TAVDiagnosticsLogMgr", L"TAVDiagnosticsLogMgr Class",
     &CreateObject<CTAVDiagnosticLogMgr>},
};
constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

std::mutex g_factoryMutex;
IClassFactory* g_factories[kClassCount] = {};

}  // namespace

const ClassEntry* ClassTable() { return kClasses; }
size_t ClassTableSize() { return kClassCount; }

HRESULT GetClassFactory(REFCLSID clsid, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  for (size_t i = 0; i < kClassCount; ++i) {
    if (!IsEqualCLSID(clsid, *kClasses[i].clsid)) continue;
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    if (!g_factories[i]) {
      ComPtr<ClassFactory> factory = MakeObject<ClassFactory>(kClasses[i].create);
      RETURN_IF_NULL_ALLOC(factory);
      g_factories[i] = factory.release();
    }
    return g_factories[i]->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

void ReleaseClassFactories() {
  std::lock_guard<std::mutex> lock(g_factoryMutex);
  for (IClassFactory*& factory : g_factories) {
    if (factory) factory->Release();
    factory = nullptr;
  }
}

}  // namespace hv
