#include "functions.h"

#include <optional>
#include <span>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "io/keyfile.h"
#include "io/view.h"
#include "keygen/ple_spec.h"
#include "keygen/rowids.h"
#include "messages.h"

namespace quandrel::py {
namespace {

constexpr Signature kReadKeys{"read_keys()", {"path"}};
constexpr Signature kRowids{"rowids_for_seq()", {"tokens", "ple_spec"}};
constexpr Signature kRowidsWithHistory{"rowids_for_seq_with_history()",
                                       {"history", "tokens", "ple_spec"}};
constexpr std::uint32_t kPleQwenV1 = 1;

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
    {
      WithoutGil unlocked;
      keys.emplace(io::read_keys(path.value, [&unlocked] {
        return unlocked.relocked([] { return PyErr_CheckSignals() == 0; });
      }));
    }
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
    const keygen::PleSpec ple = keygen::PleSpec::real();
    return rows_to_py(keygen::rowids_for_seq(ple, tokens));
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
    const keygen::PleSpec ple = keygen::PleSpec::real();
    return rows_to_py(keygen::rowids_for_seq_with_history(ple, history, tokens));
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

}  // namespace

PyMethodDef* private_functions() {
  static PyMethodDef defs[] = {
      {"_manifest_info", fastcall(manifest_info), METH_FASTCALL | METH_KEYWORDS,
       "_manifest_info(view_path)\n--\n\n"
       "(manifest_path, state, slot_bytes, grans, reason) of the manifest beside a view."},
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
