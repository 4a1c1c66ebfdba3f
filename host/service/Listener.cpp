#include "service/Listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace hv::host {

bool Listener::Listen(const TransportAddress& address, std::string* error) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return *error = std::string("socket: ") + std::strerror(errno), false;
  int one = 1;
  ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(address.port());
  ::inet_pton(AF_INET, address.ipv4().c_str(), &sa.sin_addr);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    return *error = "cannot listen on " + address.ToString() + ": " + std::strerror(errno), false;
  if (::listen(s.fd(), 128) != 0)
    return *error = "cannot listen on " + address.ToString() + ": " + std::strerror(errno), false;
  socklen_t len = sizeof sa;
  ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&sa), &len);
  bound_ = TransportAddress(address.ipv4(), ntohs(sa.sin_port));
  socket_ = std::move(s);
  return true;
}

Socket Listener::Accept(std::string* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  Socket s(::accept4(socket_.fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC));
  if (!s.valid()) return s;
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
  *peer = std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
  int one = 1;
  // Answers are small and someone waits for each: no Nagle delay.
  ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

}  // namespace hv::host
