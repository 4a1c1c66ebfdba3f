// The real tarnhost on 127.0.0.1 with a free port: items stored and
// answered, the adaptor list (the handler's tests cover every request),
// flags that change routing and survive a restart, hostile clients, SIGTERM
// and SIGKILL. Every check of what was stored reads the SQLite file back.
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

MuxMessage InfoRequest(const Guid& clsid) {
  MuxMessage m;
  m.SetField("MSGTYPE", "3");
  m.SetField("transid", "0");
  m.data.assign(clsid.bytes().begin(), clsid.bytes().end());
  return m;
}

MuxMessage FlagsMessage(const Guid& clsid, Bytes flags) {
  MuxMessage m;
  m.SetField("MSGTYPE", "8");
  m.data.assign(clsid.bytes().begin(), clsid.bytes().end());
  m.data.insert(m.data.end(), flags.begin(), flags.end());
  return m;
}

MuxMessage Decoded(const Frame& f) {
  MuxMessage m;
  std::string error;
  EXPECT_TRUE(MuxMessage::Decode(f.payload.data(), f.payload.size(), &m, &error)) << error;
  return m;
}

HResult ErrorResult(const std::optional<Frame>& f) {
  ErrorPayload e;
  if (!f || f->kind != FrameKind::Error || !ErrorPayload::Decode(f->payload.data(), f->payload.size(), &e)) return 1;
  return e.result;
}

// Posts a "2" and waits for its "5"; the answer's result, or 1 when none came.
HResult PostAndWait(TestClient& c, const std::u16string& location, int32_t transid, int32_t audience = 1,
                    int32_t severity = 1) {
  Bytes item = SimpleItem(location, audience, severity);
  c.Post(ItemMessage("2", transid, item));
  auto f = c.NextFrame(5000);
  Answer a;
  if (!f || !ReadAnswer(*f, &a) || a.transid != transid || a.body != item) return 1;
  return a.hr;
}

Bytes EnabledFlagsOf(TestClient& c, const Guid& clsid) {
  auto reply = c.Transact(InfoRequest(clsid));
  if (!reply || reply->kind != FrameKind::Reply) return {};
  MuxMessage m = Decoded(*reply);
  if (m.body.size() != 272) return {};
  return Bytes(m.body.begin() + 8, m.body.begin() + 12);
}

int64_t Count(const std::string& db, const std::string& locationLike) {
  return StoreQuery(db).Int("SELECT COUNT(*) FROM messages WHERE location LIKE '" + locationLike + "'");
}

class HostTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string db = dir.File("messages.db");
};

}  // namespace

TEST_F(HostTest, ItemsAreStoredAndAnsweredAndAdaptorsDescribed) {
  RunningHost host(dir.path(), db);
  ASSERT_NE(host.port, 0);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));

  c.Post(ItemMessage("1", 0, SimpleItem(u"async", 2, 4)));
  Bytes item = SimpleItem(u"first", 1, 1);
  c.Post(ItemMessage("2", -12345, item));
  auto f = c.NextFrame(5000);
  ASSERT_TRUE(f);
  Answer a;
  ASSERT_TRUE(ReadAnswer(*f, &a));
  EXPECT_EQ(a.type, "5");
  EXPECT_EQ(a.hr, S_OK);
  EXPECT_EQ(a.transid, -12345);
  EXPECT_EQ(a.body, item);
  // The "1" went ahead of the "2" on the same connection, so it is committed too.
  EXPECT_EQ(Count(db, "async"), 1);
  EXPECT_EQ(StoreQuery(db).Blob("SELECT item FROM messages WHERE location = 'first'"), item);
  EXPECT_EQ(StoreQuery(db).Texts("SELECT time_text FROM messages WHERE location = 'first'"),
            std::vector<std::string>{"2023-03-15T12:00:00.000Z"});

  MuxMessage list;
  list.SetField("MSGTYPE", "4");
  list.SetField("transid", "7");
  auto reply = c.Transact(list);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->kind, FrameKind::Reply);
  MuxMessage m = Decoded(*reply);
  EXPECT_EQ(*m.Field("transid"), "7");
  EXPECT_EQ(m.text, u"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6};{ED34F366-7CA7-4E2D-824E-7213D595AFB2}");

  host.process.Signal(SIGTERM);
  EXPECT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
}

