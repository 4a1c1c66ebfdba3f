// What this process knows of the service addresses it connects to, and the
// component's trouble-shoot trace.
//
// A service that accepts the connection but does not greet in time is hung,
// not gone, and every further attempt would cost its caller the whole
// greeting time-out again. Such an address is known broken: a connect to it
// fails at once with the failure last seen, until the next try is due on a
// back-off (1 s after the first time-out, then doubling up to 60 s). One
// caller makes that try; the others keep failing at once meanwhile. A greeting,
// or any answer that comes in time (a refusal included), ends the state.
#pragma once
#include <windows.h>

#include <string>

namespace hv {
namespace LinkHealth {

// The wait before the first try after a time-out, and the longest wait.
constexpr DWORD kFirstBackOffMs = 1000;
constexpr DWORD kLongestBackOffMs = 60000;

// S_OK when the caller may try the address now; otherwise the failure to
// return at once.
HRESULT BeforeConnect(const std::wstring& address);
// The result of the caller's try.
void AfterConnect(const std::wstring& address, HRESULT result);

// Writes one line of the trouble-shoot trace to the debugger output, when
// the trouble-shoot switch is on.
void Trace(const std::wstring& line);
// A result code as the trace writes it: 0x followed by eight hex digits.
std::wstring HexResult(HRESULT hr);

}  // namespace LinkHealth
}  // namespace hv
