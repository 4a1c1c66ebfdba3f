#include "support/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace hvtest {

HostProcess::HostProcess(const std::vector<std::string>& args, const std::string& logPath, std::string program)
    : logPath_(logPath) {
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(log, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(log);
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string HostProcess::Log() const { return ReadFile(logPath_); }

int HostProcess::WaitListening(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::string marker = "listening on ip:127.0.0.1:";
  while (std::chrono::steady_clock::now() < deadline) {
    std::string log = Log();
    size_t at = log.find(marker);
    if (at != std::string::npos) {
      size_t end = log.find_first_not_of("0123456789", at + marker.size());
      if (end != std::string::npos) return std::stoi(log.substr(at + marker.size(), end - at - marker.size()));
    }
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

void HostProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int HostProcess::WaitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::vector<std::string> RunningHost::Args(const std::string& db, const std::string& config) {
  // An empty --config keeps an installed /etc/halvern/tarnhost.conf out.
  return {"--listen", "ip:127.0.0.1:0", "--db", db, "--config", config};
}

RunningHost::RunningHost(const std::string& dir, const std::string& db, const std::string& config,
                         const std::string& logName)
    : process(Args(db, config), dir + "/" + logName) {
  port = process.WaitListening(10000);
  EXPECT_NE(port, 0) << "the host did not start; its log:\n" << process.Log();
}

}  // namespace hvtest
