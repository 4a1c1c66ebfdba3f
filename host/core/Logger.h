// The host's log: one line per event, plain words, to stderr and, when the
// configuration names one, to a log file as well. Lines from many threads
// never interleave.
#pragma once
#include <cstdio>
#include <mutex>
#include <string>

namespace hv::host {

class Logger {
 public:
  Logger() = default;
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends to `path` from now on; the file is created when missing.
  bool OpenFile(const std::string& path, std::string* error);
  // Tests of classes that log keep their output quiet with this.
  void SetStderr(bool on);

  void Line(const std::string& text);

 private:
  std::mutex mutex_;
  FILE* file_ = nullptr;
  bool stderr_ = true;
};

}  // namespace hv::host
