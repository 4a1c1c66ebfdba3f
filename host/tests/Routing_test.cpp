// Which adaptors take an item, how a delivery completes, and what the
// message handler answers to "2", "3", "4" and "8".
#include <gtest/gtest.h>

#include <mutex>

#include "core/ConfigFile.h"
#include "core/Decimal.h"
#include "protocol/ErrorPayload.h"
#include "protocol/Frame.h"
#include "service/MessageHandler.h"
#include "service/Router.h"
#include "support/ItemBytes.h"
#include "support/TestClient.h"

using namespace hv::host;
using hvtest::Bytes;

namespace {

AdaptorSettings Settings(const char* clsid, std::array<uint8_t, 4> flags, uint32_t audiences = 0xF,
                         uint32_t severities = 0xF) {
  AdaptorSettings s;
  s.kind = AdaptorKind::Forwarder;
  s.name = std::string("adaptor ") + clsid;
  Guid::Parse(clsid, &s.clsid);
  s.audienceMask = audiences;
  s.severityMask = severities;
  s.enableFlags = flags;
  return s;
}

// Records what it is given; completes at once with its configured result or
// keeps the delivery for the test to complete.
class FakeAdaptor final : public Adaptor {
 public:
  FakeAdaptor(const AdaptorSettings& s, bool canRead = false) : Adaptor(s), canRead_(canRead) {}
  bool CanRead() const override { return canRead_; }
  void Deliver(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>&,
               const std::shared_ptr<Delivery>& delivery) override {
    locations.push_back(item.location);
    if (hold) held.push_back(delivery);
    else delivery->Complete(result);
  }
  std::vector<std::u16string> locations;
  std::vector<std::shared_ptr<Delivery>> held;
  HResult result = S_OK;
  bool hold = false;
  bool canRead_;
};

class FakePeer final : public Peer {
 public:
  const std::string& label() const override { return label_; }
  void SendFrame(std::vector<uint8_t> frame) override { Take(frame); }
  void OweAnswer() override { ++owed; }
  void SendAnswer(std::vector<uint8_t> frame) override {
    --owed;
    Take(frame);
  }
  std::vector<Frame> frames;
  int owed = 0;

 private:
  void Take(const std::vector<uint8_t>& bytes) {
    FrameReader r;
    r.Append(bytes.data(), bytes.size());
    Frame f;
    std::string error;
    ASSERT_EQ(r.Next(&f, &error), FrameReader::Status::HaveFrame) << error;
    frames.push_back(f);
  }
  std::string label_ = "test peer";
};

const char* const kA = "{11111111-2222-3333-4444-555555555555}";
const char* const kB = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";

ItemRecord Item(int32_t audience, int32_t severity, const std::u16string& location = u"x") {
  ItemRecord r;
  r.audience = audience;
  r.severity = severity;
  r.location = location;
  return r;
}

}  // namespace

