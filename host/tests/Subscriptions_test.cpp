// The push side of subscriptions against a real store and writer, with a
// connection stand-in whose queue can be made to look full: the answer comes
// before any push, a client too far behind is held back and then gets
// everything, large bursts are split into frames, and a removed subscription
// or a vanished client gets nothing more.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "core/Logger.h"
#include "protocol/Frame.h"
#include "protocol/FrameReader.h"
#include "service/Peer.h"
#include "service/Subscriptions.h"
#include "store/ItemStore.h"
#include "store/StoreWriter.h"
#include "support/FakePeer.h"
#include "support/ItemBytes.h"
#include "support/ReadingClient.h"
#include "support/TempDir.h"

using namespace hv::host;
using namespace hvtest;

namespace {

// The streams pushed to `peer`, once they are `n` or the time is up.
std::vector<Bytes> WaitItems(FakePeer& peer, size_t n, int timeoutMs = 5000) {
  std::vector<Bytes> items;
  peer.WaitUntil(
      [&](const std::vector<Frame>& frames) {
        items.clear();
        uint64_t last = 0;
        for (const Frame& f : frames) {
          if (f.kind != FrameKind::Push) continue;
          PageFrame p = ReadItems(f.payload, false);
          EXPECT_TRUE(p.ok);
          EXPECT_LE(p.items.size(), Subscriptions::kMaxPushItems);
          for (auto& i : p.items) {
            EXPECT_GT(i.number, last) << "pushed out of order";
            last = i.number;
            items.push_back(i.stream);
          }
        }
        return items.size() >= n;
      },
      timeoutMs);
  return items;
}

class SubscriptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetStderr(false);
    std::string error;
    store_ = ItemStore::Open(dir_.File("messages.db"), &error);
    ASSERT_NE(store_, nullptr) << error;
    writer_ = std::make_unique<StoreWriter>(*store_, log_);
    subscriptions_ = std::make_unique<Subscriptions>(dir_.File("messages.db"), log_);
    writer_->SetCommitListener([this] { subscriptions_->Committed(); });
    writer_->Start();
    ASSERT_TRUE(subscriptions_->Start(&error)) << error;
  }
  void TearDown() override {
    writer_->Stop();
    subscriptions_->Stop();
  }

  // Queues rows and waits until all are committed; their item streams.
  std::vector<Bytes> Store(int first, int count, int32_t severity) {
    std::vector<Bytes> streams;
    std::atomic<int> done{0};
    for (int i = first; i < first + count; ++i) {
      StoreRow r;
      r.time = 45000.5;
      r.severity = severity;
      r.audience = 2;
      r.location = "cell " + std::to_string(i);
      r.stream = std::make_shared<Bytes>(Concat({Le32(uint32_t(i)), Bytes(40, uint8_t(i))}));
      streams.push_back(*r.stream);
      writer_->AddRow(std::move(r), [&](HResult) { ++done; });
    }
    for (int i = 0; i < 1000 && done < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(done.load(), count);
    stored_ += count;
    return streams;
  }

  // Subscribes after the newest message stored so far.
  void Add(uint32_t id, const std::shared_ptr<Peer>& peer, const std::string& document = "") {
    Filter filter;
    std::string error;
    ASSERT_TRUE(Filter::Parse(document, &filter, &error)) << error;
    auto announce = FrameCodec::Encode(FrameKind::Subscribed, 77, [&](hv::ByteWriter& w) { w.u32(id); });
    ASSERT_TRUE(subscriptions_->Add(this, id, peer, filter, stored_, announce, &error)) << error;
  }

  TempDir dir_;
  Logger log_;
  std::unique_ptr<ItemStore> store_;
  std::unique_ptr<StoreWriter> writer_;
  std::unique_ptr<Subscriptions> subscriptions_;
  int64_t stored_ = 0;  // ids count from 1 in a fresh store
};

}  // namespace

TEST_F(SubscriptionsTest, AClientTooFarBehindIsHeldBackAndThenGetsEverything) {
  Store(0, 5, 1);  // before the subscription: never pushed
  auto peer = std::make_shared<FakePeer>();
  peer->pending = Subscriptions::kMaxBacklog + 1;
  Add(1, peer, "<Filter><Severity>Error</Severity></Filter>");
  std::vector<Bytes> errors = Store(10, 30, 1);
  Store(40, 30, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<Frame> frames = peer->Frames();
  ASSERT_EQ(frames.size(), 1u) << "only the answer may go to a client this far behind";
  EXPECT_EQ(frames[0].kind, FrameKind::Subscribed);
  EXPECT_EQ(frames[0].id, 77u);
  // Once it has read, everything comes without another commit.
  peer->pending = 0;
  EXPECT_EQ(WaitItems(*peer, errors.size()), errors);
  for (const Frame& f : peer->Frames()) EXPECT_TRUE(f.kind != FrameKind::Push || f.id == 1u);
}

TEST_F(SubscriptionsTest, ABurstIsSplitIntoFramesInOrder) {
  auto peer = std::make_shared<FakePeer>();
  Add(3, peer);
  std::vector<Bytes> all = Store(0, 2500, 4);
  EXPECT_EQ(WaitItems(*peer, all.size(), 10000), all);
  size_t pushes = 0;
  for (const Frame& f : peer->Frames()) pushes += f.kind == FrameKind::Push;
  EXPECT_GE(pushes, 3u);
}

TEST_F(SubscriptionsTest, NothingFollowsARemovalOrAVanishedClient) {
  auto kept = std::make_shared<FakePeer>(), removed = std::make_shared<FakePeer>(), vanished = std::make_shared<FakePeer>();
  Add(1, kept);
  Add(2, removed);
  Add(3, vanished);
  EXPECT_EQ(subscriptions_->size(), 3u);
  std::vector<Bytes> first = Store(0, 10, 1);
  EXPECT_EQ(WaitItems(*removed, 10), first);
  EXPECT_TRUE(subscriptions_->Remove(this, 2));
  EXPECT_FALSE(subscriptions_->Remove(this, 2));
  size_t framesBefore = removed->Frames().size();
  vanished.reset();
  std::vector<Bytes> second = Store(10, 10, 1);
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(WaitItems(*kept, 20), first);
  EXPECT_EQ(removed->Frames().size(), framesBefore);
  // The vanished client's subscription is gone by the next pass.
  Store(20, 1, 1);
  WaitItems(*kept, 21);
  EXPECT_EQ(subscriptions_->size(), 1u);
  subscriptions_->RemoveAll(this);
  EXPECT_EQ(subscriptions_->size(), 0u);
}