TEST_F(HostTest, FlagsChangeRoutingAtOnceAndSurviveARestart) {
  const Guid& store = ConfigFile::StoreAdaptorClsid();
  {
    RunningHost host(dir.path(), db);
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.Post(FlagsMessage(store, {2, 15, 15, 15}));  // VELTRA: Warning only
    EXPECT_EQ(PostAndWait(c, u"blocked", 1, 1, 1), S_OK) << "an item nobody takes is still answered";
    EXPECT_EQ(PostAndWait(c, u"allowed", 2, 1, 2), S_OK);
    EXPECT_EQ(PostAndWait(c, u"other audience", 3, 2, 1), S_OK);
    host.process.Signal(SIGTERM);
    ASSERT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
  }
  EXPECT_EQ(Count(db, "blocked"), 0);
  EXPECT_EQ(Count(db, "allowed"), 1);
  EXPECT_EQ(Count(db, "other audience"), 1);

  RunningHost host(dir.path(), db, "", "restart.log");
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  EXPECT_EQ(EnabledFlagsOf(c, store), (Bytes{2, 15, 15, 15})) << "the flags were not kept";
  EXPECT_EQ(PostAndWait(c, u"blocked again", 4, 1, 1), S_OK);
  c.Post(FlagsMessage(store, {15, 15, 15, 15}));
  EXPECT_EQ(PostAndWait(c, u"open again", 5, 1, 1), S_OK);
  EXPECT_EQ(Count(db, "blocked again"), 0);
  EXPECT_EQ(Count(db, "open again"), 1);
}

TEST_F(HostTest, HostileClientsAreDroppedWhileOthersAreServed) {
  RunningHost host(dir.path(), db);
  ASSERT_NE(host.port, 0);
  TestClient good;
  ASSERT_TRUE(good.Connected(host.port));
  int served = 0;
  auto stillServing = [&](const char* after) {
    SCOPED_TRACE(after);
    EXPECT_EQ(PostAndWait(good, u"good-" + std::u16string(1, char16_t(u'a' + served)), served + 1), S_OK);
    ++served;
  };
  stillServing("start");

  {  // No Hello first.
    TestClient c;
    ASSERT_TRUE(c.Connect(host.port));
    c.Post(ItemMessage("2", 1, SimpleItem(u"evil", 1, 1)));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_INVALID_DATA);
    EXPECT_TRUE(c.WaitClosed(5000));
  }
  stillServing("no hello");
  {  // A version nobody speaks.
    TestClient c;
    ASSERT_TRUE(c.Connect(host.port));
    c.SendRaw(FrameCodec::Encode(FrameKind::Hello, 1, [](ByteWriter& w) { Hello{2, 5}.Write(w); }));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), RPC_E_VERSION_MISMATCH);
    EXPECT_TRUE(c.WaitClosed(5000));
  }
  for (uint32_t length : {3u, 0xFFFFFFFFu, FrameCodec::kMaxPayload + 9}) {  // lengths that break the framing
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.SendRaw(Concat({Le32(length), Bytes(20, 0xEE)}));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_INVALID_DATA) << length;
    EXPECT_TRUE(c.WaitClosed(5000)) << length;
  }
  stillServing("bad lengths");
  {  // Noise.
    std::mt19937 random(7);
    Bytes noise(8192);
    for (auto& b : noise) b = uint8_t(random());
    TestClient c;
    ASSERT_TRUE(c.Connect(host.port));
    c.SendRaw(noise);
    EXPECT_TRUE(c.WaitClosed(5000));
  }
  {  // Gone in the middle of a frame.
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    Bytes frame = FrameCodec::Encode(FrameKind::Post, 9, [](ByteWriter& w) {
      ItemMessage("2", 9, SimpleItem(u"half", 1, 1)).Write(w);
    });
    c.SendRaw(Bytes(frame.begin(), frame.begin() + std::ptrdiff_t(frame.size() / 2)));
    c.Close();
  }
  stillServing("noise and half a frame");
  {  // Damaged messages inside good frames: refused, the connection goes on.
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.SendRaw(FrameCodec::Encode(FrameKind::Post, 20, Bytes{0x05, 0x00, 0x01}));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_INVALIDARG);
    c.SendRaw(FrameCodec::Encode(FrameKind(30), 21, Bytes{}));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_NOTIMPL);
    c.SendRaw(FrameCodec::Encode(FrameKind::Reply, 22, Bytes{}));
    EXPECT_EQ(ErrorResult(c.NextFrame(5000)), E_INVALIDARG);
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
    EXPECT_EQ(PostAndWait(c, u"after damage", 78), S_OK);
  }
  {  // Posts a "2" and leaves without reading its answer.
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.Post(ItemMessage("2", 5, SimpleItem(u"left early", 1, 1)));
    c.Close();
  }
  stillServing("damaged messages");

  EXPECT_EQ(Count(db, "good-%"), served);
  EXPECT_EQ(Count(db, "after damage"), 1);
  EXPECT_EQ(Count(db, "evil"), 0);
  EXPECT_EQ(Count(db, "half"), 0);
  host.process.Signal(SIGTERM);
  EXPECT_EQ(host.process.WaitExit(10000), 0);
  EXPECT_EQ(Count(db, "left early"), 1) << "an item whose client left was not stored";
  std::string log = host.process.Log();
  EXPECT_NE(log.find("the first frame must be Hello"), std::string::npos) << log;
  EXPECT_NE(log.find("closed in the middle of a frame"), std::string::npos) << log;
}

