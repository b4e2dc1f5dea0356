#include "io/read/read_file.h"

#include <fcntl.h>

namespace quandrel::io {

Result<ReadFile> ReadFile::open(const std::string& path, const char* what, ReaderMode mode) {
  Result<File> file = File::open_read_only(path);
  if (!file) return IoError(file.error()).with_path(what, path);
  ReadFile f{std::move(*file), Mapping(), std::string(what) + ": " + path};
  // Rows are looked up, not scanned: a read of one from the disk should not
  // bring the pages around it (the kernel reads ahead up to 128 KiB by
  // default, which many cold rows in flight turn into the device's whole
  // bandwidth). Reads asked ahead on purpose (POSIX_FADV_WILLNEED) still are.
  (void)::posix_fadvise(f.file.fd(), 0, 0, POSIX_FADV_RANDOM);
  if (should_map(f.file.fd(), mode)) {
    if (Result<Mapping> m = Mapping::open(f.file.fd())) f.mapping = std::move(*m);
  }
  return f;
}

}  // namespace quandrel::io
