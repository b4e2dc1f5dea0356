// PageReader: one page of a fixed power-of-two size from each of a list of
// (descriptor, offset) pairs that the caller holds. Bound to the thread that
// created it; holds no resource.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "buffer.h"
#include "module_types.h"
#include "class_base.h"
#include "io/read/page_reads.h"

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

// The pages of `fds` and `offsets` into `out` (the caller's or our own), with
// the interpreter lock released: a read may wait for a disk, and other
// Python threads should run meanwhile. Interrupted, the handlers run, then
// the read is made again unless one of them raised. Null with an exception
// set on failure. `abandon` runs when the interpreter ends this thread while
// the lock is away: the caller's Python objects may then not be released.
template <class Abandon>
bool read_pages_unlocked(const std::vector<std::int32_t>& fds, const std::vector<std::uint64_t>& offsets,
                         std::size_t page_size, std::span<std::byte> out,
                         std::vector<std::size_t>& lengths, Abandon&& abandon) {
  lengths.resize(fds.size());
  const Result<void> read = run_unlocked_interruptible(abandon, [&](const io::InterruptCheck& keep_going) {
    return io::read_pages(fds, offsets, page_size, out, lengths, keep_going);
  });
  if (read) return true;
  if (!PyErr_Occurred()) raise_os_error(read.error());
  return false;
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
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(s->page_size, fds.size(), &size) ||
        size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      fault(quandrel::msg::kCapacityOverflow);
    }
    // Aligned, so that the pages are read into it directly.
    io::AlignedBuffer buffer = io::aligned_buffer(size);
    if (!buffer) return PyErr_NoMemory();
    std::vector<std::size_t> lengths;
    if (!read_pages_unlocked(fds, offsets, s->page_size, {buffer.get(), size}, lengths,
                             [&] { (void)pages.release(); })) {
      return nullptr;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      PyObject* page = PyBytes_FromStringAndSize(
          reinterpret_cast<const char*>(buffer.get() + i * s->page_size), static_cast<Py_ssize_t>(lengths[i]));
      if (page == nullptr) return nullptr;
      PyList_SetItem(pages.get(), static_cast<Py_ssize_t>(i), page);
    }
    return pages.release();
  });
}

// As read_pages, with page i written to bytes [i * page_size, (i + 1) *
// page_size) of the caller's buffer `out` and the rest of a short page's slot
// zeroed.
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
    Ref lengths_list(PyList_New(static_cast<Py_ssize_t>(fds.size())));
    if (!lengths_list || fds.empty()) return lengths_list.release();
    std::vector<std::size_t> lengths;
    if (!read_pages_unlocked(fds, offsets, s->page_size, {out.data(), out.size()}, lengths, [&] {
          (void)lengths_list.release();
          out.abandon();
        })) {
      return nullptr;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      PyObject* length = PyLong_FromSize_t(lengths[i]);
      if (length == nullptr) return nullptr;
      PyList_SetItem(lengths_list.get(), static_cast<Py_ssize_t>(i), length);
    }
    return lengths_list.release();
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
