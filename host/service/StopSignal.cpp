#include "service/StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace hv::host {

StopSignal::StopSignal() {
  if (::pipe(fds_) != 0) throw std::runtime_error("cannot create a pipe");
  ::fcntl(fds_[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds_[1], F_SETFD, FD_CLOEXEC);
}

StopSignal::~StopSignal() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void StopSignal::Raise() {
  if (raised_.exchange(true)) return;
  char byte = 1;
  while (::write(fds_[1], &byte, 1) < 0) {
  }
}

}  // namespace hv::host
