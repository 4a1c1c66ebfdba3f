// Result codes as people read them: the hexadecimal value, the symbolic name
// of every code the library, the Mux component, COM and OLE Automation can
// hand back, and the best sentence there is about what went wrong.
#pragma once
#include <windows.h>

#include <string>

namespace hv::diag {

// "E_INVALIDARG", "HRESULT_FROM_WIN32(WSAECONNREFUSED)"; empty when unknown.
std::wstring SymbolicName(HRESULT hr);
// "0x80070057".
std::wstring Hex(HRESULT hr);
// The system's message for the code (FormatMessageW), without its line end;
// empty when the system has none.
std::wstring SystemText(HRESULT hr);
// Takes the calling thread's COM error information and returns its
// description; empty when there is none.
std::wstring TakeErrorInfoText();
// Forgets any error information left from an earlier call, so that what is
// taken after the next call belongs to it.
void ClearErrorInfo();

// "WHAT failed: 0x80070057 E_INVALIDARG: TEXT", TEXT being the error
// information taken now, else the system's message.
std::wstring FailureText(const std::wstring& what, HRESULT hr);
// Prints "hvdiag COMMAND: WHAT failed: 0x80070057 E_INVALIDARG: TEXT" on
// standard error, TEXT being the error information taken now, else the
// system's message, and returns the exit code of a failed operation (1).
int ReportFailure(const std::wstring& command, const std::wstring& what, HRESULT hr);
// The same for a mistake hvdiag finds itself (a bad argument): the sentence is
// given, the code is E_INVALIDARG, and the exit code is that of a wrong
// command line (2).
int ReportUsage(const std::wstring& command, const std::wstring& sentence);

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// The export was written, but some messages hold characters that XML cannot
// carry: the file is not faithful (or not even well-formed).
constexpr int kExitNotFaithful = 3;

}  // namespace hv::diag
