#include "io/read/read_file.h"

namespace quandrel::io {

Result<ReadFile> ReadFile::open(const std::string& path, const char* what, ReaderMode mode) {
  Result<File> file = File::open_read_only(path);
  if (!file) return IoError(file.error()).with_path(what, path);
  ReadFile f{std::move(*file), Mapping(), std::string(what) + ": " + path};
  if (should_map(f.file.fd(), mode)) {
    if (Result<Mapping> m = Mapping::open(f.file.fd())) f.mapping = std::move(*m);
  }
  return f;
}

}  // namespace quandrel::io
