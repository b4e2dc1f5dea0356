// The binding layer's argument binder and converters, in an embedded
// interpreter, against a model written in Python.
//
// The input is read as a small program: a tag byte picks the kind of object
// to build (integers of every width and sign, text with lone surrogates,
// sequences that lie about their length or fail midway, objects whose
// __index__ misbehaves, ...), then one byte picks the converter or the binder
// to run on it. Both the converter and the model give an outcome, either
// ("ok", value) or ("err", type, message, notes), and the outcomes must agree.

#include "convert.h"
#include "errors.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

using quandrel::py::Ref;

const char kModel[] = R"PY(
import operator, warnings
warnings.simplefilter("ignore")

class Unset:
    pass
UNSET = Unset()

def mk_int(b, signed):
    return int.from_bytes(b, "little", signed=signed)

def mk_str(b):
    return b.decode("utf-8", "surrogateescape")

class Idx:
    def __init__(self, v, mode):
        self.v, self.mode = v, mode % 4
    def __index__(self):
        if self.mode == 1:
            raise ValueError("no index")
        if self.mode == 2:
            return "not an int"
        if self.mode == 3:
            return True
        return self.v

class Lying:
    """A sequence through __getitem__ whose __len__ may lie or fail, and
    whose items may run out with an error other than IndexError."""
    def __init__(self, items, mode):
        self.items, self.mode = items, mode % 5
    def __len__(self):
        return [len(self.items), 0, 2**62, -1, 2**70][self.mode] if self.mode != 3 else int("x")
    def __getitem__(self, i):
        if self.mode == 4 and i == len(self.items):
            raise RuntimeError("gone")
        return self.items[i]

class Text(str):
    def __str__(self):
        return "other"

class Int(int):
    def __index__(self):
        return 7

def mk_sub(o, kind):
    if kind % 2 and isinstance(o, str):
        return Text(o)
    if isinstance(o, int) and not isinstance(o, bool):
        return Int(o)
    return o

def mk_iter(items):
    return iter(items)

def mk_range(a, b, step):
    return range(a, b, step or 1)

