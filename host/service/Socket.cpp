#include "service/Socket.h"

#include <unistd.h>

namespace hv::host {

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace hv::host
