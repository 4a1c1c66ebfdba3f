// TestMux.dll: the double's COM server and TestMuxControl.h. Nothing travels:
// connections record what their client sends and answer what the test set.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TestMuxControl.h"
#include "common/ClassFactory.h"
#include "common/ComRegistration.h"
#include "common/ModuleLock.h"
#include "mux/CMuxMessage.h"

namespace hv::testmux {
namespace {

// The client side of one connection, under the state's lock; stopped: no sink.
struct Endpoint {
  ComPtr<IMuxSink> sink;
  LONG context = 0;
};

struct Reply {
  HRESULT transactResult = S_OK;
  MuxMessageContent content;
  ComPtr<IUnknown> marshalAfterBody;
};

// Everything recorded and everything the test set, for the whole process.
struct State {
  std::string callLog;
  LONG failConnects = 0, failPosts = 0;
  HRESULT failConnectHr = S_OK, failPostHr = S_OK;
  LONG connectCount = 0, nextContext = 0;
  std::vector<std::shared_ptr<Endpoint>> live;
  std::vector<std::pair<MuxMessageContent, LONG>> messages;  // with how each was sent
  std::map<std::string, std::deque<Reply>> replies;
};

// Never destroyed: threads of the double may still use them while the process ends.
std::mutex& theMutex = *new std::mutex();
std::condition_variable& recorded = *new std::condition_variable();
State& theState = *new State();

// Runs f on the state under its lock.
template <typename F>
auto Locked(F f) {
  std::lock_guard<std::mutex> lock(theMutex);
  return f(theState);
}

HRESULT Log(const std::string& call) {
  Locked([&](State& s) { s.callLog += (s.callLog.empty() ? "" : ";") + call; });
  return S_OK;
}

// The failure that is due now, counting it; S_OK when none is (count -1: every time).
HRESULT Due(LONG* count, HRESULT hr) {
  if (*count == 0) return S_OK;
  if (*count > 0) --*count;
  return hr;
}

// Fields from "name=value\0...\0\0".
bool ParseFields(const char* list, std::vector<std::pair<std::string, std::string>>* fields) {
  for (const char* entry = list; entry && *entry; entry += std::strlen(entry) + 1) {
    const char* equals = std::strchr(entry, '=');
    if (!equals || equals == entry) return false;
    fields->emplace_back(std::string(entry, equals), std::string(equals + 1));
  }
  return true;
}

HRESULT MakeMessage(MuxMessageContent content, IMuxMessage** ppMsg) {
  ComPtr<CMuxMessage> message;
  RETURN_IF_FAILED(CMuxMessage::Create(std::move(content), message.put()));
  *ppMsg = message.release();
  return S_OK;
}

class Connection final : public IMuxConnection, public ComObject {
 public:
  HV_COM_OBJECT(Connection)
  static inline const QIEntry kInterfaces[] = {HV_QI_ENTRY(Connection, IMuxConnection), HV_QI_END};

  explicit Connection(std::shared_ptr<Endpoint> endpoint) : endpoint_(std::move(endpoint)) {}

  STDMETHODIMP CreateMessage(IMuxMessage** ppMsg) override { return MakeMessage({}, ppMsg); }
  STDMETHODIMP Post(IMuxMessage* msg, ULONG) override { return Record(msg, TestMuxSend_Post); }
  STDMETHODIMP Transact(IMuxMessage* request, IMuxMessage** ppReply, ULONG) override {
    *ppReply = nullptr;
    RETURN_IF_FAILED(Record(request, TestMuxSend_Transact));
    const char* type = request->GetField("MSGTYPE");
    Reply reply;
    RETURN_IF_FAILED(Locked([&](State& s) {
      auto& replies = s.replies[type ? type : ""];
      // Without a reply the service would never answer: not worth waiting for.
      if (replies.empty()) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
      reply = replies.front();
      if (replies.size() > 1) replies.pop_front();  // the last one answers every later request
      return reply.transactResult;
    }));
    ComPtr<IMuxMessage> answer;
    RETURN_IF_FAILED(MakeMessage(std::move(reply.content), answer.put()));
    const char* requestId = request->GetField("transid");
    if (requestId && !answer->GetField("transid")) RETURN_IF_FAILED(answer->SetField("transid", requestId));
    if (reply.marshalAfterBody) {
      IStream* body = static_cast<CMuxMessage*>(answer.get());
      const LARGE_INTEGER zero = {};
      RETURN_IF_FAILED(body->Seek(zero, STREAM_SEEK_END, nullptr));
      RETURN_IF_FAILED(CoMarshalInterface(body, IID_IUnknown, reply.marshalAfterBody.get(), MSHCTX_INPROC, nullptr,
                                          MSHLFLAGS_NORMAL));
      RETURN_IF_FAILED(body->Seek(zero, STREAM_SEEK_SET, nullptr));
    }
    *ppReply = answer.release();
    return S_OK;
  }
  STDMETHODIMP Flush(ULONG) override { return Log("Flush"); }
  STDMETHODIMP Disconnect() override { return Log("Disconnect"); }
  STDMETHODIMP Stop(LONG value) override {
    Log("Stop(" + std::to_string(value) + ")");
    RETURN_HR_IF(E_INVALIDARG, value != 0);
    StopEndpoint();
    return S_OK;
  }

