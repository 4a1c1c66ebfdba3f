// Readers over a store of six thousand messages with mixed fields: what
// each filter selects (checked against a plain model of the filter written
// here, not against SQL), paging in both directions, positions, the maximum
// count, messages stored while a reader is open, and the way SQLite is made
// to walk the rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

namespace {

constexpr int64_t kDayMs = 86400000;
// 2023-03-15T00:00:00Z in milliseconds since 1899-12-30.
constexpr int64_t kMarch15Ms = int64_t(45000) * kDayMs;
constexpr int64_t kHourMs = 3600000;

struct Row {
  int64_t id = 0;
  std::optional<int64_t> ms;  // the time in whole milliseconds; none: not a number
  int32_t severity = 0, audience = 0, verbosity = 0;
  std::string location, provider, user, text;
  Bytes stream;
};

// What a filter document says, as the model evaluates it.
struct Want {
  std::optional<uint32_t> severities, audiences;
  std::optional<int32_t> maxVerbosity;
  std::optional<int64_t> fromMs, beforeMs;
  std::optional<std::pair<std::string, bool>> location, provider, user;  // value, prefix
  std::string text;
};

bool TextMatches(const std::optional<std::pair<std::string, bool>>& c, const std::string& value) {
  if (!c) return true;
  return c->second ? value.compare(0, c->first.size(), c->first) == 0 : value == c->first;
}

bool ContainsIgnoringAsciiCase(const std::string& hay, const std::string& needle) {
  auto lower = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
  };
  return lower(hay).find(lower(needle)) != std::string::npos;
}

bool Matches(const Row& r, const Want& w) {
  if (w.severities && !(uint32_t(r.severity) & *w.severities)) return false;
  if (w.audiences && !(uint32_t(r.audience) & *w.audiences)) return false;
  if (w.maxVerbosity && r.verbosity > *w.maxVerbosity) return false;
  if ((w.fromMs || w.beforeMs) && !r.ms) return false;
  if (w.fromMs && *r.ms < *w.fromMs) return false;
  if (w.beforeMs && *r.ms >= *w.beforeMs) return false;
  return TextMatches(w.location, r.location) && TextMatches(w.provider, r.provider) && TextMatches(w.user, r.user) &&
         ContainsIgnoringAsciiCase(r.text, w.text);
}

StoreRow ToStoreRow(const Row& r) {
  StoreRow s;
  s.time = r.ms ? double(*r.ms) / double(kDayMs) : NAN;
  s.severity = r.severity;
  s.audience = r.audience;
  s.verbosity = r.verbosity;
  s.location = r.location;
  s.provider = r.provider;
  s.userName = r.user;
  s.messageText = r.text;
  s.stream = std::make_shared<Bytes>(r.stream);
  return s;
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
    std::vector<Row> rows;
    for (int i = 0; i < 6000; ++i) {
      Row r;
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
      rows.push_back(std::move(r));
    }
    rows[1234].ms.reset();  // a message whose time was not a number
    Store(std::move(rows));
    ASSERT_TRUE(db_.OpenForReading(dir_.File("messages.db"), &error)) << error;
  }

  void Store(std::vector<Row> rows) {
    std::string error;
    ASSERT_TRUE(store_->Begin(&error)) << error;
    for (Row& r : rows) {
      ASSERT_TRUE(store_->Insert(ToStoreRow(r), &error)) << error;
      r.id = int64_t(rows_.size()) + 1;
      rows_.push_back(std::move(r));
    }
    ASSERT_TRUE(store_->Commit(&error)) << error;
  }

  std::vector<int64_t> Expected(const Want& w) const {
    std::vector<int64_t> ids;
    for (const Row& r : rows_)
      if (Matches(r, w)) ids.push_back(r.id);
    return ids;
  }

  std::unique_ptr<StoreReader> Open(const std::string& document, StoreReader::Direction direction) {
    Filter filter;
    std::string error;
    EXPECT_TRUE(Filter::Parse(document, &filter, &error)) << error;
    auto reader = StoreReader::Open(db_, filter, direction, &error);
    EXPECT_NE(reader, nullptr) << error;
    return reader;
  }

  // Reads pages of `page` until the end, checking every stream; the ids in
  // the order they came.
  std::vector<int64_t> ReadAll(StoreReader& reader, size_t page) {
    std::vector<int64_t> ids;
    for (int guard = 0; guard < 10000; ++guard) {
      std::vector<StoreReader::Item> items;
      bool end = false;
      std::string error;
      EXPECT_TRUE(reader.Read(page, size_t(4) << 20, &items, &end, &error)) << error;
      EXPECT_LE(items.size(), page);
      for (auto& item : items) {
        EXPECT_EQ(item.stream, rows_[size_t(item.id - 1)].stream) << "message " << item.id;
        ids.push_back(item.id);
      }
      if (end) return ids;
      EXPECT_EQ(items.size(), page) << "a page short of what was asked must say it is the last";
    }
    ADD_FAILURE() << "the reader never came to an end";
    return ids;
  }

  std::vector<int64_t> ReadIds(StoreReader& reader, size_t n, bool* end = nullptr) {
    std::vector<StoreReader::Item> items;
    bool atEnd = false;
    std::string error;
    EXPECT_TRUE(reader.Read(n, size_t(4) << 20, &items, &atEnd, &error)) << error;
    if (end) *end = atEnd;
    std::vector<int64_t> ids;
    for (auto& item : items) ids.push_back(item.id);
    return ids;
  }

  HResult Position(StoreReader& reader, StoreReader::Origin origin, int64_t offset) {
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

using Origin = StoreReader::Origin;
using Direction = StoreReader::Direction;

}  // namespace

