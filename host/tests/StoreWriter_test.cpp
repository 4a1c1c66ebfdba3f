// The store: rows are answered only once committed, many rows share a
// transaction, a failed commit is answered as a failure, flags survive a
// reopen, and stopping commits everything queued.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <thread>

#include "core/Logger.h"
#include "store/ItemStore.h"
#include "store/SqliteDatabase.h"
#include "store/StoreWriter.h"
#include "support/StoreQuery.h"
#include "support/TempDir.h"

using namespace hv::host;
using namespace hvtest;

namespace {

StoreRow Row(const std::string& location, size_t blobSize = 32) {
  StoreRow r;
  r.time = 45000.25;
  r.timeText = "2023-03-15T06:00:00.000Z";
  r.severity = 4;
  r.audience = 2;
  r.verbosity = 1;
  r.location = location;
  r.provider = "provider";
  r.userName = "user";
  r.messageId = -1;
  r.messageText = "text of " + location;
  r.stream = std::make_shared<std::vector<uint8_t>>(blobSize, uint8_t(location.size()));
  return r;
}

// Counts completions and lets a test wait for them, never forever.
class Completions {
 public:
  StoreWriter::Completion Make(std::function<void(HResult)> also = nullptr) {
    return [this, also](HResult hr) {
      if (also) also(hr);
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back(hr);
      cv_.notify_all();
    };
  }
  bool WaitFor(size_t n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return results_.size() >= n; });
  }
  std::vector<HResult> results() {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<HResult> results_;
};

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() { log.SetStderr(false); }
  std::unique_ptr<ItemStore> Open() {
    std::string error;
    auto s = ItemStore::Open(path, &error);
    EXPECT_NE(s, nullptr) << error;
    return s;
  }
  TempDir dir;
  std::string path = dir.File("messages.db");
  Logger log;
};

}  // namespace

TEST_F(StoreTest, EveryRowIsCommittedBeforeItIsAnswered) {
  auto store = Open();
  StoreWriter writer(*store, log);
  writer.Start();
  StoreQuery reader(path);
  ASSERT_TRUE(reader.ok());
  Completions done;
  std::atomic<int> visible{0};
  const int kThreads = 3, kRows = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRows; ++i) {
        std::string location = "loc-" + std::to_string(t) + "-" + std::to_string(i);
        // Runs on the writer thread: another connection must already see the row.
        writer.AddRow(Row(location), done.Make([&, location](HResult) {
          if (reader.Int("SELECT COUNT(*) FROM messages WHERE location = '" + location + "'") == 1) ++visible;
        }));
      }
    });
  for (auto& t : threads) t.join();
  ASSERT_TRUE(done.WaitFor(kThreads * kRows));
  for (HResult hr : done.results()) EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(visible.load(), kThreads * kRows) << "answered before the row could be read";
  EXPECT_EQ(writer.committedRows(), uint64_t(kThreads * kRows));
}

