// The real tarnhost under hostile load: idle and dripping sockets, frames
// that never end and readers that never read. A real client still logs
// within a second, and the host's memory stays within a generous bound.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "core/ConfigFile.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/ReadingClient.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hv::host;
using namespace hvtest;
using namespace std::chrono;

namespace {

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Milliseconds from connecting to the "5" of one stored item, or -1.
long LogOnce(int port, int32_t transid) {
  auto start = steady_clock::now();
  TestClient c;
  if (!c.Connected(port, 2000)) return -1;
  Bytes item = SimpleItem(u"real client", 1, 1);
  c.Post(ItemMessage("2", transid, item));
  auto f = c.NextFrame(2000);
  Answer a;
  if (!f || !ReadAnswer(*f, &a) || a.hr != 0 || a.transid != transid) return -1;
  return long(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

const char kStoreSection[] = "[adaptor]\nkind = store\nname = Message store\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n";

void RaiseDescriptorLimit() {
  rlimit r;
  ::getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace

TEST(LimitsTest, IdleAndDrippingSocketsDoNotKeepAClientOut) {
  RaiseDescriptorLimit();
  TempDir dir;
  WriteFile(dir.File("host.conf"), std::string("hello_timeout_s = 2\nframe_timeout_s = 2\nidle_timeout_s = 2\n") + kStoreSection);
  RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
  std::vector<TestClient> idle(1000);
  for (auto& c : idle) ASSERT_TRUE(c.Connect(host.port));
  // Slow peers: one drips its Hello, one drips a frame after its Hello; a
  // third says Hello and then nothing.
  TestClient beforeHello, afterHello, quiet;
  ASSERT_TRUE(beforeHello.Connect(host.port));
  ASSERT_TRUE(afterHello.Connected(host.port));
  ASSERT_TRUE(quiet.Connected(host.port));
  std::thread drip([&] {
    Bytes hello = {16, 0, 0, 0, 1, 0}, frame = {100, 0, 0, 0, 3, 0};
    for (size_t i = 0; i < hello.size(); ++i, std::this_thread::sleep_for(milliseconds(500))) {
      beforeHello.SendRaw({hello[i]});
      afterHello.SendRaw({frame[i]});
    }
  });
  long ms = LogOnce(host.port, 7);
  drip.join();
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 1000);
  // Past the time-outs every one of them has been closed by the host.
  EXPECT_TRUE(beforeHello.WaitClosed(3000));
  EXPECT_TRUE(afterHello.WaitClosed(3000));
  EXPECT_TRUE(quiet.WaitClosed(3000));
  EXPECT_EQ(std::count_if(idle.begin(), idle.end(), [](TestClient& c) { return c.WaitClosed(100); }), 1000);
  std::string log = host.process.Log();
  EXPECT_NE(log.find("no Hello within 2 s"), std::string::npos);
  EXPECT_NE(log.find("a frame is still incomplete after 2 s"), std::string::npos);
  EXPECT_NE(log.find("closed after 2 s without a frame"), std::string::npos);
  EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 30) << "closing idle sockets floods the log";
}

TEST(LimitsTest, MemoryStaysBoundedUnderHostileLoads) {
  const Bytes store(ConfigFile::StoreAdaptorClsid().bytes().begin(), ConfigFile::StoreAdaptorClsid().bytes().end());
  struct Attack {
    const char* name;
    std::function<void(TestClient&)> run;
  };
  const Attack attacks[] = {
      {"frames that never end",
       [](TestClient& c) {
         Bytes frame = Concat({Le32(8 + (4u << 20)), {3, 0, 0, 0}, Le32(1), Bytes((4u << 20) - 1, 0)});
         c.SendRaw(frame);
       }},
      {"readers and subscriptions that never read",
       [&](TestClient& c) {
         ReadingClient r(c);
         for (int i = 0; i < 64; ++i) r.SendOnly(uint16_t(FrameKind::OpenReader), OpenReaderPayload(store, 0, 0, 0, u""));
         for (int i = 0; i < 16; ++i) r.SendOnly(uint16_t(FrameKind::Subscribe), SubscribePayload(store, u""));
         for (uint32_t handle = 1; handle <= 64; ++handle) r.SendOnly(uint16_t(FrameKind::ReadPage), HandlePayload(handle, {4096}));
       }},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.name);
    // Each attack on a host of its own, so none starts on what another left.
    TempDir dir;
    WriteFile(dir.File("host.conf"), std::string("max_buffered_mib = 64\n") + kStoreSection);
    RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
    {
      // Items large enough that each page of a reader fills a whole frame.
      TestClient filler;
      ASSERT_TRUE(filler.Connected(host.port));
      for (int i = 0; i < 300; ++i) filler.Post(ItemMessage("1", 0, SimpleItem(std::u16string(8000, u'x'), 1, 1)));
      ASSERT_GE(LogOnce(host.port, 1), 0);
    }
    long before = RssKiB(host.process.pid());
    std::vector<std::unique_ptr<TestClient>> attackers;
    for (int i = 0; i < 64; ++i) {
      attackers.push_back(std::make_unique<TestClient>());
      ASSERT_TRUE(attackers.back()->Connected(host.port));
      attack.run(*attackers.back());
    }
    // Long enough for the host to answer many pages nobody reads.
    std::this_thread::sleep_for(milliseconds(2000));
    long after = RssKiB(host.process.pid());
    // The 64 MiB the host may hold for its clients, and room for its threads.
    EXPECT_LT(after - before, (64 + 48) * 1024) << "RSS grew from " << before << " KiB to " << after << " KiB";
    long ms = LogOnce(host.port, 2);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 1000);
    std::printf("%s: RSS %ld KiB before, %ld KiB after\n", attack.name, before, after);
  }
}
