// A transport address of the Mux service: "ip:HOST:PORT", or "ip:PORT" for
// the service on this machine. HOST is an IPv4 address, a host name, or an
// IPv6 address in brackets ("ip:[::1]:60093").
#pragma once
#include <windows.h>

#include <string>

namespace hv {

struct MuxAddress {
  std::string host;  // "127.0.0.1" for "ip:PORT"
  std::string port;  // decimal, 1 to 65535
};

// E_INVALIDARG for anything else, the empty address included.
HRESULT ParseMuxAddress(const wchar_t* text, MuxAddress* address);

}  // namespace hv
