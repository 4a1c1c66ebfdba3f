// The one thread that writes the database. Connections queue rows (and flag
// changes); the writer takes whatever has gathered, up to a batch, and
// commits it in one transaction. While one commit is on disk the next batch
// gathers, so many rows share one sync to disk under load and a lone row is
// committed at once when the host is idle.
//
// A row's completion runs on the writer thread after its transaction has
// committed, with S_OK, or with the failure when the transaction could not be
// committed (nothing of that batch is then in the database).
#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "core/Guid.h"
#include "core/HResult.h"
#include "core/Logger.h"
#include "store/ItemStore.h"
#include "store/StoreRow.h"

namespace hv::host {

class StoreWriter {
 public:
  using Completion = std::function<void(HResult)>;
  struct Limits {
    size_t maxBatch = 4096;
    // Past this many bytes waiting, connections wait for the writer: the
    // clients are slowed down through TCP instead of the host running out of
    // memory.
    size_t maxQueuedBytes = size_t(64) << 20;
  };

  StoreWriter(ItemStore& store, Logger& log);
  StoreWriter(ItemStore& store, Logger& log, Limits limits);
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  // Called on the writer thread after every transaction that committed, for
  // those who push new messages on. Set before Start.
  void SetCommitListener(std::function<void()> listener) { committed_ = std::move(listener); }
  void Start();
  // Waits while the queue is full. False once Stop has begun: the row is not
  // queued and `done` is not called.
  bool AddRow(StoreRow row, Completion done);
  bool AddFlags(const Guid& clsid, const std::array<uint8_t, 4>& flags);
  // Commits everything queued so far, runs the completions, ends the thread.
  void Stop();

  uint64_t committedRows() const;
  uint64_t committedTransactions() const;

 private:
  struct Job {
    bool isFlags = false;
    StoreRow row;
    Completion done;
    Guid clsid;
    std::array<uint8_t, 4> flags{};
    size_t bytes = 0;
  };

  bool Add(Job job);
  void Run();
  void WriteBatch(std::deque<Job>& batch);

  ItemStore& store_;
  Logger& log_;
  Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable room_;
  std::deque<Job> queue_;
  std::deque<Job> spent_;  // committed and answered, for the next Add to free
  size_t queuedBytes_ = 0;
  bool stopping_ = false;
  uint64_t committedRows_ = 0;
  uint64_t committedTransactions_ = 0;
  std::function<void()> committed_;
  std::thread thread_;
};

}  // namespace hv::host
