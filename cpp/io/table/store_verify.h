// Checking a table against its manifest: every chunk of every file read and
// its digest compared, on worker threads of the verification's own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "io/read/file.h"
#include "io/table/store_manifest.h"

namespace quandrel::io {

// One run over a table. The workers share only the next chunk's number, the
// count of bytes done and the problem list (under `mutex_`); every worker
// reads into a buffer of its own, so the run is bound by the disk or, from
// the page cache, by hashing.
class Verification {
 public:
  // Opens the files (a file that is missing, cannot be opened or has the
  // wrong size is a problem, and only its chunks that lie wholly within it
  // are read) and starts `threads` workers (0: one per usable processor, at least four).
  // `m` must outlive the verification.
  Verification(const std::string& dir, const StoreManifest& m, unsigned threads);
  ~Verification();  // cancels and waits for the workers
  Verification(const Verification&) = delete;
  Verification& operator=(const Verification&) = delete;

  std::uint64_t bytes_total() const { return bytes_total_; }
  std::uint64_t bytes_done() const { return bytes_done_.load(std::memory_order_relaxed); }
  // Whether every worker has ended, waiting at most `timeout` for it.
  bool wait_for(std::chrono::milliseconds timeout);
  // Workers stop after their current chunk.
  void cancel() { next_.store(chunks_.size(), std::memory_order_relaxed); }
  // Every problem, in file and offset order, e.g. "shard_017.bin: bytes
  // 4194304-8388607: digest mismatch". Only once wait_for returned true;
  // rethrows a worker's fault.
  std::vector<std::string> problems();

 private:
  struct Chunk {
    std::uint32_t file;
    std::uint64_t offset;
    std::uint32_t bytes;
  };

  void work();
  void check_chunks();
  void report(std::uint64_t file, std::uint64_t offset, std::string text);

  const StoreManifest& manifest_;
  std::vector<File> files_;
  std::vector<Chunk> chunks_;  // in file and offset order
  std::uint64_t bytes_total_ = 0;
  std::atomic<std::uint64_t> next_{0};
  std::atomic<std::uint64_t> bytes_done_{0};

  std::mutex mutex_;
  std::condition_variable ended_;
  std::size_t running_ = 0;  // guarded by mutex_
  std::exception_ptr failure_;  // a worker's fault; guarded by mutex_
  // (file, offset + 1 for a chunk or 0 for the file, text); guarded by mutex_
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> problems_;
  std::vector<std::thread> workers_;
};

}  // namespace quandrel::io