def mk_view(b, fmt, step):
    """Integers in memory, in any order and stride."""
    f = "bBhHiIlLqQ"[fmt % 10]
    size = memoryview(bytes(8)).cast(f).itemsize
    v = memoryview(b[:len(b) // size * size]).cast(f)
    return v[::[1, 2, -1, -3][step % 4]]

def as_int(o):
    return int.__index__(o) if isinstance(o, int) else operator.index(o)

def u64(o):
    v = as_int(o)
    if not 0 <= v < 2**64:
        raise OverflowError
    return v

def narrow(lo, hi):
    def convert(o):
        v = as_int(o)
        if not -2**63 <= v < 2**63:
            raise OverflowError
        if not lo <= v <= hi:
            raise OverflowError("out of range integral type conversion attempted")
        return v
    return convert

def text(o):
    if not isinstance(o, str):
        raise TypeError(f"'{type(o).__name__}' object cannot be converted to 'PyString'")
    return str.encode(o, "utf-8")

def sequence(convert):
    def seq(o):
        if isinstance(o, str):
            raise TypeError("Can't extract `str` to `Vec`")
        if isinstance(o, dict) or not hasattr(type(o), "__getitem__"):
            raise TypeError(f"'{type(o).__name__}' object cannot be converted to 'Sequence'")
        out = []
        for x in o:
            try:
                out.append(convert(x))
            except (TypeError, OverflowError) as e:
                e.__notes__ = getattr(e, "__notes__", []) + [f"argument 'p', item {len(out)}"]
                raise
        return out
    return seq

CONVERTERS = [text, u64, narrow(0, 2**32 - 1), narrow(-2**31, 2**31 - 1)]
CONVERTERS += [sequence(c) for c in CONVERTERS[1:]]

def outcome(f, *args):
    try:
        return ("ok", f(*args))
    except Exception as e:
        message = None if type(e) is OverflowError and not e.args else str(e)
        if type(e) is TypeError:
            message = "argument 'p': " + message
        return ("err", type(e), message, getattr(e, "__notes__", None))

def check_convert(which, o, got):
    want = outcome(CONVERTERS[which], o)
    if got[0] != want[0] or got[1:2] != want[1:2] or (
            want[0] == "err" and want[2] is not None and got[2] != want[2]) or got[3:] != want[3:]:
        raise AssertionError(f"converter {which} on {o!r}: got {got!r}, want {want!r}")

def bind(name, params, required, pos, kw):
    n = len(params)
    if len(pos) > n:
        verb = "was" if len(pos) == 1 else "were"
        if required == n:
            raise TypeError(f"{name} takes {n} positional arguments but {len(pos)} {verb} given")
        raise TypeError(f"{name} takes from {required} to {n} positional arguments "
                        f"but {len(pos)} {verb} given")
    out = list(pos) + [UNSET] * (n - len(pos))
    for k, v in kw:
        if k not in params:
            raise TypeError(f"{name} got an unexpected keyword argument '{k}'")
        i = params.index(k)
        if out[i] is not UNSET:
            raise TypeError(f"{name} got multiple values for argument '{k}'")
        out[i] = v
    missing = [params[i] for i in range(required) if out[i] is UNSET]
    if missing:
        names = [f"'{m}'" for m in missing]
        joined = names[0] if len(names) == 1 else (
            " and ".join(names) if len(names) == 2 else ", ".join(names[:-1]) + ", and " + names[-1])
        s = "s" if len(missing) > 1 else ""
        raise TypeError(f"{name} missing {len(missing)} required positional argument{s}: {joined}")
    return out

def python_call(params, required, pos, kw):
    # The interpreter's own binding of the same signature: it must accept
    # exactly the calls that the binder accepts, and bind the same objects.
    args = ", ".join(p if i < required else f"{p}=UNSET" for i, p in enumerate(params))
    scope = {"UNSET": UNSET}
    exec(f"def f({args}):\n    return [{', '.join(params)}]", scope)
    return scope["f"](*pos, **dict(kw))

def check_bind(name, params, required, pos, kw, got):
    want = outcome(bind, name, params, required, pos, kw)
    host = outcome(python_call, params, required, pos, kw)
    same = lambda a, b: len(a) == len(b) and all(x is y for x, y in zip(a, b))
    if got[0] != want[0] or want[0] != host[0]:
        raise AssertionError(f"bind {params} {required} {pos!r} {kw!r}: {got!r} {want!r} {host!r}")
    if want[0] == "ok":
        if not (same(got[1], want[1]) and same(got[1], host[1])):
            raise AssertionError(f"bound {got[1]!r}, want {want[1]!r}")
    elif got[1] is not TypeError or got[2:] != want[2:]:
        raise AssertionError(f"bind message {got[2]!r}, want {want[2]!r}")
)PY";

PyObject* g_model = nullptr;  // the model's globals

PyObject* model(const char* name) { return PyDict_GetItemString(g_model, name); }

[[noreturn]] void fail_with_python_error(const char* where) {
  std::fprintf(stderr, "%s:\n", where);
  PyErr_Print();
  std::abort();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  std::uint8_t byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  Ref bytes(std::size_t k) {
    k = std::min(k, n_);
    Ref b(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p_), static_cast<Py_ssize_t>(k)));
    p_ += k, n_ -= k;
    return b;
  }
  bool empty() const { return n_ == 0; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};

Ref call(const char* name, std::vector<PyObject*> args) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  for (std::size_t i = 0; i < args.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), args[i]);  // steals
  }
  Ref r(PyObject_CallObject(model(name), tuple.get()));
  if (!r) fail_with_python_error(name);
  return r;
}

