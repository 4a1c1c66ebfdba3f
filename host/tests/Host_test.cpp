// The real tarnhost driven as its clients, systemd and an administrator drive it.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "core/ConfigFile.h"
#include "core/HResult.h"
#include "core/Logger.h"
#include "protocol/Hello.h"
#include "rights/PeerAccount.h"
#include "store/DatabaseFile.h"
#include "support/Support.h"

using namespace hv::host;
using namespace hvtest;
using namespace std::chrono;


namespace {

MuxMessage Request(const char* type) {
  MuxMessage m;
  m.SetField("MSGTYPE", type);
  m.SetField("transid", "7");
  return m;
}

MuxMessage Decoded(const std::optional<Frame>& f) {
  MuxMessage m;
  std::string error;
  EXPECT_TRUE(f && f->kind == FrameKind::Reply && MuxMessage::Decode(f->payload.data(), f->payload.size(), &m, &error))
      << "no Reply " << error;
  return m;
}

int32_t Logged(TestClient& c, const std::string& location, int32_t transid, int32_t audience = 1, int32_t severity = 1) {
  return c.Log(SimpleItem(U16(location), audience, severity), transid);
}

Bytes StoreFlags(TestClient& c) {
  MuxMessage m = Decoded(c.Transact(ClsidMessage("3", ConfigFile::StoreAdaptorClsid())));
  return m.body.size() == 272 ? Bytes(m.body.begin() + 8, m.body.begin() + 12) : Bytes{};
}

class HostTest : public ::testing::Test {
 protected:
  int64_t Count(const std::string& locationLike) {
    return StoreQuery(db).Int("SELECT COUNT(*) FROM messages WHERE location LIKE '" + locationLike + "'");
  }
  TempDir dir;
  std::string db = dir.File("messages.db");
};

}  // namespace

TEST_F(HostTest, ItemsAreStoredAndAnsweredAdaptorsDescribedAndFlagsChangeRoutingAndSurviveARestart) {
  const Guid& store = ConfigFile::StoreAdaptorClsid();
  RunningHost host(dir.path(), db);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  c.Post(ItemMessage("1", 0, SimpleItem(u"async", 2, 4)));
  Bytes item = SimpleItem(u"first");
  ASSERT_EQ(c.Log(item, -12345), S_OK);
  // The "1" went ahead of the "2" on the same connection, so it is committed too.
  EXPECT_EQ(Count("async"), 1);
  StoreQuery q(db);
  EXPECT_EQ(q.Blob("SELECT item FROM messages WHERE location = 'first'"), item);
  EXPECT_EQ(q.Texts("SELECT time_text FROM messages WHERE location = 'first'"),
            std::vector<std::string>{"2023-03-15T12:00:00.000Z"});

  MuxMessage m = Decoded(c.Transact(Request("4")));
  EXPECT_EQ(*m.Field("transid"), "7");
  EXPECT_EQ(m.text, u"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6};{ED34F366-7CA7-4E2D-824E-7213D595AFB2}");
  m = Decoded(c.Transact(ClsidMessage("3", store)));
  EXPECT_EQ(*m.Field("HRESULT") + *m.Field("READER"), "01");
  ASSERT_EQ(m.body.size(), 272u);
  EXPECT_EQ(Bytes(m.body.begin(), m.body.begin() + 16), (Bytes{15, 0, 0, 0, 15, 0, 0, 0, 15, 15, 15, 15, 'M', 0, 'e', 0}));
  Guid unknown = Clsid("{00000000-1111-2222-3333-444444444444}");
  EXPECT_EQ(*Decoded(c.Transact(ClsidMessage("3", unknown))).Field("HRESULT"), "-2147221164");
  // A type that forges a log line of its own is logged escaped.
  EXPECT_EQ(ErrorCode(c.Transact(Request("9\n2026-12-06T00:00:00.000Z tarnhost: adaptor flags changed"))), E_NOTIMPL);

  c.Post(ClsidMessage("8", store, {2, 15, 15, 15}));  // VELTRA: Warning only
  EXPECT_EQ(Logged(c, "blocked", 1, 1, 1), S_OK) << "an item nobody takes is still answered";
  EXPECT_EQ(Logged(c, "allowed", 2, 1, 2), S_OK);
  EXPECT_EQ(Logged(c, "other audience", 3, 2, 1), S_OK);
  for (const Bytes& refused : {Bytes{0, 0, 0}, Bytes{16, 0, 0, 0}}) {  // change nothing
    c.Post(ClsidMessage("8", store, refused));
    EXPECT_EQ(ErrorCode(c.NextFrame(5000)), E_INVALIDARG);
  }
  EXPECT_EQ(StoreFlags(c), (Bytes{2, 15, 15, 15}));
  host.process.Stop();
  EXPECT_EQ(Count("blocked") * 100 + Count("allowed") * 10 + Count("other audience"), 11);
  std::string log = host.process.Log();
  EXPECT_NE(log.find("type \"9\\x0A2026-12-06T00:00:00.000Z tarnhost: adaptor"), std::string::npos) << log;
  EXPECT_EQ(log.find("\n2026-12-06T00:00:00.000Z"), std::string::npos);

  RunningHost again(dir.path(), db, "", "restart.log");
  TestClient c2;
  ASSERT_TRUE(c2.Connected(again.port));
  EXPECT_EQ(StoreFlags(c2), (Bytes{2, 15, 15, 15})) << "the flags were not kept";
  EXPECT_EQ(Logged(c2, "blocked again", 4), S_OK);
  c2.Post(ClsidMessage("8", store, {15, 15, 15, 15}));
  EXPECT_EQ(Logged(c2, "open again", 5), S_OK);
  EXPECT_EQ(Count("blocked again") * 10 + Count("open again"), 1);
}