TEST_F(StoreTest, ColumnsHoldTheItemsFields) {
  auto store = Open();
  StoreWriter writer(*store, log);
  writer.Start();
  Completions done;
  StoreRow r = Row("Kessel 4 \xC3\xA9", 300);
  r.severity = 2;
  r.audience = 8;
  r.verbosity = 3;
  r.messageId = 17;
  StoreRow nan = Row("no date");
  nan.time = std::nan("");
  nan.timeText.reset();
  writer.AddRow(r, done.Make());
  writer.AddRow(nan, done.Make());
  ASSERT_TRUE(done.WaitFor(2));
  EXPECT_EQ(done.results(), (std::vector<HResult>{S_OK, S_OK}));

  StoreQuery q(path);
  const std::string where = " FROM messages WHERE location = 'Kessel 4 \xC3\xA9'";
  EXPECT_EQ(q.Texts("SELECT time" + where), std::vector<std::string>{"45000.25"});
  EXPECT_EQ(q.Texts("SELECT time_text" + where), std::vector<std::string>{"2023-03-15T06:00:00.000Z"});
  EXPECT_EQ(q.Int("SELECT severity" + where), 2);
  EXPECT_EQ(q.Int("SELECT audience" + where), 8);
  EXPECT_EQ(q.Int("SELECT verbosity" + where), 3);
  EXPECT_EQ(q.Int("SELECT message_id" + where), 17);
  EXPECT_EQ(q.Texts("SELECT provider || '/' || user_name || '/' || message_text" + where),
            std::vector<std::string>{"provider/user/text of Kessel 4 \xC3\xA9"});
  EXPECT_EQ(q.Blob("SELECT item" + where), *r.stream);
  EXPECT_EQ(q.Int("SELECT COUNT(*) FROM messages WHERE location = 'no date' AND time IS NULL AND time_text IS NULL"), 1);
  // Indexes exist for the columns filters walk (time, location, provider,
  // user name) and nothing else.
  EXPECT_EQ(q.Int("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'messages' AND sql IS NOT NULL"),
            4);
  EXPECT_EQ(q.Texts("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST_F(StoreTest, RowsThatGatherWhileTheDatabaseIsBusyShareOneTransaction) {
  auto store = Open();
  StoreWriter writer(*store, log);
  writer.Start();
  SqliteDatabase blocker;
  std::string error;
  ASSERT_TRUE(blocker.Open(path, &error)) << error;
  ASSERT_TRUE(blocker.Exec("BEGIN IMMEDIATE", &error)) << error;
  Completions done;
  writer.AddRow(Row("first"), done.Make());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer now waits for the lock
  for (int i = 0; i < 199; ++i) writer.AddRow(Row("queued-" + std::to_string(i)), done.Make());
  EXPECT_TRUE(done.results().empty()) << "answered while the database was locked";
  ASSERT_TRUE(blocker.Exec("COMMIT", &error)) << error;
  ASSERT_TRUE(done.WaitFor(200));
  for (HResult hr : done.results()) EXPECT_EQ(hr, S_OK);
  EXPECT_LE(writer.committedTransactions(), 2u);
  EXPECT_EQ(writer.committedRows(), 200u);
}

TEST_F(StoreTest, AFailedCommitIsAnsweredAsFailureAndTheNextOneWorks) {
  auto store = Open();
  std::string error;
  StoreQuery q(path);
  int64_t pages = q.Int("PRAGMA page_count");
  ASSERT_GT(pages, 0);
  ASSERT_TRUE(store->database().Exec(("PRAGMA max_page_count = " + std::to_string(pages + 1)).c_str(), &error));
  {
    StoreWriter writer(*store, log);
    writer.Start();
    Completions done;
    writer.AddRow(Row("too big", 256 * 1024), done.Make());
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.results(), std::vector<HResult>{E_DISK_FULL});
  }
  EXPECT_EQ(q.Int("SELECT COUNT(*) FROM messages"), 0);
  ASSERT_TRUE(store->database().Exec("PRAGMA max_page_count = 1000000", &error));
  StoreWriter writer(*store, log);
  writer.Start();
  Completions done;
  writer.AddRow(Row("fits", 256 * 1024), done.Make());
  ASSERT_TRUE(done.WaitFor(1));
  EXPECT_EQ(done.results(), std::vector<HResult>{S_OK});
  EXPECT_EQ(q.Int("SELECT COUNT(*) FROM messages"), 1);
}

TEST_F(StoreTest, StopCommitsWhatIsQueuedAndFlagsSurviveAReopen) {
  Guid a, b;
  Guid::Parse("{11111111-2222-3333-4444-555555555555}", &a);
  Guid::Parse("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}", &b);
  Completions done;
  {
    auto store = Open();
    StoreWriter writer(*store, log);
    writer.Start();
    SqliteDatabase blocker;
    std::string error;
    ASSERT_TRUE(blocker.Open(path, &error)) << error;
    ASSERT_TRUE(blocker.Exec("BEGIN IMMEDIATE", &error)) << error;
    for (int i = 0; i < 50; ++i) writer.AddRow(Row("r" + std::to_string(i)), done.Make());
    writer.AddFlags(a, {1, 2, 3, 4});
    writer.AddFlags(b, {0, 0, 0, 8});
    writer.AddFlags(a, {5, 0, 0, 0});
    std::thread stopper([&] { writer.Stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(writer.AddRow(Row("late"), done.Make())) << "a stopping writer took a new row";
    ASSERT_TRUE(blocker.Exec("COMMIT", &error)) << error;
    stopper.join();
    EXPECT_EQ(done.results().size(), 50u) << "Stop returned before answering what was queued";
  }
  for (HResult hr : done.results()) EXPECT_EQ(hr, S_OK);
  auto store = Open();
  std::map<Guid, std::array<uint8_t, 4>> flags;
  std::string error;
  ASSERT_TRUE(store->LoadFlags(&flags, &error)) << error;
  ASSERT_EQ(flags.size(), 2u);
  EXPECT_EQ(flags[a], (std::array<uint8_t, 4>{5, 0, 0, 0}));
  EXPECT_EQ(flags[b], (std::array<uint8_t, 4>{0, 0, 0, 8}));
  EXPECT_EQ(StoreQuery(path).Int("SELECT COUNT(*) FROM messages"), 50);

  // A database from a later schema is left alone.
  ASSERT_TRUE(store->database().Exec("PRAGMA user_version = 2", &error)) << error;
  store.reset();
  EXPECT_EQ(ItemStore::Open(path, &error), nullptr);
  EXPECT_NE(error.find("later host"), std::string::npos) << error;
}
