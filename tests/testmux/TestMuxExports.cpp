// The entry points of TestMux.dll: the COM server of the test double and the
// control functions of TestMuxControl.h.
#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "CTestMuxService.h"
#include "TestMuxControl.h"
#include "TestMuxState.h"
#include "common/ClassFactory.h"
#include "common/ModuleLock.h"
#include "common/Unique.h"
#include "common/ComRegistration.h"
#include "mux/ModuleThread.h"

using hv::ComPtr;
using hv::testmux::TestMuxState;

namespace {

std::mutex g_factoryMutex;
IClassFactory* g_factory = nullptr;

// Where TestMux keeps the server it displaced, so that unregistering gives the
// class id back to it.
constexpr wchar_t kSavedServerValue[] = L"TestMuxDisplaced";
constexpr DWORD kSinkCallTimeoutMs = 10000;

std::wstring ServerKey() { return L"CLSID\\" + hv::GuidText(CLSID_MuxService) + L"\\InprocServer32"; }

std::wstring ReadSavedServer() {
  wchar_t path[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH * sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, ServerKey().c_str(), kSavedServerValue, RRF_RT_REG_SZ, nullptr, path,
                   &size) != ERROR_SUCCESS)
    return L"";
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// Fields from "name=value\0...\0\0".
bool ParseFields(const char* list, std::vector<std::pair<std::string, std::string>>* fields) {
  if (!list) return true;
  for (const char* entry = list; *entry; entry += std::strlen(entry) + 1) {
    const char* equals = std::strchr(entry, '=');
    if (!equals || equals == entry) return false;
    fields->emplace_back(std::string(entry, equals), std::string(equals + 1));
  }
  return true;
}

// Runs call on a thread of its own and waits for it: a client's sink must
// cope with notifications on threads it does not know.
HRESULT CallOnOtherThread(std::function<HRESULT()> call) {
  struct Outcome {
    hv::unique_handle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HRESULT hr = E_FAIL;
  };
  auto outcome = std::make_shared<Outcome>();
  if (!outcome->done) return HRESULT_FROM_WIN32(GetLastError());
  const bool started = hv::StartModuleThread([outcome, call = std::move(call)] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    outcome->hr = call();
    CoUninitialize();
    SetEvent(outcome->done.get());
  });
  if (!started) return E_OUTOFMEMORY;
  if (WaitForSingleObject(outcome->done.get(), kSinkCallTimeoutMs) != WAIT_OBJECT_0)
    return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  return outcome->hr;
}

HRESULT AddReply(bool replace, const char* msgType, HRESULT transactResult, const char* fields, const wchar_t* text,
                 const BYTE* body, ULONG cbBody, IUnknown* marshalAfterBody) {
  RETURN_HR_IF(E_INVALIDARG, msgType == nullptr);
  RETURN_HR_IF(E_POINTER, cbBody != 0 && body == nullptr);
  hv::testmux::TestMuxReply reply;
  reply.transactResult = transactResult;
  RETURN_HR_IF(E_INVALIDARG, !ParseFields(fields, &reply.content.fields));
  if (text) {
    reply.content.hasText = true;
    reply.content.text = text;
  }
  if (cbBody) reply.content.body.assign(body, body + cbBody);
  reply.marshalAfterBody = ComPtr<IUnknown>(marshalAfterBody);
  TestMuxState::Instance().AddReply(msgType, std::move(reply), replace);
  return S_OK;
}