Ref build(Input& in, int depth) {
  const int tag = in.byte() % 16;
  switch (tag) {
    case 0: return Ref(PyLong_FromLong(static_cast<std::int8_t>(in.byte())));
    case 1:
    case 2: {
      Ref raw = in.bytes(tag == 1 ? 8 : in.byte() % 20);
      return call("mk_int", {raw.release(), PyBool_FromLong(in.byte() & 1)});
    }
    case 3: return Ref(PyBool_FromLong(in.byte() & 1));
    case 4: return Ref(PyFloat_FromDouble(static_cast<std::int8_t>(in.byte()) / 4.0));
    case 5: return call("mk_str", {in.bytes(in.byte() % 12).release()});
    case 6: {
      Ref raw = in.bytes(in.byte() % 40);
      if (in.byte() % 2 == 0) return raw;
      return call("mk_view", {raw.release(), PyLong_FromLong(in.byte()), PyLong_FromLong(in.byte())});
    }
    case 7: return Ref::borrow(Py_None);
    case 8:
    case 9:
    case 12:
    case 13:
    case 14: {
      const std::size_t n = depth > 2 ? 0 : in.byte() % 5;
      Ref list(PyList_New(0));
      for (std::size_t i = 0; i < n; ++i) {
        Ref item = build(in, depth + 1);
        PyList_Append(list.get(), item.get());
      }
      if (tag == 8) return list;
      if (tag == 9) return Ref(PyList_AsTuple(list.get()));
      if (tag == 12) {
        Ref set(PySet_New(list.get()));
        if (set) return set;
        PyErr_Clear();  // unhashable items
        return Ref(PySet_New(nullptr));
      }
      if (tag == 13) return call("Lying", {list.release(), PyLong_FromLong(in.byte())});
      return call("mk_iter", {list.release()});
    }
    case 10: {
      PyObject* a = PyLong_FromLong(static_cast<std::int8_t>(in.byte()));
      PyObject* b = PyLong_FromLong(static_cast<std::int8_t>(in.byte()));
      return call("mk_range", {a, b, PyLong_FromLong(static_cast<std::int8_t>(in.byte()) % 4)});
    }
    case 11: {
      Ref v = depth > 2 ? Ref(PyLong_FromLong(1)) : build(in, depth + 1);
      return call("Idx", {v.release(), PyLong_FromLong(in.byte())});
    }
    default: {
      Ref v = depth > 2 ? Ref(PyLong_FromLong(1)) : build(in, depth + 1);
      return call("mk_sub", {v.release(), PyLong_FromLong(in.byte())});
    }
  }
}

// ("ok", value) after a conversion that succeeded, ("err", type, message,
// notes) after one that failed, the message as the binder's caller would show
// it (`renamed`: the conversion has named the argument already).
Ref outcome(bool ok, PyObject* value, bool renamed = false) {
  if (ok == (PyErr_Occurred() != nullptr)) {
    std::fprintf(stderr, "a converter returned %d with%s an exception set\n", ok, ok ? "" : "out");
    std::abort();
  }
  if (ok) return Ref(Py_BuildValue("(sO)", "ok", value));
  if (!renamed) quandrel::py::name_argument_in_error("p");
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  PyErr_NormalizeException(&type, &exc, &tb);
  Ref t(type), e(exc), trace(tb);
  Ref text(PyObject_Str(exc));
  if (!text) fail_with_python_error("str(exception)");
  Ref notes(PyObject_GetAttrString(exc, "__notes__"));
  if (!notes) {
    PyErr_Clear();
    notes = Ref::borrow(Py_None);
  }
  return Ref(Py_BuildValue("(sOOO)", "err", type, text.get(), notes.get()));
}

constexpr quandrel::py::Signature kOne("f()", {"p"});

