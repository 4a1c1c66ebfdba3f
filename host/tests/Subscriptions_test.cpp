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
#include "support/ItemBytes.h"
#include "support/ReadingClient.h"
#include "support/TempDir.h"

using namespace hv::host;
using namespace hvtest;

namespace {

class FakePeer final : public Peer {
 public:
  const std::string& label() const override { return label_; }
  void SendFrame(std::vector<uint8_t> frame) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reader_.Append(frame.data(), frame.size());
    Frame f;
    std::string why;
    while (reader_.Next(&f, &why) == FrameReader::Status::HaveFrame) frames_.push_back(f);
    changed_.notify_all();
  }
  void OweAnswer() override {}
  void SendAnswer(std::vector<uint8_t> frame) override { SendFrame(std::move(frame)); }
  size_t PendingBytes() const override { return pending_.load(); }

  std::atomic<size_t> pending_{0};

  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  // Waits until the Push frames hold `n` items; the items pushed so far.
  std::vector<ListedItem> WaitItems(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<ListedItem> items;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      items = PushedLocked();
      return items.size() >= n;
    });
    return items;
  }

 private:
  std::vector<ListedItem> PushedLocked() const {
    std::vector<ListedItem> items;
    for (const Frame& f : frames_) {
      if (f.kind != FrameKind::Push) continue;
      PageFrame p = ReadItems(f.payload, false);
      EXPECT_TRUE(p.ok);
      EXPECT_LE(p.items.size(), Subscriptions::kMaxPushItems);
      for (auto& i : p.items) items.push_back(i);
    }
    return items;
  }

  std::string label_ = "fake connection";
  std::mutex mutex_;
  std::condition_variable changed_;
  FrameReader reader_;
  std::vector<Frame> frames_;
};

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
    std::mutex m;
    std::condition_variable cv;
    int done = 0;
    for (int i = first; i < first + count; ++i) {
      StoreRow r;
      r.time = 45000.5;
      r.severity = severity;
      r.audience = 2;
      r.location = "cell " + std::to_string(i);
      r.stream = std::make_shared<Bytes>(Concat({Le32(uint32_t(i)), Bytes(40, uint8_t(i))}));
      streams.push_back(*r.stream);
      writer_->AddRow(std::move(r), [&](HResult) {
        std::lock_guard<std::mutex> lock(m);
        ++done;
        cv.notify_all();
      });
    }
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done == count; }));
    stored_ += count;
    return streams;
  }

  // Subscribes after the newest message stored so far.
  bool Add(uint32_t id, const std::shared_ptr<Peer>& peer, const std::string& document) {
    Filter filter;
    std::string error;
    EXPECT_TRUE(Filter::Parse(document, &filter, &error)) << error;
    auto announce = FrameCodec::Encode(FrameKind::Subscribed, 77, [&](hv::ByteWriter& w) { w.u32(id); });
    bool ok = subscriptions_->Add(this, id, peer, filter, stored_, announce, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }

  TempDir dir_;
  Logger log_;
  std::unique_ptr<ItemStore> store_;
  std::unique_ptr<StoreWriter> writer_;
  std::unique_ptr<Subscriptions> subscriptions_;
  int64_t stored_ = 0;  // ids count from 1 in a fresh store
};

std::vector<Bytes> StreamsOf(const std::vector<ListedItem>& items) {
  std::vector<Bytes> out;
  for (const auto& i : items) out.push_back(i.stream);
  return out;
}

}  // namespace

TEST_F(SubscriptionsTest, AClientTooFarBehindIsHeldBackAndThenGetsEverything) {
  Store(0, 5, 1);  // before the subscription: never pushed
  auto peer = std::make_shared<FakePeer>();
  peer->pending_ = Subscriptions::kMaxBacklog + 1;
  ASSERT_TRUE(Add(1, peer, "<Filter><Severity>Error</Severity></Filter>"));
  std::vector<Bytes> errors = Store(10, 30, 1);
  Store(40, 30, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<Frame> frames = peer->Frames();
  ASSERT_EQ(frames.size(), 1u) << "only the answer may go to a client this far behind";
  EXPECT_EQ(frames[0].kind, FrameKind::Subscribed);
  EXPECT_EQ(frames[0].id, 77u);

  // Once it has read, everything comes without another commit.
  peer->pending_ = 0;
  EXPECT_EQ(StreamsOf(peer->WaitItems(errors.size(), 5000)), errors);
  for (const Frame& f : peer->Frames()) {
    if (f.kind == FrameKind::Push) {
      EXPECT_EQ(f.id, 1u);
    }
  }
}

TEST_F(SubscriptionsTest, ABurstIsSplitIntoFramesInOrder) {
  auto peer = std::make_shared<FakePeer>();
  ASSERT_TRUE(Add(3, peer, ""));
  std::vector<Bytes> all = Store(0, 2500, 4);
  std::vector<ListedItem> got = peer->WaitItems(all.size(), 10000);
  EXPECT_EQ(StreamsOf(got), all);
  size_t pushes = 0;
  for (const Frame& f : peer->Frames()) pushes += f.kind == FrameKind::Push;
  EXPECT_GE(pushes, 3u);
  for (size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i].number, got[i - 1].number + 1);
}

TEST_F(SubscriptionsTest, NothingFollowsARemovalOrAVanishedClient) {
  auto kept = std::make_shared<FakePeer>();
  auto removed = std::make_shared<FakePeer>();
  auto vanished = std::make_shared<FakePeer>();
  ASSERT_TRUE(Add(1, kept, ""));
  ASSERT_TRUE(Add(2, removed, ""));
  ASSERT_TRUE(Add(3, vanished, ""));
  EXPECT_EQ(subscriptions_->size(), 3u);
  std::vector<Bytes> first = Store(0, 10, 1);
  EXPECT_EQ(StreamsOf(removed->WaitItems(10, 5000)), first);
  EXPECT_TRUE(subscriptions_->Remove(this, 2));
  EXPECT_FALSE(subscriptions_->Remove(this, 2));
  size_t framesBefore = removed->Frames().size();
  vanished.reset();

  std::vector<Bytes> second = Store(10, 10, 1);
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(StreamsOf(kept->WaitItems(20, 5000)), first);
  EXPECT_EQ(removed->Frames().size(), framesBefore);
  // The vanished client's subscription is gone by the next pass.
  Store(20, 1, 1);
  kept->WaitItems(21, 5000);
  EXPECT_EQ(subscriptions_->size(), 1u);
  subscriptions_->RemoveAll(this);
  EXPECT_EQ(subscriptions_->size(), 0u);
}
