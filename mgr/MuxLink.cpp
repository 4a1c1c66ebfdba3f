// The manager's link to the Mux: the connection, the protocol messages it
// sends, and the answers that come back through its sink.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "common/DirectItemPost.h"
#include "common/Unique.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/WaitingItems.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "mgr/MuxProtocol.h"
#include "module/ModuleState.h"

namespace hv {
namespace {

bool RunningInServiceHost() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0) return false;
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash && _wcsicmp(slash + 1, L"Tarnhost.exe") == 0;
}

constexpr wchar_t kConnectSemaphore[] = L"CTAVDiagnosticLogMgr::GetConnectionToMux";

// Memory streams for the bodies of items posted directly, kept for the next
// item rather than made and freed for each. The lock is a slim one: under
// Wine it never asks the Wine server, however many threads log at once.
class BodyStreams {
 public:
  ComPtr<IStream> Take() {
    AcquireSRWLockExclusive(&lock_);
    ComPtr<IStream> stream;
    if (!kept_.empty()) {
      stream = std::move(kept_.back());
      kept_.pop_back();
    }
    ReleaseSRWLockExclusive(&lock_);
    if (!stream) CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    return stream;
  }
  void Give(ComPtr<IStream> stream) {
    // One large item must not leave its memory kept.
    STATSTG stat = {};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart > kKeptBytes) return;
    const LARGE_INTEGER start = {};
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return;
    AcquireSRWLockExclusive(&lock_);
    if (kept_.size() < kKept) kept_.push_back(std::move(stream));
    ReleaseSRWLockExclusive(&lock_);
  }

 private:
  // As many as threads usually log at once, of the size of common items.
  static constexpr size_t kKept = 16;
  static constexpr ULONGLONG kKeptBytes = 64 * 1024;
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<ComPtr<IStream>> kept_;
};

BodyStreams& TheBodyStreams() {
  static BodyStreams streams;
  return streams;
}

// The item saved into a kept memory stream and posted without a message
// object; what goes on the wire is what a "1" message would carry.
HRESULT PostDirectly(IHvDirectItemPost* direct, IUnknown* item) {
  ComPtr<IStream> body = TheBodyStreams().Take();
  RETURN_IF_NULL_ALLOC(body);
  ComPtr<IPersistStream> persist;
  if (SUCCEEDED(item->QueryInterface(IID_IPersistStream, persist.put_void())))
    persist->Save(body.get(), FALSE);  // a copy that cannot be saved still goes out
  // The stream is reused: the item's bytes end where saving left off.
  const LARGE_INTEGER here = {};
  ULARGE_INTEGER end = {};
  HGLOBAL memory = nullptr;
  RETURN_IF_FAILED(body->Seek(here, STREAM_SEEK_CUR, &end));
  RETURN_IF_FAILED(GetHGlobalFromStream(body.get(), &memory));
  static const BYTE kNothing = 0;
  const auto* bytes = end.QuadPart ? static_cast<const BYTE*>(GlobalLock(memory)) : &kNothing;
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, bytes);
  const HRESULT hr = direct->PostItemStream(bytes, static_cast<ULONG>(end.QuadPart), kMuxTimeoutMs);
  if (end.QuadPart) GlobalUnlock(memory);
  TheBodyStreams().Give(std::move(body));
  return hr;
}

}  // namespace

HRESULT CTAVDiagnosticLogMgr::GetConnectionToMux(IMuxConnection** ppConnection) {
  auto lock = lock_.lock();
  if (!muxService_) {
    RETURN_IF_FAILED(CoCreateInstance(CLSID_MuxService, nullptr, CLSCTX_ALL, IID_IMuxService,
                                      muxService_.put_void()));
  }
  if (!muxConnection_) {
    ComPtr<CMuxSink> sink = MakeObject<CMuxSink>();
    RETURN_IF_NULL_ALLOC(sink);
    sink->Attach(static_cast<IMuxSink*>(this));
    const HRESULT hr = ConnectWithSink(sink.get());
    // The sink of a failed attempt goes with it: a client that keeps logging
    // while the service is down must not pile up sinks and module locks.
    if (FAILED(hr)) {
      sink->Detach();
      return hr;
    }
    sinks_.push_back(sink);
  }
  RETURN_HR_IF_NULL(E_POINTER, ppConnection);
  muxConnection_.copy_to(ppConnection);
  return S_OK;
}

HRESULT CTAVDiagnosticLogMgr::ConnectWithSink(CMuxSink* sink) {
  const std::wstring address = MuxConnectAddress();
  IUnknown* sinkUnknown = static_cast<IMuxSink*>(sink);
  HRESULT hr = muxService_->Connect(address.c_str(), 0, sinkUnknown, muxConnection_.put());
  if (SUCCEEDED(hr)) return hr;
  // Inside the service host a second attempt could only wait for itself.
  if (RunningInServiceHost()) return E_FAIL;
  // One more attempt, one process at a time.
  unique_handle semaphore(CreateSemaphoreW(nullptr, 1, 1, kConnectSemaphore));
  if (!semaphore) return E_FAIL;
  WaitForSingleObject(semaphore.get(), INFINITE);
  hr = muxService_->Connect(address.c_str(), 0, sinkUnknown, muxConnection_.put());
  ReleaseSemaphore(semaphore.get(), 1, nullptr);
  return hr;
}

