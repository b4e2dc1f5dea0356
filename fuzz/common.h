// Scratch files for the fuzz targets: one directory per process, files
// rewritten on every input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quandrel::fuzz {

// A directory in memory when the machine has one: the targets write a file
// per input, and a disk would set the pace.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    std::string tmpl = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    tmpl += "/quandrel-fuzz-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
  }();
  return dir;
}

inline std::string write_file(std::string_view name, std::string_view bytes) {
  const std::string path = scratch_dir() + "/" + std::string(name);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return path;
}

// A mismatch with the model: print what differs and crash, so that libFuzzer
// keeps the input.
[[noreturn]] inline void mismatch(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "model mismatch: %s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace quandrel::fuzz
