// A fresh folder for one test, removed with everything in it afterwards.
#pragma once
#include <string>

namespace hvtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `text` to `path`, replacing the file.
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
// Runs a shell command with its stderr joined to its stdout: the exit code
// (-1 when killed), the output in `output` when given.
int Shell(const std::string& command, std::string* output = nullptr);

}  // namespace hvtest
