#include "mux/MuxLink.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>

#include "common/ByteStream.h"
#include "common/Result.h"
#include "mux/LinkHealth.h"
#include "mux/ModuleThread.h"
#include "mux/MuxWire.h"

namespace hv {
namespace {

using wire::FrameKind;

constexpr size_t kReadChunk = 256 * 1024;

HRESULT LastSocketError() { return HRESULT_FROM_WIN32(WSAGetLastError()); }

ULONGLONG DeadlineAfter(DWORD timeoutMs) {
  return timeoutMs == INFINITE ? ULLONG_MAX : GetTickCount64() + timeoutMs;
}

// Waits on cv until pred holds or the deadline passes; false on time-out.
template <typename Pred>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, ULONGLONG deadline, Pred pred) {
  while (!pred()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    // Slices keep an INFINITE wait clear of duration overflow.
    cv.wait_for(lock, std::chrono::milliseconds(std::min<ULONGLONG>(deadline - now, 60000)));
  }
  return true;
}

timeval TimevalUntil(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG left = deadline > now ? deadline - now : 0;
  timeval tv;
  tv.tv_sec = static_cast<long>(left / 1000);
  tv.tv_usec = static_cast<long>((left % 1000) * 1000);
  return tv;
}

// A blocking connect would wait as long as the system's SYN retries take for
// an address that never answers; the client must learn at once that the
// service is not there, so the connect is made non-blocking and bounded.
HRESULT ConnectWithin(SOCKET socket, const sockaddr* address, int length, ULONGLONG deadline) {
  u_long nonBlocking = 1;
  if (ioctlsocket(socket, FIONBIO, &nonBlocking) == SOCKET_ERROR) return LastSocketError();
  if (connect(socket, address, length) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return HRESULT_FROM_WIN32(error);
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval tv = TimevalUntil(deadline);
    const int ready = select(0, nullptr, &writable, &failed, &tv);
    if (ready == SOCKET_ERROR) return LastSocketError();
    if (ready == 0) return HRESULT_FROM_WIN32(WSAETIMEDOUT);
    int soError = 0;
    int soLength = sizeof(soError);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength) == SOCKET_ERROR)
      return LastSocketError();
    if (soError != 0) return HRESULT_FROM_WIN32(soError);
    if (FD_ISSET(socket, &failed)) return HRESULT_FROM_WIN32(WSAECONNREFUSED);
  }
  nonBlocking = 0;
  if (ioctlsocket(socket, FIONBIO, &nonBlocking) == SOCKET_ERROR) return LastSocketError();
  // The sender coalesces by itself; a transact must not wait for Nagle.
  BOOL noDelay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
  return S_OK;
}

HRESULT ConnectSocket(const MuxAddress& address, ULONGLONG deadline, SOCKET* connected) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (status != 0) return HRESULT_FROM_WIN32(status);
  HRESULT hr = HRESULT_FROM_WIN32(WSAEHOSTUNREACH);
  for (addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
    const SOCKET socket = ::socket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
    if (socket == INVALID_SOCKET) {
      hr = LastSocketError();
      continue;
    }
    hr = ConnectWithin(socket, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen), deadline);
    if (SUCCEEDED(hr)) {
      *connected = socket;
      break;
    }
    closesocket(socket);
  }
  freeaddrinfo(found);
  return hr;
}

