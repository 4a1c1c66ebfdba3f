#include "store/FilterQuery.h"

#include <sqlite3.h>

#include "store/SqliteDatabase.h"
#include "store/SqliteStatement.h"

namespace hv::host {
namespace {

// Times compare as they read to the millisecond (the way time_text shows
// them): a bound stands for the whole millisecond it names, so half a
// millisecond is taken off before comparing.
constexpr double kHalfMillisecond = 0.5 / 86400000.0;

// The smallest text after every text that starts with `prefix` (byte order,
// which is SQLite's BINARY collation). UTF-8 never holds the byte FF, so the
// last byte can always be raised.
std::string PrefixEnd(const std::string& prefix) {
  std::string end = prefix;
  end.back() = char(static_cast<unsigned char>(end.back()) + 1);
  return end;
}

// The text a <Text> condition looks for, folded as SQLite's lower() folds
// the message text: A to Z only. instr() has no pattern length limit, unlike
// LIKE, so a long text is searched like a short one.
std::string FoldedText(const std::string& text) {
  std::string folded = text;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return folded;
}

bool HasPrefix(const std::optional<TextCondition>& c) { return c && c->prefix && !c->value.empty(); }

}  // namespace

FilterQuery::FilterQuery(const Filter& filter, Walk walk) : filter_(filter), walk_(walk) {
  if (filter_.from) fromBound_ = *filter_.from - kHalfMillisecond;
  if (filter_.before) beforeBound_ = *filter_.before - kHalfMillisecond;
  if (HasPrefix(filter_.location)) locationEnd_ = PrefixEnd(filter_.location->value);
  if (HasPrefix(filter_.provider)) providerEnd_ = PrefixEnd(filter_.provider->value);
  if (HasPrefix(filter_.user)) userEnd_ = PrefixEnd(filter_.user->value);
  if (!filter_.text.empty()) textPattern_ = FoldedText(filter_.text);
}

FilterQuery FilterQuery::ForFollowing(const Filter& filter) {
  bool exact = (filter.location && !filter.location->prefix) || (filter.provider && !filter.provider->prefix) ||
               (filter.user && !filter.user->prefix);
  return FilterQuery(filter, exact ? Walk::Equality : Walk::ById);
}

bool FilterQuery::ForReading(const Filter& filter, SqliteDatabase& db, FilterQuery* query, std::string* error) {
  FilterQuery following = ForFollowing(filter);
  if (following.walk_ == Walk::Equality) {
    *query = std::move(following);
    return true;
  }
  // Each range that has an index is counted, up to kSmallRange rows, using
  // that index alone; the smallest one below the limit drives the reading.
  struct Candidate {
    Walk walk;
    bool present;
  };
  const Candidate candidates[] = {{Walk::TimeIndex, filter.from || filter.before},
                                  {Walk::LocationIndex, HasPrefix(filter.location)},
                                  {Walk::ProviderIndex, HasPrefix(filter.provider)},
                                  {Walk::UserIndex, HasPrefix(filter.user)}};
  Walk best = Walk::ById;
  int64_t bestCount = kSmallRange;
  for (const Candidate& c : candidates) {
    if (!c.present) continue;
    Filter only;
    if (c.walk == Walk::TimeIndex) only.from = filter.from, only.before = filter.before;
    if (c.walk == Walk::LocationIndex) only.location = filter.location;
    if (c.walk == Walk::ProviderIndex) only.provider = filter.provider;
    if (c.walk == Walk::UserIndex) only.user = filter.user;
    FilterQuery probe(only, c.walk);
    std::string sql = "SELECT count(*) FROM (SELECT 1 FROM " + probe.Source() + " WHERE " + probe.Conditions() +
                      " LIMIT " + std::to_string(kSmallRange) + ")";
    SqliteStatement s;
    if (!s.Prepare(db, sql.c_str(), error)) return false;
    probe.Bind(s);
    int rc = s.Step();
    if (rc != SQLITE_ROW) return *error = db.LastError(), false;
    int64_t count = s.ColumnInt(0);
    s.Reset();
    if (count < bestCount) best = c.walk, bestCount = count;
  }
  *query = FilterQuery(filter, best);
  return true;
}

std::string FilterQuery::Source() const {
  switch (walk_) {
    case Walk::TimeIndex: return "messages INDEXED BY messages_time";
    case Walk::LocationIndex: return "messages INDEXED BY messages_location";
    case Walk::ProviderIndex: return "messages INDEXED BY messages_provider";
    case Walk::UserIndex: return "messages INDEXED BY messages_user_name";
    case Walk::ById:
    case Walk::Equality: break;
  }
  return "messages";
}

std::string FilterQuery::Term(const char* column, const char* op, int parameter, bool indexed) const {
  return std::string(indexed ? "" : "+") + column + " " + op + " ?" + std::to_string(parameter);
}

std::string FilterQuery::Conditions() const {
  std::string sql;
  auto add = [&](const std::string& term) { sql += (sql.empty() ? "" : " AND ") + term; };
  if (filter_.severities) add("(severity & ?1) <> 0");
  if (filter_.audiences) add("(audience & ?2) <> 0");
  if (filter_.maxVerbosity) add("+verbosity <= ?3");
  bool byTime = walk_ == Walk::TimeIndex;
  if (filter_.from) add(Term("time", ">=", 4, byTime));
  if (filter_.before) add(Term("time", "<", 5, byTime));
  auto text = [&](const std::optional<TextCondition>& c, const char* column, int parameter, Walk index) {
    if (!c) return;
    if (!c->prefix) return add(Term(column, "=", parameter, true));
    if (c->value.empty()) return;  // every text starts with the empty prefix
    add(Term(column, ">=", parameter, walk_ == index));
    add(Term(column, "<", parameter + 1, walk_ == index));
  };
  text(filter_.location, "location", 6, Walk::LocationIndex);
  text(filter_.provider, "provider", 8, Walk::ProviderIndex);
  text(filter_.user, "user_name", 10, Walk::UserIndex);
  if (!textPattern_.empty()) add("instr(lower(message_text), ?12) > 0");
  return sql.empty() ? "1" : sql;
}

void FilterQuery::Bind(SqliteStatement& s) const {
  if (filter_.severities) s.BindInt(1, *filter_.severities);
  if (filter_.audiences) s.BindInt(2, *filter_.audiences);
  if (filter_.maxVerbosity) s.BindInt(3, *filter_.maxVerbosity);
  if (filter_.from) s.BindDouble(4, fromBound_);
  if (filter_.before) s.BindDouble(5, beforeBound_);
  auto text = [&](const std::optional<TextCondition>& c, const std::string& end, int parameter) {
    if (!c) return;
    s.BindText(parameter, c->value);
    if (!end.empty()) s.BindText(parameter + 1, end);
  };
  text(filter_.location, locationEnd_, 6);
  text(filter_.provider, providerEnd_, 8);
  text(filter_.user, userEnd_, 10);
  if (!textPattern_.empty()) s.BindText(12, textPattern_);
}

}  // namespace hv::host
