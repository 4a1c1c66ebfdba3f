// Which adaptors take an item, how a delivery completes, and what the
// message handler answers to "1", "2", "3", "4" and "8".
#include <gtest/gtest.h>

#include "core/ConfigFile.h"
#include "core/Decimal.h"
#include "protocol/ErrorPayload.h"
#include "protocol/Frame.h"
#include "service/MessageHandler.h"
#include "service/Router.h"
#include "support/FakePeer.h"
#include "support/ItemBytes.h"
#include "support/TestClient.h"

using namespace hv::host;
using hvtest::Bytes;

namespace {

const char* const kA = "{11111111-2222-3333-4444-555555555555}";
const char* const kB = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";

AdaptorSettings Settings(const char* clsid, std::array<uint8_t, 4> flags, uint32_t severities = 0xF,
                         uint32_t audiences = 0xF) {
  AdaptorSettings s;
  s.kind = AdaptorKind::Forwarder;
  s.name = std::string("adaptor ") + clsid;
  Guid::Parse(clsid, &s.clsid);
  s.audienceMask = audiences;
  s.severityMask = severities;
  s.enableFlags = flags;
  return s;
}

// Records what it is given; completes at once with `result` or, with
// `hold`, keeps the delivery for the test to complete.
class FakeAdaptor final : public Adaptor {
 public:
  using Adaptor::Adaptor;
  bool CanRead() const override { return true; }
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
};

HResult ErrorOf(const std::optional<Frame>& f) {
  ErrorPayload e;
  if (!f || f->kind != FrameKind::Error || !ErrorPayload::Decode(f->payload.data(), f->payload.size(), &e)) return 1;
  return e.result;
}

MuxMessage Message(const char* type, Bytes data = {}) {
  MuxMessage m;
  m.SetField("MSGTYPE", type);
  m.data = std::move(data);
  return m;
}

Bytes ClsidAnd(const char* clsid, Bytes more) {
  Guid g;
  Guid::Parse(clsid, &g);
  return hvtest::Concat({Bytes(g.bytes().begin(), g.bytes().end()), more});
}

}  // namespace

TEST(Routing, AnAudienceBitWhoseEnabledSeveritiesMeetTheItemAccepts) {
  FakeAdaptor a(Settings(kA, {1, 0, 6, 8}));  // VELTRA: Error; Dev: nothing; Eng: Warning|Info; Op: Audit
  const std::tuple<int32_t, int32_t, bool> cases[] = {
      {1, 1, true},  {1, 2, false}, {2, 15, false}, {4, 4, true},    {4, 1, false}, {3, 1, true}, {6, 1, false}, {6, 2, true},
      {8, 8, true},  {8, 7, false}, {0, 15, false}, {15, 0, false}, {16, 15, false}, {-1, 1, true}, {9, 9, true},
  };
  for (auto [audience, severity, accepted] : cases)
    EXPECT_EQ(a.Accepts(audience, severity), accepted) << "audience " << audience << " severity " << severity;

  std::string why;
  EXPECT_FALSE(FakeAdaptor(Settings(kA, {0, 0, 0, 0}, 0x3)).SetEnableFlags({4, 0, 0, 0}, &why));
  FakeAdaptor narrow(Settings(kA, {1, 0, 0, 0}, 0xF, 0x1));
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
  auto delivery = [&] { return std::make_shared<Delivery>([&](HResult hr) { results.push_back(hr); }); };
  ItemRecord item;
  item.audience = item.severity = 1;
  EXPECT_EQ(router.Route(item, nullptr, delivery()), 2u);
  ASSERT_EQ(a->held.size() + b->held.size(), 2u);
  a->held[0]->Complete(E_DISK_FULL);
  EXPECT_TRUE(results.empty()) << "answered before every adaptor had the item";
  b->held[0]->Complete(S_OK);
  EXPECT_EQ(results, std::vector<HResult>{E_DISK_FULL});
  // Only the second adaptor takes Warning; nobody takes Dev, and that is answered at once.
  item.severity = 2;
  EXPECT_EQ(router.Route(item, nullptr, delivery()), 1u);
  b->held[1]->Complete(S_OK);
  item.audience = 2;
  EXPECT_EQ(router.Route(item, nullptr, delivery()), 0u);
  EXPECT_EQ(results, (std::vector<HResult>{E_DISK_FULL, S_OK, S_OK}));
  EXPECT_EQ(router.ClassList(), std::string(kA) + ";" + kB);
}

