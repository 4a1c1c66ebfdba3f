#include "store/StoreWriter.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hv::host {

namespace {

// Every stored item waits for this one thread. In a burst the applications
// that log and the connection threads that read them fill every core, and a
// writer given only its fair share falls behind what they hand over; so it
// asks to run ahead of them. The service's unit allows it (LimitNICE); without
// that right it runs as every other thread does.
constexpr int kWriterNice = -10;
// It also asks for short turns on the processor: it sleeps at every sync to
// disk, and a thread that wakes with a short turn is let in at once instead
// of after the running thread's turn (kernels from 6.12; older ones ignore it).
constexpr uint64_t kWriterSliceNs = 100000;

void AskForShortTurns(id_t self, int nice) {
  struct {  // the kernel's struct sched_attr, which the C library does not declare
    uint32_t size;
    uint32_t sched_policy;
    uint64_t sched_flags;
    int32_t sched_nice;
    uint32_t sched_priority;
    uint64_t sched_runtime, sched_deadline, sched_period;
  } attr = {};
  attr.size = sizeof attr;
  attr.sched_policy = SCHED_OTHER;
  attr.sched_nice = nice;
  attr.sched_runtime = kWriterSliceNs;
  ::syscall(SYS_sched_setattr, self, &attr, 0);
}

void RunAheadOfOtherThreads(Logger& log) {
  const id_t self = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  int nice = ::getpriority(PRIO_PROCESS, self);
  if (errno != 0 || nice > kWriterNice) {
    if (::setpriority(PRIO_PROCESS, self, kWriterNice) == 0) nice = kWriterNice;
    else log.Line(std::string("the store's writer runs at the ordinary priority: ") + std::strerror(errno));
  }
  AskForShortTurns(self, nice);
}

}  // namespace

StoreWriter::StoreWriter(ItemStore& store, Logger& log) : StoreWriter(store, log, Limits()) {}

StoreWriter::StoreWriter(ItemStore& store, Logger& log, Limits limits) : store_(store), log_(log), limits_(limits) {}

StoreWriter::~StoreWriter() { Stop(); }

void StoreWriter::Start() { thread_ = std::thread([this] { Run(); }); }

bool StoreWriter::AddRow(StoreRow row, Completion done) {
  Job job;
  job.bytes = row.ApproximateSize();
  job.row = std::move(row);
  job.done = std::move(done);
  return Add(std::move(job));
}

bool StoreWriter::AddFlags(const Guid& clsid, const std::array<uint8_t, 4>& flags) {
  Job job;
  job.isFlags = true;
  job.clsid = clsid;
  job.flags = flags;
  job.bytes = sizeof(Job);
  return Add(std::move(job));
}

bool StoreWriter::Add(Job job) {
  std::deque<Job> spent;  // freed here, after the lock is let go
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // An empty queue always takes the job, however large, so nothing waits forever.
    room_.wait(lock, [&] { return stopping_ || queue_.empty() || queuedBytes_ + job.bytes <= limits_.maxQueuedBytes; });
    if (stopping_) return false;
    queuedBytes_ += job.bytes;
    queue_.push_back(std::move(job));
    spent.swap(spent_);
  }
  wake_.notify_one();
  return true;
}

void StoreWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint64_t StoreWriter::committedRows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return committedRows_;
}

uint64_t StoreWriter::committedTransactions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return committedTransactions_;
}

void StoreWriter::Run() {
  RunAheadOfOtherThreads(log_);
  std::deque<Job> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (queue_.empty() && !spent_.empty()) {
        // Nobody is queuing who would free them; they hold their connections.
        batch.swap(spent_);
        lock.unlock();
        batch.clear();
        continue;
      }
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      // Stopping still drains: everything queued before Stop is committed.
      if (queue_.empty()) return;
      if (queue_.size() <= limits_.maxBatch) {
        batch.swap(queue_);
        queuedBytes_ = 0;
      } else {
        for (size_t i = 0; i < limits_.maxBatch; ++i) {
          queuedBytes_ -= queue_.front().bytes;
          batch.push_back(std::move(queue_.front()));
          queue_.pop_front();
        }
      }
    }
    room_.notify_all();
    WriteBatch(batch);
    {
      // Their memory was mostly taken by the connection that queued them:
      // the next one to queue frees them, cheaper for the allocator than
      // freeing it here, where every stored item waits.
      std::lock_guard<std::mutex> lock(mutex_);
      if (spent_.empty()) spent_.swap(batch);
    }
    batch.clear();
  }
}

void StoreWriter::WriteBatch(std::deque<Job>& batch) {
  std::string error;
  bool ok = store_.Begin(&error);
  for (size_t i = 0; ok && i < batch.size(); ++i) {
    const Job& job = batch[i];
    ok = job.isFlags ? store_.SaveFlags(job.clsid, job.flags, &error) : store_.Insert(job.row, &error);
  }
  ok = ok && store_.Commit(&error);
  HResult result = S_OK;
  size_t rows = 0;
  for (const Job& job : batch) rows += job.isFlags ? 0 : 1;
  if (!ok) {
    result = store_.LastFailure();
    store_.Rollback();
    log_.Repeated("failed transactions", "store: a transaction of " + std::to_string(rows) + " messages and " +
                                             std::to_string(batch.size() - rows) +
                                             " flag changes failed and was rolled back: " + error, Logger::kError);
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    committedRows_ += rows;
    ++committedTransactions_;
  }
  for (Job& job : batch)
    if (job.done) job.done(result);
  if (ok && rows && committed_) committed_();
  // After the answers: a checkpoint makes nobody wait for theirs.
  store_.CheckpointIfNeeded(!ok);
}

}  // namespace hv::host