HRESULT SendAll(SOCKET socket, const uint8_t* data, size_t size) {
  while (size) {
    const int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
    const int sent = send(socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (sent == SOCKET_ERROR) return LastSocketError();
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return S_OK;
}

}  // namespace

const HRESULT MuxLink::kNotConnected = HRESULT_FROM_WIN32(WSAENOTCONN);
const HRESULT MuxLink::kTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

MuxLink::MuxLink(SOCKET socket, ComPtr<IMuxSink> sink, LONG context)
    : socket_(socket),
      context_(context),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      sendDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      receiveDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      sink_(std::move(sink)) {}

MuxLink::~MuxLink() {
  closesocket(socket_);
  WSACleanup();
}

HRESULT MuxLink::Open(const MuxAddress& address, ComPtr<IMuxSink> sink, LONG context,
                      std::shared_ptr<MuxLink>* link) {
  RETURN_HR_IF_NULL(E_POINTER, link);
  link->reset();
  WSADATA data;
  const int started = WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) return HRESULT_FROM_WIN32(started);
  const ULONGLONG deadline = DeadlineAfter(kConnectTimeoutMs);
  SOCKET socket = INVALID_SOCKET;
  const HRESULT hr = ConnectSocket(address, deadline, &socket);
  if (FAILED(hr)) {
    WSACleanup();
    return hr;
  }
  // From here the link owns the socket and the Winsock start.
  std::shared_ptr<MuxLink> created(new (std::nothrow) MuxLink(socket, std::move(sink), context));
  if (!created) {
    closesocket(socket);
    WSACleanup();
    return E_OUTOFMEMORY;
  }
  RETURN_IF_FAILED(created->Greet(kConnectTimeoutMs));
  *link = std::move(created);
  return S_OK;
}

