#include "functions.h"

#include <optional>
#include <span>
#include <vector>

#include "buffer.h"
#include "convert.h"
#include "core/error.h"
#include "core/messages.h"
#include "errors.h"
#include "io/keyfile.h"
#include "io/read/uring_reads.h"
#include "io/store/shard_store.h"
#include "io/view/view.h"
#include "keygen/key_scheme.h"
#include "keygen/rowids.h"
#include "messages.h"

namespace quandrel::py {
namespace {

constexpr Signature kReadKeys{"read_keys()", {"path"}};
constexpr Signature kRowids{"rowids_for_seq()", {"tokens", "ple_spec"}};
constexpr Signature kRowidsWithHistory{"rowids_for_seq_with_history()",
                                       {"history", "tokens", "ple_spec"}};
constexpr Signature kRowidsArray{"rowids_array()", {"tokens", "ple_spec", "history", "out"}, 2, 3};
constexpr std::uint32_t kPleQwenV1 = 1;
constexpr std::uint64_t kIdBytes = sizeof(std::int64_t);

PyObject* rows_to_py(const std::vector<keygen::RowIds>& rows) {
  Ref outer(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!outer) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* inner = list_of<std::uint32_t>(rows[i]);
    if (inner == nullptr) return nullptr;
    PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), inner);
  }
  return outer.release();
}

PyObject* read_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    FsPath path;
    if (!parse(kReadKeys, CallArgs::fast(args, nargs, kwnames), path)) return nullptr;
    // A FIFO may keep the read waiting for its writer: other threads run
    // meanwhile, and a signal lets the handlers run (one that raises ends
    // the read with its exception, as Python's own reads do).
    std::optional<Result<std::vector<std::uint64_t>>> keys;
    run_unlocked_interruptible([] {}, [&](const io::InterruptCheck& keep_going) {
      keys.emplace(io::read_keys(path.value, keep_going));
    });
    if (!*keys) return PyErr_Occurred() ? nullptr : raise_os_error(keys->error());
    return list_of<std::uint64_t>(**keys);
  });
}

PyObject* abi_version(PyObject*, PyObject*) {
  return guarded([] { return to_py(std::uint64_t{1}); });
}

PyObject* rowids_for_seq(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint32_t> tokens;
    std::uint32_t scheme = 0;
    if (!parse(kRowids, CallArgs::fast(args, nargs, kwnames), tokens, scheme)) return nullptr;
    if (scheme != kPleQwenV1) return raise(PyExc_NotImplementedError, msg::kOnlyQwenV1);
    const keygen::KeyScheme key_scheme = keygen::KeyScheme::real();
    return rows_to_py(keygen::rowids_for_seq(key_scheme, tokens));
  });
}

PyObject* rowids_for_seq_with_history(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint32_t> history, tokens;
    std::uint32_t scheme = 0;
    if (!parse(kRowidsWithHistory, CallArgs::fast(args, nargs, kwnames), history, tokens,
               scheme)) {
      return nullptr;
    }
    if (scheme != kPleQwenV1) return raise(PyExc_NotImplementedError, msg::kOnlyQwenV1);
    const keygen::KeyScheme key_scheme = keygen::KeyScheme::real();
    return rows_to_py(keygen::rowids_for_seq_with_history(key_scheme, history, tokens));
  });
}

constexpr Signature kManifestInfo{"_manifest_info()", {"view_path"}};

PyObject* manifest_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string view_path;
    if (!parse(kManifestInfo, CallArgs::fast(args, nargs, kwnames), view_path)) return nullptr;
    Result<io::ManifestInfo> info = io::read_manifest(view_path);
    if (!info) return raise_os_error(info.error());
    static constexpr const char* kStates[] = {"absent", "used", "ignored"};
    // A path as os.fsdecode gives it; a reason may quote bytes of the file,
    // which need not be UTF-8.
    Ref path(PyUnicode_DecodeFSDefaultAndSize(info->path.data(),
                                              static_cast<Py_ssize_t>(info->path.size())));
    Ref reason(PyUnicode_DecodeUTF8(info->reason.data(),
                                    static_cast<Py_ssize_t>(info->reason.size()), "replace"));
    Ref slot_bytes(to_py(info->slot.slot_bytes));
    Ref grans(to_py(info->slot.grans));
    if (!path || !reason || !slot_bytes || !grans) return nullptr;
    return Py_BuildValue("(OsOOO)", path.get(), kStates[static_cast<int>(info->state)],
                         slot_bytes.get(), grans.get(), reason.get());
  });
}

constexpr Signature kShardPath{"_shard_path()", {"dir", "index"}};

PyObject* shard_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    FsPath dir;
    std::uint64_t index = 0;
    if (!parse(kShardPath, CallArgs::fast(args, nargs, kwnames), dir, index)) return nullptr;
    const std::string path = io::shard_path(dir.value, index);
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  });
}

PyObject* cold_read_engine(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    const io::ColdReadEngine& engine = io::cold_read_engine();
    return Py_BuildValue("(ss)", engine.name.c_str(), engine.reason.c_str());
  });
}

