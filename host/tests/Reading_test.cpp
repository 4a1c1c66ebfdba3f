// Reading and subscribing through the real tarnhost: frames built byte by
// byte as the protocol describes them, items posted by other connections,
// every item handed back compared with the bytes that were posted.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <functional>

#include "core/ConfigFile.h"
#include "core/HResult.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/ReadingClient.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hv::host;
using namespace hvtest;

namespace {

enum Kind : uint16_t {
  kOpenReader = 16, kReaderOpened, kReadPage, kPage, kSetPosition, kSetDirection, kCloseReader, kDone, kCloneReader,
  kSubscribe, kUnsubscribe = 27,
};

Bytes ClsidBytes(const Guid& g) { return Bytes(g.bytes().begin(), g.bytes().end()); }

const Bytes& Store() {
  static const Bytes b = ClsidBytes(ConfigFile::StoreAdaptorClsid());
  return b;
}

// The items the tests post: item i has severity Error every fourth, Warning
// otherwise; every third goes to "Line 2/..." for Op; every fifth says "jam";
// verbosity counts 0 to 3.
struct Posted {
  int index;
  int32_t severity, verbosity;
  Bytes stream;
};

Posted MakeItem(int i, size_t textLength = 0) {
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
  return Posted{i, b.severity, b.verbosity, b.Build()};
}

// Posts items as "2" and waits for every answer, so they are committed.
bool PostAll(TestClient& c, const std::vector<Posted>& items) {
  for (const Posted& p : items) c.Post(ItemMessage("2", p.index, p.stream));
  for (size_t n = 0; n < items.size(); ++n) {
    auto f = c.NextFrame(10000);
    Answer a;
    if (!f || !ReadAnswer(*f, &a) || a.hr != S_OK) return false;
  }
  return true;
}

std::vector<Bytes> Streams(const std::vector<ListedItem>& items) {
  std::vector<Bytes> out;
  for (const auto& i : items) out.push_back(i.stream);
  return out;
}

std::vector<Bytes> StreamsOf(const std::vector<Posted>& items, const std::function<bool(const Posted&)>& pred) {
  std::vector<Bytes> out;
  for (const auto& p : items)
    if (pred(p)) out.push_back(p.stream);
  return out;
}

std::vector<Posted> Items(int first, int last, size_t textLength = 0) {
  std::vector<Posted> items;
  for (int i = first; i < last; ++i) items.push_back(MakeItem(i, textLength));
  return items;
}

class ReadingTest : public ::testing::Test {
 protected:
  // Stopped with SIGTERM at the end, so its log is complete.
  void TearDown() override {
    host.process.Signal(SIGTERM);
    EXPECT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
  }
  TempDir dir;
  RunningHost host{dir.path(), dir.File("messages.db")};
};

}  // namespace

