// The store: rows are answered only once committed, many rows share a
// transaction, a failed commit is answered as a full disk, flags survive a
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
  r.severity = 2;
  r.audience = 8;
  r.verbosity = 3;
  r.location = location;
  r.provider = "provider";
  r.userName = "user";
  r.messageId = 17;
  r.messageText = "text of " + location;
  r.stream = std::make_shared<std::vector<uint8_t>>(blobSize, uint8_t(location.size()));
  return r;
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() { log.SetStderr(false); }
  std::unique_ptr<ItemStore> Open() {
    std::string error;
    auto s = ItemStore::Open(path, &error);
    EXPECT_NE(s, nullptr) << error;
    return s;
  }
  // A completion that records its result; `also` runs first, on the writer's thread.
  StoreWriter::Completion Done(std::function<void()> also = nullptr) {
    return [this, also](HResult hr) {
      if (also) also();
      std::lock_guard<std::mutex> lock(mutex);
      results.push_back(hr);
      changed.notify_all();
    };
  }
  // Waits for n results, never forever; true when all n are S_OK.
  bool AllOk(size_t n, HResult expected = S_OK) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return results.size() >= n; });
    return results == std::vector<HResult>(n, expected);
  }
  // Holds the database's write lock until Release.
  void Block() {
    std::string error;
    ASSERT_TRUE(blocker.Open(path, &error) && blocker.Exec("BEGIN IMMEDIATE", &error)) << error;
  }
  void Release() {
    std::string error;
    ASSERT_TRUE(blocker.Exec("COMMIT", &error)) << error;
  }

  TempDir dir;
  std::string path = dir.File("messages.db");
  Logger log;
  SqliteDatabase blocker;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<HResult> results;
};

}  // namespace

TEST_F(StoreTest, EveryRowIsCommittedBeforeItIsAnsweredAndHoldsTheItemsFields) {
  auto store = Open();
  StoreWriter writer(*store, log);
  writer.Start();
  StoreQuery reader(path);
  ASSERT_TRUE(reader.ok());
  std::atomic<int> visible{0};
  const int kThreads = 3, kRows = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRows; ++i) {
        std::string location = "loc-" + std::to_string(t) + "-" + std::to_string(i);
        // Runs on the writer thread: another connection must already see the row.
        writer.AddRow(Row(location), Done([&, location] {
          if (reader.Int("SELECT COUNT(*) FROM messages WHERE location = '" + location + "'") == 1) ++visible;
        }));
      }
    });
  for (auto& t : threads) t.join();
  StoreRow nan = Row("no date");
  nan.time = std::nan("");
  nan.timeText.reset();
  writer.AddRow(nan, Done());
  writer.AddRow(Row("Kessel 4 \xC3\xA9", 300), Done());
  ASSERT_TRUE(AllOk(kThreads * kRows + 2));
  EXPECT_EQ(visible.load(), kThreads * kRows) << "answered before the row could be read";
  EXPECT_EQ(writer.committedRows(), uint64_t(kThreads * kRows + 2));

  const std::string where = " FROM messages WHERE location = 'Kessel 4 \xC3\xA9'";
  EXPECT_EQ(reader.Texts("SELECT time || '/' || time_text || '/' || severity || '/' || audience || '/' || verbosity || "
                         "'/' || message_id || '/' || provider || '/' || user_name || '/' || message_text" + where),
            std::vector<std::string>{"45000.25/2023-03-15T06:00:00.000Z/2/8/3/17/provider/user/text of Kessel 4 \xC3\xA9"});
  EXPECT_EQ(reader.Blob("SELECT item" + where), *Row("Kessel 4 \xC3\xA9", 300).stream);
  EXPECT_EQ(reader.Int("SELECT COUNT(*) FROM messages WHERE location = 'no date' AND time IS NULL AND time_text IS NULL"), 1);
  // Indexes exist for the columns filters walk (time, location, provider,
  // user name) and nothing else.
  EXPECT_EQ(reader.Int("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'messages' AND sql IS NOT NULL"),
            4);
  EXPECT_EQ(reader.Texts("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST_F(StoreTest, RowsThatGatherWhileTheDatabaseIsBusyShareOneTransaction) {
  auto store = Open();
  StoreWriter writer(*store, log);
  writer.Start();
  Block();
  writer.AddRow(Row("first"), Done());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer now waits for the lock
  for (int i = 0; i < 199; ++i) writer.AddRow(Row("queued-" + std::to_string(i)), Done());
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(results.empty()) << "answered while the database was locked";
  }
  Release();
  ASSERT_TRUE(AllOk(200));
  EXPECT_LE(writer.committedTransactions(), 2u);
  EXPECT_EQ(writer.committedRows(), 200u);
}

TEST_F(StoreTest, AFailedCommitIsAnsweredAsAFullDiskAndLeavesNothing) {
  auto store = Open();
  std::string error;
  StoreQuery q(path);
  int64_t pages = q.Int("PRAGMA page_count");
  ASSERT_GT(pages, 0);
  ASSERT_TRUE(store->database().Exec(("PRAGMA max_page_count = " + std::to_string(pages + 1)).c_str(), &error));
  StoreWriter writer(*store, log);
  writer.Start();
  writer.AddRow(Row("too big", 256 * 1024), Done());
  ASSERT_TRUE(AllOk(1, E_DISK_FULL));
  EXPECT_EQ(q.Int("SELECT COUNT(*) FROM messages"), 0);
}

TEST_F(StoreTest, StopCommitsWhatIsQueuedAndFlagsSurviveAReopen) {
  Guid a, b;
  Guid::Parse("{11111111-2222-3333-4444-555555555555}", &a);
  Guid::Parse("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}", &b);
  {
    auto store = Open();
    StoreWriter writer(*store, log);
    writer.Start();
    Block();
    writer.AddRow(Row("r0"), Done());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer now waits for the lock
    for (int i = 1; i < 50; ++i) writer.AddRow(Row("r" + std::to_string(i)), Done());
    writer.AddFlags(a, {1, 2, 3, 4});
    writer.AddFlags(b, {0, 0, 0, 8});
    writer.AddFlags(a, {5, 0, 0, 0});
    std::thread stopper([&] { writer.Stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(writer.AddRow(Row("late"), Done())) << "a stopping writer took a new row";
    Release();
    stopper.join();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(results, std::vector<HResult>(50, S_OK)) << "Stop returned before answering what was queued";
  }
  auto store = Open();
  std::map<Guid, std::array<uint8_t, 4>> flags;
  std::string error;
  ASSERT_TRUE(store->LoadFlags(&flags, &error)) << error;
  EXPECT_EQ(flags, (std::map<Guid, std::array<uint8_t, 4>>{{a, {5, 0, 0, 0}}, {b, {0, 0, 0, 8}}}));
  EXPECT_EQ(StoreQuery(path).Int("SELECT COUNT(*) FROM messages"), 50);
  // A database from a later schema is left alone.
  ASSERT_TRUE(store->database().Exec("PRAGMA user_version = 2", &error)) << error;
  store.reset();
  EXPECT_EQ(ItemStore::Open(path, &error), nullptr);
}
