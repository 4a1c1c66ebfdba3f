// A private rsyslogd for one test: its own configuration in the test's
// folder, a TCP input on a loopback port, every message it receives written
// to two files (the raw message, and the fields it parsed from it), and no
// system logging: no local socket, no kernel log, its own pid file. Every
// wait is bounded; the daemon is killed when the object goes, and also
// when the test program dies.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace hvtest {

class RsyslogProcess {
 public:
  // The rsyslogd program, or empty when it is not installed.
  static std::string Program();
  // A port on 127.0.0.1 that nothing listens on right now.
  static int FreePort();

  // Writes the configuration into `dir`; does not start anything.
  RsyslogProcess(const std::string& dir, int port);
  ~RsyslogProcess();
  RsyslogProcess(const RsyslogProcess&) = delete;
  RsyslogProcess& operator=(const RsyslogProcess&) = delete;

  // Starts the daemon and waits until its port takes connections.
  bool Start(int timeoutMs);
  // SIGTERM, then SIGKILL when it has not ended in time; true for a clean
  // exit.
  bool Stop(int timeoutMs);

  // One entry per received message, in arrival order: the message as it
  // came, framing removed.
  std::vector<std::string> RawMessages() const;
  // One entry per received message: PRI|TIMESTAMP|HOSTNAME|APP-NAME|
  // PROCID|MSGID|STRUCTURED-DATA|MSG as rsyslog parsed them.
  std::vector<std::string> Fields() const;
  // Its configuration and what it printed, for failure messages.
  std::string Diagnostics() const;

 private:
  std::string dir_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace hvtest
