#include "convert.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/error.h"
#include "core/messages.h"
#include "io/read/huge_pages.h"
#include "errors.h"
#include "messages.h"

namespace quandrel::py {

static_assert(sizeof(long) == 8, "the integer conversions assume an LP64 platform");

namespace {

bool is_param(PyObject* key, const char* name) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.name,
                 sig.positional, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.name, sig.required, sig.positional, given, verb);
  }
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Bound& out) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (!is_param(key, sig.params[i])) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.name,
                   sig.params[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.name, key);
  return false;
}

bool check_required(const Signature& sig, const Bound& out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  const std::string text = std::string(sig.name) + " missing " + std::to_string(missing.size()) +
                           " required positional argument" + (missing.size() > 1 ? "s" : "") +
                           ": " + join_names(missing);
  raise(PyExc_TypeError, text.c_str());
  return false;
}

}  // namespace

bool bind(const Signature& sig, const CallArgs& call, Bound& out) {
  const Py_ssize_t npos = call.positional_count();
  if (npos < 0) return false;
  if (static_cast<std::size_t>(npos) > sig.positional) {
    too_many_positional(sig, npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = call.positional(i);
  return call.each_keyword(
             [&](PyObject* key, PyObject* value) { return bind_keyword(sig, key, value, out); }) &&
         check_required(sig, out);
}

std::string type_name(PyObject* o) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::nullptr_t raise_cannot_convert(PyObject* o, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(o).c_str(),
               target);
  return nullptr;
}

bool from_py(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool from_py(PyObject* o, FsPath& out) {
  if (PyUnicode_Check(o)) return from_py(o, out.value);
  Ref path;
  if (!PyBytes_Check(o)) {
    // Only objects that claim to be paths go through os.fspath; everything
    // else keeps the text conversion's message.
    if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__")) {
      raise_cannot_convert(o, "PyString");
      return false;
    }
    path = Ref(PyOS_FSPath(o));
    if (!path) return false;
    if (PyUnicode_Check(path.get())) return from_py(path.get(), out.value);
    o = path.get();
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return false;
  out.value.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool from_py(PyObject* o, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(o)) {
    index = Ref(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  // unsigned long is 64 bits here; its conversion walks the digits directly,
  // where the long long one goes through a byte array.
  out = PyLong_AsUnsignedLong(o);
  return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

namespace {

template <class T>
bool narrow_from_py(PyObject* o, T& out) {
  const long v = PyLong_AsLong(o);  // 64 bits, through __index__
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < std::numeric_limits<T>::min() || v > static_cast<long>(std::numeric_limits<T>::max())) {
    raise(PyExc_OverflowError, msg::kOutOfRangeIntegral);
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

}  // namespace

bool from_py(PyObject* o, std::uint32_t& out) { return narrow_from_py(o, out); }
bool from_py(PyObject* o, std::int32_t& out) { return narrow_from_py(o, out); }

bool check_sequence(PyObject* o, std::size_t& length_hint) {
  if (PyUnicode_Check(o)) {
    raise(PyExc_TypeError, msg::kStrToVec);
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();  // the length is a hint only
    length_hint = 0;
  } else {
    // A __len__ may report far more than the object yields; growth past the
    // cap is amortised anyway.
    length_hint = std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 20);
  }
  return true;
}

void name_argument_in_error(const char* param) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (type != PyExc_TypeError || value == nullptr) {  // exactly TypeError, not a subclass
    PyErr_Restore(type, value, tb);
    return;
  }
  Ref t(type), v(value), trace(tb);
  Ref text(PyObject_Str(value));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  Ref renamed(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), PyException_GetCause(value));  // steals the new reference
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

void note_failed_item(const char* param, std::size_t item) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    add_note(value, "argument '" + std::string(param) + "', item " + std::to_string(item));
    PyErr_Clear();  // a note that cannot be added must not replace the error
  }
  PyErr_Restore(type, value, tb);
}

Ref new_bytes_for_overwrite(std::uint64_t size, char** data) {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
    fault(quandrel::msg::kCapacityOverflow);
  }
  Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return bytes;
  *data = PyBytes_AsString(bytes.get());
  io::advise_huge_pages({reinterpret_cast<std::byte*>(*data), static_cast<std::size_t>(size)});
  return bytes;
}

Ref new_bytes(std::uint64_t size, char** data) {
  Ref bytes = new_bytes_for_overwrite(size, data);
  if (bytes) std::memset(*data, 0, size);
  return bytes;
}

}  // namespace quandrel::py
