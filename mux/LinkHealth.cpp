#include "mux/LinkHealth.h"

#include <winsock2.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <mutex>

#include "common/TransportSetting.h"

namespace hv {
namespace LinkHealth {
namespace {

struct Broken {
  HRESULT failure = S_OK;
  ULONGLONG nextTry = 0;
  DWORD backOffMs = kFirstBackOffMs;
  bool trying = false;
};

struct Table {
  std::mutex mutex;
  std::map<std::wstring, Broken> broken;
};

Table& TheTable() {
  static Table table;
  return table;
}

bool IsHang(HRESULT result) { return result == HRESULT_FROM_WIN32(WSAETIMEDOUT); }

}  // namespace

HRESULT BeforeConnect(const std::wstring& address) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.broken.find(address);
  if (found == table.broken.end()) return S_OK;
  Broken& state = found->second;
  if (state.trying || GetTickCount64() < state.nextTry) return state.failure;
  state.trying = true;
  return S_OK;
}

void AfterConnect(const std::wstring& address, HRESULT result) {
  Table& table = TheTable();
  std::wstring line;
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.broken.find(address);
    if (!IsHang(result)) {
      if (found == table.broken.end()) return;
      table.broken.erase(found);
      line = L"HV Mux: the service at " + address + L" answers again (" + HexResult(result) + L")";
    } else {
      try {
        Broken& state = table.broken[address];
        if (state.trying) state.backOffMs = std::min(state.backOffMs * 2, kLongestBackOffMs);
        state.trying = false;
        state.failure = result;
        state.nextTry = GetTickCount64() + state.backOffMs;
        line = L"HV Mux: the service at " + address + L" did not answer in time (" + HexResult(result) +
               L"); connects fail at once for " + std::to_wstring(state.backOffMs) + L" ms";
      } catch (...) {
        return;  // not remembered: the next connect simply tries
      }
    }
  }
  Trace(line);
}

void Trace(const std::wstring& line) {
  static const bool on = ReadTroubleShootSetting();
  if (on) OutputDebugStringW((line + L"\r\n").c_str());
}

std::wstring HexResult(HRESULT hr) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace LinkHealth
}  // namespace hv
