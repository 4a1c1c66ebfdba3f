// A filter as SQL over the messages table: the conditions, the values bound
// to them, and the way the rows are walked.
//
// Readers page by id (keyset: "id > ? ORDER BY id LIMIT n"), so a page costs
// the same at the millionth row as at the first. That only holds while SQLite
// can hand out rows in id order without sorting them, which leaves three ways
// to walk:
//   - an exact location, provider or user: its index holds (value, id), so an
//     equality walks it in id order;
//   - a time range or a prefix that few rows fall into: walked through its
//     index, and the few rows are sorted by id for each page;
//   - everything else: the table itself in id order, testing each row.
// Conditions that must not steer SQLite away from that choice are written as
// "+column", which SQLite does not look up in an index.
#pragma once
#include <cstdint>
#include <string>

#include "store/Filter.h"

namespace hv::host {

class SqliteDatabase;
class SqliteStatement;

class FilterQuery {
 public:
  enum class Walk { ById, Equality, TimeIndex, LocationIndex, ProviderIndex, UserIndex };

  // A range holding fewer rows than this is walked through its index.
  static constexpr int64_t kSmallRange = 4096;
  // Keyset parameters come after the filter's own (?1 to ?12).
  static constexpr int kFirstFreeParameter = 13;

  FilterQuery() = default;

  // For a reader: looks at the store to choose the walk.
  static bool ForReading(const Filter& filter, SqliteDatabase& db, FilterQuery* query, std::string* error);
  // For a subscription: its queries only ever look at rows after the last
  // one it sent, which the table walk by id finds at once.
  static FilterQuery ForFollowing(const Filter& filter);

  Walk walk() const { return walk_; }
  // "messages", or "messages INDEXED BY ..." for an index walk.
  std::string Source() const;
  // The conditions joined by AND; "1" when there are none.
  std::string Conditions() const;
  // Binds ?1 to ?12 as Conditions() uses them. The bound texts belong to
  // this object: bind again after moving it.
  void Bind(SqliteStatement& statement) const;

 private:
  FilterQuery(const Filter& filter, Walk walk);
  std::string Term(const char* column, const char* op, int parameter, bool indexed) const;

  Filter filter_;
  Walk walk_ = Walk::ById;
  double fromBound_ = 0.0;
  double beforeBound_ = 0.0;
  std::string locationEnd_, providerEnd_, userEnd_;  // just past every text with the prefix
  std::string textPattern_;
};

}  // namespace hv::host
