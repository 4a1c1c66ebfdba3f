// What the host tells systemd when it runs as a Type=notify service: that it
// accepts connections, that it reloads its log, that it stops. Outside
// systemd (no NOTIFY_SOCKET) every call does nothing.
#pragma once
#include <string>

namespace hv::host {

class SystemdNotify {
 public:
  // After the listener accepts: clients may connect from now on.
  static void Ready(const std::string& status);
  static void Reloading();
  static void Stopping();
  // True when stderr is the journal's stream (JOURNAL_STREAM names its
  // device and inode): log lines then carry "<N>" priority prefixes.
  static bool StderrIsJournal();
};

}  // namespace hv::host
