// PageReader: one page of a fixed power-of-two size from each of a list of
// (descriptor, offset) pairs that the caller holds. Bound to the thread that
// created it; holds no resource.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "buffer.h"
#include "module_types.h"
#include "class_base.h"

namespace quandrel::py {
namespace {

struct PageReaderState {
  static constexpr const char* kName = "PageReader";
  static constexpr const char* kTypeName = "builtins.PageReader";
  static constexpr const char* kBoundPath = "_quandrel::PageReader";

  std::uint64_t page_size;
};

using PageReaderClass = Class<PageReaderState>;

constexpr Signature kNew{"PageReader.__new__()", {"page_size"}, 0};
constexpr Signature kReadPages{"PageReader.read_pages()", {"file_descriptors", "offsets"}};
constexpr Signature kReadPagesInto{"PageReader.read_pages_into()",
                                   {"file_descriptors", "offsets", "out"}};
constexpr std::uint64_t kDefaultPageSize = 4096;
// Engines open their files with O_DIRECT, which refuses buffers that are not
// aligned to the device's block size.
constexpr std::size_t kMinAlignment = 4096;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<std::byte, FreeDeleter>;

// A zero-filled buffer of `size` bytes aligned to max(4096, size); null with
// MemoryError set when it cannot be had.
AlignedBuffer page_buffer(std::size_t size) {
  const std::size_t alignment = std::max(size, kMinAlignment);  // size is a power of two
  AlignedBuffer buffer(static_cast<std::byte*>(std::aligned_alloc(alignment, alignment)));
  if (!buffer) {
    PyErr_NoMemory();
    return buffer;
  }
  std::memset(buffer.get(), 0, alignment);
  return buffer;
}

PyObject* page_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::uint64_t page_size = kDefaultPageSize;
    if (!parse(kNew, CallArgs::tuple(args, kwargs), page_size)) return nullptr;
    if (page_size == 0 || (page_size & (page_size - 1)) != 0) {
      return raise(PyExc_ValueError, msg::kPageSizePowerOfTwo);
    }
    return PageReaderClass::wrap(type, std::make_unique<PageReaderState>(PageReaderState{page_size}));
  });
}

// One page read, without the interpreter lock: it may wait for a disk, and
// other Python threads should run meanwhile. Interrupted, the handlers run,
// as in Python's own reads, then the read is made again unless one of them
// raised. Returns the count, or -1 with the exception set. `abandon` runs
// when the interpreter ends this thread while the lock is away: the
// caller's Python objects may then not be released. Offsets of 2^63 and
// above arrive negative, and the system refuses them.
template <class Abandon>
ssize_t read_page(int fd, std::byte* target, std::size_t size, std::uint64_t offset,
                  Abandon&& abandon) {
  ssize_t n = 0;
  int error = 0;
  do {
    if (error == EINTR && PyErr_CheckSignals() < 0) return -1;
    run_unlocked(abandon, [&] {
      n = ::pread(fd, target, size, static_cast<off_t>(offset));
      error = n < 0 ? errno : 0;
    });
  } while (n < 0 && error == EINTR);
  if (n < 0) raise_os_error(IoError::os(error));
  return n;
}

PyObject* read_pages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::int32_t> fds;
    std::vector<std::uint64_t> offsets;
    const PageReaderState* s = PageReaderClass::parse_method(
        kReadPages, self, CallArgs::fast(args, nargs, kwnames), fds, offsets);
    if (s == nullptr) return nullptr;
    if (fds.size() != offsets.size()) return raise(PyExc_ValueError, msg::kSameLength);
    Ref pages(PyList_New(static_cast<Py_ssize_t>(fds.size())));
    if (!pages || fds.empty()) return pages.release();
    if (s->page_size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      fault(quandrel::msg::kCapacityOverflow);
    }
    // One buffer serves every page in turn: only the bytes each read
    // returned are copied out of it.
    AlignedBuffer buffer = page_buffer(s->page_size);
    if (!buffer) return nullptr;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      const ssize_t n = read_page(fds[i], buffer.get(), s->page_size, offsets[i],
                                  [&] { (void)pages.release(); });
      if (n < 0) return nullptr;
      if (n == 0) return raise(PyExc_OSError, msg::kEofWhileReadingPage);
      PyObject* page = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.get()), n);
      if (page == nullptr) return nullptr;
      PyList_SetItem(pages.get(), static_cast<Py_ssize_t>(i), page);
    }
    return pages.release();
  });
}

