// Where hvdiag writes: standard output and standard error, as UTF-16 on a
// console and as UTF-8 bytes otherwise (a pipe or a file). Each call writes
// through at once, so a reader of the pipe sees every line as it is made,
// and calls from the subscription's thread do not interleave with others.
#pragma once
#include <windows.h>

#include <string>

namespace hv::diag {

class Console final {
 public:
  static void Out(const std::wstring& text);
  static void Err(const std::wstring& text);
  // Whether standard error is a console (progress lines are only for people).
  static bool ErrIsConsole();

 private:
  static void Write(DWORD which, const std::wstring& text);
};

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace hv::diag
