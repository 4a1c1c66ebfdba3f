#include "rights/PeerAccount.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace hv::host {
namespace {

// The table's form of an IPv4 address and port: the address's four bytes
// as the machine holds them, in hex, then the port in hex.
std::string TableAddress(const sockaddr_in& a) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X:%04X", unsigned(a.sin_addr.s_addr), unsigned(ntohs(a.sin_port)));
  return text;
}

}  // namespace

bool FindSocketOwner(const std::string& table, const std::string& local, const std::string& remote, uid_t* uid) {
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, l, r, state, queues, timer, retransmits;
    unsigned long owner;
    if (!(fields >> slot >> l >> r >> state >> queues >> timer >> retransmits >> owner)) continue;
    // A socket in TIME_WAIT (06) has no owner any more; the table says 0.
    if (l == local && r == remote && state != "06") {
      *uid = uid_t(owner);
      return true;
    }
  }
  return false;
}

bool PeerAccount(int fd, uid_t* uid) {
  sockaddr_in self{}, peer{};
  socklen_t n = sizeof self;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &n) != 0 || self.sin_family != AF_INET) return false;
  n = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &n) != 0) return false;
  if ((ntohl(peer.sin_addr.s_addr) >> 24) != 127) return false;
  std::ifstream in("/proc/net/tcp");
  std::stringstream table;
  table << in.rdbuf();
  return FindSocketOwner(table.str(), TableAddress(peer), TableAddress(self), uid);
}

}  // namespace hv::host
