// The real tarnhost on 127.0.0.1 with a free port: items stored and
// answered, adaptor requests, flags that change routing and survive a
// restart, hostile clients, many clients, SIGTERM and SIGKILL, the
// configuration file (a refused one is among the command-line cases). Every
// check of what was stored reads the SQLite file.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "core/ConfigFile.h"
#include "core/HResult.h"
#include "protocol/ErrorPayload.h"
#include "protocol/Frame.h"
#include "protocol/Hello.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/StoreQuery.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hv::host;
using namespace hvtest;
using hv::ByteWriter;

namespace {

MuxMessage Request(const char* type, const Guid* clsid, const Bytes& more = {}) {
  MuxMessage m;
  m.SetField("MSGTYPE", type);
  if (std::string(type) != "8") m.SetField("transid", "7");
  if (clsid) m.data = Concat({Bytes(clsid->bytes().begin(), clsid->bytes().end()), more});
  return m;
}

MuxMessage Decoded(const std::optional<Frame>& f) {
  MuxMessage m;
  std::string error;
  EXPECT_TRUE(f && f->kind == FrameKind::Reply) << "no Reply";
  EXPECT_TRUE(f && MuxMessage::Decode(f->payload.data(), f->payload.size(), &m, &error)) << error;
  return m;
}

HResult ErrorResult(const std::optional<Frame>& f) {
  ErrorPayload e;
  if (!f || f->kind != FrameKind::Error || !ErrorPayload::Decode(f->payload.data(), f->payload.size(), &e)) return 1;
  return e.result;
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Posts a "2" and waits for its "5"; the answer's result, or 1 when none came.
HResult PostAndWait(TestClient& c, const std::string& location, int32_t transid, int32_t audience = 1,
                    int32_t severity = 1) {
  Bytes item = SimpleItem(U16(location), audience, severity);
  c.Post(ItemMessage("2", transid, item));
  auto f = c.NextFrame(5000);
  Answer a;
  if (!f || !ReadAnswer(*f, &a) || a.transid != transid || a.body != item) return 1;
  return a.hr;
}

// The enable flags the host reports for the store adaptor.
Bytes StoreFlags(TestClient& c) {
  MuxMessage m = Decoded(c.Transact(Request("3", &ConfigFile::StoreAdaptorClsid())));
  return m.body.size() == 272 ? Bytes(m.body.begin() + 8, m.body.begin() + 12) : Bytes{};
}

class HostTest : public ::testing::Test {
 protected:
  int64_t Count(const std::string& locationLike) {
    return StoreQuery(db).Int("SELECT COUNT(*) FROM messages WHERE location LIKE '" + locationLike + "'");
  }
  void Stop(HostProcess& process, int signal = SIGTERM) {
    process.Signal(signal);
    EXPECT_EQ(process.WaitExit(10000), 0) << process.Log();
  }
  TempDir dir;
  std::string db = dir.File("messages.db");
};

}  // namespace

TEST_F(HostTest, ItemsAreStoredAndAnsweredAndAdaptorsDescribed) {
  RunningHost host(dir.path(), db);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  c.Post(ItemMessage("1", 0, SimpleItem(u"async", 2, 4)));
  Bytes item = SimpleItem(u"first", 1, 1);
  c.Post(ItemMessage("2", -12345, item));
  auto f = c.NextFrame(5000);
  Answer a;
  ASSERT_TRUE(f && ReadAnswer(*f, &a));
  EXPECT_EQ(a.type, "5");
  EXPECT_EQ(a.hr, S_OK);
  EXPECT_EQ(a.transid, -12345);
  EXPECT_EQ(a.body, item);
  // The "1" went ahead of the "2" on the same connection, so it is committed too.
  EXPECT_EQ(Count("async"), 1);
  StoreQuery q(db);
  EXPECT_EQ(q.Blob("SELECT item FROM messages WHERE location = 'first'"), item);
  EXPECT_EQ(q.Texts("SELECT time_text FROM messages WHERE location = 'first'"),
            std::vector<std::string>{"2023-03-15T12:00:00.000Z"});

  MuxMessage m = Decoded(c.Transact(Request("4", nullptr)));
  EXPECT_EQ(*m.Field("transid"), "7");
  EXPECT_EQ(m.text, u"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6};{ED34F366-7CA7-4E2D-824E-7213D595AFB2}");
  m = Decoded(c.Transact(Request("3", &ConfigFile::StoreAdaptorClsid())));
  EXPECT_EQ(*m.Field("HRESULT"), "0");
  EXPECT_EQ(*m.Field("READER"), "1");
  ASSERT_EQ(m.body.size(), 272u);
  EXPECT_EQ(Bytes(m.body.begin(), m.body.begin() + 16), (Bytes{15, 0, 0, 0, 15, 0, 0, 0, 15, 15, 15, 15, 'M', 0, 'e', 0}));
  Guid unknown;
  Guid::Parse("{00000000-1111-2222-3333-444444444444}", &unknown);
  EXPECT_EQ(*Decoded(c.Transact(Request("3", &unknown))).Field("HRESULT"), "-2147221164");
  EXPECT_EQ(ErrorResult(c.Transact(Request("9", nullptr))), E_NOTIMPL);
  Stop(host.process);
}

TEST_F(HostTest, FlagsChangeRoutingAtOnceAndSurviveARestart) {
  const Guid& store = ConfigFile::StoreAdaptorClsid();
  {
    RunningHost host(dir.path(), db);
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.Post(Request("8", &store, {2, 15, 15, 15}));  // VELTRA: Warning only
    EXPECT_EQ(PostAndWait(c, "blocked", 1, 1, 1), S_OK) << "an item nobody takes is still answered";
    EXPECT_EQ(PostAndWait(c, "allowed", 2, 1, 2), S_OK);
    EXPECT_EQ(PostAndWait(c, "other audience", 3, 2, 1), S_OK);
    for (const Bytes& refused : {Bytes{0, 0, 0}, Bytes{16, 0, 0, 0}}) {  // change nothing
      c.Post(Request("8", &store, refused));
      EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_INVALIDARG);
    }
    EXPECT_EQ(StoreFlags(c), (Bytes{2, 15, 15, 15}));
    Stop(host.process);
  }
  EXPECT_EQ(Count("blocked") * 100 + Count("allowed") * 10 + Count("other audience"), 11);

