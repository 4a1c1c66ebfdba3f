// Every subscription of every connection, and the thread that pushes new
// messages to them.
//
// The store writer tells this class after each commit. The push thread then
// asks the store, for each subscription, for the messages after the last one
// it sent that its filter selects — the same SQL a reader uses, so a
// subscription selects exactly what a reader with that filter would. Nothing
// is kept in memory per message: a client that reads slowly is simply asked
// about later (once the bytes queued for it drop below kMaxBacklog), and
// gets every message all the same.
//
// A subscription ends when its client unsubscribes, when its connection goes,
// or when the store fails to answer for it (the client is then sent a
// SubscriptionEnded frame).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "service/Peer.h"
#include "store/Filter.h"
#include "store/SqliteDatabase.h"

namespace hv::host {

class Subscriptions {
 public:
  // What one push frame carries at most.
  static constexpr size_t kMaxPushItems = 1024;
  static constexpr size_t kMaxPushBytes = size_t(1) << 20;
  // A client with more than this queued gets nothing more until it reads.
  static constexpr size_t kMaxBacklog = size_t(4) << 20;

  Subscriptions(std::string databasePath, Logger& log);
  ~Subscriptions();
  Subscriptions(const Subscriptions&) = delete;
  Subscriptions& operator=(const Subscriptions&) = delete;

  bool Start(std::string* error);
  void Stop();
  // Called by the store writer after each commit.
  void Committed();

  // Adds subscription `id` of `owner` (the connection's reading session).
  // The messages stored after id `after` are pushed to `peer`; `announce`,
  // the answer to the Subscribe, is sent before any push.
  bool Add(const void* owner, uint32_t id, const std::shared_ptr<Peer>& peer, const Filter& filter, int64_t after,
           std::vector<uint8_t> announce, std::string* error);
  // No push for it is sent once this returns. False when there is no such
  // subscription.
  bool Remove(const void* owner, uint32_t id);
  // Returns how many there were.
  size_t RemoveAll(const void* owner);
  size_t size() const;

 private:
  struct Subscription;
  void Run();
  // Pushes what one subscription has waiting, up to a budget; true when it
  // has more waiting than was pushed.
  bool Push(Subscription& s);

  const std::string path_;
  Logger& log_;
  SqliteDatabase db_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::list<std::shared_ptr<Subscription>> list_;
  bool committed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace hv::host