// The service answers Hello with the version both speak and the largest
// payload it takes, or refuses with an Error; nothing else may come first.
HRESULT MuxLink::Greet(DWORD timeoutMs) {
  const ULONGLONG deadline = DeadlineAfter(timeoutMs);
  std::vector<uint8_t> hello;
  const uint32_t helloId = NextFrameId();
  wire::AppendHelloFrame(&hello, helloId);
  RETURN_IF_FAILED(SendAll(socket_, hello.data(), hello.size()));
  std::vector<uint8_t> buffer(kReadChunk);
  for (;;) {
    MuxFrame frame;
    const MuxFrameReader::Status status = frames_.Next(&frame);
    if (status == MuxFrameReader::Status::Broken) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (status == MuxFrameReader::Status::HaveFrame) {
      if (frame.kind == FrameKind::Error) {
        HRESULT refused = E_FAIL;
        std::string why;
        if (!wire::DecodeError(frame.payload, frame.payloadSize, &refused, &why) || SUCCEEDED(refused))
          return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        return refused;
      }
      uint16_t version = 0;
      uint32_t maxPayload = 0;
      if (frame.kind != FrameKind::HelloReply || frame.id != helloId ||
          !wire::DecodeHelloReply(frame.payload, frame.payloadSize, &version, &maxPayload))
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      if (version != wire::kProtocolVersion) return RPC_E_VERSION_MISMATCH;
      maxPayload_ = std::min(maxPayload, wire::kMaxPayload);
      return S_OK;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval tv = TimevalUntil(deadline);
    const int ready = select(0, &readable, nullptr, nullptr, &tv);
    if (ready == SOCKET_ERROR) return LastSocketError();
    if (ready == 0) return HRESULT_FROM_WIN32(WSAETIMEDOUT);
    const int received = recv(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
    if (received == 0) return HRESULT_FROM_WIN32(WSAECONNRESET);
    if (received == SOCKET_ERROR) return LastSocketError();
    frames_.Append(buffer.data(), static_cast<size_t>(received));
  }
}

// The threads' transfers are overlapped so that Close can end them with the
// stop event: neither shutdown nor a close from another thread is a reliable
// way to wake a thread blocked in recv (under Wine shutdown does not wake it
// at all). Each costs the Wine server a request or two, so nothing is asked
// of it that the transfer does not need: starting the transfer resets its
// event, and one that completes at once is not waited for.
HRESULT MuxLink::Transfer(bool sending, uint8_t* data, size_t size, size_t* transferred) {
  *transferred = 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = sending ? sendDone_.get() : receiveDone_.get();
  WSABUF buffer;
  buffer.buf = reinterpret_cast<char*>(data);
  buffer.len = static_cast<ULONG>(std::min<size_t>(size, ULONG_MAX / 2));
  DWORD count = 0;
  DWORD flags = 0;
  const int started = sending ? WSASend(socket_, &buffer, 1, &count, 0, &overlapped, nullptr)
                              : WSARecv(socket_, &buffer, 1, &count, &flags, &overlapped, nullptr);
  if (started == 0) {
    *transferred = count;
    return S_OK;
  }
  if (WSAGetLastError() != WSA_IO_PENDING) return LastSocketError();
  return FinishTransfer(&overlapped, transferred);
}

HRESULT MuxLink::FinishTransfer(OVERLAPPED* overlapped, size_t* transferred) {
  *transferred = 0;
  DWORD count = 0;
  DWORD flags = 0;
  const HANDLE waits[2] = {overlapped->hEvent, stopEvent_.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(reinterpret_cast<HANDLE>(socket_), overlapped);
    // The transfer's buffers must outlive it: wait for the cancel to finish.
    WSAGetOverlappedResult(socket_, overlapped, &count, TRUE, &flags);
    std::lock_guard<std::mutex> lock(mutex_);
    return closeReason_;
  }
  if (!WSAGetOverlappedResult(socket_, overlapped, &count, FALSE, &flags)) return LastSocketError();
  *transferred = count;
  return S_OK;
}

HRESULT MuxLink::SendUnlessStopped(const uint8_t* data, size_t size) {
  while (size) {
    size_t sent = 0;
    RETURN_IF_FAILED(Transfer(true, const_cast<uint8_t*>(data), size, &sent));
    data += sent;
    size -= sent;
  }
  return S_OK;
}

HRESULT MuxLink::ReceiveUnlessStopped(uint8_t* buffer, size_t size, size_t* received) {
  return Transfer(false, buffer, size, received);
}

HRESULT MuxLink::Start() {
  RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !stopEvent_ || !sendDone_ || !receiveDone_);
  std::shared_ptr<MuxLink> self = shared_from_this();
  if (!StartModuleThread([self] { self->SendLoop(); })) return E_OUTOFMEMORY;
  if (!StartModuleThread([self] { self->ReadLoop(); })) {
    Close(E_OUTOFMEMORY, true);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

uint32_t MuxLink::NextFrameId() {
  // 0 is the id of the service's refusals that concern the link itself.
  if (++nextFrameId_ == 0) ++nextFrameId_;
  return nextFrameId_;
}

HRESULT MuxLink::EnqueueFrame(size_t payloadSize, uint32_t id, ULONGLONG deadline, bool answerAwaited,
                              const std::function<void(std::vector<uint8_t>*, uint32_t)>& append) {
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_MESSAGE_EXCEEDS_MAX_SIZE), payloadSize > maxPayload_);
  const size_t frameSize = wire::kHeaderSize + payloadSize;
  std::unique_lock<std::mutex> lock(mutex_);
  // While the service is known to have stopped reading nobody waits for room;
  // a wait in which the sender got nothing through shows that it has.
  const uint64_t sentBefore = framesSent_;
  const bool waits = !stalled_ && deadline > GetTickCount64();
  // A frame larger than the whole limit still goes, once the queue is empty.
  const bool room = WaitUntil(queueState_, lock, stalled_ ? 0 : deadline, [&] {
    return closed_ || closing_ || queue_.empty() || queue_.size() + frameSize <= kQueueLimitBytes;
  });
  if (closed_) return closeReason_;
  if (closing_) return kNotConnected;
  if (!room) {
    if (waits && framesSent_ == sentBefore) NoteStalled();
    return kTimedOut;
  }
  append(&queue_, id ? id : NextFrameId());
  ++framesQueued_;
  // Whoever sends now takes this frame with everything else queued meanwhile
  // when the send is done: only a sleeping sender with nobody sending is woken.
  if (!answerAwaited || sending_ || queue_.size() != frameSize) {
    if (senderSleeping_ && !sending_) {
      senderSleeping_ = false;
      sendWork_.notify_one();
    }
    return S_OK;
  }
  // The link is idle and the caller waits anyway: waking the sender would
  // cost more than the send itself.
  sending_ = true;
  batch_.swap(queue_);
  batchEnd_ = framesQueued_;
  lock.unlock();
  SendTaken();
  return S_OK;
}

void MuxLink::SendTaken() {
  WSABUF buffer;
  buffer.buf = reinterpret_cast<char*>(batch_.data());
  buffer.len = static_cast<ULONG>(std::min<size_t>(batch_.size(), ULONG_MAX / 2));
  sendOverlapped_ = OVERLAPPED();
  sendOverlapped_.hEvent = sendDone_.get();
  DWORD count = 0;
  HRESULT hr = S_OK;
  if (WSASend(socket_, &buffer, 1, &count, 0, &sendOverlapped_, nullptr) == 0)
    batchSent_ = count;
  else if (WSAGetLastError() == WSA_IO_PENDING)
    sendPending_ = true;
  else
    hr = LastSocketError();
  if (SUCCEEDED(hr) && batchSent_ < batch_.size()) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Once closed, the sender may be gone: the pending send is ended below.
    if (!closed_) {
      sendHandedOver_ = true;
      if (senderSleeping_) {
        senderSleeping_ = false;
        sendWork_.notify_one();
      }
      return;
    }
  }
  EndSend(SUCCEEDED(hr) ? FinishBatch() : hr);
}

