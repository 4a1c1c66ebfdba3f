// The real Mux service (the native tarnhost) run from a test under Wine: a
// Windows process can start a Unix program, but cannot wait for it, so the
// host's Unix process id is kept in a file and signals go through kill(1).
#pragma once
#include <windows.h>

#include <string>

namespace hv::test {

class HostProcess {
 public:
  // Work files go to a fresh folder under TMPDIR named after the test.
  explicit HostProcess(const std::string& name);
  ~HostProcess();

  // Whether the tarnhost program exists (HV_TARNHOST); tests skip without it.
  static bool Available();
  // Starts the host on a free loopback port and waits until it accepts
  // connections. The library is pointed at it through "InterprocessTransport".
  bool Start();
  // Sends the signal (15 SIGTERM, 9 SIGKILL) and waits until the process is gone.
  bool Stop(int signal = 15);
  bool Running() const;

  unsigned short port() const { return port_; }
  const std::string& database() const { return database_; }  // a Unix path
  // The rows of a statement run by sqlite3 on the database: "|" between columns, a row a line.
  std::string Query(const std::string& sql) const;
  // Query until the rows are as expected (items may arrive later) or for about five seconds.
  std::string QueryUntil(const std::string& sql, const std::string& expected) const;
  std::string Log() const;  // the host's log so far

 private:
  std::string folder_;  // Unix path
  std::string database_;
  unsigned short port_ = 0;
  long pid_ = 0;
};

// Runs a Unix command line through /bin/sh and waits until it has finished;
// true when it exited with status 0 in time.
bool RunUnixCommand(const std::string& command, DWORD timeoutMs = 20000);
// A Unix path as Wine shows it (Z:\...).
std::wstring WindowsPathOf(const std::string& unixPath);
std::string ReadTextFile(const std::string& unixPath);

}  // namespace hv::test
