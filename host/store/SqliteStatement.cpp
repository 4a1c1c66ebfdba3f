#include "store/SqliteStatement.h"

#include <sqlite3.h>

#include <utility>

#include "store/SqliteDatabase.h"

namespace hv::host {

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

bool SqliteStatement::Prepare(SqliteDatabase& db, const char* sql, std::string* error) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql, -1, &stmt, nullptr) != SQLITE_OK) {
    *error = db.LastError();
    return false;
  }
  sqlite3_finalize(stmt_);
  stmt_ = stmt;
  return true;
}

void SqliteStatement::BindInt(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
void SqliteStatement::BindDouble(int index, double value) { sqlite3_bind_double(stmt_, index, value); }
void SqliteStatement::BindText(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_STATIC);
}
void SqliteStatement::BindBlob(int index, const void* data, size_t size) {
  // A zero-length blob is still a blob, not NULL.
  if (size == 0) sqlite3_bind_zeroblob(stmt_, index, 0);
  else sqlite3_bind_blob(stmt_, index, data, int(size), SQLITE_STATIC);
}
void SqliteStatement::BindNull(int index) { sqlite3_bind_null(stmt_, index); }

int SqliteStatement::Step() { return sqlite3_step(stmt_); }

void SqliteStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t SqliteStatement::ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string SqliteStatement::ColumnText(int column) const {
  const unsigned char* t = sqlite3_column_text(stmt_, column);
  return t ? std::string(reinterpret_cast<const char*>(t), size_t(sqlite3_column_bytes(stmt_, column))) : std::string();
}

}  // namespace hv::host

namespace hv::host {

std::vector<uint8_t> SqliteStatement::ColumnBlob(int column) const {
  const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
  return p ? std::vector<uint8_t>(p, p + sqlite3_column_bytes(stmt_, column)) : std::vector<uint8_t>();
}

}  // namespace hv::host