HRESULT MuxLink::FinishBatch() {
  if (sendPending_) {
    size_t sent = 0;
    sendPending_ = false;
    RETURN_IF_FAILED(FinishTransfer(&sendOverlapped_, &sent));
    batchSent_ += sent;
  }
  return SendUnlessStopped(batch_.data() + batchSent_, batch_.size() - batchSent_);
}

void MuxLink::EndSend(HRESULT hr) {
  batch_.clear();
  batchSent_ = 0;
  // A failing send ends the link; what it did not send counts as dropped.
  if (FAILED(hr)) Close(hr, false);
  std::lock_guard<std::mutex> lock(mutex_);
  sending_ = false;
  if (SUCCEEDED(hr)) {
    framesSent_ = batchEnd_;
    NoteSendProgress();
  }
  queueState_.notify_all();
  if (senderSleeping_ && (!queue_.empty() || closing_)) {
    senderSleeping_ = false;
    sendWork_.notify_one();
  }
}

HRESULT MuxLink::Enqueue(CMuxMessage& message, FrameKind kind, uint32_t id, ULONGLONG deadline,
                         bool answerAwaited) {
  // Each lambda captures one pointer, so that neither std::function takes
  // memory of its own for every message.
  struct Frame {
    MuxLink* link;
    FrameKind kind;
    uint32_t id;
    ULONGLONG deadline;
    bool answerAwaited;
    const MuxMessageView* view;
  } frame{this, kind, id, deadline, answerAwaited, nullptr};
  // The message's lock is taken before the link's, never the other way round.
  return message.View([f = &frame](const MuxMessageView& view) -> HRESULT {
    f->view = &view;
    return f->link->EnqueueFrame(wire::MessagePayloadSize(view), f->id, f->deadline, f->answerAwaited,
                                 [f](std::vector<uint8_t>* queue, uint32_t frameId) {
                                   wire::AppendMessageFrame(queue, f->kind, frameId, *f->view);
                                 });
  });
}

HRESULT MuxLink::Post(CMuxMessage& message, DWORD timeoutMs, bool answerAwaited) {
  return Enqueue(message, FrameKind::Post, 0, DeadlineAfter(timeoutMs), answerAwaited);
}

