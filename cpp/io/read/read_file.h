// One file a reader reads from: its descriptor, its mapping where it is
// mapped, and the note that names it in every error of a read from it.
#pragma once

#include <string>

#include "core/error.h"
#include "io/read/file.h"
#include "io/read/mapping.h"
#include "io/read/reader_mode.h"

namespace quandrel::io {

struct ReadFile {
  File file;
  Mapping mapping;   // after file, whose descriptor it borrows; empty when not mapped
  std::string note;  // "shard file: /data/t/shard_017.bin"

  // Opens `path` read-only, and maps it where should_map says so and the
  // file can be mapped (otherwise it is read with pread). An error carries
  // the note "`what`: `path`".
  static Result<ReadFile> open(const std::string& path, const char* what, ReaderMode mode);

  bool mapped() const { return mapping.data() != nullptr; }
};

}  // namespace quandrel::io
