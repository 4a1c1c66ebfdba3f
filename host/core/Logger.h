// The host's log: one line per event, plain words, to stderr and, when the
// configuration names one, to a log file as well. Lines from many threads
// never interleave. Control characters (line breaks among them) are written
// as \xNN, so text a client sent can never start a line of its own. Under
// systemd the stderr lines start with a syslog priority for the journal:
// "<3>" the host failed at its own work (a commit, accepting, a forwarder's
// connection), "<4>" a client or peer was refused or dropped, "<6>" the rest.
#pragma once
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace hv::host {

class LogDigest;

class Logger {
 public:
  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends to `path` from now on; the file is created when missing.
  bool OpenFile(const std::string& path, std::string* error);
  // Opens the log file again under its name (after a rotation moved it);
  // on failure the old file stays in use.
  bool ReopenFile(std::string* error);
  // Tests of classes that log keep their output quiet with this.
  void SetStderr(bool on);
  void SetPriorityPrefixes(bool on);

  static constexpr int kError = 3;
  static constexpr int kWarning = 4;
  static constexpr int kInfo = 6;
  void Line(const std::string& text, int priority = kInfo);
  // A line of a kind that can come in floods (see LogDigest): the first of
  // each kind in a minute is written, the rest counted.
  // The count that sums a kind up has the kind's priority.
  void Repeated(const std::string& kind, const std::string& text, int priority);
  // Writes the counts of the minutes that are over; called now and then.
  void FlushRepeated();

  // `text` with control characters as \xNN and backslashes doubled.
  static std::string Escape(const std::string& text);

 private:
  std::mutex mutex_;
  FILE* file_ = nullptr;
  std::string path_;
  bool stderr_ = true;
  std::unique_ptr<LogDigest> digest_;
  bool priorities_ = false;
};

}  // namespace hv::host
