// Readers over a store of six thousand messages with mixed fields: what
// each filter selects (checked against a predicate written here, not against
// SQL), paging in both directions, positions, the maximum count, messages
// stored while a reader is open, and the way SQLite is made to walk the rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <random>

#include "store/Filter.h"
#include "store/ItemStore.h"
#include "store/SqliteDatabase.h"
#include "store/StoreReader.h"
#include "support/ItemBytes.h"
#include "support/TempDir.h"

using namespace hv::host;
using namespace hvtest;
using Origin = StoreReader::Origin;
using Direction = StoreReader::Direction;
using Ids = std::vector<int64_t>;

namespace {

constexpr int64_t kDayMs = 86400000, kHourMs = 3600000;
constexpr int64_t kMarch15Ms = int64_t(45000) * kDayMs;  // 2023-03-15T00:00:00Z since 1899-12-30
const std::string kErrors = "<Filter><Severity>Error</Severity></Filter>";

struct Row {
  int64_t id = 0;
  std::optional<int64_t> ms;  // the time in whole milliseconds; none: not a number
  int32_t severity = 4, audience = 2, verbosity = 0;
  std::string location, provider, user, text;
  Bytes stream;
};
using Pred = std::function<bool(const Row&)>;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool ContainsIgnoringAsciiCase(std::string hay, std::string needle) {
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
    std::string error;
    store_ = ItemStore::Open(dir_.File("messages.db"), &error);
    ASSERT_NE(store_, nullptr) << error;
    std::mt19937 random(20230315);
    static const int32_t kSeverities[] = {1, 2, 2, 4, 4, 4, 4, 4, 4, 8, 3, 17};
    static const int32_t kAudiences[] = {1, 2, 2, 4, 8, 9, 3};
    static const char* const kLocations[] = {"Plant 1/Line 1", "Plant 1/Line 2", "Plant 2/Line 1", "Plant 10",
                                             "plant 1/lower",  "Plant 1",        "Plant 1/\xC3\x96" "fen"};
    static const char* const kProviders[] = {"Conveyor", "Conveyor2", "Oven", "Ovens"};
    static const char* const kUsers[] = {"OPS\\jdoe", "OPS\\jdoe2", "ENG\\ann", ""};
    static const char* const kTexts[] = {"Belt jam at station 3",    "JAM cleared",       "temperature 100% of limit",
                                         "temperature 100 of limit", "a_b reached",       "axb reached",
                                         "plain text",               "\xC3\x84rger \xC3\xA4rger"};
    std::vector<Row> rows(6000);
    for (int i = 0; i < 6000; ++i) {
      Row& r = rows[size_t(i)];
      // One message a minute, arriving up to a minute early or late, so time
      // order and arrival order differ.
      r.ms = kMarch15Ms + int64_t(i) * 60000 + int64_t(random() % 120000) - 60000;
      r.severity = kSeverities[random() % 12];
      r.audience = kAudiences[random() % 7];
      r.verbosity = int32_t(random() % 6);
      r.location = kLocations[random() % 7];
      r.provider = kProviders[random() % 4];
      r.user = kUsers[random() % 4];
      r.text = kTexts[random() % 8];
      r.stream = Concat({Le32(uint32_t(i)), Bytes(random() % 200, uint8_t(i))});
    }
    rows[1234].ms.reset();  // a message whose time was not a number
    Store(std::move(rows));
    ASSERT_TRUE(db_.OpenForReading(dir_.File("messages.db"), &error)) << error;
  }

  // Rows with a time of `exact` (an OLE date) when given, else of their ms.
  void Store(std::vector<Row> rows, std::optional<double> exact = std::nullopt) {
    std::string error;
    ASSERT_TRUE(store_->Begin(&error)) << error;
    for (Row& r : rows) {
      StoreRow s;
      s.time = exact ? *exact : r.ms ? double(*r.ms) / double(kDayMs) : NAN;
      s.severity = r.severity;
      s.audience = r.audience;
      s.verbosity = r.verbosity;
      s.location = r.location;
      s.provider = r.provider;
      s.userName = r.user;
      s.messageText = r.text;
      s.stream = std::make_shared<Bytes>(r.stream);
      ASSERT_TRUE(store_->Insert(s, &error)) << error;
      r.id = int64_t(rows_.size()) + 1;
      rows_.push_back(std::move(r));
    }
    ASSERT_TRUE(store_->Commit(&error)) << error;
  }

  Ids Expected(const Pred& wanted) const {
    Ids ids;
    for (const Row& r : rows_)
      if (wanted(r)) ids.push_back(r.id);
    return ids;
  }

  std::unique_ptr<StoreReader> Open(const std::string& document, Direction direction = Direction::Forward) {
    Filter filter;
    std::string error;
    EXPECT_TRUE(Filter::Parse(document, &filter, &error)) << error;
    auto reader = StoreReader::Open(db_, filter, direction, &error);
    EXPECT_NE(reader, nullptr) << error;
    return reader;
  }

