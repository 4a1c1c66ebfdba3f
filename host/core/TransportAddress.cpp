#include "core/TransportAddress.h"

#include <arpa/inet.h>

namespace hv::host {
namespace {

bool ParsePort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > 65535) return false;
  *port = uint16_t(v);
  return true;
}

}  // namespace

bool TransportAddress::Parse(std::string_view text, TransportAddress* out, std::string* error) {
  std::string original(text);
  if (text.substr(0, 3) != "ip:") {
    *error = "transport address \"" + original + "\" does not start with \"ip:\"";
    return false;
  }
  text.remove_prefix(3);
  std::string ipv4 = "0.0.0.0";
  size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    ipv4 = std::string(text.substr(0, colon));
    text.remove_prefix(colon + 1);
    in_addr parsed{};
    if (inet_pton(AF_INET, ipv4.c_str(), &parsed) != 1) {
      *error = "transport address \"" + original + "\" does not name an IPv4 address";
      return false;
    }
  }
  uint16_t port;
  if (!ParsePort(text, &port)) {
    *error = "transport address \"" + original + "\" has no valid port";
    return false;
  }
  *out = TransportAddress(ipv4, port);
  return true;
}

std::string TransportAddress::ToString() const {
  return "ip:" + ipv4_ + ":" + std::to_string(port_);
}

}  // namespace hv::host
