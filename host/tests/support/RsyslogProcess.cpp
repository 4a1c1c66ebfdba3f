#include "support/RsyslogProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "service/Socket.h"
#include "support/TempDir.h"

namespace hvtest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool Accepts(int port) {
  hv::host::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  return ::connect(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

}  // namespace

std::string RsyslogProcess::Program() {
  for (const char* path : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/local/sbin/rsyslogd", "/usr/bin/rsyslogd"})
    if (::access(path, X_OK) == 0) return path;
  return std::string();
}

int RsyslogProcess::FreePort() {
  hv::host::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 0;
  socklen_t size = sizeof sa;
  ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&sa), &size);
  return ntohs(sa.sin_port);
}

RsyslogProcess::RsyslogProcess(const std::string& dir, int port) : dir_(dir), port_(port) {
  // Only the TCP input is loaded, bound to its own ruleset: the daemon's
  // own messages reach no file, and nothing of the machine's logging is
  // touched.
  WriteFile(dir_ + "/rsyslog.conf",
            "global(workDirectory=\"" + dir_ + "\" maxMessageSize=\"64k\")\n"
            "module(load=\"imtcp\")\n"
            "template(name=\"hvRaw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
            "template(name=\"hvFields\" type=\"list\") {\n"
            "  property(name=\"pri\") constant(value=\"|\")\n"
            "  property(name=\"timereported\" dateFormat=\"rfc3339\") constant(value=\"|\")\n"
            "  property(name=\"hostname\") constant(value=\"|\")\n"
            "  property(name=\"app-name\") constant(value=\"|\")\n"
            "  property(name=\"procid\") constant(value=\"|\")\n"
            "  property(name=\"msgid\") constant(value=\"|\")\n"
            "  property(name=\"structured-data\") constant(value=\"|\")\n"
            "  property(name=\"msg\") constant(value=\"\\n\")\n"
            "}\n"
            "ruleset(name=\"hv\") {\n"
            "  action(type=\"omfile\" file=\"" + dir_ + "/raw.log\" template=\"hvRaw\")\n"
            "  action(type=\"omfile\" file=\"" + dir_ + "/fields.log\" template=\"hvFields\")\n"
            "}\n"
            "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(port_) + "\" ruleset=\"hv\")\n");
}

RsyslogProcess::~RsyslogProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool RsyslogProcess::Start(int timeoutMs) {
  if (pid_ > 0) return false;
  std::string program = Program();
  std::string conf = dir_ + "/rsyslog.conf";
  std::string pidFile = dir_ + "/rsyslog.pid";
  std::vector<std::string> args = {program, "-n", "-f", conf, "-i", pidFile};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out = ::open((dir_ + "/rsyslogd.out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Gone with the test program, whatever happens to it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  if (pid_ < 0) return false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool RsyslogProcess::Stop(int timeoutMs) {
  if (pid_ <= 0) return false;
  ::kill(pid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return false;
}

std::vector<std::string> RsyslogProcess::RawMessages() const { return Lines(ReadFile(dir_ + "/raw.log")); }

std::vector<std::string> RsyslogProcess::Fields() const { return Lines(ReadFile(dir_ + "/fields.log")); }

std::string RsyslogProcess::Diagnostics() const {
  return "rsyslog configuration:\n" + ReadFile(dir_ + "/rsyslog.conf") + "rsyslogd printed:\n" +
         ReadFile(dir_ + "/rsyslogd.out");
}

}  // namespace hvtest
