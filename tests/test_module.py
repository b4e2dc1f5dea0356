"""The module object, its types and the build: what Python sees of them."""

import ctypes
import gc
import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import quandrel
from quandrel import _quandrel

PUBLIC = ["Store", "View", "PageReader", "read_keys", "abi_version", "rowids_for_seq",
          "rowids_for_seq_with_history"]
CLASSES = [_quandrel.Store, _quandrel.View, _quandrel.PageReader]
CLOSE_DOC = "Compatibility no-op for the ctypes API (resources are dropped with the object)."


def test_names_and_fault():
    assert _quandrel.__all__ == PUBLIC
    assert all(hasattr(_quandrel, name) for name in PUBLIC)
    assert _quandrel.__doc__ is None
    assert "Fault" not in _quandrel.__all__
    assert quandrel.Fault is _quandrel.Fault
    assert _quandrel.Fault.__bases__ == (BaseException,)
    assert not issubclass(_quandrel.Fault, Exception)
    for name in PUBLIC:
        assert getattr(quandrel, name) is getattr(_quandrel, name)


@pytest.mark.parametrize("obj, signature", [
    (_quandrel.read_keys, "(path)"),
    (_quandrel.abi_version, "()"),
    (_quandrel.rowids_for_seq, "(tokens, ple_spec)"),
    (_quandrel.rowids_for_seq_with_history, "(history, tokens, ple_spec)"),
    (_quandrel.Store, "(dir, shards, rows_per_shard, width, threads=...)"),
    (_quandrel.Store.fetch, "($self, rowids)"),
    (_quandrel.Store.fetch_one, "($self, rowid)"),
    (_quandrel.Store.close, "($self)"),
    (_quandrel.View, "(path)"),
    (_quandrel.View.len, "($self)"),
    (_quandrel.View.slot_bytes, "($self)"),
    (_quandrel.View.close, "($self)"),
    (_quandrel.View.read_record, "($self, index)"),
    (_quandrel.View.read_records, "($self, indices)"),
    (_quandrel.PageReader, "(page_size=4096)"),
    (_quandrel.PageReader.read_pages, "($self, file_descriptors, offsets)"),
])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    inspect.signature(obj)  # parses
    if obj in (_quandrel.Store.close, _quandrel.View.close):
        assert obj.__doc__ == CLOSE_DOC
    elif obj in (_quandrel.Store, _quandrel.View):
        assert not obj.__doc__
    elif obj is not _quandrel.PageReader:
        assert obj.__doc__ is None


def test_page_reader_docstring():
    assert _quandrel.PageReader.__doc__ == (
        "Page reader compatible with the shape of SGLang's `IoUringReader.read_pages`.\n"
        "\n"
        "This is a pread-based implementation (Unix); it is a useful integration point\n"
        "for engines that already have raw file descriptors and offset lists.")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_properties(cls, tmp_path):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__init__ is object.__init__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = _quandrel.PageReader() if cls is _quandrel.PageReader else None
    if obj is not None:
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)


def test_store_members(tmp_path):
    members = [m for m in vars(_quandrel.Store) if not m.startswith("__")]
    assert members == ["fetch", "fetch_one", "close", "width", "total_rows", "fetch_into"]
    store = _quandrel.Store(str(tmp_path), 0, 10, 3)
    for attr in ("width", "total_rows"):
        with pytest.raises(AttributeError):
            setattr(store, attr, 1)
    assert not gc.is_tracked(store)


def test_receiver_of_another_type_is_refused():
    with pytest.raises(TypeError):
        _quandrel.Store.fetch(5, [1])


def test_second_init_returns_the_same_module():
    first = sys.modules.pop("quandrel._quandrel")
    try:
        again = importlib.import_module("quandrel._quandrel")
        assert again is first
        lib = ctypes.PyDLL(first.__file__)
        lib.PyInit__quandrel.restype = ctypes.py_object
        assert lib.PyInit__quandrel() is first
        assert again.Store is first.Store
    finally:
        sys.modules["quandrel._quandrel"] = first


def test_sub_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "out.txt"
    code = textwrap.dedent(f"""
        import _testcapi, quandrel._quandrel
        _testcapi.run_in_subinterp('''
        try:
            import quandrel._quandrel
            r = "imported"
        except ImportError as e:
            r = "ImportError: " + str(e)
        open({str(out)!r}, "w").write(r)
        ''')
    """)
    subprocess.run([sys.executable, "-c", code], check=True)
    assert out.read_text() == "ImportError: the quandrel._quandrel module does not support sub-interpreters"


@pytest.mark.skipif(shutil.which("nm") is None or shutil.which("readelf") is None,
                    reason="binutils not installed")
def test_binary_exports_only_the_entry_point():
    path = _quandrel.__file__
    assert path.endswith(".abi3.so")
    nm = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                        check=True).stdout
    assert [line.split()[-1] for line in nm.splitlines() if line.strip()] == ["PyInit__quandrel"]
    dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True,
                             check=True).stdout
    assert "libpython" not in dynamic
