// Owns one SQLite connection; closing happens in the destructor on every path.
#pragma once
#include <string>

struct sqlite3;

namespace hv::host {

class SqliteDatabase {
 public:
  SqliteDatabase() = default;
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;
  SqliteDatabase(SqliteDatabase&& other) noexcept;
  SqliteDatabase& operator=(SqliteDatabase&& other) noexcept;

  // Opens read-write, creating the file when missing.
  bool Open(const std::string& path, std::string* error);
  // Opens an existing database for reading only, next to the host's writer.
  // The connection may be used from several threads (SQLite serialises the
  // calls), so one thread may finalise a statement while another steps one.
  bool OpenForReading(const std::string& path, std::string* error);
  bool Exec(const char* sql, std::string* error);
  // The error text of the last failed call on this connection.
  std::string LastError() const;
  int LastErrorCode() const;

  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace hv::host