  RunningHost host(dir.path(), db, "", "restart.log");
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  EXPECT_EQ(StoreFlags(c), (Bytes{2, 15, 15, 15})) << "the flags were not kept";
  EXPECT_EQ(PostAndWait(c, "blocked again", 4, 1, 1), S_OK);
  c.Post(Request("8", &store, {15, 15, 15, 15}));
  EXPECT_EQ(PostAndWait(c, "open again", 5, 1, 1), S_OK);
  EXPECT_EQ(Count("blocked again"), 0);
  EXPECT_EQ(Count("open again"), 1);
}

TEST_F(HostTest, HostileClientsAreDroppedWhileOthersAreServed) {
  RunningHost host(dir.path(), db);
  TestClient good;
  ASSERT_TRUE(good.Connected(host.port));
  std::mt19937 random(7);
  Bytes noise(8192);
  for (auto& b : noise) b = uint8_t(random());
  Bytes half = FrameCodec::Encode(FrameKind::Post, 9, [](ByteWriter& w) {
    ItemMessage("2", 9, SimpleItem(u"half", 1, 1)).Write(w);
  });
  half.resize(half.size() / 2);
  Bytes evil = FrameCodec::Encode(FrameKind::Post, 1, [](ByteWriter& w) {
    ItemMessage("2", 1, SimpleItem(u"evil", 1, 1)).Write(w);
  });
  // What each sends, whether it says Hello first, the error it gets (0: none
  // is read) before the host closes the connection.
  const std::tuple<const char*, bool, Bytes, HResult> hostile[] = {
      {"no Hello first", false, evil, E_INVALID_DATA},
      {"a version nobody speaks", false, FrameCodec::Encode(FrameKind::Hello, 1, [](ByteWriter& w) { Hello{2, 5}.Write(w); }),
       RPC_E_VERSION_MISMATCH},
      {"length 3", true, Concat({Le32(3), Bytes(20, 0xEE)}), E_INVALID_DATA},
      {"length 2^32-1", true, Concat({Le32(0xFFFFFFFF), Bytes(20, 0xEE)}), E_INVALID_DATA},
      {"length over the largest", true, Concat({Le32(FrameCodec::kMaxPayload + 9), Bytes(20, 0xEE)}), E_INVALID_DATA},
      {"noise", false, noise, 0},
  };
  int served = 0;
  for (const auto& [what, hello, bytes, error] : hostile) {
    SCOPED_TRACE(what);
    TestClient c;
    ASSERT_TRUE(hello ? c.Connected(host.port) : c.Connect(host.port));
    c.SendRaw(bytes);
    EXPECT_TRUE(!error || ErrorResult(c.NextFrame(5000)) == error);
    EXPECT_TRUE(c.WaitClosed(5000));
    EXPECT_EQ(PostAndWait(good, "good-" + std::to_string(served), served + 1), S_OK);
    ++served;
  }
  {  // Gone in the middle of a frame.
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.SendRaw(half);
  }
  {  // Damaged messages inside good frames: refused, the connection goes on.
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    const std::pair<Bytes, HResult> damaged[] = {{FrameCodec::Encode(FrameKind::Post, 20, Bytes{0x05, 0x00, 0x01}), E_INVALIDARG},
                                                 {FrameCodec::Encode(FrameKind(30), 21, Bytes{}), E_NOTIMPL},
                                                 {FrameCodec::Encode(FrameKind::Reply, 22, Bytes{}), E_INVALIDARG}};
    for (const auto& [bytes, error] : damaged) {
      c.SendRaw(bytes);
      EXPECT_EQ(ErrorResult(c.NextFrame(5000)), error);
    }
    Bytes garbage = {0x02, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F};
    c.Post(ItemMessage("2", 77, garbage));
    auto f = c.NextFrame(5000);
    Answer a;
    ASSERT_TRUE(f && ReadAnswer(*f, &a));
    EXPECT_EQ(a.hr, E_INVALIDARG);
    EXPECT_EQ(a.transid, 77);
    EXPECT_EQ(a.body, garbage);
    c.Post(ItemMessage("1", 0, garbage));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_INVALIDARG);
    EXPECT_EQ(PostAndWait(c, "after damage", 78), S_OK);
  }
  {  // Posts a "2" and leaves without reading its answer.
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.Post(ItemMessage("2", 5, SimpleItem(u"left early", 1, 1)));
  }
  EXPECT_EQ(PostAndWait(good, "good-last", 99), S_OK);
  Stop(host.process);
  EXPECT_EQ(Count("good-%"), served + 1);
  EXPECT_EQ(Count("after damage") + Count("left early"), 2) << "an item whose client left was not stored";
  EXPECT_EQ(Count("evil") + Count("half"), 0);
  std::string log = host.process.Log();
  EXPECT_NE(log.find("the first frame must be Hello"), std::string::npos) << log;
  EXPECT_NE(log.find("closed in the middle of a frame"), std::string::npos) << log;
}