  // One page of at most n; the ids, checking every stream.
  Ids Read(StoreReader& reader, size_t n, bool* end = nullptr) {
    std::vector<StoreReader::Item> items;
    bool atEnd = false;
    std::string error;
    EXPECT_TRUE(reader.Read(n, size_t(4) << 20, &items, &atEnd, &error)) << error;
    EXPECT_LE(items.size(), n);
    if (end) *end = atEnd;
    Ids ids;
    for (auto& item : items) {
      EXPECT_EQ(item.stream, rows_[size_t(item.id - 1)].stream) << "message " << item.id;
      ids.push_back(item.id);
    }
    return ids;
  }

  // Pages of `page` until the one that says it is the last.
  Ids ReadAll(StoreReader& reader, size_t page) {
    Ids ids;
    for (int guard = 0; guard < 10000; ++guard) {
      bool end = false;
      Ids got = Read(reader, page, &end);
      ids.insert(ids.end(), got.begin(), got.end());
      if (end) return ids;
      EXPECT_EQ(got.size(), page) << "a page short of what was asked must say it is the last";
    }
    ADD_FAILURE() << "no end";
    return ids;
  }

  HResult Position(StoreReader& reader, Origin origin, int64_t offset) {
    std::string error;
    HResult hr = reader.SetPosition(origin, offset, &error);
    EXPECT_FALSE(Failed(hr)) << error;
    return hr;
  }