TEST_F(ReadingTest, ReadersPageMoveTurnCloneAndClose) {
  TestClient poster, reader;
  ASSERT_TRUE(poster.Connected(host.port));
  ASSERT_TRUE(reader.Connected(host.port));
  std::vector<Posted> items = Items(0, 40);
  ASSERT_TRUE(PostAll(poster, items));
  std::vector<Bytes> errors = StreamsOf(items, [](const Posted& p) { return p.severity == 1; });
  ASSERT_EQ(errors.size(), 10u);

  ReadingClient r(reader);
  int32_t result = 1;
  uint32_t newest = r.Open(Store(), 0, 2, 0, u"<Filter><Severity>Error</Severity></Filter>", &result);
  ASSERT_EQ(newest, 1u);
  EXPECT_EQ(result, S_OK);
  PageFrame page = r.Page(newest, 3);
  ASSERT_TRUE(page.ok);
  EXPECT_EQ(page.flags, 0u);
  EXPECT_EQ(Streams(page.items), (std::vector<Bytes>{errors[9], errors[8], errors[7]}));
  EXPECT_GT(page.items[0].number, page.items[1].number);

  // Start + 2, then forward: the errors from the third oldest, and the last page says so.
  EXPECT_EQ(r.Done(kSetPosition, HandlePayload(newest, {0, 2})), S_OK);
  EXPECT_EQ(r.Done(kSetDirection, HandlePayload(newest, {1})), S_OK);
  page = r.Page(newest, 100);
  ASSERT_TRUE(page.ok);
  EXPECT_EQ(page.flags, 1u);
  EXPECT_EQ(Streams(page.items), std::vector<Bytes>(errors.begin() + 2, errors.end()));
  EXPECT_EQ(r.Done(kSetPosition, HandlePayload(newest, {2, 100})), S_FALSE);

  // A clone starts where the original stands.
  EXPECT_EQ(r.Done(kSetPosition, HandlePayload(newest, {0, 4})), S_OK);
  auto clone = r.Request(kCloneReader, HandlePayload(newest));
  ASSERT_TRUE(clone && uint16_t(clone->kind) == kReaderOpened);
  ASSERT_EQ(clone->payload, Concat({Le32(2), Le32(0)}));
  EXPECT_EQ(Streams(r.Page(2, 1).items), std::vector<Bytes>{errors[4]});
  EXPECT_EQ(Streams(r.Page(newest, 2).items), (std::vector<Bytes>{errors[4], errors[5]}));

  EXPECT_EQ(r.Done(kCloseReader, HandlePayload(newest)), S_OK);
  EXPECT_EQ(ErrorCode(r.Request(kReadPage, HandlePayload(newest, {1}))), E_HANDLE);
  EXPECT_EQ(Streams(r.Page(2, 1).items), std::vector<Bytes>{errors[5]});

  // The maximum count, and an opening offset past the end.
  uint32_t limited = r.Open(Store(), 1, 0, 0, u"<Filter><MaxCount>2</MaxCount></Filter>");
  page = r.Page(limited, 10);
  EXPECT_EQ(page.flags, 1u);
  EXPECT_EQ(Streams(page.items), (std::vector<Bytes>{items[0].stream, items[1].stream}));
  uint32_t past = r.Open(Store(), 1, 0, 41, u"", &result);
  EXPECT_NE(past, 0u);
  EXPECT_EQ(result, S_FALSE);
  page = r.Page(past, 10);
  EXPECT_TRUE(page.ok && page.items.empty() && page.flags == 1);
  // The example of the protocol description, byte for byte, on a fresh connection.
  TestClient fresh;
  ASSERT_TRUE(fresh.Connected(host.port));
  fresh.SendRaw(Bytes{0x3A, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0xEC, 0xAB, 0x67,
                      0x1B, 0x98, 0x0E, 0x4F, 0x4B, 0x9A, 0x72, 0xA3, 0x66, 0x62, 0x5F, 0x20, 0xD6, 0x00, 0x00,
                      0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x3C,
                      0x00, 0x46, 0x00, 0x69, 0x00, 0x6C, 0x00, 0x74, 0x00, 0x65, 0x00, 0x72, 0x00, 0x2F, 0x00,
                      0x3E, 0x00});
  auto opened = fresh.NextFrame(5000);
  ASSERT_TRUE(opened);
  EXPECT_EQ(uint16_t(opened->kind), kReaderOpened);
  EXPECT_EQ(opened->id, 9u);
  EXPECT_EQ(opened->payload, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));

  // Readers belong to their connection: another one does not see them.
  ReadingClient other(poster);
  EXPECT_EQ(ErrorCode(other.Request(kReadPage, HandlePayload(2, {1}))), E_HANDLE);
}

TEST_F(ReadingTest, RefusedRequestsSayWhyAndTheConnectionGoesOn) {
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  ReadingClient r(c);
  std::string text;

  uint32_t id = r.SendOnly(kOpenReader, OpenReaderPayload(Store(), 0, 2, 0, u"<Filter><Sevrity>1</Sevrity></Filter>"));
  auto f = r.Answer(id);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->id, id);
  EXPECT_EQ(ErrorCode(f, &text), E_INVALIDARG);
  EXPECT_EQ(text.rfind("filter, line 1, column 9: unknown element <Sevrity>", 0), 0u) << text;
  EXPECT_EQ(ErrorCode(r.Request(kSubscribe, SubscribePayload(Store(), u"<Filter><From>yesterday</From></Filter>")), &text),
            E_INVALIDARG);
  EXPECT_EQ(text.rfind("filter, line 1, column 9: <From> \"yesterday\"", 0), 0u) << text;

  Bytes lying = OpenReaderPayload(Store(), 0, 2, 0, u"<Filter/>");
  lying[28] = 10;  // a filter length that promises more than the payload holds
  uint32_t reader = r.Open(Store(), 1, 0, 0, u"");
  ASSERT_EQ(reader, 1u);
  const std::tuple<uint16_t, Bytes, int32_t> refused[] = {
      {kOpenReader, OpenReaderPayload(ClsidBytes(ConfigFile::ForwarderAdaptorClsid()), 0, 2, 0, u""), E_NOINTERFACE},
      {kSubscribe, SubscribePayload(Bytes(16, 0x11), u""), REGDB_E_CLASSNOTREG},
      {kOpenReader, lying, E_INVALIDARG},
      {kOpenReader, OpenReaderPayload(Store(), 0, 1, 0, u""), E_INVALIDARG},
      {kOpenReader, OpenReaderPayload(Store(), 2, 0, 0, u""), E_INVALIDARG},
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
  Posted p = MakeItem(0);
  ASSERT_TRUE(PostAll(c, {p}));
  PageFrame page = r.Page(reader, 5);
  ASSERT_TRUE(page.ok);
  EXPECT_EQ(Streams(page.items), std::vector<Bytes>{p.stream});
  EXPECT_NE(host.process.Log().find("refused frame " + std::to_string(id) + " (OpenReader): filter, line 1, column 9"),
            std::string::npos);
}