TEST(Routing, TheHandlerAnswersItemsAndFlagsOrRefusesThem) {
  std::vector<std::unique_ptr<Adaptor>> list;
  list.push_back(std::make_unique<FakeAdaptor>(Settings(kA, {1, 0, 0, 0}, 0x7)));
  FakeAdaptor* store = static_cast<FakeAdaptor*>(list[0].get());
  Router router(std::move(list));
  Logger log;
  log.SetStderr(false);
  std::vector<std::array<uint8_t, 4>> persisted;
  MessageHandler handler(router, [&](const Guid&, const std::array<uint8_t, 4>& f) { persisted.push_back(f); }, log);
  auto peer = std::make_shared<hvtest::FakePeer>();
  const Bytes good = hvtest::SimpleItem(u"good", 1, 1), garbage = {1, 2, 3, 4, 5};

  handler.HandlePost(peer, 41, hvtest::ItemMessage("2", -7, good));
  auto f = peer->Next();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->id, 41u) << "the answer names the post frame it answers";
  hvtest::Answer answer;
  ASSERT_TRUE(hvtest::ReadAnswer(*f, &answer));
  EXPECT_EQ(answer.type, "5");
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(answer.transid, -7);
  EXPECT_EQ(answer.body, good);
  store->result = E_DISK_FULL;  // a failing adaptor's result reaches the answer
  handler.HandlePost(peer, 42, hvtest::ItemMessage("2", 9, good));
  ASSERT_TRUE((f = peer->Next()) && hvtest::ReadAnswer(*f, &answer));
  EXPECT_EQ(answer.hr, E_DISK_FULL);
  store->result = S_OK;
  handler.HandlePost(peer, 43, hvtest::ItemMessage("1", 0, good));
  EXPECT_FALSE(peer->Next()) << "a stored \"1\" is not answered";

  // Refused, each with an Error frame: no transid or one that is not a
  // number, a "1" that does not read, a type nobody knows, and flags of the
  // wrong length, for an unknown adaptor or beyond what the adaptor handles.
  MuxMessage noTransid = hvtest::ItemMessage("1", 0, good), badTransid = hvtest::ItemMessage("2", 0, good);
  noTransid.SetField("MSGTYPE", "2");
  badTransid.SetField("transid", "12abc");
  const std::pair<MuxMessage, HResult> refused[] = {
      {noTransid, E_INVALIDARG},
      {badTransid, E_INVALIDARG},
      {hvtest::ItemMessage("1", 0, garbage), E_INVALIDARG},
      {Message("5"), E_NOTIMPL},
      {Message("8", ClsidAnd(kA, {0, 0, 0})), E_INVALIDARG},
      {Message("8", ClsidAnd(kA, {0, 0, 0, 0, 0})), E_INVALIDARG},
      {Message("8", ClsidAnd("{00000000-0000-0000-0000-000000000001}", {0, 0, 0, 0})), REGDB_E_CLASSNOTREG},
      {Message("8", ClsidAnd(kA, {8, 0, 0, 0})), E_INVALIDARG},
  };
  for (size_t i = 0; i < std::size(refused); ++i) {
    handler.HandlePost(peer, uint32_t(100 + i), refused[i].first);
    auto e = peer->Next();
    EXPECT_EQ(ErrorOf(e), refused[i].second) << "case " << i;
    EXPECT_TRUE(e && e->id == 100 + i) << "case " << i;
  }
  // An item stream that does not read: answered E_INVALIDARG with the body as sent.
  handler.HandlePost(peer, 44, hvtest::ItemMessage("2", 8, garbage));
  ASSERT_TRUE((f = peer->Next()) && hvtest::ReadAnswer(*f, &answer));
  EXPECT_EQ(answer.hr, E_INVALIDARG);
  EXPECT_EQ(answer.transid, 8);
  EXPECT_EQ(answer.body, garbage);
  EXPECT_EQ(store->locations, (std::vector<std::u16string>{u"good", u"good", u"good"}));
  EXPECT_TRUE(persisted.empty() && store->enableFlags() == (std::array<uint8_t, 4>{1, 0, 0, 0}));

  // Flags change routing at once and are kept; off, the next item goes nowhere,
  // but the audit message of each change still reaches the store.
  EXPECT_FALSE(store->Accepts(4, 2));
  handler.HandlePost(peer, 45, Message("8", ClsidAnd(kA, {1, 0, 2, 0})));
  EXPECT_TRUE(store->Accepts(4, 2));
  handler.HandlePost(peer, 46, Message("8", ClsidAnd(kA, {0, 0, 0, 0})));
  EXPECT_EQ(persisted, (std::vector<std::array<uint8_t, 4>>{{1, 0, 2, 0}, {0, 0, 0, 0}}));
  handler.HandlePost(peer, 47, hvtest::ItemMessage("2", 1, good));
  ASSERT_TRUE((f = peer->Next()) && hvtest::ReadAnswer(*f, &answer));
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(store->locations, (std::vector<std::u16string>{u"good", u"good", u"good", u"", u""}));
  EXPECT_EQ(peer->owed.load(), 0);

  // A Transact of "2" is not one the handler takes.
  MuxMessage reply;
  ErrorPayload error;
  EXPECT_FALSE(handler.HandleTransact(*peer, Message("2"), &reply, &error));
  EXPECT_EQ(error.result, E_NOTIMPL);
  MuxMessage info = Message("3", ClsidAnd(kA, {}));  // a class id one byte short
  info.data.resize(15);
  ASSERT_TRUE(handler.HandleTransact(*peer, info, &reply, &error));
  EXPECT_EQ(*reply.Field("HRESULT"), FormatInt32(E_INVALIDARG));
}