TEST_F(HostTest, SigtermCommitsEverythingReceivedAndAnswersIt) {
  RunningHost host(dir.path(), db);
  ASSERT_NE(host.port, 0);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  const int kAsync = 300, kSync = 2000;
  Bytes burst;
  for (int i = 0; i < kAsync + kSync; ++i) {
    bool sync = i >= kAsync;
    std::string loc = (sync ? "sync-" : "async-") + std::to_string(i);
    Bytes frame = FrameCodec::Encode(FrameKind::Post, uint32_t(1000 + i), [&](ByteWriter& w) {
      ItemMessage(sync ? "2" : "1", i, SimpleItem(std::u16string(loc.begin(), loc.end()), 1, 1)).Write(w);
    });
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  // Sent on another thread so that answers are read meanwhile; the stop
  // comes the moment the last byte is handed to the socket.
  std::thread sender([&] {
    c.SendRaw(burst);
    host.process.Signal(SIGTERM);
  });
  std::set<int32_t> ok;
  for (int i = 0; i < kSync; ++i) {
    auto f = c.NextFrame(20000);
    Answer a;
    if (!f || !ReadAnswer(*f, &a)) break;
    if (a.hr == S_OK) ok.insert(a.transid);
  }
  sender.join();
  EXPECT_EQ(ok.size(), size_t(kSync)) << "items received before SIGTERM were not all answered";
  EXPECT_TRUE(c.WaitClosed(10000));
  EXPECT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
  EXPECT_EQ(Count(db, "sync-%"), kSync);
  EXPECT_EQ(Count(db, "async-%"), kAsync);
  std::string log = host.process.Log();
  EXPECT_NE(log.find("received SIGTERM"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped; "), std::string::npos) << log;
}

TEST_F(HostTest, SigkillLosesNothingThatWasAnswered) {
  auto host = std::make_unique<RunningHost>(dir.path(), db);
  ASSERT_NE(host->port, 0);
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
        if (PostAndWait(c, std::u16string(loc.begin(), loc.end()), i + 1) != S_OK) return;
        std::lock_guard<std::mutex> lock(mutex);
        answered.push_back(loc);
      }
    });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (answered.size() >= 300) break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  host->process.Signal(SIGKILL);
  EXPECT_EQ(host->process.WaitExit(5000), 128 + SIGKILL);
  stop = true;
  for (auto& t : clients) t.join();
  ASSERT_GE(answered.size(), 300u) << "the clients were not served before the kill";

  // The database opens again and serves.
  {
    RunningHost again(dir.path(), db, "", "restart.log");
    ASSERT_NE(again.port, 0) << "the host did not start on the killed host's database";
    TestClient c;
    ASSERT_TRUE(c.Connected(again.port));
    EXPECT_EQ(PostAndWait(c, u"after kill", 1), S_OK);
    again.process.Signal(SIGTERM);
    EXPECT_EQ(again.process.WaitExit(10000), 0);
  }
  StoreQuery q(db);
  size_t missing = 0;
  for (const std::string& loc : answered)
    if (q.Int("SELECT COUNT(*) FROM messages WHERE location = '" + loc + "'") != 1) ++missing;
  EXPECT_EQ(missing, 0u) << "of " << answered.size() << " items answered S_OK";
}

TEST_F(HostTest, ConfigurationFileIsApplied) {
  std::string config = dir.File("tarnhost.conf");
  WriteFile(config,
            "database = ignored.db\n"
            "[adaptor]\n"
            "kind = store\n"
            "name = Werk 3\n"
            "clsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n"
            "enable.veltra = error\n"
            "enable.dev = none\n"
            "enable.eng = none\n"
            "enable.op = none\n");
  {
    RunningHost host(dir.path(), db, config);  // --db overrides the file
    ASSERT_NE(host.port, 0);
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    MuxMessage list;
    list.SetField("MSGTYPE", "4");
    auto reply = c.Transact(list);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Decoded(*reply).text, u"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}");
    EXPECT_EQ(EnabledFlagsOf(c, ConfigFile::StoreAdaptorClsid()), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(PostAndWait(c, u"veltra error", 1, 1, 1), S_OK);
    EXPECT_EQ(PostAndWait(c, u"dev error", 2, 2, 1), S_OK);
    host.process.Signal(SIGINT);
    EXPECT_EQ(host.process.WaitExit(10000), 0);
  }
  EXPECT_EQ(Count(db, "veltra error"), 1);
  EXPECT_EQ(Count(db, "dev error"), 0);
  EXPECT_EQ(StoreQuery(dir.File("ignored.db")).ok(), false);
}