template <class T>
Ref converted(PyObject* o) {
  T value{};
  const bool ok = quandrel::py::convert_slot(kOne, 0, o, value);
  Ref v;
  if (ok) {
    if constexpr (std::is_same_v<T, std::string>) {
      v = Ref(PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
      v = Ref(PyLong_FromLong(value));
    } else if constexpr (std::is_integral_v<T>) {
      v = Ref(PyLong_FromUnsignedLongLong(value));
    } else {
      v = Ref(PyList_New(0));
      for (auto x : value) {
        Ref item(std::is_signed_v<typename T::value_type> ? PyLong_FromLong(x)
                                                           : PyLong_FromUnsignedLongLong(x));
        PyList_Append(v.get(), item.get());
      }
    }
  }
  return outcome(ok, v.get(), true);
}

void check_convert(int which, PyObject* o) {
  Ref got;
  switch (which) {
    case 0: got = converted<std::string>(o); break;
    case 1: got = converted<std::uint64_t>(o); break;
    case 2: got = converted<std::uint32_t>(o); break;
    case 3: got = converted<std::int32_t>(o); break;
    case 4: got = converted<std::vector<std::uint64_t>>(o); break;
    case 5: got = converted<std::vector<std::uint32_t>>(o); break;
    default: got = converted<std::vector<std::int32_t>>(o); break;
  }
  call("check_convert", {PyLong_FromLong(which), Ref::borrow(o).release(), got.release()});
}

constexpr const char* kNames[] = {"dir", "shards", "rows", "width", "threads", "other"};

void check_bind(Input& in) {
  std::array<const char*, quandrel::py::Signature::kMax> params{};
  const std::size_t count = in.byte() % 6;
  for (std::size_t i = 0; i < count; ++i) params[i] = kNames[i];
  const quandrel::py::Signature sig("f()", params, in.byte() % (count + 1));

  std::vector<Ref> values;
  const std::size_t npos = in.byte() % 7;
  const std::size_t nkw = in.byte() % 4;
  for (std::size_t i = 0; i < npos + nkw; ++i) values.push_back(build(in, 2));
  Ref pos(PyTuple_New(static_cast<Py_ssize_t>(npos)));
  for (std::size_t i = 0; i < npos; ++i) PyTuple_SetItem(pos.get(), i, Ref::borrow(values[i].get()).release());
  // Keyword names without repeats, as a call expression can give them.
  Ref kwnames(PyTuple_New(0)), kwlist(PyList_New(0)), kwdict(PyDict_New());
  std::vector<PyObject*> fast(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) fast[i] = values[i].get();
  std::size_t given = 0;
  for (std::size_t i = 0; i < nkw; ++i) {
    Ref name(PyUnicode_FromString(kNames[in.byte() % 6]));
    if (PyDict_Contains(kwdict.get(), name.get())) continue;
    PyObject* value = values[npos + i].get();
    PyDict_SetItem(kwdict.get(), name.get(), value);
    Ref pair(Py_BuildValue("(OO)", name.get(), value));
    PyList_Append(kwlist.get(), pair.get());
    fast[npos + given++] = value;
  }
  if (given > 0) {
    kwnames = Ref(PyTuple_New(static_cast<Py_ssize_t>(given)));
    for (std::size_t i = 0; i < given; ++i) {
      Ref pair(PySequence_GetItem(kwlist.get(), static_cast<Py_ssize_t>(i)));
      PyTuple_SetItem(kwnames.get(), i, PySequence_GetItem(pair.get(), 0));
    }
  }

  Ref params_list(PyList_New(0));
  for (std::size_t i = 0; i < count; ++i) {
    Ref s(PyUnicode_FromString(params[i]));
    PyList_Append(params_list.get(), s.get());
  }
  for (bool as_tuple : {false, true}) {
    quandrel::py::Bound bound{};
    const quandrel::py::CallArgs args =
        as_tuple ? quandrel::py::CallArgs::tuple(pos.get(), given || in.byte() & 1 ? kwdict.get() : nullptr)
                 : quandrel::py::CallArgs::fast(fast.data(), static_cast<Py_ssize_t>(npos),
                                                given ? kwnames.get() : nullptr);
    const bool ok = quandrel::py::bind(sig, args, bound);
    Ref list(PyList_New(0));
    for (std::size_t i = 0; i < count; ++i) {
      PyList_Append(list.get(), bound[i] ? bound[i] : model("UNSET"));
    }
    // The binder's TypeErrors pass the renaming too; the model expects that.
    Ref got = outcome(ok, list.get());
    call("check_bind", {PyUnicode_FromString("f()"), Ref::borrow(params_list.get()).release(),
                        PyLong_FromSize_t(sig.required), PySequence_List(pos.get()),
                        Ref::borrow(kwlist.get()).release(), got.release()});
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The interpreter's own allocator would hide heap errors from the sanitizer.
  ::setenv("PYTHONMALLOC", "malloc", 1);
  Py_InitializeEx(0);
  g_model = PyDict_New();
  PyDict_SetItemString(g_model, "__builtins__", PyEval_GetBuiltins());
  Ref code(Py_CompileString(kModel, "<model>", Py_file_input));
  if (!code) fail_with_python_error("compiling the model");
  Ref done(PyEval_EvalCode(code.get(), g_model, g_model));
  if (!done) fail_with_python_error("running the model");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  while (!in.empty()) {
    const int op = in.byte() % 8;
    if (op == 7) {
      check_bind(in);
    } else {
      Ref o = build(in, 0);
      if (!o) fail_with_python_error("building an argument");
      check_convert(op, o.get());
    }
  }
  return 0;
}
