// The database file's place on disk: who may read it, and how large its
// write-ahead log may stay.
#pragma once
#include <cstdint>
#include <string>

namespace hv::host {

// The group that may read the messages besides the service's own account.
constexpr const char* kServiceGroup = "halvern";

// Creates the database file 0640 whatever the umask, in the service's group
// when it exists and the host may give it; a file that exists and lets
// every account read it is made 0640 too. SQLite gives its -wal and -shm
// files the database file's mode. False with `error` when it cannot.
bool PrepareDatabaseFile(const std::string& path, std::string* error);

// Bytes of the write-ahead log beyond which the writer empties it into the
// database after a commit, and to which SQLite cuts the file back.
constexpr int64_t kWalLimitBytes = int64_t(4) << 20;

int64_t FileSize(const std::string& path);

}  // namespace hv::host