TEST_F(ReadingTest, SubscribersGetExactlyTheMatchingNewItemsUntilTheyUnsubscribe) {
  TestClient poster, a, b;
  ASSERT_TRUE(poster.Connected(host.port));
  ASSERT_TRUE(a.Connected(host.port));
  ASSERT_TRUE(b.Connected(host.port));
  // Stored before anyone subscribed: never pushed.
  ASSERT_TRUE(PostAll(poster, Items(100, 108)));

  ReadingClient ra(a), rb(b);
  uint32_t aErrors = ra.Subscribe(Store(), u"<Filter><Severity>Error</Severity></Filter>");
  uint32_t aJams = ra.Subscribe(Store(), u"<Filter><Text>jam</Text></Filter>");
  uint32_t bOps = rb.Subscribe(Store(), u"<Filter><Location match=\"prefix\">Line 2/</Location><Audience>Op</Audience>"
                                        u"<MaxVerbosity>1</MaxVerbosity></Filter>");
  ASSERT_EQ(aErrors, 1u);
  ASSERT_EQ(aJams, 2u);
  ASSERT_EQ(bOps, 1u);

  std::vector<Posted> items = Items(0, 60);
  ASSERT_TRUE(PostAll(poster, items));
  auto errors = StreamsOf(items, [](const Posted& p) { return p.severity == 1; });
  auto jams = StreamsOf(items, [](const Posted& p) { return p.index % 5 == 0; });
  auto ops = StreamsOf(items, [](const Posted& p) { return p.index % 3 == 0 && p.verbosity <= 1; });
  EXPECT_EQ(Streams(ra.Pushed(aErrors, errors.size(), 5000)), errors);
  EXPECT_EQ(Streams(ra.Pushed(aJams, jams.size(), 5000)), jams);
  std::vector<ListedItem> bGot = rb.Pushed(bOps, ops.size(), 5000);
  EXPECT_EQ(Streams(bGot), ops);
  for (size_t i = 1; i < bGot.size(); ++i) EXPECT_GT(bGot[i].number, bGot[i - 1].number);

  // After the Done, nothing more comes for the ended subscription; the other goes on.
  EXPECT_EQ(ra.Done(kUnsubscribe, HandlePayload(aErrors)), S_OK);
  std::vector<Posted> more = Items(60, 80);
  ASSERT_TRUE(PostAll(poster, more));
  auto moreJams = StreamsOf(more, [](const Posted& p) { return p.index % 5 == 0; });
  EXPECT_EQ(Streams(ra.Pushed(aJams, moreJams.size(), 5000)), moreJams);
  EXPECT_TRUE(ra.Pushed(aErrors, 1, 300).empty());
  EXPECT_TRUE(ra.Pushed(aJams, 1, 100).empty()) << "pushed more than matched";
  EXPECT_EQ(ErrorCode(ra.Request(kUnsubscribe, HandlePayload(aErrors))), E_HANDLE);
}

TEST_F(ReadingTest, ASubscriberThatGoesAwayIsDroppedAndASlowOneLosesNothing) {
  TestClient poster, gone, halfGone, slow;
  ASSERT_TRUE(poster.Connected(host.port));
  ASSERT_TRUE(gone.Connected(host.port));
  ASSERT_TRUE(halfGone.Connected(host.port));
  ASSERT_TRUE(slow.Connected(host.port));
  ReadingClient rg(gone), rh(halfGone), rs(slow);
  ASSERT_EQ(rg.Subscribe(Store(), u""), 1u);
  ASSERT_EQ(rh.Subscribe(Store(), u""), 1u);
  ASSERT_EQ(rs.Subscribe(Store(), u""), 1u);
  gone.Close();
  // A client that stops sending ends its subscriptions too; the host then
  // closes the connection.
  halfGone.ShutdownSend();
  EXPECT_TRUE(halfGone.WaitClosed(5000));

  // A subscriber that does not read while about 2 MB are stored gets them
  // all afterwards, in order, in several pushes.
  std::vector<Posted> items = Items(0, 300, 2900);
  for (const Posted& p : items) poster.Post(ItemMessage("1", 0, p.stream));
  Posted last = MakeItem(5000);
  ASSERT_TRUE(PostAll(poster, {last}));
  items.push_back(last);

  std::vector<ListedItem> got = rs.Pushed(1, items.size(), 10000);
  ASSERT_EQ(got.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(got[i].stream, items[i].stream) << "item " << i;
  std::string log = host.process.Log();
  size_t drops = 0;
  for (size_t at = log.find("1 subscription dropped with the connection"); at != std::string::npos;
       at = log.find("1 subscription dropped with the connection", at + 1))
    ++drops;
  EXPECT_EQ(drops, 2u) << log;
}