  TempDir dir_;
  std::unique_ptr<ItemStore> store_;
  SqliteDatabase db_;
  std::vector<Row> rows_;
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
       [](const Row& r) { return StartsWith(r.user, "OPS\\") && (r.severity & 1); }},
      {"<Filter><User></User></Filter>", [](const Row& r) { return r.user.empty(); }},
      {"<Filter><Text>jam</Text></Filter>", [](const Row& r) { return ContainsIgnoringAsciiCase(r.text, "jam"); }},
      {"<Filter><Text>100%</Text></Filter>", [](const Row& r) { return ContainsIgnoringAsciiCase(r.text, "100%"); }},
      {"<Filter><Text>a_b</Text></Filter>", [](const Row& r) { return ContainsIgnoringAsciiCase(r.text, "a_b"); }},
      {"<Filter><Text>\xC3\xA4rger</Text></Filter>", [](const Row& r) { return StartsWith(r.text, "\xC3\x84rger"); }},
      {"<Filter><Severity>Info</Severity><Audience>Dev</Audience><MaxVerbosity>3</MaxVerbosity>"
       "<From>2023-03-15T05:00:00Z</From><Text>TEMPERATURE</Text></Filter>",
       [&](const Row& r) {
         return (r.severity & 4) && (r.audience & 2) && r.verbosity <= 3 && Within(r, d + 5 * h, {}) &&
                StartsWith(r.text, "temperature");
       }},
      {"<Filter><Location match=\"prefix\">Plant 2/</Location><From>2023-03-15T20:00:00Z</From>"
       "<Before>2023-03-15T23:00:00Z</Before></Filter>",
       [&](const Row& r) { return StartsWith(r.location, "Plant 2/") && Within(r, d + 20 * h, d + 23 * h); }},
  };
  for (const auto& [document, wanted] : cases) {
    SCOPED_TRACE(document);
    Ids expected = Expected(wanted);
    // Every case selects some messages and leaves others out, except the empty filter.
    EXPECT_FALSE(expected.empty());
    EXPECT_TRUE(document.empty() || expected.size() < rows_.size());
    EXPECT_EQ(ReadAll(*Open(document), 97), expected);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(ReadAll(*Open(document, Direction::Reverse), 250), expected);
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
  auto at = [&](int64_t i) { return Ids{L[size_t(i)]}; };
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
  std::string error;
  size_t three = 0;
  for (int i = 0; i < 3; ++i) three += StoreReader::kItemFraming + rows_[size_t(L[size_t(i)] - 1)].stream.size();
  ASSERT_TRUE(r->Read(100, three, &items, &end, &error)) << error;
  EXPECT_EQ(items.size(), 3u);
  EXPECT_FALSE(end);
  ASSERT_TRUE(r->Read(100, 1, &items, &end, &error)) << error;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, L[3]);
  EXPECT_FALSE(end);

  // Positions count selected messages from either end or the current place;
  // forward, Current moves on, in reverse it counts towards older messages.
  // Moves that run out stop at that end and answer S_FALSE.
  r = Open(kErrors);
  EXPECT_EQ(Read(*r, 3), (Ids{L[0], L[1], L[2]}));
  EXPECT_EQ(Position(*r, Origin::Start, 5), S_OK);
  EXPECT_EQ(Read(*r, 2), (Ids{L[5], L[6]}));
  EXPECT_EQ(Position(*r, Origin::End, 3), S_OK);
  EXPECT_EQ(Read(*r, 10, &end), (Ids{L[size_t(M - 3)], L[size_t(M - 2)], L[size_t(M - 1)]}));
  EXPECT_TRUE(end);
  EXPECT_EQ(Position(*r, Origin::Start, 10), S_OK);
  EXPECT_EQ(Position(*r, Origin::Current, 4), S_OK);
  EXPECT_EQ(Read(*r, 1), at(14));
  EXPECT_EQ(Position(*r, Origin::Current, -3), S_OK);
  EXPECT_EQ(Read(*r, 1), at(12));
  r->SetDirection(Direction::Reverse);
  EXPECT_EQ(Position(*r, Origin::End, 0), S_OK);
  EXPECT_EQ(Read(*r, 2), (Ids{L[size_t(M - 1)], L[size_t(M - 2)]}));
  EXPECT_EQ(Position(*r, Origin::Current, 4), S_OK);
  EXPECT_EQ(Read(*r, 1), at(M - 7));
  EXPECT_EQ(Position(*r, Origin::Current, -2), S_OK);
  EXPECT_EQ(Read(*r, 1), at(M - 6));
  // The position lies between messages: turning round reads the last one again.
  r->SetDirection(Direction::Forward);
  EXPECT_EQ(Read(*r, 1), at(M - 6));
  EXPECT_EQ(Position(*r, Origin::Start, M + 5), S_FALSE);
  EXPECT_TRUE(Read(*r, 3, &end).empty() && end);
  EXPECT_EQ(Position(*r, Origin::End, M), S_OK);
  EXPECT_EQ(Read(*r, 1), at(0));
  const std::pair<Origin, int64_t> beyond[] = {{Origin::End, M + 1}, {Origin::Start, -1}, {Origin::Current, INT32_MIN}};
  for (auto [origin, offset] : beyond) {
    EXPECT_EQ(Position(*r, origin, offset), S_FALSE) << offset;
    EXPECT_EQ(Read(*r, 1), at(0)) << offset;
  }
  r->SetDirection(Direction::Reverse);
  EXPECT_EQ(Position(*r, Origin::End, -1), S_FALSE);
  EXPECT_EQ(Read(*r, 1), at(M - 1));
  EXPECT_EQ(Position(*r, Origin::Current, 0), S_OK);
  EXPECT_EQ(Read(*r, 1), at(M - 2));
  // A clone stands where its original stood and goes on alone.
  auto clone = r->Clone(&error);
  ASSERT_NE(clone, nullptr) << error;
  EXPECT_EQ(Read(*clone, 2), (Ids{L[size_t(M - 3)], L[size_t(M - 4)]}));
  EXPECT_EQ(Read(*r, 1), at(M - 3));

  // The maximum count limits each positioning.
  r = Open("<Filter><Severity>Error</Severity><MaxCount>10</MaxCount></Filter>");
  EXPECT_EQ(Read(*r, 4, &end), Ids(L.begin(), L.begin() + 4));
  EXPECT_FALSE(end);
  EXPECT_EQ(Read(*r, 4, &end), Ids(L.begin() + 4, L.begin() + 8));
  EXPECT_FALSE(end);
  EXPECT_EQ(Read(*r, 4, &end), Ids(L.begin() + 8, L.begin() + 10));
  EXPECT_TRUE(end);
  EXPECT_TRUE(Read(*r, 4, &end).empty() && end);
  r->SetDirection(Direction::Reverse);  // a new position starts the count again: the ten newest
  EXPECT_EQ(Position(*r, Origin::End, 0), S_OK);
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
    more[size_t(i)].stream = Concat({Le32(uint32_t(100000 + i)), Bytes(9, 7)});
  }
  Store(std::move(more));
  Ids after = Expected(plant2);
  ASSERT_EQ(after.size(), before.size() + 10);
  // The reverse reader goes on where it was; the one that had reached the
  // newest end finds exactly the new matching messages; the end now begins
  // with them.
  EXPECT_EQ(Read(*older, 3), Ids(before.rbegin() + 5, before.rbegin() + 8));
  EXPECT_EQ(ReadAll(*newer, 4), Ids(after.begin() + std::ptrdiff_t(before.size()), after.end()));
  EXPECT_EQ(Position(*older, Origin::End, 0), S_OK);
  EXPECT_EQ(Read(*older, 11), Ids(after.rbegin(), after.rbegin() + 11));
}

TEST_F(ReaderTest, TimesCompareToTheMillisecondTheyRoundTo) {
  // 2023-03-16T00:00:00.000Z and the hour after it, with messages just
  // around both bounds (in fractions of a millisecond).
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
  struct Case {
    const char* document;
    W walk;
    const char* index;  // the index the plan must name, if any
  } cases[] = {
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
  for (const Case& c : cases) {
    for (Direction d : {Direction::Forward, Direction::Reverse}) {
      SCOPED_TRACE(c.document);
      auto r = Open(c.document, d);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(int(r->walk()), int(c.walk));
      std::string plan, error;
      ASSERT_TRUE(r->PagePlan(&plan, &error)) << error;
      EXPECT_TRUE(!c.index || plan.find(c.index) != std::string::npos) << plan;
      // Only a small range may be sorted for a page; every other walk hands
      // rows out in id order as SQLite finds them.
      bool small = c.walk == W::TimeIndex || c.walk == W::LocationIndex;
      EXPECT_TRUE(small || plan.find("TEMP B-TREE") == std::string::npos) << plan;
      EXPECT_TRUE(c.walk != W::ById || plan.find("INDEX") == std::string::npos) << plan;
    }
  }
}
