// Critical section with a scope guard: auto lock = cs.lock();
// Windows critical sections are re-entrant for the owning thread.
#pragma once
#include <windows.h>

namespace hv {

class CriticalSection {
 public:
  class Guard {
   public:
    explicit Guard(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    Guard(Guard&& other) noexcept : cs_(other.cs_) { other.cs_ = nullptr; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { unlock(); }
    void unlock() {
      if (cs_) LeaveCriticalSection(cs_);
      cs_ = nullptr;
    }

   private:
    CRITICAL_SECTION* cs_;
  };

  CriticalSection() { InitializeCriticalSection(&cs_); }
  ~CriticalSection() { DeleteCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  [[nodiscard]] Guard lock() { return Guard(&cs_); }
  // For the rare lock held across two calls (an item's remote view).
  void enter() { EnterCriticalSection(&cs_); }
  void leave() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

}  // namespace hv
