// Owns one prepared statement; finalised in the destructor on every path.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3_stmt;

namespace hv::host {

class SqliteDatabase;

class SqliteStatement {
 public:
  SqliteStatement() = default;
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;

  bool Prepare(SqliteDatabase& db, const char* sql, std::string* error);

  // Parameters count from 1, as in the SQL text. Text and blobs are not
  // copied: they must stay alive until the statement is stepped and reset.
  void BindInt(int index, int64_t value);
  void BindDouble(int index, double value);
  void BindText(int index, std::string_view text);
  void BindBlob(int index, const void* data, size_t size);
  void BindNull(int index);

  // The SQLite result code of one step: SQLITE_ROW, SQLITE_DONE or an error.
  int Step();
  // Ready for the next bind and step; the bindings are cleared.
  void Reset();

  int64_t ColumnInt(int column) const;
  std::string ColumnText(int column) const;
  std::vector<uint8_t> ColumnBlob(int column) const;

  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace hv::host