HRESULT MuxLink::PostItem(const uint8_t* stream, size_t size, DWORD timeoutMs) {
  MuxMessageView view;
  view.fields = {{"MSGTYPE", "1"}};
  view.body = stream;
  view.bodySize = size;
  return EnqueueFrame(wire::MessagePayloadSize(view), 0, DeadlineAfter(timeoutMs), false,
                      [&view](std::vector<uint8_t>* queue, uint32_t frameId) {
                        wire::AppendMessageFrame(queue, FrameKind::Post, frameId, view);
                      });
}

HRESULT MuxLink::Register(const std::shared_ptr<PendingTransact>& pending, uint32_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The answer would have to come through this very thread.
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_POSSIBLE_DEADLOCK), GetCurrentThreadId() == readerThreadId_);
  if (closed_) return closeReason_;
  *id = NextFrameId();
  transacts_[*id] = pending;
  return S_OK;
}

HRESULT MuxLink::EnqueueRequest(FrameKind kind, const std::vector<uint8_t>& payload, uint32_t id, ULONGLONG deadline,
                                bool answerAwaited) {
  return EnqueueFrame(payload.size(), id, deadline, answerAwaited, [&](std::vector<uint8_t>* queue, uint32_t frameId) {
    wire::AppendFrame(queue, kind, frameId, payload.data(), payload.size());
  });
}

HRESULT MuxLink::Exchange(const std::shared_ptr<PendingTransact>& pending, ULONGLONG deadline,
                          const std::function<HRESULT(uint32_t)>& enqueue) {
  uint32_t id = 0;
  RETURN_IF_FAILED(Register(pending, &id));
  const HRESULT queued = enqueue(id);
  std::unique_lock<std::mutex> lock(mutex_);
  const bool answered = SUCCEEDED(queued) && WaitUntil(replies_, lock, deadline, [&] { return pending->done; });
  transacts_.erase(id);
  if (FAILED(queued)) return queued;
  if (!answered) return kTimedOut;
  return pending->result;
}

HRESULT MuxLink::Transact(CMuxMessage& request, MuxMessageContent* reply, DWORD timeoutMs) {
  const ULONGLONG deadline = DeadlineAfter(timeoutMs);
  auto pending = std::make_shared<PendingTransact>();
  RETURN_IF_FAILED(Exchange(pending, deadline, [&](uint32_t id) {
    return Enqueue(request, FrameKind::Transact, id, deadline, true);
  }));
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), pending->answer.kind != 0);
  *reply = std::move(pending->reply);
  return S_OK;
}

HRESULT MuxLink::Request(FrameKind kind, const std::vector<uint8_t>& payload, Answer* answer,
                         std::string* refusalText, DWORD timeoutMs, std::shared_ptr<PushTarget> subscriber) {
  const ULONGLONG deadline = DeadlineAfter(timeoutMs);
  auto pending = std::make_shared<PendingTransact>();
  pending->subscriber = std::move(subscriber);
  const HRESULT hr = Exchange(pending, deadline, [&](uint32_t id) {
    return EnqueueRequest(kind, payload, id, deadline, true);
  });
  if (refusalText) *refusalText = std::move(pending->refusalText);
  RETURN_IF_FAILED(hr);
  // A message Reply is no answer to a reading request.
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), pending->answer.kind == 0);
  *answer = std::move(pending->answer);
  return S_OK;
}

HRESULT MuxLink::Begin(FrameKind kind, const std::vector<uint8_t>& payload, DWORD timeoutMs, Ticket* ticket) {
  *ticket = Ticket();
  auto pending = std::make_shared<PendingTransact>();
  const ULONGLONG deadline = DeadlineAfter(timeoutMs);
  uint32_t id = 0;
  RETURN_IF_FAILED(Register(pending, &id));
  const HRESULT queued = EnqueueRequest(kind, payload, id, deadline, false);
  if (FAILED(queued)) {
    std::lock_guard<std::mutex> lock(mutex_);
    transacts_.erase(id);
    return queued;
  }
  ticket->id = id;
  ticket->pending = std::move(pending);
  return S_OK;
}