// A writable memoryview of format 'q' and shape (n, 16) over a new bytearray,
// which it keeps alive. For no tokens it is one-dimensional and empty: a
// memoryview shape cannot hold a zero.
PyObject* new_id_block(const keygen::KeyScheme& scheme, std::span<const std::uint32_t> history,
                       std::span<const std::uint32_t> tokens) {
  std::uint64_t size = 0;
  if (__builtin_mul_overflow(tokens.size(), keygen::kTables * kIdBytes, &size) ||
      size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    fault(quandrel::msg::kCapacityOverflow);
  }
  Ref block(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!block) return nullptr;
  keygen::rowids_into(scheme, history, tokens,
                      reinterpret_cast<std::byte*>(PyByteArray_AsString(block.get())));
  Ref bytes_view(PyMemoryView_FromObject(block.get()));
  if (!bytes_view) return nullptr;
  if (tokens.empty()) return PyObject_CallMethod(bytes_view.get(), "cast", "s", "q");
  Ref shape(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(tokens.size()),
                          static_cast<Py_ssize_t>(keygen::kTables)));
  if (!shape) return nullptr;
  return PyObject_CallMethod(bytes_view.get(), "cast", "sO", "q", shape.get());
}

PyObject* rowids_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint32_t> tokens, history;
    std::uint32_t scheme = 0;
    Borrowed out_arg;
    if (!parse(kRowidsArray, CallArgs::fast(args, nargs, kwnames), tokens, scheme, history,
               out_arg)) {
      return nullptr;
    }
    const bool into = out_arg.object != nullptr && out_arg.object != Py_None;
    BufferHold out;
    if (into) {
      if (!acquire_output(out_arg.object, "out", out)) return nullptr;
      if (int_format(out.view()).width != kIdBytes) {
        PyErr_Format(PyExc_TypeError, "argument 'out': items must be 64-bit integers, not format '%s'",
                     out.view().format != nullptr ? out.view().format : "B");
        return nullptr;
      }
      const unsigned __int128 expected =
          static_cast<unsigned __int128>(tokens.size()) * keygen::kTables;
      if (!check_output_size(out, "out", expected, out.items(), "items")) return nullptr;
    }
    if (scheme != kPleQwenV1) return raise(PyExc_NotImplementedError, msg::kOnlyQwenV1);
    const keygen::KeyScheme key_scheme = keygen::KeyScheme::real();
    if (!into) return new_id_block(key_scheme, history, tokens);
    keygen::rowids_into(key_scheme, history, tokens, out.data());
    return Py_NewRef(out_arg.object);
  });
}

}  // namespace

PyMethodDef* module_extra_functions() {
  static PyMethodDef defs[] = {
      {"rowids_array", fastcall(rowids_array), METH_FASTCALL | METH_KEYWORDS,
       "rowids_array(tokens, ple_spec, history=(), *, out=None)\n--\n\n"
       "The row ids of rowids_for_seq_with_history(history, tokens, ple_spec) as one block of\n"
       "64-bit integers: a writable memoryview of format 'q' and shape (len(tokens), 16), or\n"
       "`out` filled with them (a writable C-contiguous int64 or uint64 buffer of\n"
       "len(tokens) * 16 items) and returned."},
      {"_manifest_info", fastcall(manifest_info), METH_FASTCALL | METH_KEYWORDS,
       "_manifest_info(view_path)\n--\n\n"
       "(manifest_path, state, slot_bytes, grans, reason) of the manifest beside a view."},
      {"_shard_path", fastcall(shard_path), METH_FASTCALL | METH_KEYWORDS,
       "_shard_path(dir, index)\n--\n\n"
       "The file a Store opens for shard `index` of `dir`: shard_NNN.bin where it exists, else\n"
       "ziruv_NNN.bin."},
      {"_cold_read_engine", cold_read_engine, METH_NOARGS,
       "_cold_read_engine()\n--\n\n"
       "(engine, reason): \"io_uring\" or \"pool\", the engine of reads that wait for the disk,\n"
       "and why it is not io_uring (\"\" when it is)."},
      {nullptr, nullptr, 0, nullptr},
  };
  return defs;
}

PyMethodDef* module_functions() {
  static PyMethodDef defs[] = {
      {"read_keys", fastcall(read_keys), METH_FASTCALL | METH_KEYWORDS, "read_keys(path)\n--\n\n"},
      {"abi_version", abi_version, METH_NOARGS, "abi_version()\n--\n\n"},
      {"rowids_for_seq", fastcall(rowids_for_seq), METH_FASTCALL | METH_KEYWORDS,
       "rowids_for_seq(tokens, ple_spec)\n--\n\n"},
      {"rowids_for_seq_with_history", fastcall(rowids_for_seq_with_history),
       METH_FASTCALL | METH_KEYWORDS, "rowids_for_seq_with_history(history, tokens, ple_spec)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  return defs;
}

}  // namespace quandrel::py
