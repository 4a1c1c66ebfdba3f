#include "store/ItemStore.h"

#include <sqlite3.h>

#include <cmath>

#include "store/DatabaseFile.h"

namespace hv::host {
namespace {

// Indexes serve the filters that can walk them in id order or narrow a
// range: time, location, provider and user name. Severity, audience and
// verbosity are tested as bits and a ceiling on rows walked by id, where an
// index would only slow every insert; databases made before are rid of
// theirs. The item stream and the message text are only ever read back.
const char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS messages (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time REAL,
  time_text TEXT,
  severity INTEGER NOT NULL,
  audience INTEGER NOT NULL,
  verbosity INTEGER NOT NULL,
  location TEXT NOT NULL,
  provider TEXT NOT NULL,
  user_name TEXT NOT NULL,
  message_id INTEGER NOT NULL,
  message_text TEXT NOT NULL,
  item BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS messages_time ON messages(time);
DROP INDEX IF EXISTS messages_severity;
DROP INDEX IF EXISTS messages_audience;
DROP INDEX IF EXISTS messages_verbosity;
CREATE INDEX IF NOT EXISTS messages_location ON messages(location);
CREATE INDEX IF NOT EXISTS messages_provider ON messages(provider);
CREATE INDEX IF NOT EXISTS messages_user_name ON messages(user_name);
CREATE TABLE IF NOT EXISTS adaptor_flags (
  clsid TEXT PRIMARY KEY,
  veltra INTEGER NOT NULL,
  dev INTEGER NOT NULL,
  eng INTEGER NOT NULL,
  op INTEGER NOT NULL
) WITHOUT ROWID;
)sql";

}  // namespace

std::unique_ptr<ItemStore> ItemStore::Open(const std::string& path, std::string* error) {
  std::unique_ptr<ItemStore> store(new ItemStore());
  SqliteDatabase& db = store->db_;
  if (!PrepareDatabaseFile(path, error) || !db.Open(path, error)) return nullptr;
  store->path_ = path;
  auto fail = [&](const std::string& what) {
    *error = "database " + path + ": " + what;
    return nullptr;
  };
  std::string why;
  sqlite3_busy_timeout(db.get(), 5000);

  SqliteStatement query;
  if (!query.Prepare(db, "PRAGMA user_version", &why)) return fail(why);
  if (query.Step() != SQLITE_ROW) return fail(db.LastError());
  int64_t version = query.ColumnInt(0);
  query = SqliteStatement();
  if (version > kSchemaVersion)
    return fail("schema version " + std::to_string(version) + " was written by a later host");

  if (!query.Prepare(db, "PRAGMA journal_mode=WAL", &why)) return fail(why);
  if (query.Step() != SQLITE_ROW || query.ColumnText(0) != "wal") return fail("cannot switch to WAL journaling");
  query = SqliteStatement();
  if (!db.Exec("PRAGMA synchronous=FULL", &why)) return fail(why);
  // Each time the log is emptied, its file is cut back to this.
  std::string limit = "PRAGMA journal_size_limit=" + std::to_string(kWalLimitBytes);
  if (!db.Exec(limit.c_str(), &why)) return fail(why);
  // The writer's checkpoint policy (CheckpointIfNeeded) is the only one: with
  // SQLite's own one at 1000 pages as well, which of the two emptied the log
  // depended on where a batch crossed a few kilobytes between them.
  sqlite3_wal_autocheckpoint(db.get(), 0);
  if (!db.Exec("BEGIN IMMEDIATE", &why)) return fail(why);
  if (!db.Exec(kSchema, &why) || !db.Exec("PRAGMA user_version=1", &why)) {
    std::string ignored;
    db.Exec("ROLLBACK", &ignored);
    return fail(why);
  }
  if (!db.Exec("COMMIT", &why)) return fail(why);

  if (!store->begin_.Prepare(db, "BEGIN IMMEDIATE", &why) || !store->commit_.Prepare(db, "COMMIT", &why) ||
      !store->insert_.Prepare(db,
                              "INSERT INTO messages (time, time_text, severity, audience, verbosity, location, "
                              "provider, user_name, message_id, message_text, item) "
                              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
                              &why) ||
      !store->saveFlags_.Prepare(db,
                                 "INSERT OR REPLACE INTO adaptor_flags (clsid, veltra, dev, eng, op) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5)",
                                 &why))
    return fail(why);
  return store;
}

bool ItemStore::Begin(std::string* error) {
  int rc = begin_.Step();
  begin_.Reset();
  if (rc != SQLITE_DONE) return *error = db_.LastError(), false;
  return true;
}

bool ItemStore::Commit(std::string* error) {
  int rc = commit_.Step();
  commit_.Reset();
  if (rc != SQLITE_DONE) return *error = db_.LastError(), false;
  return true;
}

bool ItemStore::CheckpointIfNeeded(bool failed) {
  if (!failed && FileSize(path_ + "-wal") <= kWalLimitBytes) return true;
  // TRUNCATE leaves an empty log file; with readers in the middle of older
  // snapshots it does what it can and the next commit tries again.
  return sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) == SQLITE_OK;
}

