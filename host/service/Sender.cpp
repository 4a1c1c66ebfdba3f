#include "service/Sender.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace hv::host {

Sender::Sender(int fd, Logger& log, std::string label, size_t maxBacklog, ByteBudget* budget)
    : fd_(fd), log_(log), label_(std::move(label)), maxBacklog_(maxBacklog), budget_(budget) {
  timeval tv{kSendTimeoutSeconds, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Sender::~Sender() { Join(); }

void Sender::Start() { thread_ = std::thread([this] { Run(); }); }

bool Sender::Queue(std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (broken_ || finishing_) return false;
  size_t sent = 0;
  if (pending_.empty() && !sending_) {
    // Nothing is on its way: the frame goes out from this thread, as far as
    // the socket takes it without waiting, and a waiting client is answered
    // without a second thread to wake. The lock keeps the order of frames.
    const ssize_t n = ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent = size_t(n);
    if (sent == frame.size()) return true;
  }
  // The rest, and any failure, is the sender thread's, within the limits.
  const size_t rest = frame.size() - sent;
  if (pending_.size() + rest > maxBacklog_) {
    Break(std::to_string(pending_.size()) + " bytes of answers wait for a client that does not read them");
    return false;
  }
  if (budget_ && !budget_->Take(rest)) {
    Break("the host holds " + std::to_string(budget_->used() >> 20) + " MiB for its clients, its limit");
    return false;
  }
  pending_.insert(pending_.end(), frame.begin() + std::ptrdiff_t(sent), frame.end());
  wake_.notify_one();
  return true;
}

void Sender::Break(const std::string& why) {
  log_.Line(label_ + ": dropped: " + why, Logger::kWarning);
  broken_ = true;
  if (budget_) budget_->Give(pending_.size());
  std::vector<uint8_t>().swap(pending_);
  // Wakes the connection's reader and the sending thread: it is over.
  ::shutdown(fd_, SHUT_RDWR);
  wake_.notify_one();
}

void Sender::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finishing_ = true;
  wake_.notify_one();
}

void Sender::Join() {
  if (thread_.joinable()) thread_.join();
}

size_t Sender::PendingBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

bool Sender::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

void Sender::Run() {
  std::vector<uint8_t> out;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return finishing_ || broken_ || !pending_.empty(); });
      if (pending_.empty()) break;  // finishing, and everything is out
      out.swap(pending_);
      sending_ = true;
    }
    size_t sent = 0;
    while (sent < out.size()) {
      ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += size_t(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      std::string why = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                            ? "the client has not read for " + std::to_string(kSendTimeoutSeconds) + " seconds"
                            : std::string(std::strerror(errno));
      std::lock_guard<std::mutex> lock(mutex_);
      if (!broken_) Break("sending failed: " + why);
      break;
    }
    if (budget_) budget_->Give(out.size());
    out.clear();
    if (out.capacity() > (size_t(1) << 20)) std::vector<uint8_t>().swap(out);
    bool broken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sending_ = false;
      broken = broken_;
    }
    if (broken) {
      // Wakes the reader too: the connection is over.
      ::shutdown(fd_, SHUT_RDWR);
      break;
    }
  }
  ::shutdown(fd_, SHUT_WR);
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
}

}  // namespace hv::host
