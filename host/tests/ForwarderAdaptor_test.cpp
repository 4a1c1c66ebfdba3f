// The forwarder against a plain TCP listener standing in for the syslog
// server: octet-counted frames in order, the buffer while the server is
// away (bounded, oldest dropped, drops logged), the resend when it is back,
// the stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "adaptors/ForwarderAdaptor.h"
#include "core/ConfigFile.h"
#include "support/TempDir.h"

using namespace hv::host;

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A TCP server on 127.0.0.1 that reads octet-counted frames. Bound from
// the start, so the port is reserved, but refusing connections until it
// listens.
class FakeSyslogServer {
 public:
  FakeSyslogServer() { Bind(0); }

  void Bind(uint16_t port) {
    listener_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(listener_.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    ASSERT_EQ(::bind(listener_.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << std::strerror(errno);
    socklen_t size = sizeof sa;
    ::getsockname(listener_.fd(), reinterpret_cast<sockaddr*>(&sa), &size);
    port_ = ntohs(sa.sin_port);
  }
  void Listen() { ASSERT_EQ(::listen(listener_.fd(), 4), 0); }
  void CloseListener() { listener_.Close(); }
  void CloseConnection() {
    connection_.Close();
    pending_.clear();
  }
  uint16_t port() const { return port_; }

  bool Accept(int timeoutMs) {
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    connection_ = Socket(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    return connection_.valid();
  }

  // The next `count` messages, or fewer when the time runs out. A frame
  // that does not follow octet counting fails the test.
  std::vector<std::string> Read(size_t count, int timeoutMs) {
    std::vector<std::string> messages;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (messages.size() < count) {
      size_t space = pending_.find(' ');
      if (space != std::string::npos) {
        EXPECT_TRUE(space > 0 && space < 8 && pending_.find_first_not_of("0123456789") == space) << pending_;
        size_t length = std::stoul(pending_.substr(0, space));
        if (pending_.size() >= space + 1 + length) {
          messages.push_back(pending_.substr(space + 1, length));
          pending_.erase(0, space + 1 + length);
          continue;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{connection_.fd(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, int(left)) != 1) break;
      char buffer[65536];
      ssize_t n = ::recv(connection_.fd(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      pending_.append(buffer, size_t(n));
    }
    return messages;
  }

 private:
  Socket listener_;
  Socket connection_;
  std::string pending_;
  uint16_t port_ = 0;
};

AdaptorSettings Settings(uint16_t port, size_t bufferItems) {
  AdaptorSettings s;
  s.kind = AdaptorKind::Forwarder;
  s.name = "Central syslog";
  s.clsid = ConfigFile::ForwarderAdaptorClsid();
  s.enableFlags = {15, 15, 15, 15};
  s.forwarder.server = "127.0.0.1:" + std::to_string(port);
  s.forwarder.bufferItems = bufferItems;
  s.forwarder.reconnectMaxMs = 200;
  return s;
}

struct Harness {
  hvtest::TempDir dir;
  Logger log;
  std::vector<HResult> results;

  Harness() {
    std::string error;
    EXPECT_TRUE(log.OpenFile(dir.File("host.log"), &error)) << error;
    log.SetStderr(false);
  }
  std::string Log() const { return hvtest::ReadFile(dir.File("host.log")); }
  size_t Count(const std::string& text) const {
    std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  // Delivers items named item-FIRST to item-LAST; each must be answered
  // before Deliver returns.
  void Deliver(ForwarderAdaptor& f, int first, int last) {
    for (int i = first; i <= last; ++i) {
      std::string name = "item-" + std::to_string(i);
      ItemRecord item;
      item.location = std::u16string(name.begin(), name.end());
      item.severity = 1;
      item.audience = 1;
      item.dateTime = 45000.5;
      size_t before = results.size();
      auto d = std::make_shared<Delivery>([this](HResult hr) { results.push_back(hr); });
      d->Expect(1);
      f.Deliver(item, nullptr, d);
      ASSERT_EQ(results.size(), before + 1) << "item " << i << " was not answered at once";
      EXPECT_EQ(results.back(), S_OK);
    }
  }
};

// The HOSTNAME field of each message.
std::vector<std::string> Hosts(const std::vector<std::string>& messages) {
  std::vector<std::string> hosts;
  for (const std::string& m : messages) {
    size_t a = m.find(' ', m.find(' ') + 1);
    size_t b = m.find(' ', a + 1);
    hosts.push_back(m.substr(a + 1, b - a - 1));
  }
  return hosts;
}

std::vector<std::string> Names(int first, int last) {
  std::vector<std::string> names;
  for (int i = first; i <= last; ++i) names.push_back("item-" + std::to_string(i));
  return names;
}

}  // namespace

TEST(ForwarderAdaptor, KeepsTheNewestItemsWhileTheServerIsAwayAndSendsThemInOrderWhenItComes) {
  FakeSyslogServer server;
  Harness h;
  ForwarderAdaptor f(Settings(server.port(), 10), h.log);
  std::string where = "127.0.0.1:" + std::to_string(server.port());

  h.Deliver(f, 1, 30);
  EXPECT_EQ(f.dropped(), 20u);
  EXPECT_EQ(f.buffered(), 10u);
  EXPECT_TRUE(WaitFor([&] { return h.Count("cannot connect to " + where + ": Connection refused") == 1; }, 5000))
      << h.Log();
  EXPECT_EQ(h.Count("the buffer is full (10 items); the oldest items are dropped"), 1u) << h.Log();

  server.Listen();
  ASSERT_TRUE(server.Accept(5000)) << h.Log();
  EXPECT_EQ(Hosts(server.Read(10, 5000)), Names(21, 30));
  EXPECT_TRUE(WaitFor([&] { return f.sent() == 10; }, 5000));
  EXPECT_EQ(h.Count(": connected to " + where + " again after "), 1u) << h.Log();
  EXPECT_EQ(h.Count("; 20 items dropped meanwhile because the buffer was full; sending 10 items from the buffer"), 1u)
      << h.Log();
  EXPECT_EQ(h.Count("cannot connect"), 1u) << "one line for the whole outage\n" << h.Log();

  // The link works: items go at once, and a new outage starts a new count.
  h.Deliver(f, 31, 33);
  EXPECT_EQ(Hosts(server.Read(3, 5000)), Names(31, 33));
  EXPECT_EQ(f.dropped(), 20u);
}

TEST(ForwarderAdaptor, AServerThatWentAwayGetsTheItemsOnItsReturnAndTheStopDrainsTheBuffer) {
  FakeSyslogServer server;
  server.Listen();
  Harness h;
  ForwarderAdaptor f(Settings(server.port(), 100), h.log);
  uint16_t port = server.port();

  h.Deliver(f, 1, 5);
  ASSERT_TRUE(server.Accept(5000)) << h.Log();
  EXPECT_EQ(Hosts(server.Read(5, 5000)), Names(1, 5));

  // The server goes away while the connection is idle; nothing delivered
  // meanwhile may be written into the dead connection.
  server.CloseConnection();
  server.CloseListener();
  EXPECT_TRUE(WaitFor([&] { return h.Count("the idle connection to 127.0.0.1:" + std::to_string(port) + " ended") == 1; },
                      5000))
      << h.Log();
  h.Deliver(f, 6, 12);
  EXPECT_TRUE(WaitFor([&] { return h.Count("cannot connect") == 1; }, 5000)) << h.Log();
  EXPECT_EQ(f.sent(), 5u);

  server.Bind(port);
  server.Listen();
  ASSERT_TRUE(server.Accept(5000)) << h.Log();
  EXPECT_EQ(Hosts(server.Read(7, 5000)), Names(6, 12));

  // Stopping sends what is buffered while the server takes it.
  h.Deliver(f, 13, 15);
  f.Stop();
  EXPECT_EQ(Hosts(server.Read(3, 2000)), Names(13, 15));
  EXPECT_EQ(f.sent(), 15u);
  EXPECT_EQ(h.Count("stopped; 15 items sent since start, 0 dropped, 0 still buffered and discarded"), 1u) << h.Log();
}

TEST(ForwarderAdaptor, TheStopDoesNotWaitForAnAbsentServer) {
  FakeSyslogServer server;  // bound, never listening
  Harness h;
  ForwarderAdaptor f(Settings(server.port(), 100), h.log);
  h.Deliver(f, 1, 4);
  auto start = Clock::now();
  f.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(h.Count("stopped; 0 items sent since start, 0 dropped, 4 still buffered and discarded"), 1u) << h.Log();
}
