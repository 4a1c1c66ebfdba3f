#include "support/HostProcess.h"

#include <winsock2.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "support/TestSupport.h"

namespace hv::test {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A TCP socket on the loopback address: port 0 binds a free port and answers
// it; another port is connected to and answered when it accepts (else 0).
unsigned short Loopback(unsigned short port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {AF_INET, htons(port)};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* name = reinterpret_cast<sockaddr*>(&address);
  int length = sizeof(address);
  const bool ok =
      port ? connect(s, name, length) == 0 : bind(s, name, length) == 0 && getsockname(s, name, &length) == 0;
  closesocket(s);
  return ok ? ntohs(address.sin_port) : 0;
}

// Single quotes for /bin/sh.
std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::wstring WindowsPathOf(const std::string& unixPath) {
  std::wstring path = L"Z:" + Widen(unixPath);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::string ReadTextFile(const std::string& unixPath) {
  std::ifstream file(WindowsPathOf(unixPath).c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool RunUnixCommand(const std::string& command, DWORD timeoutMs) {
  static int counter = 0;
  const std::string marker = Environment("TMPDIR") + "/hv-command-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++counter) + ".done";
  // The status is written beside the marker and moved in: a marker that exists is complete.
  const std::string script =
      "(" + command + "); echo $? > " + Quote(marker + ".tmp") + "; mv " + Quote(marker + ".tmp") + " " + Quote(marker);
  // Wine splits the command line by Windows rules: the script is one
  // double-quoted argument (it uses only single quotes itself).
  std::wstring line = L"/bin/sh -c \"" + Widen(script) + L"\"";
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  // Wine starts a Unix program without a Windows process: it answers a null
  // process handle and a thread handle that is none of the child's, maybe
  // the number of one of ours (closing it once closed a bench's output).
  if (process.hProcess) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  for (DWORD waited = 0; waited < timeoutMs; waited += 20, Sleep(20)) {
    const std::string status = ReadTextFile(marker);
    if (status.empty()) continue;
    DeleteFileW(WindowsPathOf(marker).c_str());
    return std::atoi(status.c_str()) == 0;
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
  // The database goes (a bench leaves hundreds of megabytes); the logs stay for a look after a failure.
  RunUnixCommand("rm -f " + Quote(database_) + " " + Quote(database_ + "-wal") + " " + Quote(database_ + "-shm"));
  DeleteMachineValue(L"Software\\Corvala Software\\Halvern Diagnostics", L"InterprocessTransport");
}

bool HostProcess::Available() {
  const std::string host = Environment("HV_TARNHOST");
  return !host.empty() && GetFileAttributesW(WindowsPathOf(host).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool HostProcess::Running() const {
  const std::string status = pid_ ? ReadTextFile("/proc/" + std::to_string(pid_) + "/status") : "";
  return !status.empty() && status.find("State:\tZ") == std::string::npos;
}

bool HostProcess::Start() {
  if (!Available()) return false;
  if (port_ == 0) port_ = Loopback(0);
  const std::string pidFile = folder_ + "/tarnhost.pid";
  DeleteFileW(WindowsPathOf(pidFile).c_str());
  const std::string command = Quote(Environment("HV_TARNHOST")) + " --config '' --db " + Quote(database_) +
                              " --listen ip:127.0.0.1:" + std::to_string(port_) + " --log-file " +
                              Quote(folder_ + "/host.log") + " </dev/null >>" + Quote(folder_ + "/stderr.log") +
                              " 2>&1 & echo $! > " + Quote(pidFile);
  if (!RunUnixCommand(command)) return false;
  pid_ = std::atol(ReadTextFile(pidFile).c_str());
  for (int i = 0; i < 500 && pid_ != 0; ++i, Sleep(20)) {
    if (!Loopback(port_)) continue;
    const std::wstring transport = L"ip:" + std::to_wstring(port_) + L";ip:127.0.0.1:" + std::to_wstring(port_);
    return SetMachineString(L"Software\\Corvala Software\\Halvern Diagnostics", L"InterprocessTransport", transport);
  }
  return false;
}

bool HostProcess::Stop(int signal) {
  if (pid_ != 0) RunUnixCommand("kill -" + std::to_string(signal) + " " + std::to_string(pid_));
  for (int i = 0; i < 1000 && Running(); ++i) Sleep(20);
  if (!Running()) pid_ = 0;
  return pid_ == 0;
}

std::string HostProcess::QueryUntil(const std::string& sql, const std::string& expected) const {
  std::string rows;
  for (int i = 0; i <= 100 && (rows = Query(sql)) != expected; ++i) Sleep(50);
  return rows;
}

std::string HostProcess::Query(const std::string& sql) const {
  const std::string out = folder_ + "/query.txt";
  RunUnixCommand("sqlite3 -separator '|' " + Quote(database_) + " " + Quote(sql) + " > " + Quote(out) + " 2>&1");
  return ReadTextFile(out);
}

std::string HostProcess::Log() const { return ReadTextFile(folder_ + "/host.log"); }

}  // namespace hv::test