STDMETHODIMP CTAVDiagnosticLogMgr::OnConnectionClosed(LONG, LONG hrReason) {
  auto lock = lock_.lock();
  // The answers the waiting items expect cannot come any more: their waits
  // end now, with the outcome unknown, instead of at their time-outs.
  const size_t ended = WaitingItems::EndWaitsThrough(muxConnection_.get());
  if (TroubleShootMode()) {
    wchar_t line[160];
    std::swprintf(line, 160,
                  L"HV Diag: connection to the Mux closed (0x%08lX); %lu waiting item(s) end with E_PENDING\r\n",
                  static_cast<unsigned long>(hrReason), static_cast<unsigned long>(ended));
    OutputDebugStringW(line);
  }
  // No method of the old connection is called: it is gone.
  muxConnection_.reset();
  return S_OK;
}

HRESULT CTAVDiagnosticLogMgr::AssignTransactionId(IMuxMessage* msg) {
  auto lock = lock_.lock();
  const LONG id = nextTransactionId_;
  // Wraps from 2147483647 to -2147483648.
  nextTransactionId_ = static_cast<LONG>(static_cast<uint32_t>(nextTransactionId_) + 1u);
  return msg->SetField(kFieldTransId, FormatDecimal(id).c_str());
}

HRESULT CTAVDiagnosticLogMgr::SendItem(CTAVDiagnosticLog*, IUnknown* item, BOOL synchronous) {
  ComPtr<IMuxConnection> connection;
  RETURN_IF_FAILED(GetConnectionToMux(connection.put()));
  // The Mux component's own connection takes an asynchronous item without
  // a message object; the bytes it sends are the same.
  ComPtr<IHvDirectItemPost> direct;
  if (!synchronous && SUCCEEDED(connection->QueryInterface(__uuidof(IHvDirectItemPost), direct.put_void())))
    return PostDirectly(direct.get(), item);
  ComPtr<IMuxMessage> message;
  RETURN_IF_FAILED(connection->CreateMessage(message.put()));
  ComPtr<IStream> body;
  ComPtr<IPersistStream> persist;
  if (SUCCEEDED(message->QueryInterface(IID_IStream, body.put_void())) &&
      SUCCEEDED(item->QueryInterface(IID_IPersistStream, persist.put_void())))
    persist->Save(body.get(), FALSE);  // a copy that cannot be saved still goes out
  if (synchronous) {
    message->SetField(kFieldMsgType, kMsgItemAnswerWanted);
    ComPtr<CTAVDiagnosticLogItem> copy = CTAVDiagnosticLogItem::FromInterface(item);
    const LONG id = copy ? WaitingItems::IdOf(copy.get()) : 0;
    message->SetField(kFieldTransId, FormatDecimal(id).c_str());
    WaitingItems::SentThrough(id, connection.get());
  } else {
    message->SetField(kFieldMsgType, kMsgItem);
  }
  return connection->Post(message.get(), kMuxTimeoutMs);
}

HRESULT CTAVDiagnosticLogMgr::RequestAdaptorInterface(const GUID* clsid, AdaptorInfoRecord* record,
                                                      IUnknown** ppUnk, bool* flagsReply) {
  RETURN_HR_IF_NULL(E_POINTER, ppUnk);
  *ppUnk = nullptr;
  ComPtr<IMuxConnection> connection;
  RETURN_IF_FAILED(GetConnectionToMux(connection.put()));
  ComPtr<IMuxMessage> request;
  RETURN_IF_FAILED(connection->CreateMessage(request.put()));
  request->SetField(kFieldMsgType, kMsgAdaptorRequest);
  AssignTransactionId(request.get());
  request->SetData(0, sizeof(GUID), reinterpret_cast<const BYTE*>(clsid));
  ComPtr<IMuxMessage> reply;
  RETURN_IF_FAILED(connection->Transact(request.get(), reply.put(), kMuxTimeoutMs));
  const char* result = reply->GetField(kFieldHResult);
  RETURN_HR_IF_NULL(E_FAIL, result);
  const HRESULT replied = static_cast<HRESULT>(std::atol(result));
  RETURN_HR_IF(replied, replied < 0);
  if (flagsReply) {
    const char* answers = reply->GetField(kFieldFlagsReply);
    *flagsReply = answers && std::strcmp(answers, "1") == 0;
  }
  ComPtr<IStream> body;
  RETURN_IF_FAILED(reply->QueryInterface(IID_IStream, body.put_void()));
  ULONG read = 0;
  body->Read(record, sizeof(AdaptorInfoRecord), &read);  // count and result are not examined
  return CoUnmarshalInterface(body.get(), IID_IUnknown, reinterpret_cast<void**>(ppUnk));
}

STDMETHODIMP CTAVDiagnosticLogMgr::OnMessage(LONG context, IMuxMessage* msg) {
  RETURN_HR_IF(E_INVALIDARG, context == 0 || msg == nullptr);
  const char* type = msg->GetField(kFieldMsgType);
  RETURN_HR_IF_NULL(E_FAIL, type);
  if (std::atol(type) != 5) return S_OK;
  const char* result = msg->GetField(kFieldHResult);
  RETURN_HR_IF_NULL(E_FAIL, result);
  const char* transId = msg->GetField(kFieldTransId);
  RETURN_HR_IF_NULL(E_FAIL, transId);
  const LONG id = std::atol(transId);
  RETURN_HR_IF(E_FAIL, id == 0);
  // An answer for a copy that no longer waits touches nothing.
  ComPtr<CTAVDiagnosticLogItem> item = WaitingItems::Find(id);
  if (!item) return S_FALSE;
  auto itemLock = item->Lock();
  item->SetDeliveryResult(static_cast<HRESULT>(std::atol(result)));
  ComPtr<IStream> body;
  if (SUCCEEDED(msg->QueryInterface(IID_IStream, body.put_void()))) item->Load(body.get());
  item->SignalCompletion();
  return S_OK;
}

}  // namespace hv