TEST_F(ReaderTest, EachFilterSelectsExactlyWhatItSaysInBothDirections) {
  struct Case {
    std::string document;
    Want want;
  };
  auto exact = [](const char* v) { return std::make_optional(std::make_pair(std::string(v), false)); };
  auto prefix = [](const char* v) { return std::make_optional(std::make_pair(std::string(v), true)); };
  Want none;
  Want errors;
  errors.severities = 1;
  Want warnAuditOp;
  warnAuditOp.severities = 10, warnAuditOp.audiences = 8;
  Want quiet;
  quiet.maxVerbosity = 1;
  Want hour;
  hour.fromMs = kMarch15Ms + 10 * kHourMs, hour.beforeMs = kMarch15Ms + 11 * kHourMs;
  Want since;
  since.fromMs = kMarch15Ms + 40 * kHourMs;
  Want until;
  until.beforeMs = kMarch15Ms + 2 * kHourMs + 30 * 60000;
  Want plant1;
  plant1.location = exact("Plant 1");
  Want plant1Prefix;
  plant1Prefix.location = prefix("Plant 1");
  Want lineOven;
  lineOven.location = prefix("Plant 1/"), lineOven.provider = exact("Oven");
  Want conveyors;
  conveyors.provider = prefix("Conveyor");
  Want opsErrors;
  opsErrors.user = prefix("OPS\\"), opsErrors.severities = 1;
  Want nobody;
  nobody.user = exact("");
  Want jam;
  jam.text = "jam";
  Want percent;
  percent.text = "100%";
  Want underscore;
  underscore.text = "a_b";
  Want umlaut;
  umlaut.text = "\xC3\xA4rger";
  Want combo;
  combo.severities = 4, combo.audiences = 2, combo.maxVerbosity = 3, combo.fromMs = kMarch15Ms + 5 * kHourMs,
  combo.text = "temperature";
  Want narrowPrefixAndTime;
  narrowPrefixAndTime.location = prefix("Plant 2/"), narrowPrefixAndTime.fromMs = kMarch15Ms + 20 * kHourMs,
  narrowPrefixAndTime.beforeMs = kMarch15Ms + 23 * kHourMs;

  const Case cases[] = {
      {"", none},
      {"<Filter><Severity>Error</Severity></Filter>", errors},
      {"<Filter><Severity>Warning|Audit</Severity><Audience>Op</Audience></Filter>", warnAuditOp},
      {"<Filter><MaxVerbosity>1</MaxVerbosity></Filter>", quiet},
      {"<Filter><From>2023-03-15T10:00:00Z</From><Before>2023-03-15T11:00:00.000Z</Before></Filter>", hour},
      {"<Filter><From>45001.6666666666667</From></Filter>", since},
      {"<Filter><Before>2023-03-15T02:30Z</Before></Filter>", until},
      {"<Filter><Location>Plant 1</Location></Filter>", plant1},
      {"<Filter><Location match=\"prefix\">Plant 1</Location></Filter>", plant1Prefix},
      {"<Filter><Location match=\"prefix\">Plant 1/</Location><Provider>Oven</Provider></Filter>", lineOven},
      {"<Filter><Provider match=\"prefix\">Conveyor</Provider></Filter>", conveyors},
      {"<Filter><User match=\"prefix\">OPS\\</User><Severity>1</Severity></Filter>", opsErrors},
      {"<Filter><User></User></Filter>", nobody},
      {"<Filter><Text>jam</Text></Filter>", jam},
      {"<Filter><Text>100%</Text></Filter>", percent},
      {"<Filter><Text>a_b</Text></Filter>", underscore},
      {"<Filter><Text>\xC3\xA4rger</Text></Filter>", umlaut},
      {"<Filter><Severity>Info</Severity><Audience>Dev</Audience><MaxVerbosity>3</MaxVerbosity>"
       "<From>2023-03-15T05:00:00Z</From><Text>TEMPERATURE</Text></Filter>",
       combo},
      {"<Filter><Location match=\"prefix\">Plant 2/</Location><From>2023-03-15T20:00:00Z</From>"
       "<Before>2023-03-15T23:00:00Z</Before></Filter>",
       narrowPrefixAndTime},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    std::vector<int64_t> expected = Expected(c.want);
    // Every case selects some messages and leaves others out, except the empty filter.
    EXPECT_FALSE(expected.empty());
    if (!c.document.empty()) {
      EXPECT_LT(expected.size(), rows_.size());
    }
    auto forward = Open(c.document, Direction::Forward);
    ASSERT_NE(forward, nullptr);
    EXPECT_EQ(ReadAll(*forward, 97), expected);
    auto reverse = Open(c.document, Direction::Reverse);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(ReadAll(*reverse, 250), expected);
  }
  // Non-ASCII letters compare exactly: "\xC3\xA4rger" is not found as "\xC3\x84RGER".
  auto upper = Open("<Filter><Text>\xC3\x84RGER \xC3\x84RGER</Text></Filter>", Direction::Forward);
  EXPECT_TRUE(ReadAll(*upper, 10).empty());
  // A text of any length is searched like a short one.
  auto longText = Open("<Filter><Text>" + std::string(60000, 'j') + "</Text></Filter>", Direction::Forward);
  ASSERT_NE(longText, nullptr);
  EXPECT_TRUE(ReadAll(*longText, 10).empty());
}