// As read_pages, with page i written to bytes [i * page_size, (i + 1) *
// page_size) of the caller's buffer `out` and the rest of a short page's slot
// zeroed. A slot aligned for O_DIRECT is read into directly; any other goes
// through one aligned buffer.
PyObject* read_pages_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::int32_t> fds;
    std::vector<std::uint64_t> offsets;
    Borrowed out_arg;
    const PageReaderState* s = PageReaderClass::parse_method(
        kReadPagesInto, self, CallArgs::fast(args, nargs, kwnames), fds, offsets, out_arg);
    if (s == nullptr) return nullptr;
    BufferHold out;
    if (!acquire_output(out_arg.object, "out", out)) return nullptr;
    if (fds.size() != offsets.size()) return raise(PyExc_ValueError, msg::kSameLength);
    const unsigned __int128 expected = static_cast<unsigned __int128>(s->page_size) * fds.size();
    if (!check_output_size(out, "out", expected, out.size(), "bytes")) return nullptr;
    Ref lengths(PyList_New(static_cast<Py_ssize_t>(fds.size())));
    if (!lengths || fds.empty()) return lengths.release();
    const std::size_t page_size = s->page_size;  // fits: the buffer holds at least one page
    const bool aligned = reinterpret_cast<std::uintptr_t>(out.data()) % kMinAlignment == 0 &&
                         page_size % kMinAlignment == 0;
    AlignedBuffer bounce;
    if (!aligned) {
      bounce = page_buffer(page_size);
      if (!bounce) return nullptr;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      std::byte* slot = out.data() + i * page_size;
      std::byte* target = aligned ? slot : bounce.get();
      const ssize_t n = read_page(fds[i], target, page_size, offsets[i], [&] {
        (void)lengths.release();
        out.abandon();
      });
      if (n < 0) return nullptr;
      if (n == 0) return raise(PyExc_OSError, msg::kEofWhileReadingPage);
      if (!aligned) std::memcpy(slot, target, static_cast<std::size_t>(n));
      std::memset(slot + n, 0, page_size - static_cast<std::size_t>(n));
      PyObject* length = PyLong_FromSsize_t(n);
      if (length == nullptr) return nullptr;
      PyList_SetItem(lengths.get(), static_cast<Py_ssize_t>(i), length);
    }
    return lengths.release();
  });
}

PyMethodDef methods[] = {
    {"read_pages", fastcall(read_pages), METH_FASTCALL | METH_KEYWORDS,
     "read_pages($self, file_descriptors, offsets)\n--\n\n"},
    {"read_pages_into", fastcall(read_pages_into), METH_FASTCALL | METH_KEYWORDS,
     "read_pages_into($self, file_descriptors, offsets, out)\n--\n\n"
     "Reads page i into bytes [i * page_size, (i + 1) * page_size) of `out`, a writable\n"
     "C-contiguous buffer of exactly len(file_descriptors) * page_size bytes, zeroing the\n"
     "rest of a short page's slot. Returns the list of page lengths."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* page_reader_class() {
  return PageReaderClass::ready(
      methods, nullptr, page_reader_new,
      "PageReader(page_size=4096)\n--\n\n"
      "Page reader compatible with the shape of SGLang's `IoUringReader.read_pages`.\n"
      "\n"
      "This is a pread-based implementation (Unix); it is a useful integration point\n"
      "for engines that already have raw file descriptors and offset lists.");
}

}  // namespace quandrel::py
