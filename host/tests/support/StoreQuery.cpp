#include "support/StoreQuery.h"

#include <sqlite3.h>

namespace hvtest {

StoreQuery::StoreQuery(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  sqlite3_busy_timeout(db_, 5000);
}

StoreQuery::~StoreQuery() { sqlite3_close(db_); }

int64_t StoreQuery::Int(const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  int64_t v = -1;
  if (db_ && sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    v = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return v;
}

std::vector<std::string> StoreQuery::Texts(const std::string& sql) {
  std::vector<std::string> out;
  sqlite3_stmt* s = nullptr;
  if (db_ && sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK)
    while (sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(s, 0);
      out.push_back(t ? reinterpret_cast<const char*>(t) : "<null>");
    }
  sqlite3_finalize(s);
  return out;
}

std::vector<uint8_t> StoreQuery::Blob(const std::string& sql) {
  std::vector<uint8_t> out;
  sqlite3_stmt* s = nullptr;
  if (db_ && sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, 0));
    out.assign(p, p + sqlite3_column_bytes(s, 0));
  }
  sqlite3_finalize(s);
  return out;
}

}  // namespace hvtest
