#include "service/Connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "protocol/Hello.h"

namespace hv::host {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// What a stopping host still reads from one client before it gives up
// reading: everything a client had sent before the stop, within reason.
constexpr size_t kMaxDrainBytes = size_t(64) << 20;

const char* KindName(FrameKind kind) {
  switch (kind) {
    case FrameKind::Hello: return "Hello";
    case FrameKind::HelloReply: return "HelloReply";
    case FrameKind::Post: return "Post";
    case FrameKind::Transact: return "Transact";
    case FrameKind::Reply: return "Reply";
    case FrameKind::Notify: return "Notify";
    case FrameKind::Error: return "Error";
    default: break;
  }
  return "unknown";
}

}  // namespace

Connection::Connection(uint64_t number, Socket socket, const std::string& peerAddress, MessageHandler& handler,
                       Logger& log, const StopSignal& stop, ReadService* reading, const Limits& limits,
                       ByteBudget& budget, std::vector<uint8_t> early, Account account)
    : label_("connection " + std::to_string(number) + " from " + peerAddress +
             (account.known ? " (" + account.name + ")" : "")),
      account_(std::move(account)),
      socket_(std::move(socket)),
      handler_(handler),
      log_(log),
      stop_(stop),
      limits_(limits),
      budget_(budget),
      sender_(socket_.fd(), log, label_, limits.maxSendBacklog, &budget),
      early_(std::move(early)),
      reading_(reading) {}

Connection::~Connection() {
  Join();
  budget_.Give(held_);
}

void Connection::Start() {
  log_.Line(label_ + ": opened; may " + RightsText(account_.rights));
  sender_.Start();
  auto self = shared_from_this();
  reader_ = std::thread([self] { self->ReadLoop(); });
}

bool Connection::Finished() const { return readerThreadDone_.load() && sender_.ended(); }

void Connection::Join() {
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) reader_.detach();
    else reader_.join();
  }
  sender_.Join();
}

void Connection::SendFrame(std::vector<uint8_t> frame) { sender_.Queue(std::move(frame)); }

void Connection::OweAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++owed_;
}

void Connection::SendAnswer(std::vector<uint8_t> frame) {
  sender_.Queue(std::move(frame));
  std::lock_guard<std::mutex> lock(mutex_);
  --owed_;
  FinishIfDone();
}

void Connection::ReaderEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  readerEnded_ = true;
  FinishIfDone();
}

void Connection::FinishIfDone() {
  if (readerEnded_ && owed_ == 0) sender_.Finish();
}

void Connection::SendError(uint32_t frameId, HResult result, const std::string& why) {
  log_.Line(label_ + ": refused frame " + std::to_string(frameId) + ": " + why, Logger::kWarning);
  ErrorPayload e{result, why};
  sender_.Queue(FrameCodec::Encode(FrameKind::Error, frameId, [&](ByteWriter& w) { e.Write(w); }));
}

bool Connection::HoldPending() {
  size_t pending = frames_.Pending();
  if (pending > held_ && !budget_.Take(pending - held_)) {
    log_.Line(label_ + ": dropped: the host holds " + std::to_string(budget_.used() >> 20) +
              " MiB for its clients, its limit, and this connection's frame needs " + std::to_string(pending) +
              " bytes", Logger::kWarning);
    return false;
  }
  if (pending < held_) budget_.Give(held_ - pending);
  held_ = pending;
  auto now = std::chrono::steady_clock::now();
  lastReceived_ = now;
  if (pending && framesCompleted_) partialSince_ = now;
  return true;
}

