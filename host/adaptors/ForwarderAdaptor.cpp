#include "adaptors/ForwarderAdaptor.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "adaptors/SyslogMessage.h"

namespace hv::host {
namespace {

constexpr int kFirstRetryMs = 250;
constexpr int kConnectTimeoutMs = 5000;
// A server that takes no byte for this long is treated as gone.
constexpr int kWriteStallMs = 10000;
// What one send takes from the buffer at most.
constexpr size_t kBatchItems = 512;
constexpr size_t kBatchBytes = 256 * 1024;

// An unconfigured HOSTNAME falls back to this machine's name.
ForwarderSettings WithHostname(ForwarderSettings s) {
  if (!s.hostname.empty()) return s;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return s;
  for (const char* p = name; *p; ++p) s.hostname += (*p >= 33 && *p <= 126) ? *p : '_';
  return s;
}

std::string Seconds(std::chrono::steady_clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

int MsUntil(std::chrono::steady_clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - std::chrono::steady_clock::now()).count();
  return int(std::clamp<int64_t>(ms + 1, 0, 3600000));
}

std::string Items(uint64_t n) { return std::to_string(n) + (n == 1 ? " item" : " items"); }

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

}  // namespace

ForwarderAdaptor::ForwarderAdaptor(const AdaptorSettings& settings, Logger& log)
    : Adaptor(settings),
      settings_(WithHostname(settings.forwarder)),
      log_(log),
      label_("forwarder \"" + settings.name + "\"") {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error("cannot create an eventfd");
  log_.Line(label_ + ": sends to the syslog server " + settings_.server + ", facility " +
            std::to_string(settings_.facility) + ", keeping up to " + Items(settings_.bufferItems) +
            " while the server cannot be reached");
  thread_ = std::thread([this] { Run(); });
}

ForwarderAdaptor::~ForwarderAdaptor() {
  Stop();
  ::close(wakeFd_);
}

void ForwarderAdaptor::Stop(int drainMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      stopping_ = true;
      drainUntil_ = Clock::now() + std::chrono::milliseconds(drainMs);
    }
  }
  Wake();
  if (thread_.joinable()) thread_.join();
}

size_t ForwarderAdaptor::buffered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void ForwarderAdaptor::Deliver(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>&,
                               const std::shared_ptr<Delivery>& delivery) {
  std::string framed = SyslogMessage::Frame(SyslogMessage::Format(item, std::chrono::system_clock::now(), settings_));
  bool wake;
  bool dropsBegin = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The sender waits for items only when it has left the buffer empty.
    wake = queue_.empty();
    queue_.push_back(std::move(framed));
    while (queue_.size() > settings_.bufferItems) dropsBegin |= DropOldestLocked() == 1;
  }
  if (dropsBegin) LogDropsBegin();
  if (wake) Wake();
  // In the buffer is delivered: the forwarder never holds up the answer.
  delivery->Complete(S_OK);
}

uint64_t ForwarderAdaptor::DropOldestLocked() {
  queue_.pop_front();
  dropped_.fetch_add(1);
  return ++dropsUnreported_;
}

void ForwarderAdaptor::RequeueLocked(std::vector<std::string>& messages, size_t from) {
  // They are older than anything that came meanwhile.
  for (size_t i = messages.size(); i > from; --i) queue_.push_front(std::move(messages[i - 1]));
  while (queue_.size() > settings_.bufferItems) DropOldestLocked();
}

void ForwarderAdaptor::LogDropsBegin() {
  log_.Line(label_ + ": the buffer is full (" + Items(settings_.bufferItems) +
            "); the oldest items are dropped until the server takes items again", Logger::kWarning);
}

void ForwarderAdaptor::Wake() {
  uint64_t one = 1;
  while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void ForwarderAdaptor::DrainWake() {
  uint64_t count;
  while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void ForwarderAdaptor::Wait(int timeoutMs) {
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {socket_.fd(), POLLIN | POLLRDHUP, 0}};
  nfds_t count = socket_.valid() ? 2 : 1;
  if (::poll(fds, count, timeoutMs) <= 0) return;
  if (fds[0].revents) DrainWake();
  std::string why;
  if (count == 2 && fds[1].revents && PeerClosed(&why)) {
    socket_.Close();
    log_.Line(label_ + ": the idle connection to " + settings_.server + " ended: " + why +
              "; the next item opens a new one");
  }
}

bool ForwarderAdaptor::PeerClosed(std::string* why) {
  for (;;) {
    pollfd p{socket_.fd(), POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & POLLERR) {
      int error = 0;
      socklen_t size = sizeof error;
      ::getsockopt(socket_.fd(), SOL_SOCKET, SO_ERROR, &error, &size);
      *why = error ? std::strerror(error) : "the connection failed";
      return true;
    }
    char scratch[4096];
    ssize_t n = ::recv(socket_.fd(), scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) return *why = "the server closed the connection", true;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
      *why = std::strerror(errno);
      return true;
    }
    // A syslog server sends nothing; whatever it did send is of no use.
  }
}

