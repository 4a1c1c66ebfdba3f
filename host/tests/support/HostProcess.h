// The real tarnhost program, started for a test with its stderr in a file.
// Every wait is bounded; a process still running when the object goes is
// killed.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace hvtest {

class HostProcess {
 public:
  // Starts tarnhost (or `program`) with `args`; its log goes to `logPath`.
  HostProcess(const std::vector<std::string>& args, const std::string& logPath, std::string program = TARNHOST_PATH);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Waits for the "listening on" line and returns the port, or 0.
  int WaitListening(int timeoutMs);
  void Signal(int signal);
  // The exit code, 128 + signal for a signal, or -1 when the time ran out
  // (the process is then killed).
  int WaitExit(int timeoutMs);
  std::string Log() const;
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

// Starts a host on 127.0.0.1 with a free port and the given database (and
// configuration file when not empty); fails the test when it does not come up.
struct RunningHost {
  RunningHost(const std::string& dir, const std::string& db, const std::string& config = "",
              const std::string& logName = "host.log");
  HostProcess process;
  int port = 0;

  static std::vector<std::string> Args(const std::string& db, const std::string& config);
};

}  // namespace hvtest
