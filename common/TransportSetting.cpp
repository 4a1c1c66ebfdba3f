#include "common/TransportSetting.h"

#include "common/Unique.h"

namespace hv {
namespace {

// The list of transport addresses; the library connects to the part after
// the first ";". The default names port 60093 on any interface, then on the
// IPv4 loopback address.
constexpr wchar_t kDefaultTransport[] = L"ip:60093;ip:127.0.0.1:60093";
constexpr DWORD kTransportChars = 256;

std::wstring ReadTransportSetting() {
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return kDefaultTransport;
  wchar_t text[kTransportChars + 1] = {};
  DWORD size = kTransportChars * sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), L"InterprocessTransport", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                       &size) != ERROR_SUCCESS)
    return kDefaultTransport;
  // The text must end within its 256 characters.
  const size_t read = size / sizeof(wchar_t);
  if (read == kTransportChars && text[kTransportChars - 1] != L'\0') return kDefaultTransport;
  std::wstring setting(text);
  if (setting.find(L';') == std::wstring::npos) return kDefaultTransport;
  return setting;
}

}  // namespace

std::wstring MuxConnectAddress() {
  const std::wstring setting = ReadTransportSetting();
  return setting.substr(setting.find(L';') + 1);
}

bool ReadTroubleShootSetting() {
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
  DWORD value = 0;
  DWORD size = sizeof(value);
  return RegQueryValueExW(key.get(), L"TroubleShootMode", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                          &size) == ERROR_SUCCESS &&
         value == 1;
}

}  // namespace hv