TEST(Routing, AnAudienceBitWhoseEnabledSeveritiesMeetTheItemAccepts) {
  // VELTRA: Error; Dev: nothing; Eng: Warning|Info; Op: Audit.
  FakeAdaptor a(Settings(kA, {1, 0, 6, 8}));
  struct Case {
    int32_t audience, severity;
    bool accepted;
  } cases[] = {
      {1, 1, true},    {1, 2, false},  {2, 15, false}, {4, 4, true},  {4, 1, false},
      {3, 1, true},    {6, 1, false},  {6, 2, true},   {8, 8, true},  {8, 7, false},
      {0, 15, false},  {15, 0, false}, {16, 15, false}, {-1, 1, true}, {9, 9, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(a.Accepts(c.audience, c.severity), c.accepted) << "audience " << c.audience << " severity " << c.severity;

  std::string why;
  EXPECT_FALSE(FakeAdaptor(Settings(kA, {0, 0, 0, 0}, 0xF, 0x3)).SetEnableFlags({4, 0, 0, 0}, &why));
  FakeAdaptor narrow(Settings(kA, {1, 0, 0, 0}, 0x1, 0xF));
  EXPECT_FALSE(narrow.SetEnableFlags({1, 1, 0, 0}, &why)) << "Dev is not served";
  EXPECT_EQ(narrow.enableFlags(), (std::array<uint8_t, 4>{1, 0, 0, 0})) << "a refused change changed something";
  EXPECT_TRUE(narrow.SetEnableFlags({0, 0, 0, 0}, &why)) << why;
  EXPECT_FALSE(narrow.Accepts(1, 1));
}

TEST(Routing, DeliveryWaitsForEveryTakerAndReportsTheFirstFailure) {
  std::vector<std::unique_ptr<Adaptor>> list;
  list.push_back(std::make_unique<FakeAdaptor>(Settings(kA, {1, 0, 0, 0})));
  list.push_back(std::make_unique<FakeAdaptor>(Settings(kB, {3, 0, 0, 0})));
  auto* a = static_cast<FakeAdaptor*>(list[0].get());
  auto* b = static_cast<FakeAdaptor*>(list[1].get());
  Router router(std::move(list));
  a->hold = b->hold = true;

  std::vector<HResult> results;
  auto delivery = std::make_shared<Delivery>([&](HResult hr) { results.push_back(hr); });
  EXPECT_EQ(router.Route(Item(1, 1), nullptr, delivery), 2u);
  ASSERT_EQ(a->held.size(), 1u);
  ASSERT_EQ(b->held.size(), 1u);
  a->held[0]->Complete(E_DISK_FULL);
  EXPECT_TRUE(results.empty()) << "answered before every adaptor had the item";
  b->held[0]->Complete(S_OK);
  EXPECT_EQ(results, std::vector<HResult>{E_DISK_FULL});

  // Only the second adaptor takes Warning; nobody takes Dev.
  results.clear();
  EXPECT_EQ(router.Route(Item(1, 2), nullptr, std::make_shared<Delivery>([&](HResult hr) { results.push_back(hr); })),
            1u);
  b->held[1]->Complete(S_OK);
  EXPECT_EQ(router.Route(Item(2, 1), nullptr, std::make_shared<Delivery>([&](HResult hr) { results.push_back(hr); })),
            0u);
  EXPECT_EQ(results, (std::vector<HResult>{S_OK, S_OK})) << "an item nobody takes is answered at once";
  EXPECT_EQ(router.ClassList(), std::string(kA) + ";" + kB);
}

class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() {
    std::vector<std::unique_ptr<Adaptor>> list;
    list.push_back(std::make_unique<FakeAdaptor>(Settings(kA, {1, 0, 0, 0}, 0xF, 0x7), true));
    list.push_back(std::make_unique<FakeAdaptor>(Settings(kB, {0, 0, 0, 0})));
    store = static_cast<FakeAdaptor*>(list[0].get());
    router = std::make_unique<Router>(std::move(list));
    log.SetStderr(false);
    handler = std::make_unique<MessageHandler>(
        *router, [this](const Guid& g, const std::array<uint8_t, 4>& f) { persisted.emplace_back(g, f); }, log);
    peer = std::make_shared<FakePeer>();
  }

  MuxMessage Flags(const char* clsid, Bytes flags) {
    MuxMessage m;
    m.SetField("MSGTYPE", "8");
    Guid g;
    Guid::Parse(clsid, &g);
    m.data.assign(g.bytes().begin(), g.bytes().end());
    m.data.insert(m.data.end(), flags.begin(), flags.end());
    return m;
  }

  static ErrorPayload ErrorOf(const Frame& f) {
    ErrorPayload e;
    EXPECT_EQ(f.kind, FrameKind::Error);
    EXPECT_TRUE(ErrorPayload::Decode(f.payload.data(), f.payload.size(), &e));
    return e;
  }

  Logger log;
  FakeAdaptor* store = nullptr;
  std::unique_ptr<Router> router;
  std::unique_ptr<MessageHandler> handler;
  std::shared_ptr<FakePeer> peer;
  std::vector<std::pair<Guid, std::array<uint8_t, 4>>> persisted;
};

TEST_F(HandlerTest, ItemsAreAnsweredWithTheirTransidAndBody) {
  Bytes good = hvtest::SimpleItem(u"good", 1, 1);
  handler->HandlePost(peer, 41, hvtest::ItemMessage("2", -7, good));
  ASSERT_EQ(peer->frames.size(), 1u);
  EXPECT_EQ(peer->frames[0].id, 41u) << "the answer names the post frame it answers";
  hvtest::Answer answer;
  ASSERT_TRUE(hvtest::ReadAnswer(peer->frames[0], &answer));
  EXPECT_EQ(answer.type, "5");
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(answer.transid, -7);
  EXPECT_EQ(answer.body, good);
  EXPECT_EQ(store->locations, std::vector<std::u16string>{u"good"});

  // Unreadable item stream: answered with E_INVALIDARG and the body as sent.
  Bytes garbage = {1, 2, 3, 4, 5};
  handler->HandlePost(peer, 42, hvtest::ItemMessage("2", 8, garbage));
  ASSERT_EQ(peer->frames.size(), 2u);
  ASSERT_TRUE(hvtest::ReadAnswer(peer->frames[1], &answer));
  EXPECT_EQ(answer.hr, int32_t(0x80070057));
  EXPECT_EQ(answer.transid, 8);
  EXPECT_EQ(answer.body, garbage);

  // A failing adaptor's result reaches the answer.
  store->result = E_DISK_FULL;
  handler->HandlePost(peer, 43, hvtest::ItemMessage("2", 9, good));
  ASSERT_TRUE(hvtest::ReadAnswer(peer->frames[2], &answer));
  EXPECT_EQ(answer.hr, E_DISK_FULL);
  EXPECT_EQ(peer->owed, 0);

  // No transid, or one that is not a number: no answer can be addressed.
  MuxMessage noTransid = hvtest::ItemMessage("1", 0, good);
  noTransid.SetField("MSGTYPE", "2");
  handler->HandlePost(peer, 44, noTransid);
  MuxMessage badTransid = hvtest::ItemMessage("2", 0, good);
  badTransid.SetField("transid", "12abc");
  handler->HandlePost(peer, 45, badTransid);
  ASSERT_EQ(peer->frames.size(), 5u);
  EXPECT_EQ(ErrorOf(peer->frames[3]).result, E_INVALIDARG);
  EXPECT_EQ(peer->frames[4].id, 45u);

  // "1": no answer when stored, an Error frame when refused.
  store->result = S_OK;
  handler->HandlePost(peer, 46, hvtest::ItemMessage("1", 0, good));
  EXPECT_EQ(peer->frames.size(), 5u);
  handler->HandlePost(peer, 47, hvtest::ItemMessage("1", 0, garbage));
  ASSERT_EQ(peer->frames.size(), 6u);
  EXPECT_EQ(ErrorOf(peer->frames[5]).result, E_INVALIDARG);
  EXPECT_EQ(store->locations.size(), 3u);

  MuxMessage unknown;
  unknown.SetField("MSGTYPE", "5");
  handler->HandlePost(peer, 48, unknown);
  EXPECT_EQ(ErrorOf(peer->frames.back()).result, E_NOTIMPL);
  EXPECT_EQ(peer->owed, 0);
}

TEST_F(HandlerTest, AdaptorRequestsDescribeTheConfiguredAdaptors) {
  MuxMessage list;
  list.SetField("MSGTYPE", "4");
  list.SetField("transid", "0");
  MuxMessage reply;
  ErrorPayload error;
  ASSERT_TRUE(handler->HandleTransact(*peer, list, &reply, &error));
  EXPECT_EQ(*reply.Field("HRESULT"), "0");
  EXPECT_EQ(*reply.Field("transid"), "0");
  EXPECT_EQ(reply.text, u"{11111111-2222-3333-4444-555555555555};{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");

  MuxMessage info;
  info.SetField("MSGTYPE", "3");
  info.SetField("transid", "1");
  Guid a;
  Guid::Parse(kA, &a);
  info.data.assign(a.bytes().begin(), a.bytes().end());
  ASSERT_TRUE(handler->HandleTransact(*peer, info, &reply, &error));
  EXPECT_EQ(*reply.Field("HRESULT"), "0");
  EXPECT_EQ(*reply.Field("READER"), "1");
  ASSERT_EQ(reply.body.size(), 272u);
  EXPECT_EQ(Bytes(reply.body.begin(), reply.body.begin() + 12), (Bytes{15, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(reply.body[12], 'a');

  info.data[15] ^= 1;
  ASSERT_TRUE(handler->HandleTransact(*peer, info, &reply, &error));
  EXPECT_EQ(*reply.Field("HRESULT"), "-2147221164");
  EXPECT_TRUE(reply.body.empty());
  info.data.resize(15);
  ASSERT_TRUE(handler->HandleTransact(*peer, info, &reply, &error));
  EXPECT_EQ(*reply.Field("HRESULT"), FormatInt32(E_INVALIDARG));

  MuxMessage other;
  other.SetField("MSGTYPE", "2");
  EXPECT_FALSE(handler->HandleTransact(*peer, other, &reply, &error));
  EXPECT_EQ(error.result, E_NOTIMPL);
}

TEST_F(HandlerTest, FlagsMessagesChangeRoutingAtOnceOrNothingAtAll) {
  EXPECT_FALSE(store->Accepts(4, 2));
  handler->HandlePost(peer, 1, Flags(kA, {1, 0, 2, 0}));
  EXPECT_TRUE(peer->frames.empty());
  EXPECT_TRUE(store->Accepts(4, 2));
  ASSERT_EQ(persisted.size(), 1u);
  EXPECT_EQ(persisted[0].second, (std::array<uint8_t, 4>{1, 0, 2, 0}));

  // Wrong lengths, an unknown adaptor and severities the adaptor does not
  // handle are refused and change nothing.
  MuxMessage shortData = Flags(kA, {0, 0, 0});
  MuxMessage longData = Flags(kA, {0, 0, 0, 0, 0});
  MuxMessage unknown = Flags("{00000000-0000-0000-0000-000000000001}", {0, 0, 0, 0});
  MuxMessage beyond = Flags(kA, {8, 0, 0, 0});
  handler->HandlePost(peer, 2, shortData);
  handler->HandlePost(peer, 3, longData);
  handler->HandlePost(peer, 4, unknown);
  handler->HandlePost(peer, 5, beyond);
  ASSERT_EQ(peer->frames.size(), 4u);
  EXPECT_EQ(ErrorOf(peer->frames[0]).result, E_INVALIDARG);
  EXPECT_EQ(ErrorOf(peer->frames[1]).result, E_INVALIDARG);
  EXPECT_EQ(ErrorOf(peer->frames[2]).result, REGDB_E_CLASSNOTREG);
  EXPECT_EQ(ErrorOf(peer->frames[3]).result, E_INVALIDARG);
  EXPECT_EQ(store->enableFlags(), (std::array<uint8_t, 4>{1, 0, 2, 0}));
  EXPECT_EQ(persisted.size(), 1u);

  // Turning everything off: the next item is answered S_OK and goes nowhere;
  // only the audit messages of the two changes reach the store.
  handler->HandlePost(peer, 6, Flags(kA, {0, 0, 0, 0}));
  handler->HandlePost(peer, 7, hvtest::ItemMessage("2", 1, hvtest::SimpleItem(u"off", 1, 1)));
  hvtest::Answer answer;
  ASSERT_TRUE(hvtest::ReadAnswer(peer->frames.back(), &answer));
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(store->locations, std::vector<std::u16string>(2, u""));
}
