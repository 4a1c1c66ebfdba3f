#include "mux/MuxAddress.h"

#include <cwchar>

#include "common/Result.h"

namespace hv {
namespace {

bool ParsePort(const std::wstring& text, std::string* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned>(c - L'0');
  }
  if (value == 0 || value > 65535) return false;
  *port = std::to_string(value);
  return true;
}

bool ToAscii(const std::wstring& text, std::string* out) {
  out->clear();
  for (wchar_t c : text) {
    if (c <= 0x20 || c >= 0x7f) return false;
    out->push_back(static_cast<char>(c));
  }
  return true;
}

}  // namespace

HRESULT ParseMuxAddress(const wchar_t* text, MuxAddress* address) {
  RETURN_HR_IF_NULL(E_POINTER, address);
  RETURN_HR_IF_NULL(E_INVALIDARG, text);
  std::wstring rest(text);
  // The scheme is matched without regard to case, as addresses are typed by people.
  RETURN_HR_IF(E_INVALIDARG, rest.size() < 3 || _wcsnicmp(rest.c_str(), L"ip:", 3) != 0);
  rest.erase(0, 3);
  const size_t colon = rest.rfind(L':');
  std::wstring host;
  std::wstring port = rest;
  if (colon != std::wstring::npos && (rest[0] != L'[' || colon > rest.find(L']'))) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    RETURN_HR_IF(E_INVALIDARG, host.empty());
    if (host.front() == L'[') {
      RETURN_HR_IF(E_INVALIDARG, host.size() < 3 || host.back() != L']');
      host = host.substr(1, host.size() - 2);
    }
  }
  MuxAddress parsed;
  RETURN_HR_IF(E_INVALIDARG, !ParsePort(port, &parsed.port));
  // "ip:PORT" names the service of this machine, which listens on loopback.
  if (host.empty()) host = L"127.0.0.1";
  RETURN_HR_IF(E_INVALIDARG, !ToAscii(host, &parsed.host));
  *address = std::move(parsed);
  return S_OK;
}

}  // namespace hv