void ItemStore::Rollback() {
  if (!sqlite3_get_autocommit(db_.get())) {
    std::string ignored;
    db_.Exec("ROLLBACK", &ignored);
  }
}

bool ItemStore::Insert(const StoreRow& row, std::string* error) {
  // SQLite keeps no NaN; a date that is not a number is stored as NULL.
  if (std::isfinite(row.time)) insert_.BindDouble(1, row.time);
  else insert_.BindNull(1);
  if (row.timeText) insert_.BindText(2, *row.timeText);
  else insert_.BindNull(2);
  insert_.BindInt(3, row.severity);
  insert_.BindInt(4, row.audience);
  insert_.BindInt(5, row.verbosity);
  insert_.BindText(6, row.location);
  insert_.BindText(7, row.provider);
  insert_.BindText(8, row.userName);
  insert_.BindInt(9, row.messageId);
  insert_.BindText(10, row.messageText);
  static const std::vector<uint8_t> kEmpty;
  const std::vector<uint8_t>& stream = row.stream ? *row.stream : kEmpty;
  insert_.BindBlob(11, stream.data(), stream.size());
  int rc = insert_.Step();
  insert_.Reset();
  if (rc != SQLITE_DONE) return *error = db_.LastError(), false;
  return true;
}

bool ItemStore::SaveFlags(const Guid& clsid, const std::array<uint8_t, 4>& flags, std::string* error) {
  std::string key = clsid.ToRegistryString();
  saveFlags_.BindText(1, key);
  for (int i = 0; i < 4; ++i) saveFlags_.BindInt(2 + i, flags[i]);
  int rc = saveFlags_.Step();
  saveFlags_.Reset();
  if (rc != SQLITE_DONE) return *error = db_.LastError(), false;
  return true;
}

bool ItemStore::LoadFlags(std::map<Guid, std::array<uint8_t, 4>>* flags, std::string* error) {
  SqliteStatement q;
  if (!q.Prepare(db_, "SELECT clsid, veltra, dev, eng, op FROM adaptor_flags", error)) return false;
  flags->clear();
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    Guid clsid;
    if (!Guid::Parse(q.ColumnText(0), &clsid)) continue;  // not one of ours; nothing to apply it to
    std::array<uint8_t, 4> f{};
    for (int i = 0; i < 4; ++i) f[i] = uint8_t(q.ColumnInt(1 + i) & 0xFF);
    (*flags)[clsid] = f;
  }
  if (rc != SQLITE_DONE) return *error = db_.LastError(), false;
  return true;
}

HResult ItemStore::LastFailure() const {
  switch (db_.LastErrorCode() & 0xFF) {
    case SQLITE_FULL:
      return E_DISK_FULL;
    case SQLITE_NOMEM:
      return E_OUTOFMEMORY;
    default:
      return E_FAIL;
  }
}

}  // namespace hv::host
