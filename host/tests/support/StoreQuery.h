// Reads the host's database back the way any other program would: its own
// SQLite connection, read-only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace hvtest {

class StoreQuery {
 public:
  explicit StoreQuery(const std::string& path);
  ~StoreQuery();
  StoreQuery(const StoreQuery&) = delete;
  StoreQuery& operator=(const StoreQuery&) = delete;

  bool ok() const { return db_ != nullptr; }
  // The first column of the first row as a number; -1 when there is none.
  int64_t Int(const std::string& sql);
  // The first column of every row as text.
  std::vector<std::string> Texts(const std::string& sql);
  std::vector<uint8_t> Blob(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace hvtest