TEST_F(ReaderTest, PagesAreExactAndTheLastOneSaysSo) {
  const std::string errors = "<Filter><Severity>Error</Severity></Filter>";
  Want w;
  w.severities = 1;
  std::vector<int64_t> all = Expected(w);
  ASSERT_GT(all.size(), 100u);
  for (size_t page : {size_t(1), size_t(7), all.size(), all.size() + 1}) {
    auto r = Open(errors, Direction::Forward);
    EXPECT_EQ(ReadAll(*r, page), all) << "pages of " << page;
    // Past the end a read hands out nothing and says the same.
    bool end = false;
    EXPECT_TRUE(ReadIds(*r, 5, &end).empty());
    EXPECT_TRUE(end);
  }
  // A page whose items would not fit in the bytes allowed is cut short
  // without saying it is the last; one item always comes.
  auto r = Open(errors, Direction::Forward);
  std::vector<StoreReader::Item> items;
  bool end = true;
  std::string error;
  size_t three = 0;
  for (int i = 0; i < 3; ++i) three += StoreReader::kItemFraming + rows_[size_t(all[size_t(i)] - 1)].stream.size();
  ASSERT_TRUE(r->Read(100, three, &items, &end, &error)) << error;
  EXPECT_EQ(items.size(), 3u);
  EXPECT_FALSE(end);
  ASSERT_TRUE(r->Read(100, 1, &items, &end, &error)) << error;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, all[3]);
  EXPECT_FALSE(end);
}

