// One reader of stored messages: a filter, a reading direction and a
// position, paged through the store without holding anything open between
// pages.
//
// The messages a filter selects stand in arrival order (the store's id). The
// position lies between two of them, kept as the id just before it, so
// messages stored later never move a reader: reading forward from the end
// finds them, reading in reverse is not disturbed. Reading forward hands out
// the messages after the position, oldest first; reading in reverse the ones
// before it, newest first; either way the position moves past what was read.
//
// Positions count selected messages:
//   Start + n   after the n oldest;        End + n   before the n newest;
//   Current + n n further in the reading direction (negative: back).
// A move that runs out of messages stops at that end and says so (S_FALSE).
// The filter's maximum count limits what is handed out after each opening or
// new position.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/HResult.h"
#include "store/Filter.h"
#include "store/FilterQuery.h"
#include "store/SqliteStatement.h"

namespace hv::host {

class SqliteDatabase;

class StoreReader {
 public:
  // The values ITAVDiagnosticReader's positions and directions have.
  enum class Origin : uint32_t { Start = 0, Current = 1, End = 2 };
  enum class Direction : uint32_t { Reverse = 0, Forward = 1 };

  struct Item {
    int64_t id = 0;  // the message's number in the store, in arrival order
    std::vector<uint8_t> stream;
  };

  // Opens at the start for reading forward, at the end for reading in
  // reverse. Null with `error` when the store cannot be asked.
  static std::unique_ptr<StoreReader> Open(SqliteDatabase& db, const Filter& filter, Direction direction,
                                           std::string* error);
  std::unique_ptr<StoreReader> Clone(std::string* error) const;

  // S_OK; S_FALSE when the move ran past an end; E_FAIL with `error` when
  // the store failed (the position is then unchanged).
  HResult SetPosition(Origin origin, int64_t offset, std::string* error);
  void SetDirection(Direction direction) { direction_ = direction; }
  Direction direction() const { return direction_; }

  // Up to `maxItems` messages whose frames fit in `maxBytes` (12 bytes of
  // framing each; one message is handed out whatever its size). `end` is
  // true when nothing further is there in the reading direction now, or the
  // maximum count is reached.
  bool Read(size_t maxItems, size_t maxBytes, std::vector<Item>* items, bool* end, std::string* error);

  FilterQuery::Walk walk() const { return query_.walk(); }
  // SQLite's plan for a page in the current direction, one step a line.
  bool PagePlan(std::string* plan, std::string* error);

  static constexpr size_t kItemFraming = 12;

 private:
  static constexpr int64_t kStart = 0;
  static constexpr int64_t kEnd = INT64_MAX;

  StoreReader(SqliteDatabase& db, const Filter& filter) : db_(db), filter_(filter) {}
  bool Choose(std::string* error);
  std::string Sql(bool page, bool forward) const;
  SqliteStatement* Statement(bool page, bool forward, std::string* error);
  // The id `steps` (1 or more) selected messages away from the position
  // towards newer or older ones; `found` is false when there are not that
  // many. False only when the store failed.
  bool Step(bool newer, int64_t steps, bool* found, int64_t* id, std::string* error);

  SqliteDatabase& db_;
  Filter filter_;
  FilterQuery query_;
  Direction direction_ = Direction::Forward;
  int64_t gap_ = kStart;
  uint64_t handedOut_ = 0;
  // [page?][forward?]
  SqliteStatement statements_[2][2];
};

}  // namespace hv::host
