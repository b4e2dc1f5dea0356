// StoreWriter: writes a new table and publishes it whole. Usable from any
// thread; calls on one writer take turns on its lock, which is taken only
// after the interpreter lock has been let go, so that a long write or commit
// never holds up other Python threads.

#include <memory>
#include <mutex>

#include "class_base.h"
#include "io/table/store_writer.h"
#include "tables.h"

namespace quandrel::py {
namespace {

struct WriterState {
  static constexpr const char* kName = "StoreWriter";
  static constexpr const char* kTypeName = "quandrel._quandrel.StoreWriter";
  static constexpr const char* kBoundPath = nullptr;

  // Behind pointers: the methods get the state as const.
  std::unique_ptr<io::StoreWriter> writer;
  std::unique_ptr<std::mutex> lock;
};

using WriterClass = Class<WriterState>;

constexpr Signature kNew{"StoreWriter.__new__()", {"dir", "shards", "rows_per_shard", "width"}};
constexpr Signature kWrite{"StoreWriter.write()", {"start_row", "rows"}};
constexpr Signature kWriteAt{"StoreWriter.write_at()", {"rowids", "rows"}};
constexpr Signature kExit{"StoreWriter.__exit__()", {"exc_type", "exc_value", "traceback"}};

constexpr char kCommitted[] = "StoreWriter: the table is already committed";
constexpr char kAborted[] = "StoreWriter: the writer was aborted";

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    FsPath dir;
    io::StoreGeometry g;
    if (!parse(kNew, CallArgs::tuple(args, kwargs), dir, g.shards, g.rows_per_shard, g.width)) return nullptr;
    if (const std::string problem = io::StoreWriter::geometry_problem(g); !problem.empty()) {
      return raise(PyExc_ValueError, problem.c_str());
    }
    Result<io::StoreWriter> writer = io::StoreWriter::create(dir.value, g);
    if (!writer) return raise_os_error(writer.error());
    return WriterClass::wrap(type, std::unique_ptr<WriterState>(new WriterState{
        std::make_unique<io::StoreWriter>(std::move(*writer)), std::make_unique<std::mutex>()}));
  });
}

// What a step run under the writer's lock ended with: the writer may have
// been closed by another thread in the meantime.
struct Outcome {
  io::StoreWriter::State closed_as = io::StoreWriter::State::kOpen;
  Result<void> result;
};

// Runs `step` on an open writer, without the interpreter lock and under the
// writer's own; `abandon` lets go of the call's Python objects if the thread
// is ended meanwhile (see run_unlocked).
template <class Abandon, class Step>
PyObject* run_step(const WriterState& s, Abandon&& abandon, Step&& step) {
  const Outcome outcome = run_unlocked(abandon, [&]() -> Outcome {
    std::lock_guard hold(*s.lock);
    if (s.writer->state() != io::StoreWriter::State::kOpen) return {s.writer->state(), {}};
    return {io::StoreWriter::State::kOpen, step(*s.writer)};
  });
  if (outcome.closed_as == io::StoreWriter::State::kCommitted) return raise(PyExc_ValueError, kCommitted);
  if (outcome.closed_as == io::StoreWriter::State::kAborted) return raise(PyExc_ValueError, kAborted);
  if (!outcome.result) return raise_os_error(outcome.result.error());
  return Py_NewRef(Py_None);
}

// write and write_at: `where` (a start row, or row ids) says where the rows
// of the buffer `rows` go. Both are checked before anything is written.
template <class Where, class Problem, class Write>
PyObject* write_rows(const Signature& sig, PyObject* self, const CallArgs& call, Problem&& problem,
                     Write&& write) {
  Where where{};
  Borrowed rows_arg;
  const WriterState* s = WriterClass::parse_method(sig, self, call, where, rows_arg);
  if (s == nullptr) return nullptr;
  BufferHold rows;
  if (!acquire_input(rows_arg.object, "rows", rows)) return nullptr;
  if (const std::string p = problem(*s->writer, where, rows.size()); !p.empty()) {
    return raise(PyExc_ValueError, p.c_str());
  }
  return run_step(*s, [&] { rows.abandon(); }, [&](io::StoreWriter& w) {
    return write(w, where, std::span<const std::byte>(rows.data(), rows.size()));
  });
}

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    return write_rows<std::uint64_t>(
        kWrite, self, CallArgs::fast(args, nargs, kwnames),
        [](const io::StoreWriter& w, std::uint64_t start, std::size_t n) { return w.write_problem(start, n); },
        [](io::StoreWriter& w, std::uint64_t start, auto rows) { return w.write(start, rows); });
  });
}