TEST_F(ReaderTest, PositionsCountSelectedMessagesFromEitherEndOrTheCurrentPlace) {
  const std::string errors = "<Filter><Severity>Error</Severity></Filter>";
  Want w;
  w.severities = 1;
  std::vector<int64_t> L = Expected(w);
  const int64_t M = int64_t(L.size());
  auto at = [&](int64_t i) { return L[size_t(i)]; };
  auto r = Open(errors, Direction::Forward);
  EXPECT_EQ(ReadIds(*r, 3), (std::vector<int64_t>{at(0), at(1), at(2)}));
  EXPECT_EQ(Position(*r, Origin::Start, 5), S_OK);
  EXPECT_EQ(ReadIds(*r, 2), (std::vector<int64_t>{at(5), at(6)}));
  EXPECT_EQ(Position(*r, Origin::End, 3), S_OK);
  bool end = false;
  EXPECT_EQ(ReadIds(*r, 10, &end), (std::vector<int64_t>{at(M - 3), at(M - 2), at(M - 1)}));
  EXPECT_TRUE(end);
  // Forward, a positive offset from the current place moves on, a negative one back.
  EXPECT_EQ(Position(*r, Origin::Start, 10), S_OK);
  EXPECT_EQ(Position(*r, Origin::Current, 4), S_OK);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(14)});
  EXPECT_EQ(Position(*r, Origin::Current, -3), S_OK);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(12)});

  // In reverse, Current counts towards older messages.
  r->SetDirection(Direction::Reverse);
  EXPECT_EQ(Position(*r, Origin::End, 0), S_OK);
  EXPECT_EQ(ReadIds(*r, 2), (std::vector<int64_t>{at(M - 1), at(M - 2)}));
  EXPECT_EQ(Position(*r, Origin::Current, 4), S_OK);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(M - 7)});
  EXPECT_EQ(Position(*r, Origin::Current, -2), S_OK);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(M - 6)});
  // The position lies between messages: turning round reads the last one again.
  r->SetDirection(Direction::Forward);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(M - 6)});

  // Moves that run out stop at that end and say so.
  EXPECT_EQ(Position(*r, Origin::Start, M + 5), S_FALSE);
  EXPECT_TRUE(ReadIds(*r, 3, &end).empty());
  EXPECT_TRUE(end);
  EXPECT_EQ(Position(*r, Origin::End, M), S_OK);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(0)});
  EXPECT_EQ(Position(*r, Origin::End, M + 1), S_FALSE);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(0)});
  EXPECT_EQ(Position(*r, Origin::Start, -1), S_FALSE);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(0)});
  EXPECT_EQ(Position(*r, Origin::Current, INT32_MIN), S_FALSE);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(0)});
  r->SetDirection(Direction::Reverse);
  EXPECT_EQ(Position(*r, Origin::End, -1), S_FALSE);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(M - 1)});
  EXPECT_EQ(Position(*r, Origin::Current, 0), S_OK);
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(M - 2)});

  // A clone stands where its original stood and goes on alone.
  std::string error;
  auto clone = r->Clone(&error);
  ASSERT_NE(clone, nullptr) << error;
  EXPECT_EQ(ReadIds(*clone, 2), (std::vector<int64_t>{at(M - 3), at(M - 4)}));
  EXPECT_EQ(ReadIds(*r, 1), std::vector<int64_t>{at(M - 3)});
}

TEST_F(ReaderTest, TheMaximumCountLimitsEachPositioning) {
  Want w;
  w.severities = 1;
  std::vector<int64_t> L = Expected(w);
  auto r = Open("<Filter><Severity>Error</Severity><MaxCount>10</MaxCount></Filter>", Direction::Forward);
  bool end = true;
  EXPECT_EQ(ReadIds(*r, 4, &end), std::vector<int64_t>(L.begin(), L.begin() + 4));
  EXPECT_FALSE(end);
  EXPECT_EQ(ReadIds(*r, 4, &end), std::vector<int64_t>(L.begin() + 4, L.begin() + 8));
  EXPECT_FALSE(end);
  EXPECT_EQ(ReadIds(*r, 4, &end), std::vector<int64_t>(L.begin() + 8, L.begin() + 10));
  EXPECT_TRUE(end);
  EXPECT_TRUE(ReadIds(*r, 4, &end).empty());
  EXPECT_TRUE(end);
  // A new position starts the count again: the ten newest, newest first.
  r->SetDirection(Direction::Reverse);
  EXPECT_EQ(Position(*r, Origin::End, 0), S_OK);
  EXPECT_EQ(ReadIds(*r, 100, &end), std::vector<int64_t>(L.rbegin(), L.rbegin() + 10));
  EXPECT_TRUE(end);
}

TEST_F(ReaderTest, MessagesStoredWhileAReaderIsOpenDoNotMoveIt) {
  const std::string doc = "<Filter><Location match=\"prefix\">Plant 2/</Location></Filter>";
  Want w;
  w.location = std::make_pair(std::string("Plant 2/"), true);
  std::vector<int64_t> before = Expected(w);
  auto older = Open(doc, Direction::Reverse);
  auto newer = Open(doc, Direction::Forward);
  EXPECT_EQ(ReadIds(*older, 5), std::vector<int64_t>(before.rbegin(), before.rbegin() + 5));
  EXPECT_EQ(ReadAll(*newer, 500), before);

  std::vector<Row> more;
  for (int i = 0; i < 20; ++i) {
    Row r;
    r.ms = kMarch15Ms + 60 * kHourMs + i;
    r.severity = 4;
    r.audience = 2;
    r.location = i % 2 ? "Plant 2/Line 9" : "Plant 3";
    r.stream = Concat({Le32(uint32_t(100000 + i)), Bytes(9, 7)});
    more.push_back(std::move(r));
  }
  Store(std::move(more));
  std::vector<int64_t> after = Expected(w);
  ASSERT_EQ(after.size(), before.size() + 10);
  std::vector<int64_t> added(after.begin() + std::ptrdiff_t(before.size()), after.end());

  // The reverse reader goes on where it was; the one that had reached the
  // newest end finds exactly the new matching messages; the end now begins
  // with them.
  EXPECT_EQ(ReadIds(*older, 3), std::vector<int64_t>(before.rbegin() + 5, before.rbegin() + 8));
  EXPECT_EQ(ReadAll(*newer, 4), added);
  EXPECT_EQ(Position(*older, Origin::End, 0), S_OK);
  EXPECT_EQ(ReadIds(*older, 11), std::vector<int64_t>(after.rbegin(), after.rbegin() + 11));
}

