#include "store/SqliteDatabase.h"

#include <sqlite3.h>

#include <utility>

namespace hv::host {

SqliteDatabase::~SqliteDatabase() {
  if (db_) sqlite3_close_v2(db_);
}

SqliteDatabase::SqliteDatabase(SqliteDatabase&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

SqliteDatabase& SqliteDatabase::operator=(SqliteDatabase&& other) noexcept {
  if (this != &other) {
    if (db_) sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

bool SqliteDatabase::Open(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *error = "cannot open database " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (db) sqlite3_close_v2(db);
    return false;
  }
  if (db_) sqlite3_close_v2(db_);
  db_ = db;
  sqlite3_extended_result_codes(db_, 1);
  return true;
}

bool SqliteDatabase::OpenForReading(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *error = "cannot open database " + path + " for reading: " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (db) sqlite3_close_v2(db);
    return false;
  }
  if (db_) sqlite3_close_v2(db_);
  db_ = db;
  sqlite3_extended_result_codes(db_, 1);
  // A reader waits out the moments the writer holds the file locked (a
  // checkpoint, the first open) instead of failing.
  sqlite3_busy_timeout(db_, 5000);
  return true;
}

bool SqliteDatabase::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    *error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return false;
  }
  return true;
}

std::string SqliteDatabase::LastError() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

int SqliteDatabase::LastErrorCode() const { return db_ ? sqlite3_extended_errcode(db_) : SQLITE_MISUSE; }

}  // namespace hv::host