PyObject* write_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    using Ids = std::vector<std::uint64_t>;
    return write_rows<Ids>(
        kWriteAt, self, CallArgs::fast(args, nargs, kwnames),
        [](const io::StoreWriter& w, const Ids& ids, std::size_t n) { return w.write_at_problem(ids, n); },
        [](io::StoreWriter& w, const Ids& ids, auto rows) { return w.write_at(ids, rows); });
  });
}

PyObject* commit(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const WriterState* s = WriterClass::receive(self);
    return s ? run_step(*s, [] {}, [](io::StoreWriter& w) { return w.commit(); }) : nullptr;
  });
}

// Nothing to do on a closed writer: abort() is safe in any cleanup path.
PyObject* abort_writer(const WriterState& s) {
  PyObject* done = run_step(s, [] {}, [](io::StoreWriter& w) { return w.abort(); });
  if (done == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return Py_NewRef(Py_None);
  }
  return done;
}

PyObject* abort(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const WriterState* s = WriterClass::receive(self);
    return s ? abort_writer(*s) : nullptr;
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return WriterClass::receive(self) ? Py_NewRef(self) : nullptr; });
}

// Commits when the block ended normally, aborts when it raised; a writer the
// block closed itself is left as it is. Never swallows the block's exception.
PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Borrowed type, value, traceback;
    const WriterState* s = WriterClass::parse_method(kExit, self, CallArgs::fast(args, nargs, kwnames),
                                                     type, value, traceback);
    if (s == nullptr) return nullptr;
    if (type.object != Py_None) {
      Ref ignored(abort_writer(*s));
      if (!ignored) return nullptr;
      return Py_NewRef(Py_False);
    }
    Ref committed(run_step(*s, [] {}, [](io::StoreWriter& w) { return w.commit(); }));
    if (!committed) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
      PyErr_Clear();  // closed inside the block
    }
    return Py_NewRef(Py_False);
  });
}

PyMethodDef methods[] = {
    {"write", fastcall(write), METH_FASTCALL | METH_KEYWORDS,
     "write($self, start_row, rows)\n--\n\n"
     "Writes rows start_row, start_row + 1, ... from `rows`, any C-contiguous buffer whose size\n"
     "is a multiple of the width; they may span shards. Rows past the table raise ValueError\n"
     "before anything is written."},
    {"write_at", fastcall(write_at), METH_FASTCALL | METH_KEYWORDS,
     "write_at($self, rowids, rows)\n--\n\n"
     "Writes row rowids[i] from bytes i * width ... (i + 1) * width - 1 of `rows`. An id past\n"
     "the table raises ValueError before anything is written."},
    {"commit", commit, METH_NOARGS,
     "commit($self)\n--\n\n"
     "Flushes every file and the manifest to the device and renames the staging directory to\n"
     "`dir`, which must still not exist; the table appears there whole or not at all."},
    {"abort", abort, METH_NOARGS,
     "abort($self)\n--\n\n"
     "Removes the staging directory and everything written. Does nothing on a closed writer."},
    {"__enter__", enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall(exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
     "Commits when the block ends normally, aborts when it raises."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* store_writer_class() {
  return WriterClass::ready(
      methods, nullptr, writer_new,
      "StoreWriter(dir, shards, rows_per_shard, width)\n--\n\n"
      "Writes a new table of `shards` shard files of `rows_per_shard` rows of `width` bytes into\n"
      "a staging directory beside `dir`, and publishes it at `dir` on commit, with a manifest\n"
      "of chunk digests. Rows never written read as zeros. `dir` must not exist.");
}

}  // namespace quandrel::py
