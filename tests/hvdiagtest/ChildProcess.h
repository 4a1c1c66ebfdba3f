// A program run by a test with its standard output and error read through
// pipes while it runs (a reader thread each), so a test can wait for a line
// from a program that has not ended yet and the pipes never fill up.
#pragma once
#include <windows.h>

#include <string>

namespace hv::test {

class ChildProcess {
 public:
  ChildProcess() { InitializeCriticalSection(&lock_); }
  ~ChildProcess() {
    if (process_) {
      if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 255);
      WaitForSingleObject(process_, 10000);
    }
    for (HANDLE thread : {outThread_, errThread_})
      if (thread) WaitForSingleObject(thread, 10000), CloseHandle(thread);
    if (process_) CloseHandle(process_);
    DeleteCriticalSection(&lock_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts "program arguments"; the command line is given as Windows splits it.
  bool Start(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) return false;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring line = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION info = {};
    const bool started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &info) != FALSE;
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!started) {
      CloseHandle(outRead);
      CloseHandle(errRead);
      return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    out_.pipe = outRead;
    err_.pipe = errRead;
    out_.owner = err_.owner = this;
    outThread_ = CreateThread(nullptr, 0, Reader, &out_, 0, nullptr);
    errThread_ = CreateThread(nullptr, 0, Reader, &err_, 0, nullptr);
    return true;
  }

  // Waits for the end of the program and of its output; its exit code, or
  // -1 after the time-out.
  int Wait(DWORD timeoutMs = 60000) {
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return -1;
    for (HANDLE thread : {outThread_, errThread_}) WaitForSingleObject(thread, 10000);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

  // Output so far, as UTF-8 with the line ends as the program wrote them.
  std::string Out() { return Take(out_); }
  std::string Err() { return Take(err_); }

  // Waits until the standard error holds the text; false after the time-out.
  bool WaitForErr(const std::string& text, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
      if (Err().find(text) != std::string::npos) return true;
      Sleep(20);
    }
    return false;
  }

 private:
  struct Stream {
    HANDLE pipe = nullptr;
    std::string text;
    ChildProcess* owner = nullptr;
  };

  static DWORD WINAPI Reader(void* parameter) {
    auto* stream = static_cast<Stream*>(parameter);
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(stream->pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      EnterCriticalSection(&stream->owner->lock_);
      stream->text.append(buffer, read);
      LeaveCriticalSection(&stream->owner->lock_);
    }
    CloseHandle(stream->pipe);
    return 0;
  }

  std::string Take(Stream& stream) {
    EnterCriticalSection(&lock_);
    std::string text = stream.text;
    LeaveCriticalSection(&lock_);
    return text;
  }

  CRITICAL_SECTION lock_;
  HANDLE process_ = nullptr;
  HANDLE outThread_ = nullptr;
  HANDLE errThread_ = nullptr;
  Stream out_, err_;
};

}  // namespace hv::test