TEST_F(ReaderTest, TimesCompareToTheMillisecondTheyRoundTo) {
  // 2023-03-16T00:00:00.000Z and the hour after it, with messages just
  // around both bounds (in fractions of a millisecond).
  const double from = 45001.0, before = 45001.0 + 1.0 / 24;
  const double ms = 1.0 / double(kDayMs);
  const double times[] = {from - 0.6 * ms, from - 0.4 * ms, from, before - 0.6 * ms, before - 0.4 * ms, before};
  const bool inside[] = {false, true, true, true, false, false};
  std::string error;
  ASSERT_TRUE(store_->Begin(&error));
  int64_t firstId = int64_t(rows_.size()) + 1;
  for (double t : times) {
    Row r;
    r.location = "bounds";
    StoreRow s = ToStoreRow(r);
    s.time = t;
    ASSERT_TRUE(store_->Insert(s, &error)) << error;
    rows_.push_back(r);
  }
  ASSERT_TRUE(store_->Commit(&error));
  auto reader = Open("<Filter><Location>bounds</Location><From>2023-03-16</From><Before>2023-03-16T01:00Z</Before></Filter>",
                     Direction::Forward);
  std::vector<int64_t> expected;
  for (size_t i = 0; i < 6; ++i)
    if (inside[i]) expected.push_back(firstId + int64_t(i));
  EXPECT_EQ(ReadIds(*reader, 10), expected);
}

TEST_F(ReaderTest, RowsAreWalkedInIdOrderOrThroughASmallRange) {
  struct Case {
    const char* document;
    FilterQuery::Walk walk;
    const char* index;  // the index the plan must name, if any
  } cases[] = {
      {"", FilterQuery::Walk::ById, nullptr},
      {"<Filter><Severity>Error</Severity><Text>jam</Text></Filter>", FilterQuery::Walk::ById, nullptr},
      {"<Filter><Location>Plant 1</Location><From>2023-03-15T10:00Z</From></Filter>", FilterQuery::Walk::Equality,
       "messages_location"},
      {"<Filter><Provider>Oven</Provider></Filter>", FilterQuery::Walk::Equality, "messages_provider"},
      {"<Filter><From>2023-03-15T10:00Z</From><Before>2023-03-15T12:00Z</Before></Filter>",
       FilterQuery::Walk::TimeIndex, "messages_time"},
      // Every message falls in this range: walking it by time would sort them all for each page.
      {"<Filter><From>2023-03-01</From></Filter>", FilterQuery::Walk::ById, nullptr},
      {"<Filter><Location match=\"prefix\">Plant 2/</Location></Filter>", FilterQuery::Walk::LocationIndex,
       "messages_location"},
      {"<Filter><Location match=\"prefix\">Plant</Location></Filter>", FilterQuery::Walk::ById, nullptr},
      {"<Filter><User match=\"prefix\">ENG</User><From>2023-03-15T10:00Z</From><Before>2023-03-15T10:30Z</Before></Filter>",
       FilterQuery::Walk::TimeIndex, "messages_time"},
  };
  for (const Case& c : cases) {
    for (Direction d : {Direction::Forward, Direction::Reverse}) {
      SCOPED_TRACE(c.document);
      auto r = Open(c.document, d);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(int(r->walk()), int(c.walk));
      std::string plan, error;
      ASSERT_TRUE(r->PagePlan(&plan, &error)) << error;
      if (c.index) {
        EXPECT_NE(plan.find(c.index), std::string::npos) << plan;
      }
      // Only a small range may be sorted for a page; every other walk hands
      // rows out in id order as SQLite finds them.
      bool small = c.walk == FilterQuery::Walk::TimeIndex || c.walk == FilterQuery::Walk::LocationIndex;
      if (!small) {
        EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
      }
      if (c.walk == FilterQuery::Walk::ById) {
        EXPECT_EQ(plan.find("INDEX"), std::string::npos) << plan;
      }
    }
  }
}