bool ForwarderAdaptor::Connect(std::string* why) {
  std::string host;
  uint16_t port;
  if (!SplitServerAddress(settings_.server, &host, &port)) return *why = "the address is not HOST:PORT", false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int r = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (r != 0) return *why = std::string("cannot look up ") + host + ": " + ::gai_strerror(r), false;
  std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);

  for (addrinfo* a = addresses.get(); a; a = a->ai_next) {
    Socket s(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.valid()) {
      *why = std::strerror(errno);
      continue;
    }
    if (::connect(s.fd(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        *why = std::strerror(errno);
        continue;
      }
      auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
      bool done = false;
      while (!done) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stopping_) return *why = "the host is stopping", false;
        }
        pollfd fds[2] = {{s.fd(), POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        int left = MsUntil(deadline);
        if (left <= 0) break;
        if (::poll(fds, 2, left) < 0 && errno != EINTR) break;
        if (fds[1].revents) DrainWake();
        done = fds[0].revents != 0;
      }
      if (!done) {
        *why = "no answer within " + std::to_string(kConnectTimeoutMs / 1000) + " s";
        continue;
      }
      int error = 0;
      socklen_t size = sizeof error;
      ::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &size);
      if (error) {
        *why = std::strerror(error);
        continue;
      }
    }
    int one = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    socket_ = std::move(s);
    return true;
  }
  return false;
}

bool ForwarderAdaptor::WriteAll(const std::string& bytes, size_t* written, std::string* why) {
  *written = 0;
  auto stalledAt = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
  while (*written < bytes.size()) {
    ssize_t n = ::send(socket_.fd(), bytes.data() + *written, bytes.size() - *written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *written += size_t(n);
      stalledAt = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return *why = std::strerror(errno), false;
    Clock::time_point until = stalledAt;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) until = std::min(until, drainUntil_);
    }
    int left = MsUntil(until);
    if (left <= 0)
      return *why = until == stalledAt ? "the server took nothing for " + std::to_string(kWriteStallMs / 1000) + " s"
                                       : std::string("the host is stopping"),
             false;
    pollfd fds[2] = {{socket_.fd(), POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, left) < 0 && errno != EINTR) return *why = std::strerror(errno), false;
    if (fds[1].revents) DrainWake();
  }
  return true;
}

void ForwarderAdaptor::Run() {
  const std::string& server = settings_.server;
  int retryMs = kFirstRetryMs;
  Clock::time_point nextAttempt = Clock::now();
  // From the first failed attempt or send until the server takes items again.
  bool failing = false;
  Clock::time_point failingSince;
  std::vector<std::string> batch;

  for (;;) {
    bool empty, stopping;
    Clock::time_point drainUntil;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      empty = queue_.empty();
      stopping = stopping_;
      drainUntil = drainUntil_;
    }
    // Stopping: what is buffered goes out only while the server takes it.
    if (stopping && (empty || !socket_.valid() || Clock::now() >= drainUntil)) break;
    if (empty) {
      Wait(-1);
      continue;
    }

    if (!socket_.valid()) {
      if (Clock::now() < nextAttempt) {
        Wait(MsUntil(nextAttempt));
        continue;
      }
      std::string why;
      if (!Connect(&why)) {
        if (!failing) {
          failing = true;
          failingSince = Clock::now();
          log_.Line(label_ + ": cannot connect to " + server + ": " + why + "; up to " +
                    Items(settings_.bufferItems) + " are kept and the connection is tried again", Logger::kError);
        }
        nextAttempt = Clock::now() + std::chrono::milliseconds(retryMs);
        retryMs = std::min(retryMs * 2, settings_.reconnectMaxMs);
        continue;
      }
      uint64_t drops;
      size_t waiting;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        drops = dropsUnreported_;
        dropsUnreported_ = 0;
        waiting = queue_.size();
      }
      std::string line = label_ + ": connected to " + server;
      if (failing) line += " again after " + Seconds(Clock::now() - failingSince);
      if (drops) line += "; " + Items(drops) + " dropped meanwhile because the buffer was full";
      log_.Line(line + "; sending " + Items(waiting) + " from the buffer");
      failing = false;
    }

    batch.clear();
    std::string bytes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (!queue_.empty() && batch.size() < kBatchItems && bytes.size() < kBatchBytes) {
        bytes += queue_.front();
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    // A server that went away while the connection was idle is noticed
    // here, before anything is written into the void.
    size_t written = 0;
    std::string why;
    if (PeerClosed(&why) || !WriteAll(bytes, &written, &why)) {
      socket_.Close();
      size_t done = 0;
      for (size_t offset = 0; done < batch.size() && offset + batch[done].size() <= written; ++done)
        offset += batch[done].size();
      sent_.fetch_add(done);
      bool dropsBegin;
      size_t waiting;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t before = dropsUnreported_;
        RequeueLocked(batch, done);
        dropsBegin = before == 0 && dropsUnreported_ > 0;
        waiting = queue_.size();
      }
      if (!failing) {
        failing = true;
        failingSince = Clock::now();
      }
      log_.Line(label_ + ": the connection to " + server + " failed: " + why + "; " + Items(waiting) +
                " wait in the buffer", Logger::kError);
      if (dropsBegin) LogDropsBegin();
      // The wait is reset only by a successful write, so a server that
      // takes connections and closes them at once is not hammered.
      nextAttempt = Clock::now() + std::chrono::milliseconds(retryMs);
      retryMs = std::min(retryMs * 2, settings_.reconnectMaxMs);
      continue;
    }
    sent_.fetch_add(batch.size());
    retryMs = kFirstRetryMs;

    // Drops while connected come from a server slower than the items; they
    // are summed up once it has caught up.
    uint64_t drops = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) std::swap(drops, dropsUnreported_);
    }
    if (drops) log_.Line(label_ + ": the buffer has emptied; " + Items(drops) + " were dropped while it was full",
                         Logger::kWarning);
  }

  socket_.Close();
  size_t left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left = queue_.size();
    queue_.clear();
  }
  log_.Line(label_ + ": stopped; " + Items(sent_.load()) + " sent since start, " + std::to_string(dropped_.load()) +
            " dropped, " + std::to_string(left) + " still buffered and discarded");
}

}  // namespace hv::host
