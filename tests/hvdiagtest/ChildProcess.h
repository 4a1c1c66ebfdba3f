// A program run by a test or a bench with its standard output and error going
// to files of their own under TMPDIR (or /tmp), which can be read while it
// runs: a test can wait for a line from a program that has not ended yet.
#pragma once
#include <windows.h>

#include <string>

#include "support/HostProcess.h"

namespace hv::test {

class ChildProcess {
 public:
  ~ChildProcess() {
    if (process_ && Wait(0) == -1) TerminateProcess(process_, 255);
    CloseHandle(process_);
    for (const std::string& file : files_) DeleteFileW(WindowsPathOf(file).c_str());
  }
  bool Start(const std::wstring& program, const std::wstring& arguments) {
    static LONG started = 0;
    char folder[MAX_PATH] = "/tmp";
    GetEnvironmentVariableA("TMPDIR", folder, MAX_PATH);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    STARTUPINFOW startup = {sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE* handles[] = {&startup.hStdOutput, &startup.hStdError};
    for (int i = 0; i < 2; ++i) {
      files_[i] = std::string(folder) + "/hvdiag-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(InterlockedIncrement(&started)) + ".txt";
      *handles[i] = CreateFileW(WindowsPathOf(files_[i]).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS, 0,
                                nullptr);
    }
    std::wstring line = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION info = {};
    const bool ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &info);
    for (HANDLE handle : {startup.hStdOutput, startup.hStdError, info.hThread}) CloseHandle(handle);
    process_ = info.hProcess;
    return ok;
  }
  // The exit code, or -1 after the time-out.
  int Wait(DWORD timeoutMs = 60000) {
    DWORD code = 0;
    const bool ended = process_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
    return ended && GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
  }
  // Output so far, as the program wrote it (UTF-8).
  std::string Out() const { return ReadTextFile(files_[0]); }
  std::string Err() const { return ReadTextFile(files_[1]); }
  bool WaitForErr(const std::string& text, DWORD timeoutMs) const {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20, Sleep(20))
      if (Err().find(text) != std::string::npos) return true;
    return false;
  }

 private:
  HANDLE process_ = nullptr;
  std::string files_[2];  // Unix paths
};

}  // namespace hv::test
