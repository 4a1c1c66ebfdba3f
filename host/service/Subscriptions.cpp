#include "service/Subscriptions.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>

#include "protocol/ErrorPayload.h"
#include "protocol/Frame.h"
#include "protocol/ReadFrames.h"
#include "store/FilterQuery.h"
#include "store/SqliteStatement.h"

namespace hv::host {
namespace {

// How soon a subscription held back for a slow client is looked at again.
constexpr auto kBacklogRetry = std::chrono::milliseconds(50);
constexpr int kAfterParameter = FilterQuery::kFirstFreeParameter;
constexpr int kCountParameter = FilterQuery::kFirstFreeParameter + 1;

enum class PushState { Idle, More, HeldBack };

}  // namespace

struct Subscriptions::Subscription {
  const void* owner = nullptr;
  uint32_t id = 0;
  std::weak_ptr<Peer> peer;
  std::string label;
  FilterQuery query;
  SqliteStatement statement;
  int64_t last = 0;  // the id of the newest message looked at
  // Held while pushing, so a removal waits for a push under way.
  std::mutex mutex;
  std::atomic<bool> closed{false};
  PushState state = PushState::Idle;
};

Subscriptions::Subscriptions(std::string databasePath, Logger& log) : path_(std::move(databasePath)), log_(log) {}

Subscriptions::~Subscriptions() { Stop(); }

bool Subscriptions::Start(std::string* error) {
  if (!db_.OpenForReading(path_, error)) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Subscriptions::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  list_.clear();
}

void Subscriptions::Committed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    committed_ = true;
  }
  wake_.notify_one();
}

size_t Subscriptions::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.size();
}

bool Subscriptions::Add(const void* owner, uint32_t id, const std::shared_ptr<Peer>& peer, const Filter& filter,
                        int64_t after, std::vector<uint8_t> announce, std::string* error) {
  if (!db_.get()) return *error = "subscriptions are not running", false;
  auto s = std::make_shared<Subscription>();
  s->owner = owner;
  s->id = id;
  s->peer = peer;
  s->label = peer->label() + ": subscription " + std::to_string(id);
  s->query = FilterQuery::ForFollowing(filter);
  std::string sql = "SELECT id, item FROM " + s->query.Source() + " WHERE " + s->query.Conditions() + " AND id > ?" +
                    std::to_string(kAfterParameter) + " ORDER BY id ASC LIMIT ?" + std::to_string(kCountParameter);
  if (!s->statement.Prepare(db_, sql.c_str(), error)) return false;
  s->last = after;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return *error = "the host is stopping", false;
    peer->SendFrame(std::move(announce));
    list_.push_back(std::move(s));
    // A commit may have come and gone since the caller read `after`: look
    // once more.
    committed_ = true;
  }
  wake_.notify_one();
  return true;
}

bool Subscriptions::Remove(const void* owner, uint32_t id) {
  std::shared_ptr<Subscription> s;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = list_.begin(); it != list_.end(); ++it)
      if ((*it)->owner == owner && (*it)->id == id) {
        s = std::move(*it);
        list_.erase(it);
        break;
      }
  }
  if (!s) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->closed = true;
  return true;
}

size_t Subscriptions::RemoveAll(const void* owner) {
  std::vector<std::shared_ptr<Subscription>> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = list_.begin(); it != list_.end();) {
      if ((*it)->owner == owner) {
        gone.push_back(std::move(*it));
        it = list_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : gone) {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->closed = true;
  }
  return gone.size();
}

void Subscriptions::Run() {
  bool more = false, heldBack = false;
  for (;;) {
    std::vector<std::shared_ptr<Subscription>> pass;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto ready = [&] { return stopping_ || committed_; };
      if (!more) {
        if (heldBack) wake_.wait_for(lock, kBacklogRetry, ready);
        else wake_.wait(lock, ready);
      }
      if (stopping_) return;
      committed_ = false;
      // Subscriptions that failed or lost their client leave the list here.
      list_.remove_if([](const std::shared_ptr<Subscription>& s) { return s->closed.load(); });
      pass.assign(list_.begin(), list_.end());
    }
    more = heldBack = false;
    // One frame per subscription and pass, so a busy one does not starve the
    // others.
    for (auto& s : pass) {
      bool waiting = Push(*s);
      more = more || waiting;
      heldBack = heldBack || s->state == PushState::HeldBack;
    }
  }
}

bool Subscriptions::Push(Subscription& s) {
  std::lock_guard<std::mutex> lock(s.mutex);
  s.state = PushState::Idle;
  if (s.closed) return false;
  std::shared_ptr<Peer> peer = s.peer.lock();
  if (!peer) {
    s.closed = true;
    return false;
  }
  if (peer->PendingBytes() > kMaxBacklog) {
    s.state = PushState::HeldBack;
    return false;
  }
  s.query.Bind(s.statement);
  s.statement.BindInt(kAfterParameter, s.last);
  s.statement.BindInt(kCountParameter, int64_t(kMaxPushItems) + 1);
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> items;
  size_t bytes = 0;
  bool more = false;
  int rc;
  while ((rc = s.statement.Step()) == SQLITE_ROW) {
    size_t size = size_t(sqlite3_column_bytes(s.statement.get(), 1));
    if (items.size() == kMaxPushItems || (!items.empty() && bytes + ItemListWriter::kItemFraming + size > kMaxPushBytes)) {
      more = true;
      break;
    }
    bytes += ItemListWriter::kItemFraming + size;
    items.emplace_back(s.statement.ColumnInt(0), s.statement.ColumnBlob(1));
  }
  s.statement.Reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    std::string why = "the store could not be read for this subscription: " + db_.LastError();
    log_.Line(s.label + " ended: " + why, Logger::kError);
    ErrorPayload e{E_FAIL, why};
    peer->SendFrame(FrameCodec::Encode(FrameKind::SubscriptionEnded, s.id, [&](ByteWriter& w) { e.Write(w); }));
    s.closed = true;
    Committed();  // so the list drops it soon
    return false;
  }
  if (items.empty()) return false;
  s.last = items.back().first;
  peer->SendFrame(FrameCodec::Encode(FrameKind::Push, s.id, [&](ByteWriter& w) {
    w.u32(uint32_t(items.size()));
    for (const auto& item : items) ItemListWriter::Item(w, item.first, item.second);
  }));
  if (more) s.state = PushState::More;
  return more;
}

}  // namespace hv::host
