#include "service/Gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "protocol/Frame.h"

namespace hv::host {
namespace {

constexpr int kTickMs = 200;
// A Hello frame is 20 bytes; a first frame that announces more than this is
// handed on at once and refused there.
constexpr uint32_t kLargestFirstFrame = 64;

void SetBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// True once the first frame is in, or once it is plain that it is not a
// Hello: either way the connection's own reader takes it from here.
bool FirstFrameIn(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 4) return false;
  uint32_t length = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  return length > kLargestFirstFrame || bytes.size() >= 4 + size_t(length);
}

}  // namespace

bool Gate::Run(std::string* error) {
  int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return *error = std::string("epoll: ") + std::strerror(errno), false;
  Socket epollOwner(epoll);
  SetBlocking(listener_.fd(), false);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener_.fd();
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener_.fd(), &ev);
  ev.data.fd = stop_.fd();
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, stop_.fd(), &ev);

  auto lastTick = std::chrono::steady_clock::now();
  epoll_event events[64];
  for (;;) {
    int n = ::epoll_wait(epoll, events, 64, kTickMs);
    if (n < 0 && errno != EINTR) return *error = std::string("epoll_wait: ") + std::strerror(errno), false;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == stop_.fd()) return true;
      if (fd == listener_.fd()) {
        AcceptAll(epoll);
        continue;
      }
      auto it = byFd_.find(fd);
      if (it != byFd_.end()) Receive(epoll, it->second);
    }
    auto now = std::chrono::steady_clock::now();
    while (!waiting_.empty() && waiting_.front().deadline <= now) {
      log_.Repeated("connections closed without a Hello",
                   "connection from " + waiting_.front().peer + " closed: no Hello within " +
                       std::to_string(limits_.helloTimeoutMs / 1000) + " s", Logger::kWarning);
      Close(epoll, waiting_.begin());
    }
    if (now - lastTick >= std::chrono::milliseconds(kTickMs)) {
      lastTick = now;
      tick_();
    }
  }
}

void Gate::AcceptAll(int epoll) {
  for (;;) {
    std::string peer;
    Socket s = listener_.Accept(&peer);
    if (!s.valid()) {
      int e = errno;
      if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || e == ECONNABORTED) return;
      // Out of descriptors: the oldest waiting connection makes room.
      log_.Repeated("accepting failed", std::string("accepting a connection failed: ") + std::strerror(e),
                    Logger::kError);
      if (!waiting_.empty() && (e == EMFILE || e == ENFILE)) Close(epoll, waiting_.begin());
      // Nothing to close: the pending connection stays, so pause instead of
      // spinning on it.
      else ::poll(nullptr, 0, kTickMs);
      return;
    }
    if (take_) {
      take_(std::move(s), peer);
      continue;
    }
    if (waiting_.size() >= limits_.maxWaiting) {
      log_.Repeated("connections closed to make room",
                   "connection from " + waiting_.front().peer + " closed: " + std::to_string(waiting_.size()) +
                       " connections wait for their Hello and a new one came", Logger::kWarning);
      Close(epoll, waiting_.begin());
    }
    SetBlocking(s.fd(), false);
    int fd = s.fd();
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) != 0) continue;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.helloTimeoutMs);
    waiting_.push_back(Waiting{std::move(s), std::move(peer), {}, deadline});
    byFd_[fd] = std::prev(waiting_.end());
  }
}

void Gate::Receive(int epoll, List::iterator it) {
  uint8_t buffer[512];
  for (;;) {
    ssize_t n = ::recv(it->socket.fd(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) return Close(epoll, it);  // gone before its Hello: nothing to say
    it->bytes.insert(it->bytes.end(), buffer, buffer + n);
    if (FirstFrameIn(it->bytes)) break;
  }
  // Whatever followed the Hello in the same reads goes on with it.
  int fd = it->socket.fd();
  ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
  SetBlocking(fd, true);
  byFd_.erase(fd);
  Waiting w = std::move(*it);
  waiting_.erase(it);
  admit_(std::move(w.socket), w.peer, std::move(w.bytes));
}

void Gate::Close(int epoll, List::iterator it) {
  int fd = it->socket.fd();
  ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
  byFd_.erase(fd);
  waiting_.erase(it);
}

}  // namespace hv::host