HRESULT MuxLink::Await(Ticket* ticket, DWORD timeoutMs, Answer* answer, std::string* refusalText) {
  RETURN_HR_IF(E_UNEXPECTED, !ticket->pending);
  const std::shared_ptr<PendingTransact> pending = std::move(ticket->pending);
  bool answered = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    answered = WaitUntil(replies_, lock, DeadlineAfter(timeoutMs), [&] { return pending->done; });
    transacts_.erase(ticket->id);
  }
  if (refusalText) *refusalText = std::move(pending->refusalText);
  if (!answered) return kTimedOut;
  RETURN_IF_FAILED(pending->result);
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), pending->answer.kind == 0);
  *answer = std::move(pending->answer);
  return S_OK;
}

void MuxLink::Forget(Ticket* ticket) {
  if (!ticket->pending) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // An answer still to come is dropped when it arrives.
  if (transacts_.erase(ticket->id) && !ticket->pending->done) unwaitedAnswers_.insert(ticket->id);
  ticket->pending.reset();
}

HRESULT MuxLink::Send(FrameKind kind, const std::vector<uint8_t>& payload) {
  uint32_t id = 0;
  {
    // Its answer, even a refusal, is nobody's business: it must not pass
    // for a refused post.
    std::lock_guard<std::mutex> lock(mutex_);
    id = NextFrameId();
    unwaitedAnswers_.insert(id);
  }
  return EnqueueRequest(kind, payload, id, DeadlineAfter(kConnectTimeoutMs), false);
}

void MuxLink::DropSubscription(uint32_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(number);
}

void MuxLink::EndSubscriptions(HRESULT reason) {
  std::vector<std::shared_ptr<PushTarget>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : subscriptions_)
      if (auto target = entry.second.lock()) targets.push_back(std::move(target));
    subscriptions_.clear();
  }
  for (auto& target : targets) target->OnEnded(reason, "The connection to the Mux service closed.");
}

HRESULT MuxLink::Flush(DWORD timeoutMs) {
  const ULONGLONG deadline = DeadlineAfter(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t target = framesQueued_;
  WaitUntil(queueState_, lock, deadline, [&] { return closed_ || framesSent_ >= target; });
  if (framesSent_ >= target) return S_OK;
  if (closed_) return closeReason_;
  return S_FALSE;
}

HRESULT MuxLink::Disconnect(DWORD flushTimeoutMs) {
  const ULONGLONG deadline = DeadlineAfter(flushTimeoutMs);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return S_OK;
    closing_ = true;
    sendWork_.notify_one();
    // The sender closes the link once the queue is sent.
    WaitUntil(queueState_, lock, deadline, [&] { return closed_; });
  }
  Close(kNotConnected, true);
  return S_OK;
}

void MuxLink::Stop() {
  // Released after the lock: the release may run client code.
  ComPtr<IMuxSink> sink;
  std::lock_guard<std::mutex> lock(notifyMutex_);
  stopped_ = true;
  sink.swap(sink_);
}

void MuxLink::Abandon() {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  closing_ = true;
  sendWork_.notify_one();
}

void MuxLink::Notify(const std::function<void(IMuxSink*, LONG)>& call) {
  ComPtr<IMuxSink> sink;
  {
    std::lock_guard<std::mutex> lock(notifyMutex_);
    if (stopped_ || !sink_) return;
    sink = sink_;
  }
  call(sink.get(), context_);
}

void MuxLink::Close(HRESULT reason, bool local) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    closedLocally_ = local;
    closeReason_ = reason;
    for (auto& entry : transacts_) {
      if (entry.second->done) continue;
      entry.second->done = true;
      entry.second->result = reason;
    }
    sendWork_.notify_all();
    queueState_.notify_all();
    replies_.notify_all();
  }
  // Ends the reader's and the sender's waits. The socket itself is closed by
  // the link's destructor, once both have let go of it: closing it under a
  // thread that is about to use it could hand that thread a reused handle.
  SetEvent(stopEvent_.get());
}

