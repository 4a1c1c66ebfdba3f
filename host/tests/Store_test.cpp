// The store in process: the writer, readers over six thousand messages (each filter checked against a predicate
// written here, not against SQL), the push side of subscriptions, and routing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <thread>

#include "core/ConfigFile.h"
#include "core/Decimal.h"
#include "core/Logger.h"
#include "protocol/ErrorPayload.h"
#include "service/MessageHandler.h"
#include "service/Router.h"
#include "service/Subscriptions.h"
#include "store/Filter.h"
#include "store/ItemStore.h"
#include "store/SqliteDatabase.h"
#include "store/StoreReader.h"
#include "store/StoreWriter.h"
#include "support/Support.h"

using namespace hv::host;
using namespace hvtest;
using Origin = StoreReader::Origin;
using Direction = StoreReader::Direction;
using Ids = std::vector<int64_t>;

namespace {

StoreRow WriterRow(const std::string& location, size_t blobSize = 32) {
  return {45000.25, "2023-03-15T06:00:00.000Z", 2, 8, 3, location, "provider", "user", 17, "text of " + location,
          std::make_shared<std::vector<uint8_t>>(blobSize, uint8_t(location.size()))};
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() { log.SetStderr(false); }
  std::unique_ptr<ItemStore> Open() {
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
  TempDir dir;
  std::string path = dir.File("messages.db");
  Logger log;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<HResult> results;
  std::string error;
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
        writer.AddRow(WriterRow(location), Done([&, location] {
          if (reader.Int("SELECT COUNT(*) FROM messages WHERE location = '" + location + "'") == 1) ++visible;
        }));
      }
    });
  for (auto& t : threads) t.join();
  StoreRow nan = WriterRow("no date");
  nan.time = std::nan("");
  nan.timeText.reset();
  writer.AddRow(nan, Done());
  writer.AddRow(WriterRow("Kessel 4 \xC3\xA9", 300), Done());
  ASSERT_TRUE(AllOk(kThreads * kRows + 2));
  EXPECT_EQ(visible.load(), kThreads * kRows) << "answered before the row could be read";
  EXPECT_EQ(writer.committedRows(), uint64_t(kThreads * kRows + 2));

  const std::string where = " FROM messages WHERE location = 'Kessel 4 \xC3\xA9'";
  EXPECT_EQ(reader.Texts("SELECT time || '/' || time_text || '/' || severity || '/' || audience || '/' || verbosity || "
                         "'/' || message_id || '/' || provider || '/' || user_name || '/' || message_text" + where),
            std::vector<std::string>{"45000.25/2023-03-15T06:00:00.000Z/2/8/3/17/provider/user/text of Kessel 4 \xC3\xA9"});
  EXPECT_EQ(reader.Blob("SELECT item" + where), *WriterRow("Kessel 4 \xC3\xA9", 300).stream);
  EXPECT_EQ(reader.Int("SELECT COUNT(*) FROM messages WHERE location = 'no date' AND time IS NULL AND time_text IS NULL"), 1);
  // Indexes exist for the columns filters walk (time, location, provider, user name) and nothing else.
  EXPECT_EQ(reader.Int("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'messages' AND sql IS NOT NULL"),
            4);
  EXPECT_EQ(reader.Texts("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST_F(StoreTest, AFailedCommitIsAnsweredAsAFullDiskAndLeavesNothing) {
  auto store = Open();
  StoreQuery q(path);
  int64_t pages = q.Int("PRAGMA page_count");
  ASSERT_GT(pages, 0);
  ASSERT_TRUE(store->database().Exec(("PRAGMA max_page_count = " + std::to_string(pages + 1)).c_str(), &error));
  StoreWriter writer(*store, log);
  writer.Start();
  writer.AddRow(WriterRow("too big", 256 * 1024), Done());
  ASSERT_TRUE(AllOk(1, E_DISK_FULL));
  EXPECT_EQ(q.Int("SELECT COUNT(*) FROM messages"), 0);
}

TEST_F(StoreTest, RowsGatheredWhileTheDatabaseIsBusyShareATransactionTheStopCommitsAndFlagsSurviveAReopen) {
  const Guid a = Clsid("{11111111-2222-3333-4444-555555555555}"), b = Clsid("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  {
    auto store = Open();
    StoreWriter writer(*store, log);
    writer.Start();
    SqliteDatabase blocker;  // holds the write lock
    ASSERT_TRUE(blocker.Open(path, &error) && blocker.Exec("BEGIN IMMEDIATE", &error)) << error;
    writer.AddRow(WriterRow("r0"), Done());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer now waits for the lock
    for (int i = 1; i < 50; ++i) writer.AddRow(WriterRow("r" + std::to_string(i)), Done());
    writer.AddFlags(a, {1, 2, 3, 4});
    writer.AddFlags(b, {0, 0, 0, 8});
    writer.AddFlags(a, {5, 0, 0, 0});
    std::thread stopper([&] { writer.Stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(writer.AddRow(WriterRow("late"), Done())) << "a stopping writer took a new row";
    {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_TRUE(results.empty()) << "answered while the database was locked";
    }
    EXPECT_TRUE(blocker.Exec("COMMIT", &error)) << error;
    stopper.join();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(results, std::vector<HResult>(50, S_OK)) << "Stop returned before answering what was queued";
    EXPECT_LE(writer.committedTransactions(), 2u);
    EXPECT_EQ(writer.committedRows(), 50u);
  }
  auto store = Open();
  std::map<Guid, std::array<uint8_t, 4>> flags;
  ASSERT_TRUE(store->LoadFlags(&flags, &error)) << error;
  EXPECT_EQ(flags, (std::map<Guid, std::array<uint8_t, 4>>{{a, {5, 0, 0, 0}}, {b, {0, 0, 0, 8}}}));
  EXPECT_EQ(StoreQuery(path).Int("SELECT COUNT(*) FROM messages"), 50);
  // A database from a later schema is left alone.
  ASSERT_TRUE(store->database().Exec("PRAGMA user_version = 2", &error)) << error;
  store.reset();
  EXPECT_EQ(ItemStore::Open(path, &error), nullptr);
}

namespace {

constexpr int64_t kDayMs = 86400000, kHourMs = 3600000;
constexpr int64_t kMarch15Ms = int64_t(45000) * kDayMs;  // 2023-03-15T00:00:00Z since 1899-12-30
const std::string kErrors = "<Filter><Severity>Error</Severity></Filter>";

struct Row : StoreRow {
  int64_t id = 0;
  std::optional<int64_t> ms;  // the time in whole milliseconds; none: not a number
};
using Pred = std::function<bool(const Row&)>;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool HasIgnoringCase(std::string hay, std::string needle) {
  for (std::string* s : {&hay, &needle})
    for (char& c : *s) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return hay.find(needle) != std::string::npos;
}
bool Within(const Row& r, std::optional<int64_t> from, std::optional<int64_t> before) {
  return r.ms && (!from || *r.ms >= *from) && (!before || *r.ms < *before);
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = ItemStore::Open(dir_.File("messages.db"), &error_);
    ASSERT_NE(store_, nullptr) << error_;
    std::mt19937 random(20230315);
    static const int32_t kSeverities[] = {1, 2, 2, 4, 4, 4, 4, 4, 4, 8, 3, 17};
    static const int32_t kAudiences[] = {1, 2, 2, 4, 8, 9, 3};
    static const char* const kLocations[] = {"Plant 1/Line 1", "Plant 1/Line 2", "Plant 2/Line 1", "Plant 10",
                                             "plant 1/lower",  "Plant 1",        "Plant 1/\xC3\x96" "fen"};
    static const char* const kProviders[] = {"Conveyor", "Conveyor2", "Oven", "Ovens"};
    static const char* const kUsers[] = {"OPS\\jdoe", "OPS\\jdoe2", "ENG\\ann", ""};
    static const char* const kTexts[] = {"Belt jam at station 3",    "JAM cleared",       "temperature 100% of limit",
                                         "temperature 100 of limit", "a_b reached",       "axb reached",
                                         "plain text of zone 4",     "\xC3\x84rger \xC3\xA4rger"};
    std::vector<Row> rows(6000);
    for (int i = 0; i < 6000; ++i) {
      Row& r = rows[size_t(i)];
      // One a minute, arriving up to a minute early or late: time order and arrival order differ.
      r.ms = kMarch15Ms + int64_t(i) * 60000 + int64_t(random() % 120000) - 60000;
      r.severity = kSeverities[random() % 12];
      r.audience = kAudiences[random() % 7];
      r.verbosity = int32_t(random() % 6);
      r.location = kLocations[random() % 7];
      r.provider = kProviders[random() % 4];
      r.userName = kUsers[random() % 4];
      r.messageText = kTexts[random() % 8];
      r.stream = std::make_shared<Bytes>(Concat({Le32(uint32_t(i)), Bytes(random() % 200, uint8_t(i))}));
    }
    rows[1234].ms.reset();  // a message whose time was not a number
    Store(std::move(rows));
    ASSERT_TRUE(db_.OpenForReading(dir_.File("messages.db"), &error_)) << error_;
  }

  // Rows with a time of `exact` (an OLE date) when given, else of their ms.
  void Store(std::vector<Row> rows, std::optional<double> exact = std::nullopt) {
    ASSERT_TRUE(store_->Begin(&error_)) << error_;
    for (Row& r : rows) {
      r.time = exact ? *exact : r.ms ? double(*r.ms) / double(kDayMs) : NAN;
      if (!r.stream) r.stream = std::make_shared<Bytes>();
      ASSERT_TRUE(store_->Insert(r, &error_)) << error_;
      r.id = int64_t(rows_.size()) + 1;
      rows_.push_back(std::move(r));
    }
    ASSERT_TRUE(store_->Commit(&error_)) << error_;
  }

  Ids Expected(const Pred& wanted) const {
    Ids ids;
    for (const Row& r : rows_)
      if (wanted(r)) ids.push_back(r.id);
    return ids;
  }

  std::unique_ptr<StoreReader> Open(const std::string& document, Direction direction = Direction::Forward) {
    Filter filter;
    EXPECT_TRUE(Filter::Parse(document, &filter, &error_)) << error_;
    auto reader = StoreReader::Open(db_, filter, direction, &error_);
    EXPECT_NE(reader, nullptr) << error_;
    return reader;
  }

  // One page of at most n; the ids, checking every stream.
  Ids Read(StoreReader& reader, size_t n, bool* end = nullptr) {
    std::vector<StoreReader::Item> items;
    bool atEnd = false;
    EXPECT_TRUE(reader.Read(n, size_t(4) << 20, &items, &atEnd, &error_)) << error_;
    EXPECT_LE(items.size(), n);
    if (end) *end = atEnd;
    Ids ids;
    for (auto& item : items) {
      EXPECT_EQ(item.stream, *rows_[size_t(item.id - 1)].stream) << "message " << item.id;
      ids.push_back(item.id);
    }
    return ids;
  }

  Ids ReadAll(StoreReader& reader, size_t page) {
    Ids ids;
    bool end = false;
    for (int guard = 0; !end && guard < 10000; ++guard) {
      Ids got = Read(reader, page, &end);
      EXPECT_TRUE(end || got.size() == page) << "a page short of what was asked must say it is the last";
      ids.insert(ids.end(), got.begin(), got.end());
    }
    EXPECT_TRUE(end);
    return ids;
  }

  TempDir dir_;
  std::unique_ptr<ItemStore> store_;
  SqliteDatabase db_;
  std::vector<Row> rows_;
  std::string error_;
};

}  // namespace

TEST_F(ReaderTest, EachFilterSelectsExactlyWhatItSaysInBothDirections) {
  const int64_t h = kHourMs, d = kMarch15Ms;
  const std::pair<std::string, Pred> cases[] = {
      {"", [](const Row&) { return true; }},
      {kErrors, [](const Row& r) { return r.severity & 1; }},
      {"<Filter><Severity>Warning|Audit</Severity><Audience>Op</Audience></Filter>",
       [](const Row& r) { return (r.severity & 10) && (r.audience & 8); }},
      {"<Filter><MaxVerbosity>1</MaxVerbosity></Filter>", [](const Row& r) { return r.verbosity <= 1; }},
      {"<Filter><From>2023-03-15T10:00:00Z</From><Before>2023-03-15T11:00:00.000Z</Before></Filter>",
       [&](const Row& r) { return Within(r, d + 10 * h, d + 11 * h); }},
      {"<Filter><From>45001.6666666666667</From></Filter>", [&](const Row& r) { return Within(r, d + 40 * h, {}); }},
      {"<Filter><Before>2023-03-15T02:30Z</Before></Filter>",
       [&](const Row& r) { return Within(r, {}, d + 2 * h + 30 * 60000); }},
      {"<Filter><Location>Plant 1</Location></Filter>", [](const Row& r) { return r.location == "Plant 1"; }},
      {"<Filter><Location match=\"prefix\">Plant 1</Location></Filter>",
       [](const Row& r) { return StartsWith(r.location, "Plant 1"); }},
      {"<Filter><Location match=\"prefix\">Plant 1/</Location><Provider>Oven</Provider></Filter>",
       [](const Row& r) { return StartsWith(r.location, "Plant 1/") && r.provider == "Oven"; }},
      {"<Filter><Provider match=\"prefix\">Conveyor</Provider></Filter>",
       [](const Row& r) { return StartsWith(r.provider, "Conveyor"); }},
      {"<Filter><User match=\"prefix\">OPS\\</User><Severity>1</Severity></Filter>",
       [](const Row& r) { return StartsWith(r.userName, "OPS\\") && (r.severity & 1); }},
      {"<Filter><User></User></Filter>", [](const Row& r) { return r.userName.empty(); }},
      {"<Filter><Text>jam</Text></Filter>", [](const Row& r) { return HasIgnoringCase(r.messageText, "jam"); }},
      {"<Filter><Text>ZONE</Text></Filter>", [](const Row& r) { return HasIgnoringCase(r.messageText, "zone"); }},
      {"<Filter><Text>100%</Text></Filter>", [](const Row& r) { return HasIgnoringCase(r.messageText, "100%"); }},
      {"<Filter><Text>a_b</Text></Filter>", [](const Row& r) { return HasIgnoringCase(r.messageText, "a_b"); }},
      {"<Filter><Text>\xC3\xA4rger</Text></Filter>", [](const Row& r) { return StartsWith(r.messageText, "\xC3\x84rger"); }},
      {"<Filter><Severity>Info</Severity><Audience>Dev</Audience><MaxVerbosity>3</MaxVerbosity>"
       "<From>2023-03-15T05:00:00Z</From><Text>TEMPERATURE</Text></Filter>",
       [&](const Row& r) {
         return (r.severity & 4) && (r.audience & 2) && r.verbosity <= 3 && Within(r, d + 5 * h, {}) &&
                StartsWith(r.messageText, "temperature");
       }},
      {"<Filter><Location match=\"prefix\">Plant 2/</Location><From>2023-03-15T20:00:00Z</From>"
       "<Before>2023-03-15T23:00:00Z</Before></Filter>",
       [&](const Row& r) { return StartsWith(r.location, "Plant 2/") && Within(r, d + 20 * h, d + 23 * h); }},
  };
  for (const auto& [document, wanted] : cases) {
    SCOPED_TRACE(document);
    const Ids expected = Expected(wanted);
    // Every case selects some messages and leaves others out, except the empty filter.
    EXPECT_TRUE(!expected.empty() && (document.empty() || expected.size() < rows_.size()));
    EXPECT_EQ(ReadAll(*Open(document), 97), expected);
    EXPECT_EQ(ReadAll(*Open(document, Direction::Reverse), 250), Ids(expected.rbegin(), expected.rend()));
  }
  // Non-ASCII letters compare exactly: "\xC3\xA4rger" is not found as "\xC3\x84RGER".
  EXPECT_TRUE(ReadAll(*Open("<Filter><Text>\xC3\x84RGER \xC3\x84RGER</Text></Filter>"), 10).empty());
  // A text of any length is searched like a short one.
  auto longText = Open("<Filter><Text>" + std::string(60000, 'j') + "</Text></Filter>");
  ASSERT_NE(longText, nullptr);
  EXPECT_TRUE(ReadAll(*longText, 10).empty());
}

TEST_F(ReaderTest, PagesPositionsAndTheMaximumCount) {
  const Ids L = Expected([](const Row& r) { return r.severity & 1; });
  const int64_t M = int64_t(L.size());
  ASSERT_GT(M, 100);
  for (size_t page : {size_t(1), size_t(7), L.size(), L.size() + 1}) {
    auto r = Open(kErrors);
    EXPECT_EQ(ReadAll(*r, page), L) << "pages of " << page;
    bool end = false;  // past the end a read hands out nothing and says the same
    EXPECT_TRUE(Read(*r, 5, &end).empty() && end);
  }
  // A page whose items would not fit in the bytes allowed is cut short
  // without saying it is the last; one item always comes.
  auto r = Open(kErrors);
  std::vector<StoreReader::Item> items;
  bool end = true;
  size_t three = 0;
  for (int i = 0; i < 3; ++i) three += StoreReader::kItemFraming + rows_[size_t(L[size_t(i)] - 1)].stream->size();
  ASSERT_TRUE(r->Read(100, three, &items, &end, &error_)) << error_;
  EXPECT_EQ(items.size(), 3u);
  EXPECT_FALSE(end);
  ASSERT_TRUE(r->Read(100, 1, &items, &end, &error_)) << error_;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, L[3]);
  EXPECT_FALSE(end);

  // Positions count selected messages from either end or the current place; in reverse Current counts towards
  // older messages. Moves that run out stop at that end and answer S_FALSE. The position lies between messages:
  // turning round reads the last one again. Each step: a turn, a move and its result, then a read of n whose
  // items are places in L (negative: from the end); a short read is the end.
  using Move = std::optional<std::pair<Origin, int64_t>>;
  const std::tuple<char, Move, HResult, size_t, Ids> steps[] = {
      {0, {}, S_OK, 3, {0, 1, 2}},                           {0, Move({Origin::Start, 5}), S_OK, 2, {5, 6}},
      {0, Move({Origin::End, 3}), S_OK, 10, {-3, -2, -1}},   {0, Move({Origin::Start, 10}), S_OK, 0, {}},
      {0, Move({Origin::Current, 4}), S_OK, 1, {14}},        {0, Move({Origin::Current, -3}), S_OK, 1, {12}},
      {'R', Move({Origin::End, 0}), S_OK, 2, {-1, -2}},      {0, Move({Origin::Current, 4}), S_OK, 1, {-7}},
      {0, Move({Origin::Current, -2}), S_OK, 1, {-6}},       {'F', {}, S_OK, 1, {-6}},
      {0, Move({Origin::Start, M + 5}), S_FALSE, 3, {}},     {0, Move({Origin::End, M}), S_OK, 1, {0}},
      {0, Move({Origin::End, M + 1}), S_FALSE, 1, {0}},      {0, Move({Origin::Start, -1}), S_FALSE, 1, {0}},
      {0, Move({Origin::Current, INT32_MIN}), S_FALSE, 1, {0}}, {'R', Move({Origin::End, -1}), S_FALSE, 1, {-1}},
      {0, Move({Origin::Current, 0}), S_OK, 1, {-2}}};
  r = Open(kErrors);
  for (size_t i = 0; i < std::size(steps); ++i) {
    const auto& [turn, move, result, n, places] = steps[i];
    if (turn) r->SetDirection(turn == 'R' ? Direction::Reverse : Direction::Forward);
    EXPECT_EQ(move ? r->SetPosition(move->first, move->second, &error_) : S_OK, result) << "step " << i;
    Ids want;
    for (int64_t at : places) want.push_back(L[size_t(at < 0 ? M + at : at)]);
    EXPECT_EQ(n ? Read(*r, n, &end) : Ids{}, want) << "step " << i;
    EXPECT_TRUE(!n || want.size() == n || end) << "step " << i;
  }
  // A clone stands where its original stood and goes on alone.
  auto clone = r->Clone(&error_);
  ASSERT_NE(clone, nullptr) << error_;
  EXPECT_EQ(Read(*clone, 2), (Ids{L[size_t(M - 3)], L[size_t(M - 4)]}));
  EXPECT_EQ(Read(*r, 1), Ids{L[size_t(M - 3)]});

  // The maximum count limits each positioning.
  r = Open("<Filter><Severity>Error</Severity><MaxCount>10</MaxCount></Filter>");
  for (auto [from, to] : {std::pair{0, 4}, {4, 8}, {8, 10}, {10, 10}}) {
    EXPECT_EQ(Read(*r, 4, &end), Ids(L.begin() + from, L.begin() + to));
    EXPECT_EQ(end, to == 10) << "page from " << from;
  }
  r->SetDirection(Direction::Reverse);  // a new position starts the count again: the ten newest
  EXPECT_EQ(r->SetPosition(Origin::End, 0, &error_), S_OK);
  EXPECT_EQ(Read(*r, 100, &end), Ids(L.rbegin(), L.rbegin() + 10));
  EXPECT_TRUE(end);
}

TEST_F(ReaderTest, MessagesStoredWhileAReaderIsOpenDoNotMoveIt) {
  const std::string doc = "<Filter><Location match=\"prefix\">Plant 2/</Location></Filter>";
  const Pred plant2 = [](const Row& r) { return StartsWith(r.location, "Plant 2/"); };
  Ids before = Expected(plant2);
  auto older = Open(doc, Direction::Reverse);
  auto newer = Open(doc);
  EXPECT_EQ(Read(*older, 5), Ids(before.rbegin(), before.rbegin() + 5));
  EXPECT_EQ(ReadAll(*newer, 500), before);
  std::vector<Row> more(20);
  for (int i = 0; i < 20; ++i) {
    more[size_t(i)].ms = kMarch15Ms + 60 * kHourMs + i;
    more[size_t(i)].location = i % 2 ? "Plant 2/Line 9" : "Plant 3";
    more[size_t(i)].stream = std::make_shared<Bytes>(Concat({Le32(uint32_t(100000 + i)), Bytes(9, 7)}));
  }
  Store(std::move(more));
  Ids after = Expected(plant2);
  ASSERT_EQ(after.size(), before.size() + 10);
  // The reverse reader goes on where it was; the one at the newest end finds exactly the new matching messages;
  // the end now begins with them.
  EXPECT_EQ(Read(*older, 3), Ids(before.rbegin() + 5, before.rbegin() + 8));
  EXPECT_EQ(ReadAll(*newer, 4), Ids(after.begin() + std::ptrdiff_t(before.size()), after.end()));
  EXPECT_EQ(older->SetPosition(Origin::End, 0, &error_), S_OK);
  EXPECT_EQ(Read(*older, 11), Ids(after.rbegin(), after.rbegin() + 11));
}

TEST_F(ReaderTest, TimesCompareToTheMillisecondTheyRoundTo) {
  // Messages just around both bounds of 2023-03-16T00:00Z to 01:00Z, in fractions of a millisecond.
  const double from = 45001.0, before = 45001.0 + 1.0 / 24, ms = 1.0 / double(kDayMs);
  const std::pair<double, bool> times[] = {{from - 0.6 * ms, false},  {from - 0.4 * ms, true},  {from, true},
                                           {before - 0.6 * ms, true}, {before - 0.4 * ms, false}, {before, false}};
  Ids expected;
  for (auto [t, inside] : times) {
    Row r;
    r.location = "bounds";
    Store({r}, t);
    if (inside) expected.push_back(int64_t(rows_.size()));
  }
  auto reader = Open("<Filter><Location>bounds</Location><From>2023-03-16</From><Before>2023-03-16T01:00Z</Before></Filter>");
  EXPECT_EQ(Read(*reader, 10), expected);
}

TEST_F(ReaderTest, RowsAreWalkedInIdOrderOrThroughASmallRange) {
  using W = FilterQuery::Walk;
  // A document, the walk it must get and the index its plan must name, if any.
  const std::tuple<const char*, W, const char*> cases[] = {
      {"", W::ById, nullptr},
      {"<Filter><Severity>Error</Severity><Text>jam</Text></Filter>", W::ById, nullptr},
      {"<Filter><Location>Plant 1</Location><From>2023-03-15T10:00Z</From></Filter>", W::Equality, "messages_location"},
      {"<Filter><Provider>Oven</Provider></Filter>", W::Equality, "messages_provider"},
      {"<Filter><From>2023-03-15T10:00Z</From><Before>2023-03-15T12:00Z</Before></Filter>", W::TimeIndex,
       "messages_time"},
      // Every message falls in this range: walking it by time would sort them all for each page.
      {"<Filter><From>2023-03-01</From></Filter>", W::ById, nullptr},
      {"<Filter><Location match=\"prefix\">Plant 2/</Location></Filter>", W::LocationIndex, "messages_location"},
      {"<Filter><Location match=\"prefix\">Plant</Location></Filter>", W::ById, nullptr},
      {"<Filter><User match=\"prefix\">ENG</User><From>2023-03-15T10:00Z</From><Before>2023-03-15T10:30Z</Before></Filter>",
       W::TimeIndex, "messages_time"},
  };
  for (const auto& [document, walk, index] : cases)
    for (Direction d : {Direction::Forward, Direction::Reverse}) {
      SCOPED_TRACE(document);
      auto r = Open(document, d);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(int(r->walk()), int(walk));
      std::string plan;
      ASSERT_TRUE(r->PagePlan(&plan, &error_)) << error_;
      EXPECT_TRUE(!index || plan.find(index) != std::string::npos) << plan;
      // Only a small range may be sorted for a page; every other walk hands rows out in id order.
      bool small = walk == W::TimeIndex || walk == W::LocationIndex;
      EXPECT_TRUE(small || plan.find("TEMP B-TREE") == std::string::npos) << plan;
      EXPECT_TRUE(walk != W::ById || plan.find("INDEX") == std::string::npos) << plan;
    }
}

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
    store_ = ItemStore::Open(dir_.File("messages.db"), &error_);
    ASSERT_NE(store_, nullptr) << error_;
    writer_ = std::make_unique<StoreWriter>(*store_, log_);
    subscriptions_ = std::make_unique<Subscriptions>(dir_.File("messages.db"), log_);
    writer_->SetCommitListener([this] { subscriptions_->Committed(); });
    writer_->Start();
    ASSERT_TRUE(subscriptions_->Start(&error_)) << error_;
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
      StoreRow r = WriterRow("cell " + std::to_string(i));
      r.severity = severity;
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
    ASSERT_TRUE(Filter::Parse(document, &filter, &error_)) << error_;
    auto announce = FrameCodec::Encode(FrameKind::Subscribed, 77, [&](hv::ByteWriter& w) { w.u32(id); });
    ASSERT_TRUE(subscriptions_->Add(this, id, peer, filter, stored_, announce, &error_)) << error_;
  }

  TempDir dir_;
  Logger log_;
  std::unique_ptr<ItemStore> store_;
  std::unique_ptr<StoreWriter> writer_;
  std::unique_ptr<Subscriptions> subscriptions_;
  int64_t stored_ = 0;  // ids count from 1 in a fresh store
  std::string error_;
};

}  // namespace

