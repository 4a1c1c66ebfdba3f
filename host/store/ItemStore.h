// The host's database: the store adaptor's messages and the adaptors'
// enable flags. One writer thread uses it; readers open their own
// connections, which WAL lets them do while the writer commits.
//
// Durability: WAL with synchronous=FULL, so a committed transaction survives
// a crash of the host and of the machine. A "2" item is answered only after
// the transaction holding it has committed.
#pragma once
#include <array>
#include <map>
#include <memory>
#include <string>

#include "core/Guid.h"
#include "core/HResult.h"
#include "store/SqliteDatabase.h"
#include "store/SqliteStatement.h"
#include "store/StoreRow.h"

namespace hv::host {

class ItemStore {
 public:
  // The schema this host writes; a database of a later schema is not opened.
  static constexpr int kSchemaVersion = 1;

  static std::unique_ptr<ItemStore> Open(const std::string& path, std::string* error);

  bool Begin(std::string* error);
  bool Commit(std::string* error);
  void Rollback();
  // The checkpoint policy: after a commit that left the write-ahead log
  // beyond kWalLimitBytes, and after every failed transaction (on a full
  // disk the log is the one file that can give room back), the log is
  // copied into the database and emptied. False when that failed too.
  bool CheckpointIfNeeded(bool failed);
  bool Insert(const StoreRow& row, std::string* error);
  bool SaveFlags(const Guid& clsid, const std::array<uint8_t, 4>& flags, std::string* error);
  bool LoadFlags(std::map<Guid, std::array<uint8_t, 4>>* flags, std::string* error);

  // The result code that stands for the last failure (a full disk, no
  // memory, anything else).
  HResult LastFailure() const;

  SqliteDatabase& database() { return db_; }

 private:
  ItemStore() = default;

  SqliteDatabase db_;
  std::string path_;
  SqliteStatement begin_;
  SqliteStatement commit_;
  SqliteStatement insert_;
  SqliteStatement saveFlags_;
};

}  // namespace hv::host
