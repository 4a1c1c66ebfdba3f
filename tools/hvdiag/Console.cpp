#include "tools/hvdiag/Console.h"

namespace hv::diag {
namespace {

CRITICAL_SECTION* OutputLock() {
  static CRITICAL_SECTION lock;
  static const bool initialised = (InitializeCriticalSection(&lock), true);
  (void)initialised;
  return &lock;
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

void Console::Out(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, text); }
void Console::Err(const std::wstring& text) { Write(STD_ERROR_HANDLE, text); }

bool Console::ErrIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void Console::Write(DWORD which, const std::wstring& text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  EnterCriticalSection(OutputLock());
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  } else {
    const std::string bytes = ToUtf8(text);
    // WriteFile keeps nothing back; flushing a pipe would wait for its reader.
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  LeaveCriticalSection(OutputLock());
}

}  // namespace hv::diag
