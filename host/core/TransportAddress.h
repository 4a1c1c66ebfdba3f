// A transport address as the clients write it: "ip:" followed by an IPv4
// address, a colon and the port ("ip:127.0.0.1:60093"), or "ip:" and the port
// alone for every interface ("ip:60093").
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace hv::host {

class TransportAddress {
 public:
  TransportAddress() = default;
  TransportAddress(std::string ipv4, uint16_t port) : ipv4_(std::move(ipv4)), port_(port) {}

  // Port 0 is accepted: the system chooses a free port when listening.
  static bool Parse(std::string_view text, TransportAddress* out, std::string* error);
  std::string ToString() const;

  const std::string& ipv4() const { return ipv4_; }
  uint16_t port() const { return port_; }

 private:
  std::string ipv4_ = "0.0.0.0";
  uint16_t port_ = 0;
};

}  // namespace hv::host