TEST_F(HostTest, ManyClientsAtOnceAreAllAnswered) {
  RunningHost host(dir.path(), db);
  const int kClients = 8, kItems = 200;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t)
    threads.emplace_back([&, t] {
      TestClient c;
      if (!c.Connected(host.port)) return;
      for (int i = 0; i < kItems; ++i)
        c.Post(ItemMessage("2", i + 1, SimpleItem(U16("c" + std::to_string(t) + "-" + std::to_string(i)), 1, 1)));
      std::set<int32_t> seen;
      Answer a;
      for (std::optional<Frame> f; int(seen.size()) < kItems && (f = c.NextFrame(10000)) && ReadAnswer(*f, &a);)
        if (a.hr == S_OK && seen.insert(a.transid).second) ++answered;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered.load(), kClients * kItems);
  EXPECT_EQ(Count("c%"), kClients * kItems);
}

TEST_F(HostTest, SigtermCommitsEverythingReceivedAndAnswersIt) {
  RunningHost host(dir.path(), db);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  const int kAsync = 300, kSync = 2000;
  Bytes burst;
  for (int i = 0; i < kAsync + kSync; ++i) {
    bool sync = i >= kAsync;
    burst = Concat({burst, FrameCodec::Encode(FrameKind::Post, uint32_t(1000 + i), [&](ByteWriter& w) {
                      ItemMessage(sync ? "2" : "1", i, SimpleItem(U16((sync ? "sync-" : "async-") + std::to_string(i)), 1, 1))
                          .Write(w);
                    })});
  }
  // Sent on another thread so that answers are read meanwhile; the stop
  // comes the moment the last byte is handed to the socket.
  std::thread sender([&] {
    c.SendRaw(burst);
    host.process.Signal(SIGTERM);
  });
  std::set<int32_t> ok;
  Answer a;
  for (std::optional<Frame> f; int(ok.size()) < kSync && (f = c.NextFrame(20000)) && ReadAnswer(*f, &a);)
    if (a.hr == S_OK) ok.insert(a.transid);
  sender.join();
  EXPECT_EQ(ok.size(), size_t(kSync)) << "items received before SIGTERM were not all answered";
  EXPECT_TRUE(c.WaitClosed(10000));
  EXPECT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
  EXPECT_EQ(Count("sync-%"), kSync);
  EXPECT_EQ(Count("async-%"), kAsync);
  EXPECT_NE(host.process.Log().find("received SIGTERM"), std::string::npos) << host.process.Log();
}

