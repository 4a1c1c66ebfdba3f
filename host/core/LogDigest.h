// Log lines that a client can make come in floods (refused connections,
// items that could not be stored): the first line of each kind in an
// interval is written whole, the others of that interval are only counted,
// and one line sums them up when the interval is over.
#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "core/Logger.h"

namespace hv::host {

class LogDigest {
 public:
  explicit LogDigest(Logger& log, std::chrono::milliseconds interval = std::chrono::seconds(60))
      : log_(log), interval_(interval) {}
  ~LogDigest() { Flush(true); }

  // `kind` names the event without its details ("an item was not stored").
  void Line(const std::string& kind, const std::string& text, int priority);
  // Sums up the intervals that are over; with `all`, every open one.
  void Flush(bool all = false);

 private:
  struct Kind {
    std::chrono::steady_clock::time_point start;
    size_t more = 0;
    int priority = Logger::kInfo;
  };
  void Summarize(const std::string& kind, Kind& k);

  Logger& log_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::map<std::string, Kind> kinds_;
};

}  // namespace hv::host
