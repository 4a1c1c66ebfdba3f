// Tells every thread that waits in poll() that the host is stopping: a pipe
// whose read end becomes readable once and stays readable.
#pragma once
#include <atomic>

namespace hv::host {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Raise();
  bool raised() const { return raised_.load(); }
  // Poll this for POLLIN.
  int fd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
  std::atomic<bool> raised_{false};
};

}  // namespace hv::host