void MuxLink::SendLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A send a poster handed over is finished even on a closed link: its
      // buffers must outlive it.
      while (!sendHandedOver_ && !closed_ && (sending_ || (!closing_ && queue_.empty()))) {
        senderSleeping_ = true;
        sendWork_.wait(lock);
      }
      senderSleeping_ = false;
      if (sendHandedOver_) {
        sendHandedOver_ = false;
        lock.unlock();
        const HRESULT hr = FinishBatch();
        EndSend(hr);
        if (FAILED(hr)) return;
        continue;
      }
      if (closed_) return;
      if (queue_.empty()) {
        // Everything is sent and the client is closing. The service learns
        // that nothing more comes, sends what it still owes and closes; the
        // reader reads on until then, because unread bytes would turn the
        // close into a reset that can cost the service the last frames it
        // has not read yet.
        lock.unlock();
        shutdown(socket_, SD_SEND);
        lock.lock();
        WaitUntil(queueState_, lock, DeadlineAfter(kCloseLingerMs), [&] { return closed_; });
        lock.unlock();
        Close(kNotConnected, true);
        return;
      }
      // Everything queued goes in one send: this is what makes posting fast.
      sending_ = true;
      batch_.swap(queue_);
      batchEnd_ = framesQueued_;
      queueState_.notify_all();
    }
    const HRESULT hr = SendUnlessStopped(batch_.data(), batch_.size());
    EndSend(hr);
    if (FAILED(hr)) return;
  }
}

void MuxLink::NoteStalled() {
  if (stalled_) return;
  stalled_ = true;
  LinkHealth::Trace(L"HV Mux: the service has stopped reading; sends fail at once until it reads again");
}

void MuxLink::NoteSendProgress() {
  if (!stalled_) return;
  stalled_ = false;
  LinkHealth::Trace(L"HV Mux: the service reads again");
}

void MuxLink::ReadLoop() {
  // The sink may create and load COM objects from the messages it receives.
  const HRESULT comStarted = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    readerThreadId_ = GetCurrentThreadId();
  }
  std::vector<uint8_t> buffer(kReadChunk);
  HRESULT reason = S_OK;
  for (;;) {
    MuxFrame frame;
    MuxFrameReader::Status status;
    while ((status = frames_.Next(&frame)) == MuxFrameReader::Status::HaveFrame)
      Dispatch(static_cast<uint16_t>(frame.kind), frame.id, frame.payload, frame.payloadSize);
    if (status == MuxFrameReader::Status::Broken) {
      reason = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      break;
    }
    size_t received = 0;
    reason = ReceiveUnlessStopped(buffer.data(), buffer.size(), &received);
    if (FAILED(reason)) break;
    if (received == 0) {
      reason = HRESULT_FROM_WIN32(ERROR_GRACEFUL_DISCONNECT);
      break;
    }
    frames_.Append(buffer.data(), received);
  }
  bool local = false;
  uint64_t dropped = 0;
  bool closing = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The service says why before it drops a link it refuses.
    if (FAILED(refusal_)) reason = refusal_;
    closing = closing_;
  }
  // The end of a link the client is closing is the client's own doing.
  if (closing)
    Close(kNotConnected, true);
  else
    Close(reason, false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    local = closedLocally_;
    reason = closeReason_;
    dropped = framesQueued_ - framesSent_;
  }
  EndSubscriptions(reason);
  if (!local) {
    if (dropped) Notify([&](IMuxSink* sink, LONG context) {
      sink->OnPostFailed(context, static_cast<LONG>(std::min<uint64_t>(dropped, LONG_MAX)), reason);
    });
    Notify([&](IMuxSink* sink, LONG context) { sink->OnConnectionClosed(context, reason); });
  }
  // The link notifies nothing more.
  Stop();
  if (SUCCEEDED(comStarted)) CoUninitialize();
}