bool Connection::InTime(int* waitMs) {
  using namespace std::chrono;
  auto now = steady_clock::now();
  *waitMs = -1;
  auto wait = [&](steady_clock::time_point since, int limitMs) {
    int left = int(duration_cast<milliseconds>(since + milliseconds(limitMs) - now).count());
    if (*waitMs < 0 || left < *waitMs) *waitMs = left < 0 ? 0 : left + 1;
    return left > 0;
  };
  if (frames_.Pending() && !wait(partialSince_, limits_.frameTimeoutMs)) {
    log_.Line(label_ + ": dropped: a frame is still incomplete after " + std::to_string(limits_.frameTimeoutMs / 1000) +
              " s (" + std::to_string(frames_.Pending()) + " bytes in)", Logger::kWarning);
    return false;
  }
  if (limits_.idleTimeoutMs > 0 && !frames_.Pending()) {
    bool holds;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      holds = owed_ > 0 || (readSession_ && readSession_->Holds());
    }
    if (!holds && !wait(lastReceived_, limits_.idleTimeoutMs)) {
      log_.Line(label_ + ": closed after " + std::to_string(limits_.idleTimeoutMs / 1000) + " s without a frame");
      return false;
    }
  }
  return true;
}

void Connection::ReadLoop() {
  std::vector<uint8_t> buffer(kReadChunk);
  lastReceived_ = partialSince_ = std::chrono::steady_clock::now();
  bool reading = early_.empty() || Consume(early_.data(), early_.size());
  std::vector<uint8_t>().swap(early_);
  int waitMs = -1;
  while (reading && InTime(&waitMs)) {
    pollfd fds[2] = {{socket_.fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    int r = ::poll(fds, 2, waitMs);
    if (r == 0) continue;
    if (r < 0) {
      if (errno == EINTR) continue;
      log_.Line(label_ + ": closed, poll failed: " + std::strerror(errno), Logger::kError);
      break;
    }
    if (fds[1].revents) {
      Drain();
      break;
    }
    ssize_t n = ::recv(socket_.fd(), buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log_.Line(label_ + ": closed, receiving failed: " + std::strerror(errno), Logger::kError);
      break;
    }
    if (n == 0) {
      uint32_t length;
      if (frames_.Pending() == 0)
        log_.Line(label_ + ": closed by the client");
      else if (frames_.PendingLength(&length))
        log_.Line(label_ + ": the client closed in the middle of a frame (" + std::to_string(frames_.Pending()) +
                  " of " + std::to_string(4 + uint64_t(length)) + " bytes); the partial frame is dropped",
                  Logger::kWarning);
      else
        log_.Line(label_ + ": the client closed in the middle of a frame length; the partial frame is dropped",
                  Logger::kWarning);
      break;
    }
    if (!Consume(buffer.data(), size_t(n))) break;
  }
  // Nothing more is read; a partial frame is let go.
  ::shutdown(socket_.fd(), SHUT_RD);
  frames_ = FrameReader();
  budget_.Give(held_);
  held_ = 0;
  // Readers and subscriptions end with the client's side of the connection.
  if (readSession_) readSession_->End();
  ReaderEnded();
  readerThreadDone_.store(true);
}

void Connection::Drain() {
  std::vector<uint8_t> buffer(kReadChunk);
  size_t total = 0;
  while (total < kMaxDrainBytes) {
    ssize_t n = ::recv(socket_.fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += size_t(n);
    if (!Consume(buffer.data(), size_t(n))) return;
  }
  if (frames_.Pending())
    log_.Line(label_ + ": closed by the stopping host; " + std::to_string(frames_.Pending()) +
              " bytes of an incomplete frame are dropped");
  else
    log_.Line(label_ + ": closed by the stopping host");
}

bool Connection::Consume(const uint8_t* data, size_t size) {
  frames_.Append(data, size);
  framesCompleted_ = held_ == 0;
  for (;;) {
    Frame frame;
    std::string why;
    switch (frames_.Next(&frame, &why)) {
      case FrameReader::Status::NeedMore:
        return HoldPending();
      case FrameReader::Status::Broken:
        SendError(0, E_INVALID_DATA, why + "; the connection is closed");
        return false;
      case FrameReader::Status::HaveFrame:
        framesCompleted_ = true;
        if (!HandleFrame(frame)) return false;
        break;
    }
  }
}

bool Connection::HandleHello(const Frame& frame) {
  Hello hello;
  if (frame.kind != FrameKind::Hello) {
    SendError(frame.id, E_INVALID_DATA, "the first frame must be Hello; the connection is closed");
    return false;
  }
  if (!Hello::Decode(frame.payload.data(), frame.payload.size(), &hello)) {
    SendError(frame.id, E_INVALID_DATA, "Hello is malformed; the connection is closed");
    return false;
  }
  if (hello.lowest > Hello::kVersion || hello.highest < Hello::kVersion) {
    SendError(frame.id, RPC_E_VERSION_MISMATCH,
              "the client speaks versions " + std::to_string(hello.lowest) + " to " + std::to_string(hello.highest) +
                  ", the host speaks " + std::to_string(Hello::kVersion) + "; the connection is closed");
    return false;
  }
  HelloReply reply;
  reply.version = Hello::kVersion;
  reply.maxPayload = FrameCodec::kMaxPayload;
  sender_.Queue(FrameCodec::Encode(FrameKind::HelloReply, frame.id, [&](ByteWriter& w) { reply.Write(w); }));
  helloDone_ = true;
  return true;
}

bool Connection::HandleFrame(Frame& frame) {
  if (!helloDone_) return HandleHello(frame);
  if (frame.flags != 0) {
    SendError(frame.id, E_NOTIMPL, "frame flags " + std::to_string(frame.flags) + " are not known");
    return true;
  }
  switch (frame.kind) {
    case FrameKind::Post:
    case FrameKind::Transact: {
      MuxMessage message;
      std::string why;
      if (!MuxMessage::Decode(frame.payload.data(), frame.payload.size(), &message, &why)) {
        SendError(frame.id, E_INVALIDARG, why);
        return true;
      }
      if (frame.kind == FrameKind::Post) {
        handler_.HandlePost(shared_from_this(), frame.id, std::move(message));
        return true;
      }
      MuxMessage reply;
      ErrorPayload error;
      if (handler_.HandleTransact(*this, message, &reply, &error))
        sender_.Queue(FrameCodec::Encode(FrameKind::Reply, frame.id, [&](ByteWriter& w) { reply.Write(w); }));
      else
        sender_.Queue(FrameCodec::Encode(FrameKind::Error, frame.id, [&](ByteWriter& w) { error.Write(w); }));
      return true;
    }
    case FrameKind::Hello:
      SendError(frame.id, E_UNEXPECTED, "Hello was already received");
      return true;
    case FrameKind::HelloReply:
    case FrameKind::Reply:
    case FrameKind::Notify:
    case FrameKind::Error:
      SendError(frame.id, E_INVALIDARG, std::string(KindName(frame.kind)) + " frames go from the host to clients");
      return true;
    default:
      break;
  }
  if (reading_ && ReadSession::IsRequest(frame.kind) && !(account_.rights & kReadRight)) {
    SendError(frame.id, E_ACCESSDENIED, account_.name + " may not read stored messages");
    return true;
  }
  if (reading_ && ReadSession::IsRequest(frame.kind)) {
    if (!readSession_) {
      std::lock_guard<std::mutex> lock(mutex_);
      readSession_ = std::make_unique<ReadSession>(*reading_);
    }
    readSession_->Handle(shared_from_this(), frame);
    return true;
  }
  if (ReadSession::IsAnswer(frame.kind)) {
    SendError(frame.id, E_INVALIDARG,
              "frame kind " + std::to_string(unsigned(frame.kind)) + " goes from the host to clients");
    return true;
  }
  SendError(frame.id, E_NOTIMPL, "frame kind " + std::to_string(unsigned(frame.kind)) + " is not served");
  return true;
}

}  // namespace hv::host
