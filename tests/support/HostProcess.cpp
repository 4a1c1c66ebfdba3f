#include "support/HostProcess.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/TestSupport.h"

namespace hv::test {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

unsigned short FreeLoopbackPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = Loopback(0);
  unsigned short port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  closesocket(s);
  return port;
}

bool Accepts(unsigned short port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = Loopback(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  closesocket(s);
  return ok;
}

bool FileExists(const std::string& unixPath) {
  return GetFileAttributesW(WindowsPathOf(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Single quotes for /bin/sh.
std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int g_commandCounter = 0;

}  // namespace

std::wstring WindowsPathOf(const std::string& unixPath) {
  std::wstring path = L"Z:" + Widen(unixPath);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

std::string ReadTextFile(const std::string& unixPath) {
  std::ifstream file(WindowsPathOf(unixPath).c_str(), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool RunUnixCommand(const std::string& command, DWORD timeoutMs) {
  const std::string marker = Environment("TMPDIR") + "/hv-command-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++g_commandCounter) + ".done";
  // The exit status is written beside the marker and moved into place, so
  // that a marker that exists is complete.
  const std::string script =
      "(" + command + "); echo $? > " + Quote(marker + ".tmp") + "; mv " + Quote(marker + ".tmp") + " " + Quote(marker);
  // Wine splits the command line by Windows rules: the script is one
  // double-quoted argument (it uses only single quotes itself).
  std::wstring line = L"/bin/sh -c \"" + Widen(script) + L"\"";
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (FileExists(marker)) {
      const int status = std::atoi(ReadTextFile(marker).c_str());
      DeleteFileW(WindowsPathOf(marker).c_str());
      return status == 0;
    }
    Sleep(20);
  }
  return false;
}

HostProcess::HostProcess(const std::string& name) {
  folder_ = Environment("TMPDIR") + "/host-" + name + "-" + std::to_string(GetCurrentProcessId());
  RunUnixCommand("rm -rf " + Quote(folder_) + " && mkdir -p " + Quote(folder_));
  database_ = folder_ + "/messages.db";
}

HostProcess::~HostProcess() {
  if (Running()) Stop(9);
  DeleteMachineValue(L"Software\\Corvala Software\\Halvern Diagnostics", L"InterprocessTransport");
}

bool HostProcess::Available() {
  const std::string host = Environment("HV_TARNHOST");
  return !host.empty() && FileExists(host);
}

bool HostProcess::Running() const {
  return pid_ != 0 && FileExists("/proc/" + std::to_string(pid_) + "/status") &&
         ReadTextFile("/proc/" + std::to_string(pid_) + "/status").find("State:\tZ") == std::string::npos;
}

bool HostProcess::Start() {
  if (!Available()) return false;
  if (port_ == 0) port_ = FreeLoopbackPort();
  const std::string pidFile = folder_ + "/tarnhost.pid";
  DeleteFileW(WindowsPathOf(pidFile).c_str());
  const std::string command = Quote(Environment("HV_TARNHOST")) + " --config '' --db " + Quote(database_) +
                              " --listen ip:127.0.0.1:" + std::to_string(port_) + " --log-file " +
                              Quote(folder_ + "/host.log") + " </dev/null >>" + Quote(folder_ + "/stderr.log") +
                              " 2>&1 & echo $! > " + Quote(pidFile);
  if (!RunUnixCommand(command)) return false;
  pid_ = std::atol(ReadTextFile(pidFile).c_str());
  for (int i = 0; i < 500 && pid_ != 0; ++i) {
    if (Accepts(port_)) {
      const std::wstring transport = L"ip:" + std::to_wstring(port_) + L";ip:127.0.0.1:" + std::to_wstring(port_);
      return SetMachineString(L"Software\\Corvala Software\\Halvern Diagnostics", L"InterprocessTransport", transport);
    }
    Sleep(20);
  }
  return false;
}

bool HostProcess::Stop(int signal) {
  if (pid_ == 0) return true;
  RunUnixCommand("kill -" + std::to_string(signal) + " " + std::to_string(pid_));
  for (int i = 0; i < 1000 && Running(); ++i) Sleep(20);
  if (Running()) return false;
  pid_ = 0;
  return true;
}

std::string HostProcess::QueryUntil(const std::string& sql, const std::string& expected) const {
  std::string rows = Query(sql);
  for (int i = 0; i < 100 && rows != expected; ++i) {
    Sleep(50);
    rows = Query(sql);
  }
  return rows;
}

std::string HostProcess::Query(const std::string& sql) const {
  const std::string out = folder_ + "/query.txt";
  RunUnixCommand("sqlite3 -separator '|' " + Quote(database_) + " " + Quote(sql) + " > " + Quote(out) + " 2>&1");
  return ReadTextFile(out);
}

std::string HostProcess::Log() const { return ReadTextFile(folder_ + "/host.log"); }

}  // namespace hv::test