TEST_F(HostTest, HostileClientsAreDroppedWhileOthersAreServed) {
  RunningHost host(dir.path(), db);
  TestClient good;
  ASSERT_TRUE(good.Connected(host.port));
  Bytes noise(8192);
  std::generate(noise.begin(), noise.end(), std::mt19937(7));
  auto post = [](const char* at) { return Encoded(FrameKind::Post, 1, ItemMessage("2", 1, SimpleItem(U16(at)))); };
  Bytes half = post("half");
  half.resize(half.size() / 2);
  // What each sends, whether it says Hello first, the error it gets (0: none
  // is read) before the host closes the connection.
  const std::tuple<const char*, bool, Bytes, HResult> hostile[] = {
      {"no Hello first", false, post("evil"), E_INVALID_DATA},
      {"a version nobody speaks", false, FrameCodec::Encode(FrameKind::Hello, 1, [](hv::ByteWriter& w) { Hello{2, 5}.Write(w); }),
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
    EXPECT_TRUE(!error || ErrorCode(c.NextFrame(5000)) == error);
    EXPECT_TRUE(c.WaitClosed(5000));
    EXPECT_EQ(Logged(good, "good-" + std::to_string(served), served + 1), S_OK);
    ++served;
  }
  // Damaged messages inside good frames: refused, the connection goes on.
  TestClient sloppy;
  ASSERT_TRUE(sloppy.Connected(host.port));
  const std::pair<Bytes, HResult> damaged[] = {{FrameCodec::Encode(FrameKind::Post, 20, Bytes{0x05, 0x00, 0x01}), E_INVALIDARG},
                                               {FrameCodec::Encode(FrameKind(30), 21, Bytes{}), E_NOTIMPL},
                                               {FrameCodec::Encode(FrameKind::Reply, 22, Bytes{}), E_INVALIDARG}};
  for (const auto& [bytes, error] : damaged) {
    sloppy.SendRaw(bytes);
    EXPECT_EQ(ErrorCode(sloppy.NextFrame(5000)), error);
  }
  Bytes garbage = {0x02, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F};
  EXPECT_EQ(sloppy.Log(garbage, 77), E_INVALIDARG) << "answered with the body as sent";
  sloppy.Post(ItemMessage("1", 0, garbage));
  EXPECT_EQ(ErrorCode(sloppy.NextFrame(5000)), E_INVALIDARG);
  EXPECT_EQ(Logged(sloppy, "after damage", 78), S_OK);
  // Gone in the middle of a frame, or right after a "2" without reading its answer.
  for (const Bytes& last : {half, post("left early")}) {
    TestClient c;
    ASSERT_TRUE(c.Connected(host.port));
    c.SendRaw(last);
  }
  EXPECT_EQ(Logged(good, "good-last", 99), S_OK);
  host.process.Stop();
  EXPECT_EQ(Count("good-%"), served + 1);
  EXPECT_EQ(Count("after damage") + Count("left early"), 2) << "an item whose client left was not stored";
  EXPECT_EQ(Count("evil") + Count("half"), 0);
  std::string log = host.process.Log();
  EXPECT_NE(log.find("the first frame must be Hello"), std::string::npos) << log;
  EXPECT_NE(log.find("closed in the middle of a frame"), std::string::npos) << log;
}

TEST_F(HostTest, ManyClientsAtOnceAreServedAndSigkillLosesNothingThatWasAnswered) {
  auto host = std::make_unique<RunningHost>(dir.path(), db);
  std::vector<std::string> answered[8];  // by client
  std::atomic<size_t> total{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t)
    clients.emplace_back([&, t] {
      TestClient c;
      if (!c.Connected(host->port)) return;
      for (int i = 0; i < 100000 && !stop; ++i) {
        std::string loc = "k" + std::to_string(t) + "-" + std::to_string(i);
        if (Logged(c, loc, i + 1) != S_OK) return;
        answered[t].push_back(loc);
        ++total;
      }
    });
  WaitFor([&] { return total >= 600; }, 10000);
  host->process.Signal(SIGKILL);
  EXPECT_EQ(host->process.WaitExit(5000), 128 + SIGKILL);
  stop = true;
  for (auto& t : clients) t.join();
  ASSERT_GE(total, 600u) << "the clients were not served before the kill";
  RunningHost again(dir.path(), db, "", "restart.log");  // the database opens again and serves
  TestClient c;
  ASSERT_TRUE(c.Connected(again.port)) << "the host did not start on the killed host's database";
  EXPECT_EQ(Logged(c, "after kill", 1), S_OK);
  again.process.Stop();
  size_t missing = 0;
  for (const auto& client : answered)
    for (const std::string& loc : client) missing += Count(loc) != 1;
  EXPECT_EQ(missing, 0u) << "of " << total << " items answered S_OK";
}

using ServiceRun = HostTest;

TEST_F(ServiceRun, UnitFilePassesSystemdAnalyze) {
  if (Shell("command -v systemd-analyze") != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  // The unit as installed, but naming the program of this build.
  std::string unit = dir.File("tarnhost.service"), warnings;
  ASSERT_EQ(Shell("sed 's|^ExecStart=.*|ExecStart=" TARNHOST_PATH "|' " TARNHOST_UNIT " > " + unit), 0);
  EXPECT_EQ(Shell("systemd-analyze verify " + unit, &warnings), 0) << warnings;
  EXPECT_EQ(warnings, "") << "systemd-analyze warns about the unit";
}

TEST_F(ServiceRun, TheConfigurationFileIsAppliedAndCheckedAndTheCommandLineRead) {
  std::string config = dir.File("tarnhost.conf");
  WriteFile(config, "database = ignored.db\nlisten = ip:127.0.0.1:7\n[adaptor]\nkind = store\nname = Werk 3\n"
                    "clsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\nenable.veltra = error\nenable.dev = none\n"
                    "enable.eng = none\nenable.op = none\n");
  RunningHost host(dir.path(), db, config);  // --db and --listen override the file
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  EXPECT_EQ(Decoded(c.Transact(Request("4"))).text, u"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}");
  EXPECT_EQ(StoreFlags(c), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(Logged(c, "veltra error", 1, 1, 1), S_OK);
  EXPECT_EQ(Logged(c, "dev error", 2, 2, 1), S_OK);
  host.process.Stop(SIGINT);
  EXPECT_EQ(Count("veltra error") * 10 + Count("dev error"), 10);
  EXPECT_FALSE(StoreQuery(dir.File("ignored.db")).ok());

  WriteFile(dir.File("bad.conf"), "[adaptor]\nkind = tape\n");
  const std::string good = " --config " + config, bad = " --config " + dir.File("bad.conf");
  const std::tuple<std::string, int, std::string> cases[] = {
      {"--version 2>/dev/null", 0, "tarnhost " TARNHOST_VERSION "\n"},
      {"--help 2>/dev/null", 0, "SYNOPSIS"},
      {"--bogus 2>/dev/null", 2, ""},
      {good + " --check-config 2>/dev/null", 0, "tarnhost.conf: OK; 1 adaptors, listen ip:127.0.0.1:7"},
      {bad + " --check-config", 1, "bad.conf: line 2: kind must be store or forwarder"},
      {bad + " --db " + dir.File("x.db"), 1, "not started: " + dir.File("bad.conf") + ": line 2: kind must be"},
      {good + " --listen ip:1.2.3 --check-config", 1, "listen: "},
      {"--config '' --listen ip:0.0.0.0:0 --db " + dir.File("x.db"), 1, "is not a loopback address"},
  };
  for (const auto& [args, exit, output] : cases) {
    std::string out;
    EXPECT_EQ(Shell(TARNHOST_PATH " " + args, &out), exit) << args;
    EXPECT_NE(out.find(output), std::string::npos) << args << " printed: " << out;
  }
}

TEST_F(ServiceRun, NotifiesSystemdAndSighupUnderLoadLosesNothingAndSigtermCommitsEverythingReceived) {
  std::string file = dir.File("tarnhost.log"), notify = dir.File("notify");
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
  HostProcess host({"--listen", "ip:127.0.0.1:0", "--db", db, "--log-file", file, "--config", ""}, dir.File("stderr"));
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
      for (int i = 1; !stop && c.Connected(port) && Logged(c, "c" + std::to_string(t) + "-" + std::to_string(i), i) == S_OK;
           ++i)
        ++answered;
    });
  // Rotated as logrotate does, each time after the clients got more answers.
  for (int r = 1; r <= 5; ++r) {
    WaitFor([&] { return answered >= 6 * r; }, 10000);
    ASSERT_EQ(::rename(file.c_str(), (file + "." + std::to_string(r)).c_str()), 0);
    host.Signal(SIGHUP);
    EXPECT_EQ(next(), "RELOADING=1");
    EXPECT_EQ(next().rfind("READY=1", 0), 0u);
  }
  stop = true;
  for (auto& t : clients) t.join();

  // A burst sent on another thread so that answers are read meanwhile; the
  // stop comes the moment the last byte is handed to the socket.
  const int kAsync = 300, kSync = 2000;
  Bytes burst;
  for (int i = 0; i < kAsync + kSync; ++i) {
    bool sync = i >= kAsync;
    Bytes item = SimpleItem(U16((sync ? "sync-" : "async-") + std::to_string(i)));
    burst = Concat({burst, Encoded(FrameKind::Post, uint32_t(1000 + i), ItemMessage(sync ? "2" : "1", i, item))});
  }
  std::thread sender([&] {
    first.SendRaw(burst);
    host.Signal(SIGTERM);
  });
  std::set<int32_t> ok;
  Answer a;
  for (std::optional<Frame> f; int(ok.size()) < kSync && (f = first.NextFrame(20000)) && ReadAnswer(*f, &a);)
    if (a.hr == S_OK) ok.insert(a.transid);
  sender.join();
  EXPECT_EQ(ok.size(), size_t(kSync)) << "items received before SIGTERM were not all answered";
  EXPECT_EQ(next(), "STOPPING=1");
  EXPECT_TRUE(first.WaitClosed(10000));
  EXPECT_EQ(host.WaitExit(10000), 0) << host.Log();
  ::close(fd);

  EXPECT_GE(answered.load(), 30) << "the clients were not served while the log rotated";
  EXPECT_EQ(Count("c%"), answered.load());
  EXPECT_EQ(Count("sync-%"), kSync);
  EXPECT_EQ(Count("async-%"), kAsync);
  EXPECT_NE(ReadFile(file).find("received SIGTERM"), std::string::npos) << "the reopened file is not written";
  EXPECT_NE(ReadFile(file + ".1").find("listening on"), std::string::npos);
}


namespace {

enum Kind : uint16_t {
  kOpenReader = 16, kReaderOpened, kReadPage, kPage, kSetPosition, kSetDirection, kCloseReader, kDone, kCloneReader,
  kSubscribe, kUnsubscribe = 27,
};

// Item i has severity Error every fourth, Warning otherwise, and verbosity
// i % 4; every third goes to "Line 2/..." for Op; every fifth says "jam".
Bytes MakeItem(int i, size_t textLength = 0) {
  std::u16string text = std::u16string(i % 5 == 0 ? u"Belt JAM number " : u"running ") + char16_t(u'0' + i % 10);
  ItemBytes b;
  b.location = (i % 3 == 0 ? u"Line 2/cell " : u"Line 1/cell ") + std::u16string(1, char16_t(u'A' + i % 26));
  b.provider = u"Conveyor";
  b.messageText = text + std::u16string(textLength > text.size() ? textLength - text.size() : 0, u'x');
  b.userName = u"OPS\\tester";
  b.dateTime = 45000.5 + i / 1440.0;
  b.severity = i % 4 == 0 ? 1 : 2;
  b.audience = i % 3 == 0 ? 8 : 2;
  b.verbosity = i % 4;
  return b.Build();
}

std::vector<Bytes> Items(int first, int last, const std::function<bool(int)>& wanted = nullptr, size_t textLength = 0) {
  std::vector<Bytes> items;
  for (int i = first; i < last; ++i)
    if (!wanted || wanted(i)) items.push_back(MakeItem(i, textLength));
  return items;
}
bool IsError(int i) { return i % 4 == 0; }
bool IsJam(int i) { return i % 5 == 0; }

// Posts items as "2" and waits for every answer, so they are committed.
bool PostAll(TestClient& c, const std::vector<Bytes>& items) {
  for (size_t i = 0; i < items.size(); ++i) c.Post(ItemMessage("2", int32_t(i), items[i]));
  Answer a;
  for (size_t n = 0; n < items.size(); ++n)
    if (auto f = c.NextFrame(10000); !f || !ReadAnswer(*f, &a) || a.hr != S_OK) return false;
  return true;
}

std::vector<Bytes> Streams(const std::vector<ListedItem>& items) {
  std::vector<Bytes> out;
  for (const auto& i : items) out.push_back(i.stream);
  return out;
}

class ReadingTest : public ::testing::Test {
 protected:
  void TearDown() override { host.process.Stop(); }
  TempDir dir;
  RunningHost host{dir.path(), dir.File("messages.db")};
};

}  // namespace

TEST_F(ReadingTest, ReadersPageMoveTurnCloneAndClose) {
  TestClient poster, reader;
  ASSERT_TRUE(poster.Connected(host.port) && reader.Connected(host.port));
  std::vector<Bytes> items = Items(0, 40), errors = Items(0, 40, IsError);
  ASSERT_TRUE(PostAll(poster, items));

  ReadingClient r(reader);
  int32_t result = 1;
  uint32_t newest = r.Open(StoreClsid(), 0, 2, 0, u"<Filter><Severity>Error</Severity></Filter>", &result);
  ASSERT_TRUE(newest == 1u && result == S_OK) << newest << " " << result;
  PageFrame page = r.Page(newest, 3);
  ASSERT_TRUE(page.ok && page.flags == 0u);
  EXPECT_EQ(Streams(page.items), (std::vector<Bytes>{errors[9], errors[8], errors[7]}));
  EXPECT_GT(page.items[0].number, page.items[1].number);

  // Start + 2, then forward: the errors from the third oldest, and the last page says so.
  EXPECT_EQ(r.Done(kSetPosition, HandlePayload(newest, {0, 2})), S_OK);
  EXPECT_EQ(r.Done(kSetDirection, HandlePayload(newest, {1})), S_OK);
  page = r.Page(newest, 100);
  EXPECT_TRUE(page.ok && page.flags == 1u);
  EXPECT_EQ(Streams(page.items), std::vector<Bytes>(errors.begin() + 2, errors.end()));
  EXPECT_EQ(r.Done(kSetPosition, HandlePayload(newest, {2, 100})), S_FALSE);

  // A clone starts where the original stands.
  EXPECT_EQ(r.Done(kSetPosition, HandlePayload(newest, {0, 4})), S_OK);
  auto clone = r.Request(kCloneReader, HandlePayload(newest));
  ASSERT_TRUE(clone && uint16_t(clone->kind) == kReaderOpened && clone->payload == Concat({Le32(2), Le32(0)}));
  EXPECT_EQ(Streams(r.Page(2, 1).items), std::vector<Bytes>{errors[4]});
  EXPECT_EQ(Streams(r.Page(newest, 2).items), (std::vector<Bytes>{errors[4], errors[5]}));

  EXPECT_EQ(r.Done(kCloseReader, HandlePayload(newest)), S_OK);
  EXPECT_EQ(ErrorCode(r.Request(kReadPage, HandlePayload(newest, {1}))), E_HANDLE);
  EXPECT_EQ(Streams(r.Page(2, 1).items), std::vector<Bytes>{errors[5]});

  // The maximum count, and an opening offset past the end.
  page = r.Page(r.Open(StoreClsid(), 1, 0, 0, u"<Filter><MaxCount>2</MaxCount></Filter>"), 10);
  EXPECT_EQ(page.flags, 1u);
  EXPECT_EQ(Streams(page.items), (std::vector<Bytes>{items[0], items[1]}));
  uint32_t past = r.Open(StoreClsid(), 1, 0, 41, u"", &result);
  EXPECT_TRUE(past != 0u && result == S_FALSE) << result;
  page = r.Page(past, 10);
  EXPECT_TRUE(page.ok && page.items.empty() && page.flags == 1);
  // The example of the protocol description, byte for byte, on a fresh connection.
  TestClient fresh;
  ASSERT_TRUE(fresh.Connected(host.port));
  fresh.SendRaw(Concat({Le32(0x3A), Le32(0x10), Le32(9), {0xEC, 0xAB, 0x67, 0x1B, 0x98, 0x0E, 0x4F, 0x4B, 0x9A, 0x72},
                        {0xA3, 0x66, 0x62, 0x5F, 0x20, 0xD6}, Le32(0), Le32(2), Le32(0), Le32(9), Utf16(u"<Filter/>")}));
  auto opened = fresh.NextFrame(5000);
  EXPECT_TRUE(opened && uint16_t(opened->kind) == kReaderOpened && opened->id == 9u &&
              opened->payload == Bytes({1, 0, 0, 0, 0, 0, 0, 0}));

  // Readers belong to their connection: another one does not see them.
  EXPECT_EQ(ErrorCode(ReadingClient(poster).Request(kReadPage, HandlePayload(2, {1}))), E_HANDLE);
}

TEST_F(ReadingTest, RefusedRequestsSayWhyAndTheConnectionGoesOn) {
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  ReadingClient r(c);
  std::string text;

  auto bad = r.Request(kOpenReader, OpenReaderPayload(StoreClsid(), 0, 2, 0, u"<Filter><Sevrity>1</Sevrity></Filter>"));
  ASSERT_EQ(ErrorCode(bad, &text), E_INVALIDARG);
  EXPECT_EQ(text.rfind("filter, line 1, column 9: unknown element <Sevrity>", 0), 0u) << text;
  auto from = r.Request(kSubscribe, SubscribePayload(StoreClsid(), u"<Filter><From>yesterday</From></Filter>"));
  EXPECT_EQ(ErrorCode(from, &text), E_INVALIDARG);
  EXPECT_EQ(text.rfind("filter, line 1, column 9: <From> \"yesterday\"", 0), 0u) << text;

  Bytes lying = OpenReaderPayload(StoreClsid(), 0, 2, 0, u"<Filter/>");
  lying[28] = 10;  // a filter length that promises more than the payload holds
  uint32_t reader = r.Open(StoreClsid(), 1, 0, 0, u"");
  ASSERT_EQ(reader, 1u);
  const std::tuple<uint16_t, Bytes, int32_t> refused[] = {
      {kOpenReader, OpenReaderPayload(ClsidBytes(ConfigFile::ForwarderAdaptorClsid()), 0, 2, 0, u""), E_NOINTERFACE},
      {kSubscribe, SubscribePayload(Bytes(16, 0x11), u""), REGDB_E_CLASSNOTREG},
      {kOpenReader, lying, E_INVALIDARG},
      {kOpenReader, OpenReaderPayload(StoreClsid(), 0, 1, 0, u""), E_INVALIDARG},
      {kOpenReader, OpenReaderPayload(StoreClsid(), 2, 0, 0, u""), E_INVALIDARG},
      {kReadPage, HandlePayload(reader, {0}), E_INVALIDARG},
      {kReadPage, HandlePayload(reader, {4097}), E_INVALIDARG},
      {kReadPage, HandlePayload(reader), E_INVALIDARG},
      {kSetPosition, HandlePayload(reader, {3, 0}), E_INVALIDARG},
      {kSetDirection, HandlePayload(reader, {2}), E_INVALIDARG},
      {kSetPosition, HandlePayload(9, {0, 0}), E_HANDLE},
      {kUnsubscribe, HandlePayload(1), E_HANDLE},
      {30, Bytes{}, E_NOTIMPL},
      {kPage, Bytes{}, E_INVALIDARG},
      {kDone, Bytes{0, 0, 0, 0}, E_INVALIDARG},
  };
  for (const auto& [kind, payload, result] : refused)
    EXPECT_EQ(ErrorCode(r.Request(kind, payload)), result) << "kind " << kind << ", " << payload.size() << " bytes";

  // Still serving: the reader works and an item is stored and answered.
  ASSERT_TRUE(PostAll(c, {MakeItem(0)}));
  PageFrame page = r.Page(reader, 5);
  EXPECT_TRUE(page.ok && Streams(page.items) == std::vector<Bytes>{MakeItem(0)});
  std::string refusal = "refused frame " + std::to_string(bad->id) + " (OpenReader): filter, line 1, column 9";
  EXPECT_NE(host.process.Log().find(refusal), std::string::npos);
}

TEST_F(ReadingTest, SubscribersGetExactlyTheMatchingNewItemsUntilTheyUnsubscribe) {
  TestClient poster, a, b;
  ASSERT_TRUE(poster.Connected(host.port) && a.Connected(host.port) && b.Connected(host.port));
  // Stored before anyone subscribed: never pushed.
  ASSERT_TRUE(PostAll(poster, Items(100, 108)));

  ReadingClient ra(a), rb(b);
  uint32_t aErrors = ra.Subscribe(StoreClsid(), u"<Filter><Severity>Error</Severity></Filter>");
  uint32_t aJams = ra.Subscribe(StoreClsid(), u"<Filter><Text>jam</Text></Filter>");
  uint32_t bOps = rb.Subscribe(StoreClsid(), u"<Filter><Location match=\"prefix\">Line 2/</Location>"
                                             u"<Audience>Op</Audience><MaxVerbosity>1</MaxVerbosity></Filter>");
  ASSERT_TRUE(aErrors == 1u && aJams == 2u && bOps == 1u);

  ASSERT_TRUE(PostAll(poster, Items(0, 60)));
  auto errors = Items(0, 60, IsError), jams = Items(0, 60, IsJam);
  auto ops = Items(0, 60, [](int i) { return i % 3 == 0 && i % 4 <= 1; });
  EXPECT_EQ(Streams(ra.Pushed(aErrors, errors.size(), 5000)), errors);
  EXPECT_EQ(Streams(ra.Pushed(aJams, jams.size(), 5000)), jams);
  std::vector<ListedItem> bGot = rb.Pushed(bOps, ops.size(), 5000);
  EXPECT_EQ(Streams(bGot), ops);
  for (size_t i = 1; i < bGot.size(); ++i) EXPECT_GT(bGot[i].number, bGot[i - 1].number);

  // After the Done, nothing more comes for the ended subscription; the other goes on.
  EXPECT_EQ(ra.Done(kUnsubscribe, HandlePayload(aErrors)), S_OK);
  ASSERT_TRUE(PostAll(poster, Items(60, 80)));
  EXPECT_EQ(Streams(ra.Pushed(aJams, 4, 5000)), Items(60, 80, IsJam));
  EXPECT_TRUE(ra.Pushed(aErrors, 1, 300).empty());
  EXPECT_TRUE(ra.Pushed(aJams, 1, 100).empty()) << "pushed more than matched";
  EXPECT_EQ(ErrorCode(ra.Request(kUnsubscribe, HandlePayload(aErrors))), E_HANDLE);
}

TEST_F(ReadingTest, ASubscriberThatGoesAwayIsDroppedAndASlowOneLosesNothing) {
  TestClient poster, gone, halfGone, slow;
  for (TestClient* c : {&poster, &gone, &halfGone, &slow}) ASSERT_TRUE(c->Connected(host.port));
  ReadingClient rg(gone), rh(halfGone), rs(slow);
  for (ReadingClient* r : {&rg, &rh, &rs}) ASSERT_EQ(r->Subscribe(StoreClsid(), u""), 1u);
  gone.Close();
  // A client that stops sending ends its subscriptions too and is closed.
  halfGone.ShutdownSend();
  EXPECT_TRUE(halfGone.WaitClosed(5000));

  // A subscriber that does not read while 2 MB are stored gets them all, in order.
  std::vector<Bytes> items = Items(0, 300, nullptr, 2900);
  for (const Bytes& item : items) poster.Post(ItemMessage("1", 0, item));
  items.push_back(MakeItem(5000));
  ASSERT_TRUE(PostAll(poster, {items.back()}));
  std::vector<ListedItem> got = rs.Pushed(1, items.size(), 10000);
  ASSERT_EQ(got.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(got[i].stream, items[i]) << "item " << i;
  EXPECT_EQ(Occurrences(host.process.Log(), "1 subscription dropped with the connection"), 2u) << host.process.Log();
}


static long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Milliseconds from connecting to the "5" of one stored item, or -1.
static long LogOnce(int port, int32_t transid) {
  auto start = steady_clock::now();
  TestClient c;
  if (!c.Connected(port, 2000) || c.Log(SimpleItem(u"real client"), transid, 2000) != S_OK) return -1;
  return long(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

const char kStoreSection[] = "[adaptor]\nkind = store\nname = Message store\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n";

TEST(LimitsTest, IdleAndDrippingSocketsDoNotKeepAClientOut) {
  rlimit files;
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  TempDir dir;
  WriteFile(dir.File("host.conf"), std::string("hello_timeout_s = 2\nframe_timeout_s = 2\nidle_timeout_s = 2\n") + kStoreSection);
  RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
  std::vector<TestClient> idle(1000);
  for (auto& c : idle) ASSERT_TRUE(c.Connect(host.port));
  // One drips its Hello, one a frame after its Hello; the third is quiet after Hello.
  TestClient beforeHello, afterHello, quiet;
  ASSERT_TRUE(beforeHello.Connect(host.port) && afterHello.Connected(host.port) && quiet.Connected(host.port));
  std::thread drip([&] {
    Bytes hello = {16, 0, 0, 0, 1, 0}, frame = {100, 0, 0, 0, 3, 0};
    for (size_t i = 0; i < hello.size(); ++i, std::this_thread::sleep_for(milliseconds(500))) {
      beforeHello.SendRaw({hello[i]});
      afterHello.SendRaw({frame[i]});
    }
  });
  long ms = LogOnce(host.port, 7);
  drip.join();
  EXPECT_TRUE(ms >= 0 && ms < 1000) << ms;
  for (TestClient* c : {&beforeHello, &afterHello, &quiet}) EXPECT_TRUE(c->WaitClosed(3000));
  EXPECT_EQ(std::count_if(idle.begin(), idle.end(), [](TestClient& c) { return c.WaitClosed(100); }), 1000);
  std::string log = host.process.Log();
  for (const char* line :
       {"no Hello within 2 s", "a frame is still incomplete after 2 s", "closed after 2 s without a frame"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 30) << "closing idle sockets floods the log";
}

TEST(LimitsTest, MemoryStaysBoundedUnderHostileLoads) {
  const Bytes& store = StoreClsid();
  const std::pair<const char*, std::function<void(TestClient&)>> attacks[] = {
      {"frames that never end",
       [](TestClient& c) { c.SendRaw(Concat({Le32(8 + (4u << 20)), {3, 0, 0, 0}, Le32(1), Bytes((4u << 20) - 1, 0)})); }},
      {"readers and subscriptions that never read",
       [&](TestClient& c) {
         ReadingClient r(c);
         for (int i = 0; i < 64; ++i) r.SendOnly(uint16_t(FrameKind::OpenReader), OpenReaderPayload(store, 0, 0, 0, u""));
         for (int i = 0; i < 16; ++i) r.SendOnly(uint16_t(FrameKind::Subscribe), SubscribePayload(store, u""));
         for (uint32_t handle = 1; handle <= 64; ++handle) r.SendOnly(uint16_t(FrameKind::ReadPage), HandlePayload(handle, {4096}));
       }},
  };
  for (const auto& [name, attack] : attacks) {
    SCOPED_TRACE(name);
    // Each attack on a host of its own, so none starts on what another left.
    TempDir dir;
    WriteFile(dir.File("host.conf"), std::string("max_buffered_mib = 64\n") + kStoreSection);
    RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
    // Items large enough that each page of a reader fills a whole frame.
    TestClient filler;
    ASSERT_TRUE(filler.Connected(host.port));
    for (int i = 0; i < 300; ++i) filler.Post(ItemMessage("1", 0, SimpleItem(std::u16string(8000, u'x'))));
    ASSERT_GE(LogOnce(host.port, 1), 0);
    long before = RssKiB(host.process.pid());
    std::vector<TestClient> attackers(64);
    for (TestClient& c : attackers) {
      ASSERT_TRUE(c.Connected(host.port));
      attack(c);
    }
    // Long enough for the host to answer many pages nobody reads.
    std::this_thread::sleep_for(milliseconds(2000));
    long after = RssKiB(host.process.pid());
    // The 64 MiB the host may hold for its clients, and room for its threads.
    EXPECT_LT(after - before, (64 + 48) * 1024) << "RSS grew from " << before << " KiB to " << after << " KiB";
    long ms = LogOnce(host.port, 2);
    EXPECT_TRUE(ms >= 0 && ms < 1000) << ms;
  }
}


TEST(DefencesTest, ControlCharactersAreEscapedInTheLog) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb", "a\\x0Ab"},
      {"tab\there\r", "tab\\x09here\\x0D"},
      {"csi \xC2\x9B" "31m", "csi \\xC2\\x9B31m"},
      {"back\\slash \xC3\xA4", "back\\\\slash \xC3\xA4"},
  };
  for (const auto& c : cases) EXPECT_EQ(Logger::Escape(c.first), c.second);
}

TEST(DefencesTest, UnderUmask000OnAFullDiskTheFilesStay0640AndTheLogsBounded) {
  TempDir dir;
  // The host may write no file beyond 6 MiB: the disk is full at that size,
  // which leaves the write-ahead log room to pass its own limit.
  rlimit old;
  ::getrlimit(RLIMIT_FSIZE, &old);
  const rlimit full{6 << 20, old.rlim_max};
  ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &full);
  // Its stderr is the journal's stream, so its lines carry priorities.
  WriteFile(dir.File("host.log"), "");
  struct stat st {};
  ::stat(dir.File("host.log").c_str(), &st);
  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
  mode_t mask = ::umask(0);
  RunningHost host(dir.path(), dir.File("m.db"));
  ::umask(mask);
  ::unsetenv("JOURNAL_STREAM");
  ::setrlimit(RLIMIT_FSIZE, &old);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  const Bytes large = SimpleItem(std::u16string(30000, u'f'));
  auto post = [&](int i) {
    c.Post(ItemMessage("1", 0, large));
    return c.Log(large, i, 10000);
  };
  // An answer comes after the checkpoint that followed the transaction before it.
  const std::string wal = dir.File("m.db-wal");
  int failed = 0;
  int64_t largest = 0;
  bool emptied = false;
  for (int i = 0; i < 120; ++i) {
    int hr = post(i);
    ASSERT_NE(hr, 1) << "item " << i;
    failed += hr != 0;
    emptied = emptied || (largest > kWalLimitBytes * 3 / 4 && FileSize(wal) < (1 << 20));
    largest = std::max(largest, FileSize(wal));
  }
  EXPECT_TRUE(emptied) << "the log never went back to empty; largest " << largest;
  EXPECT_GT(failed, 40);
  // Each kind of line at most once a minute, with its priority for the journal.
  std::string log = host.process.Log();
  const std::tuple<const char*, size_t, const char*> lines[] = {
      {"listening on", 1, "<6>"}, {"failed and was rolled back", 1, "<3>"}, {"was not stored", 2, "<3>"}};
  for (const auto& [text, most, priority] : lines) {
    size_t at = log.find(text), start = log.rfind('\n', at) + 1;
    EXPECT_TRUE(at != std::string::npos && Occurrences(log, text) <= most) << text << "\n" << log;
    EXPECT_EQ(log.substr(start, 3), priority) << text;
  }

  // Room again: the next items are stored.
  ASSERT_EQ(::prlimit(host.process.pid(), RLIMIT_FSIZE, &old, nullptr), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(post(1000 + i), 0) << "item " << i << " after room came back";
  EXPECT_LE(FileSize(wal), kWalLimitBytes);
  for (const char* name : {"m.db", "m.db-wal", "m.db-shm"})
    EXPECT_EQ(std::filesystem::status(dir.File(name)).permissions(), std::filesystem::perms(0640)) << name;
}


TEST(RightsTest, TheSocketTableGivesTheOwnerOfTheClientsEnd) {
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:EB1D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
      "   1: 0100007F:C350 0100007F:EB1D 01 00000000:00000000 00:00000000 00000000  1000        0 2 1\n"
      "   2: 0100007F:C351 0100007F:EB1D 06 00000000:00000000 03:00000E5B 00000000     0        0 0 3\n";
  uid_t uid = 0;
  EXPECT_TRUE(FindSocketOwner(table, "0100007F:C350", "0100007F:EB1D", &uid) && uid == 1000);
  EXPECT_FALSE(FindSocketOwner(table, "0100007F:C351", "0100007F:EB1D", &uid)) << "TIME_WAIT: no owner";
  EXPECT_FALSE(FindSocketOwner(table, "0100007F:EB1D", "0100007F:C350", &uid)) << "the host's own end";
}

TEST(RightsTest, ConnectionCapsCountByAccountAndAnAccountWithoutARightIsRefusedAndFlagChangesAreAudited) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can open a socket owned by another account";
  TempDir dir;
  WriteFile(dir.File("host.conf"),
            std::string("max_connections = 6\nreader_reserve = 2\nmax_connections_per_peer = 2\n") + kStoreSection);
  RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
  auto connect = [&](uid_t owner, TestClient* c) {
    ::setfsuid(owner);  // the socket is that account's; nobody is in no group
    bool connected = c->Connect(host.port);
    ::setfsuid(0);
    return connected && c->Hello(2000);
  };
  // nobody: two, then its cap. root: two. Then the last two places are
  // kept for readers: another account without the read right is refused.
  const std::pair<uid_t, bool> steps[] = {{65534, true}, {65534, true}, {65534, false}, {0, true}, {0, true}, {65533, false}};
  TestClient clients[6];
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(connect(steps[i].first, &clients[i]), steps[i].second) << "step " << i;
  std::string log = host.process.Log();
  EXPECT_NE(log.find("already 2 connections from account nobody"), std::string::npos) << log;
  EXPECT_NE(log.find("the last 2 connections are kept for readers"), std::string::npos) << log;

  TestClient &nobody = clients[0], &root = clients[3];
  auto flags = [&](uint8_t severities) { return ClsidMessage("8", ConfigFile::StoreAdaptorClsid(), Bytes(4, severities)); };
  // Logging is for every account; reading and flag changes are not.
  EXPECT_EQ(nobody.Log(SimpleItem(u"from nobody"), 1), S_OK);
  nobody.Post(flags(0));
  EXPECT_EQ(ErrorCode(nobody.NextFrame(5000)), E_ACCESSDENIED);
  // Sent as a transact, the refusal comes back as the reply's result.
  EXPECT_EQ(*Decoded(nobody.Transact(flags(0))).Field("HRESULT"), std::to_string(E_ACCESSDENIED));
  int32_t result = 0;
  EXPECT_TRUE(ReadingClient(nobody).Open(StoreClsid(), 0, 0, 0, u"", &result) == 0u && result == E_ACCESSDENIED);
  root.Post(flags(0xF));
  // The audit message is committed before the item that follows it.
  ASSERT_EQ(root.Log(SimpleItem(u"after"), 2), S_OK);
  StoreQuery q(dir.File("m.db"));
  EXPECT_EQ(q.Texts("SELECT user_name || ': ' || message_text FROM messages WHERE severity = 8"),
            std::vector<std::string>{"root: adaptor \"Message store\" enable flags changed from VELTRA 15, Dev 15, "
                                     "Eng 15, Op 15 to VELTRA 15, Dev 15, Eng 15, Op 15 by root"});
}

TEST(TlsTest, OnlyCertifiedClientsGetInAndTheirNameGivesTheirRights) {
  TempDir dir;
  // An authority, the host's certificate, and one client certificate per
  // name; "stranger" is signed by an authority the host does not know.
  std::string script = "cd " + dir.path() + " && key='openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                       "-nodes' && $key -x509 -days 2 -keyout ca.key -out ca.pem -subj /CN=test-authority && $key "
                       "-x509 -days 2 -keyout stranger.key -out stranger.pem -subj /CN=root",
              out;
  for (std::string name : {"host", "root", "nobody", "no-such-account"})
    script += " && $key -keyout " + name + ".key -out " + name + ".csr -subj /CN=" + name + " && openssl x509 -req -in " +
              name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out " + name + ".pem";
  ASSERT_EQ(Shell(script, &out), 0) << out;
  WriteFile(dir.File("host.conf"), "tls_certificate = host.pem\ntls_key = host.key\ntls_client_ca = ca.pem\n"
                                   "tls_required = yes\nread_group = no-such-group\n");
  RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
  ::signal(SIGPIPE, SIG_IGN);  // a refused session may be closed under a write
  // The certificate ("": none; "plain": no TLS at all), whether it is let in and may read.
  const std::tuple<std::string, bool, bool> cases[] = {{"plain", false, false}, {"", false, false},
                                                       {"stranger", false, false}, {"root", true, true},
                                                       {"nobody", true, false}, {"no-such-account", true, false}};
  for (const auto& [certificate, admitted, mayRead] : cases) {
    SCOPED_TRACE(certificate);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_load_verify_locations(ctx.get(), dir.File("ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    const std::string files = dir.File(certificate);
    ASSERT_TRUE(certificate.empty() || certificate == "plain" ||
                (SSL_CTX_use_certificate_file(ctx.get(), (files + ".pem").c_str(), SSL_FILETYPE_PEM) == 1 &&
                 SSL_CTX_use_PrivateKey_file(ctx.get(), (files + ".key").c_str(), SSL_FILETYPE_PEM) == 1));
    TestClient client;
    ASSERT_TRUE(client.Connect(host.port));
    // Without a good certificate the handshake may still look done on the
    // client's side; the host's refusal ends the session right after.
    if (certificate != "plain" && !client.StartTls(ctx.get())) {
      EXPECT_FALSE(admitted);
      continue;
    }
    ASSERT_EQ(client.Hello(3000), admitted);
    if (!admitted) continue;
    EXPECT_EQ(client.Log(SimpleItem(u"over TLS"), 1), S_OK);
    auto reply = client.Transact(Request("4"));
    EXPECT_TRUE(reply && (mayRead ? reply->kind == FrameKind::Reply : ErrorCode(reply) == E_ACCESSDENIED));
    if (mayRead) continue;  // the others end with bytes that are no TLS record
    ::send(client.fd(), "junk, not a record", 18, MSG_NOSIGNAL);
    EXPECT_TRUE(client.WaitClosed(3000));
  }
  EXPECT_NE(host.process.Log().find("closed: TLS: "), std::string::npos) << host.process.Log();
}


// dpkg, waiting a while when another installation holds its lock.
static int Dpkg(const std::string& args, std::string* out) {
  for (int i = 0; i < 15; ++i, ::sleep(1))
    if (int rc = Shell("dpkg " + args, out); rc == 0 || out->find("lock") == std::string::npos) return rc;
  return -1;
}

TEST(DebPackage, InstallsRunsStoresAndPurgesClean) {
  std::string out;
  if (::geteuid() != 0) GTEST_SKIP() << "installing a package needs root";
  if (Shell("getent passwd halvern || getent group halvern || dpkg -s tarnhost") == 0 ||
      std::filesystem::exists("/etc/halvern"))
    GTEST_SKIP() << "this machine already has tarnhost or a halvern account; not touching them";
  TempDir dir;
  ASSERT_EQ(Shell("cpack -G DEB -B " + dir.path() + " --config " TARNHOST_BUILD_DIR "/CPackConfig.cmake", &out), 0)
      << out;
  struct Purge {  // however the test ends
    ~Purge() { Dpkg("--purge tarnhost", &out); }
    std::string out;
  } purge;
  ASSERT_EQ(Dpkg("-i " + dir.path() + "/tarnhost_" TARNHOST_VERSION "_*.deb", &out), 0) << out;

  EXPECT_EQ(std::filesystem::status("/var/lib/halvern").permissions(), std::filesystem::perms(0750));
  std::string exec;
  ASSERT_EQ(Shell("sed -n 's/^ExecStart=//p' /lib/systemd/system/tarnhost.service", &exec), 0);
  exec.pop_back();
  {
    HostProcess host({"--reuid=halvern", "--regid=halvern", "--init-groups", exec, "--listen", "ip:127.0.0.1:0"},
                     dir.File("host.log"), "/usr/bin/setpriv");
    int port = host.WaitListening(10000);
    ASSERT_NE(port, 0) << host.Log();
    TestClient c;
    ASSERT_TRUE(c.Connected(port));
    EXPECT_EQ(c.Log(SimpleItem(u"from the package test"), 7), S_OK) << host.Log();
    host.Stop();
  }
  EXPECT_EQ(StoreQuery("/var/lib/halvern/messages.db").Int("SELECT COUNT(*) FROM messages"), 1);
  EXPECT_EQ(Shell("test \"$(stat -c %U /var/lib/halvern/messages.db)\" = halvern"), 0);

  ASSERT_EQ(Dpkg("--purge tarnhost", &out), 0) << out;
  for (const char* path : {"/lib/systemd/system/tarnhost.service", "/etc/halvern", "/var/lib/halvern",
                           "/var/log/halvern", "/usr/share/doc/tarnhost", exec.c_str()})
    EXPECT_FALSE(std::filesystem::exists(path)) << path << " is left after the purge";
  EXPECT_NE(Shell("getent passwd halvern"), 0) << "the halvern account is left after the purge";
  EXPECT_NE(Shell("getent group halvern"), 0) << "the halvern group is left after the purge";
}