 private:
  ~Connection() override {
    Log("Release");
    StopEndpoint();
    Locked([&](State& s) { s.live.erase(std::remove(s.live.begin(), s.live.end(), endpoint_), s.live.end()); });
  }

  void StopEndpoint() {
    ComPtr<IMuxSink> released;  // after the lock: the release may run client code
    Locked([&](State&) { released.swap(endpoint_->sink); });
  }
  // Keeps what was sent, unless a failed post is due.
  HRESULT Record(IMuxMessage* msg, LONG kind) {
    ComPtr<CMuxMessage> message = CMuxMessage::FromInterface(msg);
    RETURN_HR_IF(E_INVALIDARG, !message);
    Log(kind == TestMuxSend_Post ? "Post" : "Transact");
    MuxMessageContent content;
    RETURN_IF_FAILED(message->Snapshot(&content));
    return Locked([&](State& s) {
      RETURN_IF_FAILED(kind == TestMuxSend_Post ? Due(&s.failPosts, s.failPostHr) : S_OK);
      s.messages.emplace_back(std::move(content), kind);
      recorded.notify_all();
      return S_OK;
    });
  }
  std::shared_ptr<Endpoint> endpoint_;
};

// Connect succeeds without a service, unless the test made it fail.
class Service final : public IMuxService, public ComObject {
 public:
  HV_COM_OBJECT(Service)
  static inline const QIEntry kInterfaces[] = {HV_QI_ENTRY(Service, IMuxService), HV_QI_END};

  STDMETHODIMP Connect(LPCWSTR address, LONG reserved, IUnknown* sink, IMuxConnection** ppConnection) override {
    *ppConnection = nullptr;
    RETURN_HR_IF(E_INVALIDARG, address == nullptr || reserved != 0 || sink == nullptr);
    ComPtr<IMuxSink> muxSink;
    RETURN_IF_FAILED(sink->QueryInterface(IID_IMuxSink, muxSink.put_void()));
    Log("Connect(" + std::string(address, address + wcslen(address)) + ")");  // addresses are ASCII
    auto endpoint = std::make_shared<Endpoint>(Endpoint{muxSink});
    RETURN_IF_FAILED(Locked([&](State& s) {
      ++s.connectCount;
      endpoint->context = ++s.nextContext;  // never 0
      const HRESULT failure = Due(&s.failConnects, s.failConnectHr);
      if (SUCCEEDED(failure)) s.live.push_back(endpoint);
      return failure;
    }));
    ComPtr<Connection> connection = MakeObject<Connection>(endpoint);
    RETURN_IF_NULL_ALLOC(connection);
    muxSink->OnConnected(endpoint->context);
    *ppConnection = connection.release();
    return S_OK;
  }

 private:
  ~Service() override = default;
};

HRESULT AddReply(bool replace, const char* msgType, HRESULT transactResult, const char* fields, const wchar_t* text,
                 const BYTE* body, ULONG cbBody, IUnknown* marshalAfterBody) {
  Reply reply;
  reply.transactResult = transactResult;
  RETURN_HR_IF(E_INVALIDARG, !ParseFields(fields, &reply.content.fields));
  reply.content.hasText = text != nullptr;
  if (text) reply.content.text = text;
  if (cbBody) reply.content.body.assign(body, body + cbBody);
  reply.marshalAfterBody = ComPtr<IUnknown>(marshalAfterBody);
  std::deque<Reply> dropped;  // released after the lock
  std::lock_guard<std::mutex> lock(theMutex);
  if (replace) dropped.swap(theState.replies[msgType]);
  theState.replies[msgType].push_back(std::move(reply));
  return S_OK;
}

}  // namespace
}  // namespace hv::testmux

