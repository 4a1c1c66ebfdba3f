#include "core/Logger.h"

#include "core/LogDigest.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace hv::host {
namespace {

std::string Timestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

}  // namespace

Logger::Logger() : digest_(std::make_unique<LogDigest>(*this)) {}

Logger::~Logger() {
  digest_.reset();  // its last counts go out first
  if (file_) std::fclose(file_);
}

void Logger::Repeated(const std::string& kind, const std::string& text, int priority) {
  digest_->Line(kind, text, priority);
}

void Logger::FlushRepeated() { digest_->Flush(); }

std::string Logger::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    // C1 controls arrive as UTF-8 C2 80 to C2 9F; terminals act on them too.
    bool c1 = c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F || c1) {
      for (size_t n = c1 ? 2 : 1; n; --n, ++i) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[i]));
        out += hex;
      }
      --i;
    } else {
      out += char(c);
    }
  }
  return out;
}

bool Logger::OpenFile(const std::string& path, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "a");
  if (!f) {
    *error = "cannot open log file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = f;
  path_ = path;
  return true;
}

bool Logger::ReopenFile(std::string* error) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = path_;
  }
  return path.empty() || OpenFile(path, error);
}

void Logger::SetPriorityPrefixes(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  priorities_ = on;
}

void Logger::SetStderr(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  stderr_ = on;
}

void Logger::Line(const std::string& text, int priority) {
  std::string line = Timestamp() + " tarnhost: " + Escape(text) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (stderr_) {
    if (priorities_) std::fprintf(stderr, "<%d>", priority);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (file_) {
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }
}

}  // namespace hv::host
