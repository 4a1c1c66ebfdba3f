// tarnhost as systemd runs it: the unit passes systemd-analyze, the command
// line answers and checks configurations, readiness and stopping reach the
// notify socket, and log rotation with SIGHUP under load loses no item.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "core/HResult.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/StoreQuery.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hvtest;

TEST(ServiceRun, UnitFilePassesSystemdAnalyze) {
  if (Shell("command -v systemd-analyze") != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  TempDir dir;
  // The unit as installed, but naming the program of this build.
  std::string unit = dir.File("tarnhost.service"), warnings;
  ASSERT_EQ(Shell("sed 's|^ExecStart=.*|ExecStart=" TARNHOST_PATH "|' " TARNHOST_UNIT " > " + unit), 0);
  EXPECT_EQ(Shell("systemd-analyze verify " + unit, &warnings), 0) << warnings;
  EXPECT_EQ(warnings, "") << "systemd-analyze warns about the unit";
}

TEST(ServiceRun, CommandLineAndConfigurationCheck) {
  TempDir dir;
  WriteFile(dir.File("good.conf"), "listen = ip:127.0.0.1:7\n[adaptor]\nkind = store\nname = S\n"
                                   "clsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n");
  WriteFile(dir.File("bad.conf"), "[adaptor]\nkind = tape\n");
  const std::string good = " --config " + dir.File("good.conf"), bad = " --config " + dir.File("bad.conf");
  struct {
    std::string args;
    int exit;
    std::string output;
  } cases[] = {
      {"--version 2>/dev/null", 0, "tarnhost " TARNHOST_VERSION "\n"},
      {"--help 2>/dev/null", 0, "SYNOPSIS"},
      {"--bogus 2>/dev/null", 2, ""},
      {good + " --check-config 2>/dev/null", 0, "good.conf: OK; 1 adaptors, listen ip:127.0.0.1:7"},
      {bad + " --check-config", 1, "bad.conf: line 2: kind must be store or forwarder"},
      {bad + " --db " + dir.File("x.db"), 1, "not started: " + dir.File("bad.conf") + ": line 2: kind must be"},
      {good + " --listen ip:1.2.3 --check-config", 1, "listen: "},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(Shell(TARNHOST_PATH " " + c.args, &out), c.exit) << c.args;
    EXPECT_NE(out.find(c.output), std::string::npos) << c.args << " printed: " << out;
  }
}

TEST(ServiceRun, NotifiesSystemdAndSighupUnderLoadLosesNothing) {
  TempDir dir;
  std::string db = dir.File("messages.db"), file = dir.File("tarnhost.log"), notify = dir.File("notify");
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  notify.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval wait{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  auto next = [fd] {
    char buffer[512];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, n) : "";
  };
  ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
  HostProcess host({"--listen", "ip:127.0.0.1:0", "--db", db, "--log-file", file, "--config", ""},
                   dir.File("stderr"));
  ::unsetenv("NOTIFY_SOCKET");

  // The moment READY=1 arrives a client is served.
  std::string ready = next();
  ASSERT_EQ(ready.rfind("READY=1\nSTATUS=listening on ip:127.0.0.1:", 0), 0u) << ready << host.Log();
  int port = std::stoi(ready.substr(ready.rfind(':') + 1));
  TestClient first;
  ASSERT_TRUE(first.Connected(port, 2000));

  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t)
    clients.emplace_back([&, t] {
      TestClient c;
      for (int i = 1; c.Connected(port) && !stop; ++i) {
        std::string loc = "c" + std::to_string(t) + "-" + std::to_string(i);
        c.Post(ItemMessage("2", i, SimpleItem(std::u16string(loc.begin(), loc.end()), 1, 1)));
        Answer a;
        auto f = c.NextFrame(5000);
        if (!f || !ReadAnswer(*f, &a) || a.hr != hv::host::S_OK) return;
        ++answered;
      }
    });
  // Rotated as logrotate does: move the file away, then SIGHUP; each time
  // after the clients got more answers, however slow the machine is.
  for (int r = 1; r <= 5; ++r) {
    for (int waited = 0; answered < 6 * r && waited < 10000; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(::rename(file.c_str(), (file + "." + std::to_string(r)).c_str()), 0);
    host.Signal(SIGHUP);
    EXPECT_EQ(next(), "RELOADING=1");
    EXPECT_EQ(next().rfind("READY=1", 0), 0u);
  }
  stop = true;
  for (auto& t : clients) t.join();
  host.Signal(SIGTERM);
  EXPECT_EQ(next(), "STOPPING=1");
  EXPECT_EQ(host.WaitExit(10000), 0) << host.Log();
  ::close(fd);

  EXPECT_GE(answered.load(), 30) << "the clients were not served while the log rotated";
  EXPECT_EQ(StoreQuery(db).Int("SELECT COUNT(*) FROM messages"), answered.load());
  EXPECT_NE(ReadFile(file).find("received SIGTERM"), std::string::npos) << "the reopened file is not written";
  EXPECT_NE(ReadFile(file + ".1").find("listening on"), std::string::npos);
}