using namespace hv::testmux;
using hv::ComPtr;

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  *ppv = nullptr;
  RETURN_HR_IF(CLASS_E_CLASSNOTAVAILABLE, !IsEqualCLSID(clsid, CLSID_MuxService));
  ComPtr<hv::ClassFactory> factory = hv::MakeObject<hv::ClassFactory>(&hv::CreateObject<Service>);
  RETURN_IF_NULL_ALLOC(factory);
  return factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return hv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

// Takes the Mux service's class id over.
STDAPI DllRegisterServer() {
  const std::wstring self = hv::ThisModulePath();
  RETURN_IF_FAILED(hv::RegisterInprocClass(CLSID_MuxService, L"MuxService Class (test double)", self, LIBID_HVMuxLib));
  return hv::RegisterTypeLibOf(self);
}

// Gives the class id back to the real component (or removes the class when
// there is none), unless another server has taken it since.
STDAPI DllUnregisterServer() {
  std::wstring current;
  RETURN_IF_FAILED(hv::RegisteredInprocServer(CLSID_MuxService, &current));
  const std::wstring self = hv::ThisModulePath();
  if (!current.empty() && _wcsicmp(current.c_str(), self.c_str()) != 0) return S_OK;
  // The real component lies beside the double in the build's folder.
  const std::wstring real = self.substr(0, self.find_last_of(L"\\/") + 1) + L"HVMux.dll";
  if (GetFileAttributesW(real.c_str()) != INVALID_FILE_ATTRIBUTES) {
    RETURN_IF_FAILED(hv::RegisterInprocClass(CLSID_MuxService, L"MuxService Class", real, LIBID_HVMuxLib));
    return hv::RegisterTypeLibOf(real);
  }
  RETURN_IF_FAILED(hv::UnregisterInprocClass(CLSID_MuxService));
  return hv::UnregisterTypeLibVersion(LIBID_HVMuxLib, 1, 0, LOCALE_NEUTRAL);
}

TESTMUX_API void WINAPI TestMux_Reset(void) {
  State old;  // released after the lock: releases may run client code
  Locked([&](State& s) {
    std::swap(s, old);
    s.nextContext = old.nextContext;  // contexts stay unique
  });
}

TESTMUX_API void WINAPI TestMux_FailConnect(LONG count, HRESULT hr) {
  Locked([&](State& s) { s.failConnects = count, s.failConnectHr = hr; });
}

TESTMUX_API LONG WINAPI TestMux_ConnectCount(void) {
  return Locked([](State& s) { return s.connectCount; });
}

TESTMUX_API LONG WINAPI TestMux_MessageCount(void) {
  return Locked([](State& s) { return static_cast<LONG>(s.messages.size()); });
}

TESTMUX_API BOOL WINAPI TestMux_WaitForMessages(LONG count, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(theMutex);
  return recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return static_cast<LONG>(theState.messages.size()) >= count; });
}

TESTMUX_API HRESULT WINAPI TestMux_GetMessage(LONG index, IMuxMessage** ppMsg, LONG* sendKind) {
  *ppMsg = nullptr;
  std::pair<hv::MuxMessageContent, LONG> message;
  RETURN_IF_FAILED(Locked([&](State& s) {
    RETURN_HR_IF(E_INVALIDARG, index < 0 || static_cast<size_t>(index) >= s.messages.size());
    message = s.messages[index];
    return S_OK;
  }));
  if (sendKind) *sendKind = message.second;
  return MakeMessage(std::move(message.first), ppMsg);
}

TESTMUX_API ULONG WINAPI TestMux_CallLog(char* buffer, ULONG cchBuffer) {
  return Locked([&](State& s) {
    if (buffer && cchBuffer) lstrcpynA(buffer, s.callLog.c_str(), static_cast<int>(cchBuffer));
    return static_cast<ULONG>(s.callLog.size());
  });
}

TESTMUX_API void WINAPI TestMux_FailPost(LONG count, HRESULT hr) {
  Locked([&](State& s) { s.failPosts = count, s.failPostHr = hr; });
}

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

TESTMUX_API HRESULT WINAPI TestMux_GetSink(IMuxSink** ppSink, LONG* context) {
  *ppSink = nullptr;
  *context = 0;
  return Locked([&](State& s) {
    RETURN_HR_IF(E_UNEXPECTED, s.live.empty() || !s.live.back()->sink);
    *context = s.live.back()->context;
    *ppSink = ComPtr<IMuxSink>(s.live.back()->sink).release();
    return S_OK;
  });
}