ULONG CopyOut(const std::string& text, char* buffer, ULONG cchBuffer) {
  if (buffer && cchBuffer) {
    const size_t n = text.size() < cchBuffer - 1 ? text.size() : cchBuffer - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<ULONG>(text.size());
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  RETURN_HR_IF(CLASS_E_CLASSNOTAVAILABLE, !IsEqualCLSID(clsid, CLSID_MuxService));
  std::lock_guard<std::mutex> lock(g_factoryMutex);
  if (!g_factory) {
    ComPtr<hv::ClassFactory> factory =
        hv::MakeObject<hv::ClassFactory>(&hv::CreateObject<hv::testmux::CTestMuxService>);
    RETURN_IF_NULL_ALLOC(factory);
    g_factory = factory.release();
  }
  return g_factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return hv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

// Takes the Mux service's class id over and remembers the server it displaces.
STDAPI DllRegisterServer() {
  const std::wstring self = hv::ThisModulePath();
  std::wstring displaced;
  RETURN_IF_FAILED(hv::RegisteredInprocServer(CLSID_MuxService, &displaced));
  // Registered already (a test program that did not end cleanly): the server
  // it displaced then is still the one to give the class id back to.
  if (SamePath(displaced, self)) displaced = ReadSavedServer();
  RETURN_IF_FAILED(hv::RegisterInprocClass(CLSID_MuxService, L"MuxService Class (test double)", self,
                                           LIBID_HVMuxLib));
  if (!displaced.empty()) {
    const LONG status = RegSetKeyValueW(HKEY_CLASSES_ROOT, ServerKey().c_str(), kSavedServerValue, REG_SZ,
                                        displaced.c_str(),
                                        static_cast<DWORD>((displaced.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  return hv::RegisterTypeLibOf(self);
}

// Gives the class id back to the server it displaced, or removes the class.
// A class id that another server has taken since is left alone.
STDAPI DllUnregisterServer() {
  std::wstring current;
  RETURN_IF_FAILED(hv::RegisteredInprocServer(CLSID_MuxService, &current));
  if (!current.empty() && !SamePath(current, hv::ThisModulePath())) return S_OK;
  const std::wstring displaced = ReadSavedServer();
  if (!displaced.empty() && GetFileAttributesW(displaced.c_str()) != INVALID_FILE_ATTRIBUTES) {
    RETURN_IF_FAILED(hv::RegisterInprocClass(CLSID_MuxService, L"MuxService Class", displaced, LIBID_HVMuxLib));
    return hv::RegisterTypeLibOf(displaced);
  }
  RETURN_IF_FAILED(hv::UnregisterInprocClass(CLSID_MuxService));
  return hv::UnregisterTypeLibVersion(LIBID_HVMuxLib, 1, 0, LOCALE_NEUTRAL);
}

TESTMUX_API void WINAPI TestMux_Reset(void) { TestMuxState::Instance().Reset(); }

TESTMUX_API void WINAPI TestMux_FailConnect(LONG count, HRESULT hr) { TestMuxState::Instance().FailConnect(count, hr); }

TESTMUX_API LONG WINAPI TestMux_ConnectCount(void) { return TestMuxState::Instance().ConnectCount(); }

TESTMUX_API ULONG WINAPI TestMux_LastAddress(wchar_t* buffer, ULONG cchBuffer) {
  const std::wstring address = TestMuxState::Instance().LastAddress();
  if (buffer && cchBuffer) {
    const size_t n = address.size() < cchBuffer - 1 ? address.size() : cchBuffer - 1;
    std::wmemcpy(buffer, address.data(), n);
    buffer[n] = L'\0';
  }
  return static_cast<ULONG>(address.size());
}

TESTMUX_API LONG WINAPI TestMux_LiveConnections(void) { return TestMuxState::Instance().LiveCount(); }

TESTMUX_API LONG WINAPI TestMux_MessageCount(void) { return TestMuxState::Instance().MessageCount(); }

TESTMUX_API BOOL WINAPI TestMux_WaitForMessages(LONG count, DWORD timeoutMs) {
  return TestMuxState::Instance().WaitForMessages(count, timeoutMs) ? TRUE : FALSE;
}

TESTMUX_API HRESULT WINAPI TestMux_GetMessage(LONG index, IMuxMessage** ppMsg, LONG* sendKind) {
  RETURN_HR_IF_NULL(E_POINTER, ppMsg);
  *ppMsg = nullptr;
  if (sendKind) *sendKind = 0;
  hv::testmux::RecordedMessage recorded;
  RETURN_HR_IF(E_INVALIDARG, !TestMuxState::Instance().Message(index, &recorded));
  ComPtr<hv::CMuxMessage> message;
  RETURN_IF_FAILED(hv::CMuxMessage::Create(std::move(recorded.content), message.put()));
  if (sendKind) *sendKind = recorded.sendKind;
  *ppMsg = message.release();
  return S_OK;
}

TESTMUX_API ULONG WINAPI TestMux_CallLog(char* buffer, ULONG cchBuffer) {
  return CopyOut(TestMuxState::Instance().CallLog(), buffer, cchBuffer);
}

TESTMUX_API void WINAPI TestMux_FailPost(LONG count, HRESULT hr) { TestMuxState::Instance().FailPost(count, hr); }

TESTMUX_API HRESULT WINAPI TestMux_SetTransactReply(const char* msgType, HRESULT transactResult, const char* fields,
                                                    const wchar_t* text, const BYTE* body, ULONG cbBody,
                                                    IUnknown* marshalAfterBody) {
  return AddReply(true, msgType, transactResult, fields, text, body, cbBody, marshalAfterBody);
}

TESTMUX_API HRESULT WINAPI TestMux_AddTransactReply(const char* msgType, HRESULT transactResult, const char* fields,
                                                    const wchar_t* text, const BYTE* body, ULONG cbBody,
                                                    IUnknown* marshalAfterBody) {
  return AddReply(false, msgType, transactResult, fields, text, body, cbBody, marshalAfterBody);
}

TESTMUX_API void WINAPI TestMux_SetAutoAnswer(BOOL enabled, HRESULT hr, DWORD delayMs) {
  TestMuxState::Instance().SetAutoAnswer(enabled != FALSE, hr, delayMs);
}

TESTMUX_API HRESULT WINAPI TestMux_DeliverToSink(const char* fields, const BYTE* body, ULONG cbBody) {
  RETURN_HR_IF(E_POINTER, cbBody != 0 && body == nullptr);
  hv::MuxMessageContent content;
  RETURN_HR_IF(E_INVALIDARG, !ParseFields(fields, &content.fields));
  if (cbBody) content.body.assign(body, body + cbBody);
  auto endpoint = TestMuxState::Instance().Newest();
  RETURN_HR_IF(E_UNEXPECTED, !endpoint);
  ComPtr<hv::CMuxMessage> message;
  RETURN_IF_FAILED(hv::CMuxMessage::Create(std::move(content), message.put()));
  return CallOnOtherThread([endpoint, message] {
    return endpoint->Notify([&](IMuxSink* sink, LONG context) { return sink->OnMessage(context, message.get()); });
  });
}

TESTMUX_API HRESULT WINAPI TestMux_CloseConnection(HRESULT hrReason) {
  auto endpoint = TestMuxState::Instance().Newest();
  RETURN_HR_IF(E_UNEXPECTED, !endpoint);
  return CallOnOtherThread([endpoint, hrReason] { return endpoint->Close(hrReason); });
}

TESTMUX_API HRESULT WINAPI TestMux_GetSink(IMuxSink** ppSink, LONG* context) {
  RETURN_HR_IF(E_POINTER, ppSink == nullptr || context == nullptr);
  *ppSink = nullptr;
  *context = 0;
  auto endpoint = TestMuxState::Instance().Newest();
  RETURN_HR_IF(E_UNEXPECTED, !endpoint);
  ComPtr<IMuxSink> sink = endpoint->sink();
  RETURN_HR_IF(E_UNEXPECTED, !sink);
  *context = endpoint->context();
  *ppSink = sink.release();
  return S_OK;
}
