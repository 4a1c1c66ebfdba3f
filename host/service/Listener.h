// The listening socket on the transport address.
#pragma once
#include <string>

#include "core/TransportAddress.h"
#include "service/Socket.h"

namespace hv::host {

class Listener {
 public:
  bool Listen(const TransportAddress& address, std::string* error);
  // The address actually bound: with port 0 the port the system chose.
  const TransportAddress& bound() const { return bound_; }
  int fd() const { return socket_.fd(); }
  // A connection waiting to be accepted, or an invalid socket.
  Socket Accept(std::string* peer);
  void Close() { socket_.Close(); }

 private:
  Socket socket_;
  TransportAddress bound_;
};

}  // namespace hv::host