TEST_F(SubscriptionsTest, AClientTooFarBehindIsHeldBackAndThenGetsEverythingSplitIntoFramesInOrder) {
  Store(0, 5, 1);  // before the subscription: never pushed
  auto peer = std::make_shared<FakePeer>();
  peer->pending = Subscriptions::kMaxBacklog + 1;  // held back, so the whole burst is waiting at once
  Add(1, peer, "<Filter><Severity>Error</Severity></Filter>");
  std::vector<Bytes> errors = Store(10, 2500, 1);
  Store(3000, 30, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<Frame> frames = peer->Frames();
  ASSERT_EQ(frames.size(), 1u) << "only the answer may go to a client this far behind";
  EXPECT_TRUE(frames[0].kind == FrameKind::Subscribed && frames[0].id == 77u);
  // Once it has read, everything comes without another commit.
  peer->pending = 0;
  EXPECT_EQ(WaitItems(*peer, errors.size(), 10000), errors);
  frames = peer->Frames();
  EXPECT_GE(std::count_if(frames.begin(), frames.end(), [](const Frame& f) { return f.kind == FrameKind::Push; }), 3);
  for (const Frame& f : frames) EXPECT_TRUE(f.kind != FrameKind::Push || f.id == 1u);
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

namespace {

const char* const kA = "{11111111-2222-3333-4444-555555555555}";
const char* const kB = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";

AdaptorSettings Settings(const char* clsid, std::array<uint8_t, 4> flags, uint32_t severities = 0xF,
                         uint32_t audiences = 0xF) {
  return {AdaptorKind::Forwarder, std::string("adaptor ") + clsid, Clsid(clsid), audiences, severities, flags, {}};
}

// Records what it is given; completes at once with `result` or, with `hold`, leaves that to the test.
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
  b->held[0]->Complete(E_FAIL);  // the first failure is the one reported
  EXPECT_EQ(results, std::vector<HResult>{E_DISK_FULL});
  // Only the second adaptor takes Warning; nobody takes Dev, and that is answered at once.
  item.severity = 2;
  EXPECT_EQ(router.Route(item, nullptr, delivery()), 1u);
  b->held[1]->Complete(S_OK);
  item.audience = 2;
  EXPECT_EQ(router.Route(item, nullptr, delivery()), 0u);
  EXPECT_EQ(results, (std::vector<HResult>{E_DISK_FULL, S_OK, S_OK}));
  EXPECT_EQ(router.ClassList(), std::string(kA) + ";" + kB);
  // More takers than the router keeps on its stack: each one gets the item once.
  std::vector<std::unique_ptr<Adaptor>> ten;
  for (int i = 0; i < 10; ++i) ten.push_back(std::make_unique<FakeAdaptor>(Settings(kA, {1, 0, 0, 0})));
  auto* tenth = static_cast<FakeAdaptor*>(ten.back().get());
  item.audience = item.severity = 1;
  EXPECT_EQ(Router(std::move(ten)).Route(item, nullptr, delivery()), 10u);
  EXPECT_EQ(tenth->locations.size(), 1u);
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
  auto peer = std::make_shared<FakePeer>();
  const Bytes good = SimpleItem(u"good", 1, 1), garbage = {1, 2, 3, 4, 5};

  Answer answer;
  auto post = [&](uint32_t frame, const MuxMessage& m) {
    handler.HandlePost(peer, frame, m);
    auto f = peer->Next();
    return f && f->id == frame && ReadAnswer(*f, &answer);
  };
  ASSERT_TRUE(post(41, ItemMessage("2", -7, good)));
  EXPECT_TRUE(answer.type == "5" && answer.hr == S_OK && answer.transid == -7 && answer.body == good);
  store->result = E_DISK_FULL;  // a failing adaptor's result reaches the answer
  ASSERT_TRUE(post(42, ItemMessage("2", 9, good)));
  EXPECT_EQ(answer.hr, E_DISK_FULL);
  store->result = S_OK;
  handler.HandlePost(peer, 43, ItemMessage("1", 0, good));
  EXPECT_FALSE(peer->Next()) << "a stored \"1\" is not answered";

  // Refused with an Error frame: no transid or not a number, a "1" that does not read, a type nobody knows,
  // flags of the wrong length, for an unknown adaptor or beyond what the adaptor handles.
  MuxMessage noTransid = ItemMessage("1", 0, good), badTransid = ItemMessage("2", 0, good);
  noTransid.SetField("MSGTYPE", "2");
  badTransid.SetField("transid", "12abc");
  const std::pair<MuxMessage, HResult> refused[] = {
      {noTransid, E_INVALIDARG}, {badTransid, E_INVALIDARG}, {ItemMessage("1", 0, garbage), E_INVALIDARG},
      {ItemMessage("5", 0, {}), E_NOTIMPL}, {ClsidMessage("8", Clsid(kA), {0, 0, 0}), E_INVALIDARG},
      {ClsidMessage("8", Clsid(kA), {0, 0, 0, 0, 0}), E_INVALIDARG},
      {ClsidMessage("8", Clsid("{00000000-0000-0000-0000-000000000001}"), {0, 0, 0, 0}), REGDB_E_CLASSNOTREG},
      {ClsidMessage("8", Clsid(kA), {8, 0, 0, 0}), E_INVALIDARG}};
  for (size_t i = 0; i < std::size(refused); ++i) {
    handler.HandlePost(peer, uint32_t(100 + i), refused[i].first);
    auto e = peer->Next();
    EXPECT_EQ(ErrorCode(e), refused[i].second) << "case " << i;
    EXPECT_TRUE(e && e->id == 100 + i) << "case " << i;
  }
  // An item stream that does not read: answered E_INVALIDARG with the body as sent.
  ASSERT_TRUE(post(44, ItemMessage("2", 8, garbage)));
  EXPECT_TRUE(answer.hr == E_INVALIDARG && answer.transid == 8 && answer.body == garbage);
  EXPECT_EQ(store->locations, (std::vector<std::u16string>{u"good", u"good", u"good"}));
  EXPECT_TRUE(persisted.empty() && store->enableFlags() == (std::array<uint8_t, 4>{1, 0, 0, 0}));

  // Flags change routing at once and are kept; off, the next item goes nowhere,
  // but the audit message of each change still reaches the store.
  EXPECT_FALSE(store->Accepts(4, 2));
  handler.HandlePost(peer, 45, ClsidMessage("8", Clsid(kA), {1, 0, 2, 0}));
  EXPECT_TRUE(store->Accepts(4, 2));
  handler.HandlePost(peer, 46, ClsidMessage("8", Clsid(kA), {0, 0, 0, 0}));
  EXPECT_EQ(persisted, (std::vector<std::array<uint8_t, 4>>{{1, 0, 2, 0}, {0, 0, 0, 0}}));
  ASSERT_TRUE(post(47, ItemMessage("2", 1, good)));
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(store->locations, (std::vector<std::u16string>{u"good", u"good", u"good", u"", u""}));
  EXPECT_EQ(peer->owed.load(), 0);

  MuxMessage reply;
  ErrorPayload error;
  EXPECT_FALSE(handler.HandleTransact(*peer, ItemMessage("2", 0, {}), &reply, &error));
  EXPECT_EQ(error.result, E_NOTIMPL);
  MuxMessage info = ClsidMessage("3", Clsid(kA));
  info.data.pop_back();  // a class id one byte short
  ASSERT_TRUE(handler.HandleTransact(*peer, info, &reply, &error));
  EXPECT_EQ(*reply.Field("HRESULT"), FormatInt32(E_INVALIDARG));
}
