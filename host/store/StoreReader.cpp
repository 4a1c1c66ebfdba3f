#include "store/StoreReader.h"

#include <sqlite3.h>

#include <algorithm>

#include "store/SqliteDatabase.h"

namespace hv::host {
namespace {

constexpr int kGapParameter = FilterQuery::kFirstFreeParameter;
constexpr int kCountParameter = FilterQuery::kFirstFreeParameter + 1;

}  // namespace

std::unique_ptr<StoreReader> StoreReader::Open(SqliteDatabase& db, const Filter& filter, Direction direction,
                                               std::string* error) {
  std::unique_ptr<StoreReader> r(new StoreReader(db, filter));
  if (!r->Choose(error)) return nullptr;
  r->direction_ = direction;
  r->gap_ = direction == Direction::Forward ? kStart : kEnd;
  return r;
}

std::unique_ptr<StoreReader> StoreReader::Clone(std::string* error) const {
  std::unique_ptr<StoreReader> r(new StoreReader(db_, filter_));
  r->query_ = query_;
  r->direction_ = direction_;
  r->gap_ = gap_;
  r->handedOut_ = handedOut_;
  return r;
}

bool StoreReader::Choose(std::string* error) {
  FilterQuery chosen;
  if (!FilterQuery::ForReading(filter_, db_, &chosen, error)) return false;
  // The SQL depends on the walk alone; statements of another walk go.
  if (chosen.walk() != query_.walk())
    for (auto& pair : statements_)
      for (auto& s : pair) s = SqliteStatement();
  query_ = std::move(chosen);
  return true;
}

std::string StoreReader::Sql(bool page, bool forward) const {
  std::string sql = page ? "SELECT id, item FROM " : "SELECT id FROM ";
  sql += query_.Source() + " WHERE " + query_.Conditions();
  sql += forward ? " AND id > ?" : " AND id <= ?";
  sql += std::to_string(kGapParameter);
  sql += forward ? " ORDER BY id ASC" : " ORDER BY id DESC";
  sql += page ? " LIMIT ?" + std::to_string(kCountParameter) : " LIMIT 1 OFFSET ?" + std::to_string(kCountParameter);
  return sql;
}

SqliteStatement* StoreReader::Statement(bool page, bool forward, std::string* error) {
  SqliteStatement& s = statements_[page][forward];
  if (!s.get() && !s.Prepare(db_, Sql(page, forward).c_str(), error)) return nullptr;
  query_.Bind(s);
  return &s;
}

bool StoreReader::Step(bool newer, int64_t steps, bool* found, int64_t* id, std::string* error) {
  SqliteStatement* s = Statement(false, newer, error);
  if (!s) return false;
  s->BindInt(kGapParameter, gap_);
  s->BindInt(kCountParameter, steps - 1);
  int rc = s->Step();
  *found = rc == SQLITE_ROW;
  if (*found) *id = s->ColumnInt(0);
  s->Reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return *error = db_.LastError(), false;
  return true;
}

HResult StoreReader::SetPosition(Origin origin, int64_t offset, std::string* error) {
  // A new position is a fresh start: the store may have grown or shrunk
  // around a range since the walk was chosen.
  if (!Choose(error)) return E_FAIL;
  int64_t from = gap_;
  bool newer;
  switch (origin) {
    case Origin::Start:
      from = kStart;
      newer = true;
      break;
    case Origin::End:
      from = kEnd;
      newer = false;
      break;
    case Origin::Current:
    default:
      newer = (direction_ == Direction::Forward) == (offset > 0);
      offset = offset < 0 ? -offset : offset;
      break;
  }
  HResult result = S_OK;
  int64_t target = from;
  if (offset < 0) {
    // Start - n and End - n lie outside the messages.
    result = S_FALSE;
  } else if (offset > 0) {
    int64_t saved = gap_;
    gap_ = from;
    bool found;
    int64_t id = 0;
    bool ok = Step(newer, offset, &found, &id, error);
    gap_ = saved;
    if (!ok) return E_FAIL;
    if (found) target = newer ? id : id - 1;
    else target = newer ? kEnd : kStart, result = S_FALSE;
  }
  gap_ = target;
  handedOut_ = 0;
  return result;
}

bool StoreReader::Read(size_t maxItems, size_t maxBytes, std::vector<Item>* items, bool* end, std::string* error) {
  items->clear();
  *end = false;
  size_t limit = maxItems;
  if (filter_.maxCount) {
    uint64_t left = *filter_.maxCount > handedOut_ ? *filter_.maxCount - handedOut_ : 0;
    limit = size_t(std::min<uint64_t>(limit, left));
  }
  if (limit == 0) {
    *end = filter_.maxCount.has_value() && handedOut_ >= *filter_.maxCount;
    return true;
  }
  bool forward = direction_ == Direction::Forward;
  SqliteStatement* s = Statement(true, forward, error);
  if (!s) return false;
  s->BindInt(kGapParameter, gap_);
  // One row more than wanted says whether anything follows.
  s->BindInt(kCountParameter, int64_t(limit) + 1);
  size_t bytes = 0;
  bool more = false;
  int rc;
  while ((rc = s->Step()) == SQLITE_ROW) {
    if (items->size() == limit) {
      more = true;
      break;
    }
    size_t size = size_t(sqlite3_column_bytes(s->get(), 1));
    if (!items->empty() && bytes + kItemFraming + size > maxBytes) {
      more = true;
      break;
    }
    bytes += kItemFraming + size;
    items->push_back(Item{s->ColumnInt(0), s->ColumnBlob(1)});
  }
  s->Reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    items->clear();
    return *error = db_.LastError(), false;
  }
  if (!items->empty()) gap_ = forward ? items->back().id : items->back().id - 1;
  handedOut_ += items->size();
  *end = !more || (filter_.maxCount && handedOut_ >= *filter_.maxCount);
  return true;
}

bool StoreReader::PagePlan(std::string* plan, std::string* error) {
  std::string sql = "EXPLAIN QUERY PLAN " + Sql(true, direction_ == Direction::Forward);
  SqliteStatement s;
  if (!s.Prepare(db_, sql.c_str(), error)) return false;
  plan->clear();
  while (s.Step() == SQLITE_ROW) *plan += s.ColumnText(3) + "\n";
  return true;
}

}  // namespace hv::host
