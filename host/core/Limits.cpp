#include "core/Limits.h"

#include <algorithm>

namespace hv::host {
namespace {

bool Number(const std::string& value, unsigned long low, unsigned long high, unsigned long* out) {
  if (value.empty() || value.size() > 9 || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *out = std::stoul(value);
  return *out >= low && *out <= high;
}

}  // namespace

bool Limits::Apply(const std::string& key, const std::string& value, bool* known, std::string* error) {
  struct Key {
    const char* name;
    unsigned long low, high, scale;
    int* asInt;
    size_t* asSize;
  };
  const Key keys[] = {
      {"hello_timeout_s", 1, 3600, 1000, &helloTimeoutMs, nullptr},
      {"frame_timeout_s", 1, 3600, 1000, &frameTimeoutMs, nullptr},
      {"idle_timeout_s", 0, 604800, 1000, &idleTimeoutMs, nullptr},
      {"max_connections_per_peer", 1, 99999, 1, nullptr, &maxPerPeer},
      {"reader_reserve", 0, 99999, 1, nullptr, &readerReserve},
      {"max_waiting", 1, 99999, 1, nullptr, &maxWaiting},
      {"max_send_backlog_mib", 5, 4096, size_t(1) << 20, nullptr, &maxSendBacklog},
      {"max_buffered_mib", 8, 65536, size_t(1) << 20, nullptr, &maxBufferedBytes},
      {"max_readers", 1, 99999, 1, nullptr, &maxReaders},
      {"max_subscriptions", 1, 99999, 1, nullptr, &maxSubscriptions},
  };
  for (const Key& k : keys) {
    if (key != k.name) continue;
    *known = true;
    unsigned long n;
    if (!Number(value, k.low, k.high, &n)) {
      *error = key + " must be a number from " + std::to_string(k.low) + " to " + std::to_string(k.high);
      return false;
    }
    if (k.asInt) *k.asInt = int(n * k.scale);
    else *k.asSize = size_t(n) * k.scale;
    return true;
  }
  *known = false;
  return true;
}

}  // namespace hv::host
