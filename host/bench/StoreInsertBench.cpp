// The store's own insert ceiling: the rows of one item stream, queued to the
// host's writer from one thread and committed in its batches, natively and
// without any client. The delivery benchmark under Wine compares the rate at
// which logged items end up stored with this figure.
//
// Run: bench_store_insert ITEM-STREAM-FILE DATABASE [ROWS [ALREADY]]
// ALREADY rows are put in first, untimed: a store's indexes grow deeper with
// its rows, so a delivery into a store that holds some is compared with the
// ceiling of a store that holds as many.
// Prints "rows-per-second N" and the rows found in the database afterwards.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>

#include "core/Logger.h"
#include "item/ItemStreamDecoder.h"
#include "store/ItemStore.h"
#include "store/StoreWriter.h"

using namespace hv::host;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_store_insert ITEM-STREAM-FILE DATABASE [ROWS [ALREADY]]\n");
    return 2;
  }
  const long rows = argc > 3 ? std::atol(argv[3]) : 100000;
  const long already = argc > 4 ? std::atol(argv[4]) : 0;
  std::ifstream file(argv[1], std::ios::binary);
  auto stream = std::make_shared<const std::vector<uint8_t>>(std::istreambuf_iterator<char>(file),
                                                             std::istreambuf_iterator<char>());
  ItemRecord item;
  std::string error;
  if (!ItemStreamDecoder::Decode(stream->data(), stream->size(), &item, &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::remove(argv[2]);
  std::unique_ptr<ItemStore> store = ItemStore::Open(argv[2], &error);
  if (!store) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  Logger log;
  StoreWriter writer(*store, log);
  writer.Start();

  std::atomic<long> failed{0};
  // As a connection does: the row is taken from the decoded item per message.
  auto insertRows = [&](long count) {
    std::mutex mutex;
    std::condition_variable allDone;
    long done = 0;
    for (long i = 0; i < count; ++i) {
      writer.AddRow(StoreRow::FromItem(item, stream), [&](HResult hr) {
        if (Failed(hr)) ++failed;
        std::lock_guard<std::mutex> lock(mutex);
        if (++done == count) allDone.notify_one();
      });
    }
    std::unique_lock<std::mutex> lock(mutex);
    allDone.wait(lock, [&] { return done == count; });
  };
  // Through the writer too, so that the store is left as a delivery leaves it.
  insertRows(already);
  const auto start = std::chrono::steady_clock::now();
  insertRows(rows);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  writer.Stop();
  const uint64_t committed = writer.committedRows() - static_cast<uint64_t>(already);
  store.reset();

  sqlite3* db = nullptr;
  long stored = -1;
  if (sqlite3_open_v2(argv[2], &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* count = nullptr;
    if (sqlite3_prepare_v2(db, "select count(*) from messages", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
      stored = static_cast<long>(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
  }
  sqlite3_close(db);
  if (stored >= 0) stored -= already;
  std::printf("rows-per-second %.0f\nrows-stored %ld\nrows-committed %llu\nrows-failed %ld\n", stored / seconds,
              stored, static_cast<unsigned long long>(committed), failed.load());
  return stored == rows ? 0 : 1;
}
