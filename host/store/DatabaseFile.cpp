#include "store/DatabaseFile.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hv::host {

bool PrepareDatabaseFile(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) {
    *error = "cannot open database " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && st.st_size == 0) {
    // New (or never written): give it the service's group while it is empty.
    if (const group* g = ::getgrnam(kServiceGroup)) (void)::fchown(fd, uid_t(-1), g->gr_gid);
  }
  if (ok && (st.st_size == 0 || (st.st_mode & 0007))) ok = ::fchmod(fd, 0640) == 0;
  if (!ok) *error = "cannot set the mode of database " + path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
}

}  // namespace hv::host