void MuxLink::Dispatch(uint16_t kind, uint32_t id, const uint8_t* payload, size_t size) {
  switch (static_cast<FrameKind>(kind)) {
    case FrameKind::Reply: {
      MuxMessageContent content;
      const bool decoded = wire::DecodeMessage(payload, size, &content);
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = transacts_.find(id);
      // A reply after its transact stopped waiting has no one to go to.
      if (found == transacts_.end() || found->second->done) return;
      found->second->done = true;
      found->second->result = decoded ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      found->second->reply = std::move(content);
      replies_.notify_all();
      return;
    }
    case FrameKind::Error: {
      HRESULT refused = E_FAIL;
      std::string why;
      if (!wire::DecodeError(payload, size, &refused, &why)) refused = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      if (SUCCEEDED(refused)) refused = E_FAIL;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (id == 0) {
          refusal_ = refused;
          return;
        }
        if (unwaitedAnswers_.erase(id)) return;
        auto found = transacts_.find(id);
        if (found != transacts_.end()) {
          if (!found->second->done) {
            found->second->done = true;
            found->second->result = refused;
            found->second->refusalText = std::move(why);
            replies_.notify_all();
          }
          return;
        }
      }
      // Not a waiting transact: a posted message the service refused.
      Notify([&](IMuxSink* sink, LONG context) { sink->OnPostFailed(context, 1, refused); });
      return;
    }
    case FrameKind::Notify: {
      MuxMessageContent content;
      // A malformed message is dropped; the frames around it are intact.
      if (!wire::DecodeMessage(payload, size, &content)) return;
      ComPtr<CMuxMessage> message;
      if (FAILED(CMuxMessage::Create(std::move(content), message.put()))) return;
      Notify([&](IMuxSink* sink, LONG context) { sink->OnMessage(context, message.get()); });
      return;
    }
    case FrameKind::ReaderOpened:
    case FrameKind::Page:
    case FrameKind::Done:
    case FrameKind::Subscribed: {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unwaitedAnswers_.erase(id)) return;
      auto found = transacts_.find(id);
      if (found == transacts_.end() || found->second->done) return;
      PendingTransact& pending = *found->second;
      pending.done = true;
      pending.answer.kind = kind;
      pending.answer.payload.assign(payload, payload + size);
      // Registered here, on the thread that reads the pushes, so that none
      // that follows the answer can miss its target.
      if (kind == static_cast<uint16_t>(FrameKind::Subscribed) && pending.subscriber && size == 4) {
        uint32_t number = 0;
        ByteReader(payload, size).u32(&number);
        subscriptions_[number] = pending.subscriber;
      }
      replies_.notify_all();
      return;
    }
    case FrameKind::Push:
    case FrameKind::SubscriptionEnded: {
      std::shared_ptr<PushTarget> target;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = subscriptions_.find(id);
        if (found == subscriptions_.end()) return;
        target = found->second.lock();
        if (!target || kind == static_cast<uint16_t>(FrameKind::SubscriptionEnded)) subscriptions_.erase(found);
      }
      if (!target) return;
      if (kind == static_cast<uint16_t>(FrameKind::Push)) {
        ByteReader r(payload, size);
        uint32_t count = 0;
        if (r.u32(&count)) target->OnPush(count, r.current(), r.remaining());
        return;
      }
      HRESULT ended = E_FAIL;
      std::string why;
      if (!wire::DecodeError(payload, size, &ended, &why) || SUCCEEDED(ended)) ended = E_FAIL;
      target->OnEnded(ended, why);
      return;
    }
    default:
      // Kinds of later versions of the service, and the greeting's answer
      // repeated: nothing this component acts on.
      return;
  }
}

}  // namespace hv
