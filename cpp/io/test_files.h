// Temporary files for the engine's tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace quandrel::testing {

// A fresh directory, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quandrel-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  // Writes `bytes` to `name`, replacing it, and returns its path.
  std::string write(std::string_view name, std::string_view bytes) const {
    const std::string p = file(name);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
    ::close(fd);
    return p;
  }

 private:
  std::string path_;
};

}  // namespace quandrel::testing
