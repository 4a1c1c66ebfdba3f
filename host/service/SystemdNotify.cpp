#include "service/SystemdNotify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>

namespace hv::host {

void SystemdNotify::Ready(const std::string& status) {
  sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void SystemdNotify::Reloading() { sd_notify(0, "RELOADING=1"); }

void SystemdNotify::Stopping() { sd_notify(0, "STOPPING=1"); }

bool SystemdNotify::StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st;
  unsigned long long dev, ino;
  if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || ::fstat(2, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino;
}

}  // namespace hv::host
