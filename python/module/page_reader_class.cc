// PageReader: one page of a fixed power-of-two size from each of a list of
// (descriptor, offset) pairs that the caller holds. Bound to the thread that
// created it; holds no resource.
#include <cxxabi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "class_types.h"
#include "classes.h"

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
      // Offsets of 2^63 and above arrive negative, and the system refuses them.
      // Each read runs without the interpreter lock: it may wait for a disk,
      // and other Python threads should run meanwhile.
      ssize_t n = 0;
      int error = 0;
      try {
        WithoutGil unlocked;
        n = ::pread(fds[i], buffer.get(), s->page_size, static_cast<off_t>(offsets[i]));
        error = errno;
      } catch (abi::__forced_unwind&) {
        (void)pages.release();  // the lock is not ours to give back
        throw;
      }
      if (n < 0) return raise_os_error(IoError::os(error));
      if (n == 0) return raise(PyExc_OSError, msg::kEofWhileReadingPage);
      PyObject* page = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.get()), n);
      if (page == nullptr) return nullptr;
      PyList_SetItem(pages.get(), static_cast<Py_ssize_t>(i), page);
    }
    return pages.release();
  });
}

PyMethodDef methods[] = {
    {"read_pages", fastcall(read_pages), METH_FASTCALL | METH_KEYWORDS,
     "read_pages($self, file_descriptors, offsets)\n--\n\n"},
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