TEST_F(HostTest, SigkillLosesNothingThatWasAnswered) {
  auto host = std::make_unique<RunningHost>(dir.path(), db);
  std::mutex mutex;
  std::vector<std::string> answered;
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t)
    clients.emplace_back([&, t] {
      TestClient c;
      if (!c.Connected(host->port)) return;
      for (int i = 0; i < 100000 && !stop; ++i) {
        std::string loc = "k" + std::to_string(t) + "-" + std::to_string(i);
        if (PostAndWait(c, loc, i + 1) != S_OK) return;
        std::lock_guard<std::mutex> lock(mutex);
        answered.push_back(loc);
      }
    });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (size_t n = 0; n < 300 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> lock(mutex);
    n = answered.size();
  }
  host->process.Signal(SIGKILL);
  EXPECT_EQ(host->process.WaitExit(5000), 128 + SIGKILL);
  stop = true;
  for (auto& t : clients) t.join();
  ASSERT_GE(answered.size(), 300u) << "the clients were not served before the kill";
  {  // The database opens again and serves.
    RunningHost again(dir.path(), db, "", "restart.log");
    TestClient c;
    ASSERT_TRUE(c.Connected(again.port)) << "the host did not start on the killed host's database";
    EXPECT_EQ(PostAndWait(c, "after kill", 1), S_OK);
    Stop(again.process);
  }
  size_t missing = 0;
  for (const std::string& loc : answered) missing += Count(loc) != 1;
  EXPECT_EQ(missing, 0u) << "of " << answered.size() << " items answered S_OK";
}

TEST_F(HostTest, ConfigurationFileIsApplied) {
  std::string config = dir.File("tarnhost.conf");
  WriteFile(config, "database = ignored.db\n[adaptor]\nkind = store\nname = Werk 3\n"
                    "clsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\nenable.veltra = error\nenable.dev = none\n"
                    "enable.eng = none\nenable.op = none\n");
  {
    RunningHost host(dir.path(), db, config);  // --db overrides the file
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    EXPECT_EQ(Decoded(c.Transact(Request("4", nullptr))).text, u"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}");
    EXPECT_EQ(StoreFlags(c), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(PostAndWait(c, "veltra error", 1, 1, 1), S_OK);
    EXPECT_EQ(PostAndWait(c, "dev error", 2, 2, 1), S_OK);
    Stop(host.process, SIGINT);
  }
  EXPECT_EQ(Count("veltra error"), 1);
  EXPECT_EQ(Count("dev error"), 0);
  EXPECT_FALSE(StoreQuery(dir.File("ignored.db")).ok());
}
