// The entry points of SecurityDoubles.dll: the COM server and the functions
// through which a test steers the doubles.
#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

#include "CTestSecurityAuthority.h"
#include "CTestSecurityDirectory.h"
#include "DoublesState.h"
#include "common/ClassFactory.h"
#include "common/ComRegistration.h"
#include "common/Unique.h"

namespace hv::doubles {
namespace {

ClassFactory* g_authorityFactory = nullptr;
ClassFactory* g_directoryFactory = nullptr;

// Calls ObjectChanged on every subscriber; the number called.
LONG NotifyAll(const wchar_t* name, HRESULT* lastResult) {
  unique_bstr objectName(name ? SysAllocString(name) : nullptr);
  LONG called = 0;
  for (const Subscription& subscription : DoublesState::Get().Subscribers()) {
    const HRESULT hr =
        subscription.sink->ObjectChanged(&subscription.resourceId, &kSystemObjectId, 1, objectName.get());
    if (lastResult) *lastResult = hr;
    ++called;
  }
  return called;
}

struct NotifyCall {
  std::wstring name;
  bool nullName;
  HRESULT lastResult = S_OK;
  LONG called = 0;
};

DWORD WINAPI NotifyOnce(void* param) {
  auto* call = static_cast<NotifyCall*>(param);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  call->called = NotifyAll(call->nullName ? nullptr : call->name.c_str(), &call->lastResult);
  CoUninitialize();
  return 0;
}

// The repeating notifiers.
struct Notifiers {
  CRITICAL_SECTION lock;
  std::wstring name;
  bool nullName = false;
  volatile LONG stop = 0;
  volatile LONG calls = 0;
  std::vector<HANDLE> threads;
  Notifiers() { InitializeCriticalSection(&lock); }
};
Notifiers g_notifiers;

DWORD WINAPI NotifyRepeatedly(void*) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  while (!InterlockedCompareExchange(&g_notifiers.stop, 0, 0)) {
    const LONG called = NotifyAll(g_notifiers.nullName ? nullptr : g_notifiers.name.c_str(), nullptr);
    InterlockedExchangeAdd(&g_notifiers.calls, called);
    if (called == 0) Sleep(0);
  }
  CoUninitialize();
  return 0;
}

}  // namespace
}  // namespace hv::doubles

using namespace hv;
using namespace hv::doubles;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  ClassFactory** slot = nullptr;
  CreatorFunction creator = nullptr;
  if (IsEqualCLSID(clsid, CLSID_HVSecurityAuthority)) {
    slot = &g_authorityFactory;
    creator = &CTestSecurityAuthority::Create;
  } else if (IsEqualCLSID(clsid, CLSID_HVSecurityDirectory)) {
    slot = &g_directoryFactory;
    creator = &CTestSecurityDirectory::Create;
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  if (!*slot) {
    // Kept for the life of the process, like the doubles' state.
    auto* factory = new (std::nothrow) ClassFactory(creator);
    RETURN_IF_NULL_ALLOC(factory);
    factory->AddRef();
    if (InterlockedCompareExchangePointer(reinterpret_cast<void**>(slot), factory, nullptr) != nullptr)
      factory->Release();
  }
  return (*slot)->QueryInterface(riid, ppv);
}

// The state must outlive every test that uses it.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  const std::wstring path = ThisModulePath();
  for (const CLSID* clsid : {&CLSID_HVSecurityAuthority, &CLSID_HVSecurityDirectory}) {
    const std::wstring key = L"CLSID\\" + GuidText(*clsid);
    RETURN_IF_FAILED(DeleteClassesTree(key));
    RETURN_IF_FAILED(SetClassesValue(key, nullptr, clsid == &CLSID_HVSecurityAuthority
                                                       ? L"Security authority (test double)"
                                                       : L"Security directory (test double)"));
    RETURN_IF_FAILED(SetClassesValue(key + L"\\InprocServer32", nullptr, path));
    RETURN_IF_FAILED(SetClassesValue(key + L"\\InprocServer32", L"ThreadingModel", L"Both"));
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  RETURN_IF_FAILED(UnregisterInprocClass(CLSID_HVSecurityAuthority));
  return UnregisterInprocClass(CLSID_HVSecurityDirectory);
}

