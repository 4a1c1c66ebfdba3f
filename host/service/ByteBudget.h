// Bytes the connections hold together (partial frames, unsent answers),
// counted against one cap. A connection takes before it holds and gives back
// what it lets go.
#pragma once
#include <atomic>
#include <cstddef>

namespace hv::host {

class ByteBudget {
 public:
  explicit ByteBudget(size_t cap) : cap_(cap) {}

  // False, taking nothing, when `n` more bytes would go beyond the cap.
  bool Take(size_t n) {
    size_t now = used_.fetch_add(n) + n;
    if (now <= cap_) return true;
    used_.fetch_sub(n);
    return false;
  }
  void Give(size_t n) { used_.fetch_sub(n); }
  size_t used() const { return used_.load(); }
  size_t cap() const { return cap_; }

 private:
  const size_t cap_;
  std::atomic<size_t> used_{0};
};

}  // namespace hv::host
