#include "core/LogDigest.h"

namespace hv::host {

void LogDigest::Summarize(const std::string& kind, Kind& k) {
  if (k.more)
    log_.Line(kind + ": " + std::to_string(k.more) + " more in the last " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(interval_).count()) + " s",
              k.priority);
}

void LogDigest::Line(const std::string& kind, const std::string& text, int priority) {
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = kinds_.find(kind);
  if (it != kinds_.end() && now - it->second.start < interval_) {
    ++it->second.more;
    return;
  }
  if (it != kinds_.end()) Summarize(kind, it->second);
  kinds_[kind] = Kind{now, 0, priority};
  log_.Line(text, priority);
}

void LogDigest::Flush(bool all) {
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = kinds_.begin(); it != kinds_.end();) {
    if (all || now - it->second.start >= interval_) {
      Summarize(it->first, it->second);
      it = kinds_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace hv::host