SECDOUBLES_API void WINAPI SecDoubles_Reset(void) { DoublesState::Get().Reset(); }

SECDOUBLES_API void WINAPI SecDoubles_SetProperty(const wchar_t* name, const VARIANT* value) {
  if (name) DoublesState::Get().SetProperty(name, value);
}

SECDOUBLES_API void WINAPI SecDoubles_SetToken(const wchar_t* token) { DoublesState::Get().SetToken(token); }

SECDOUBLES_API void WINAPI SecDoubles_Fail(LONG operation, LONG count, HRESULT hr) {
  DoublesState::Get().SetFailure(operation, count, hr);
}

SECDOUBLES_API LONG WINAPI SecDoubles_CallCount(LONG operation) { return DoublesState::Get().CallCount(operation); }

SECDOUBLES_API ULONG WINAPI SecDoubles_CallLog(char* buffer, ULONG cchBuffer) {
  const std::string log = DoublesState::Get().CallLog();
  if (buffer && cchBuffer) {
    const size_t n = log.size() < cchBuffer - 1 ? log.size() : cchBuffer - 1;
    memcpy(buffer, log.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<ULONG>(log.size());
}

SECDOUBLES_API BOOL WINAPI SecDoubles_LastContext(SecDoublesContext* context) {
  return context && DoublesState::Get().LastContext(context);
}

SECDOUBLES_API LONG WINAPI SecDoubles_LiveObjects(void) { return DoublesState::Get().LiveObjects(); }

SECDOUBLES_API LONG WINAPI SecDoubles_Subscriptions(void) { return DoublesState::Get().SubscriptionCount(); }

SECDOUBLES_API LONG WINAPI SecDoubles_Notify(const wchar_t* name, HRESULT* lastResult) {
  NotifyCall call;
  call.nullName = name == nullptr;
  if (name) call.name = name;
  HANDLE thread = CreateThread(nullptr, 0, &NotifyOnce, &call, 0, nullptr);
  if (!thread) return -1;
  const bool done = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
  CloseHandle(thread);
  // A call that is still running keeps using `call`: never return then.
  if (!done) FatalAppExitW(0, L"SecDoubles_Notify: a notification did not return within 10 s");
  if (lastResult) *lastResult = call.lastResult;
  return call.called;
}

SECDOUBLES_API void WINAPI SecDoubles_StartNotifying(const wchar_t* name, LONG threads) {
  EnterCriticalSection(&g_notifiers.lock);
  if (g_notifiers.threads.empty()) {
    g_notifiers.nullName = name == nullptr;
    g_notifiers.name = name ? name : L"";
    g_notifiers.stop = 0;
    g_notifiers.calls = 0;
    for (LONG i = 0; i < threads; ++i)
      if (HANDLE thread = CreateThread(nullptr, 0, &NotifyRepeatedly, nullptr, 0, nullptr))
        g_notifiers.threads.push_back(thread);
  }
  LeaveCriticalSection(&g_notifiers.lock);
}

SECDOUBLES_API LONG WINAPI SecDoubles_StopNotifying(void) {
  EnterCriticalSection(&g_notifiers.lock);
  InterlockedExchange(&g_notifiers.stop, 1);
  for (HANDLE thread : g_notifiers.threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  g_notifiers.threads.clear();
  const LONG calls = g_notifiers.calls;
  LeaveCriticalSection(&g_notifiers.lock);
  return calls;
}

SECDOUBLES_API void WINAPI SecDoubles_HoldReads(BOOL hold) { DoublesState::Get().HoldReads(hold != FALSE); }

SECDOUBLES_API BOOL WINAPI SecDoubles_WaitForHeldRead(DWORD timeoutMs) {
  return DoublesState::Get().WaitForHeldRead(timeoutMs);
}
