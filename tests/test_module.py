"""The module object, its types and the build: what Python sees of them."""

import ctypes
import gc
import importlib
import inspect
import operator
import shutil
import subprocess
import sys
import weakref

import pytest

import quandrel
from conftest import run_python
from quandrel import _quandrel

PUBLIC = ["Store", "View", "PageReader", "read_keys", "abi_version", "rowids_for_seq",
          "rowids_for_seq_with_history"]


def test_names_and_fault():
    assert _quandrel.__all__ == PUBLIC and _quandrel.__doc__ is None
    for name in PUBLIC:
        assert getattr(quandrel, name) is getattr(_quandrel, name)
    assert quandrel.Fault is _quandrel.Fault
    assert _quandrel.Fault.__bases__ == (BaseException,)


SIGNATURES = {
    "read_keys": "(path)", "abi_version": "()", "rowids_for_seq": "(tokens, ple_spec)",
    "rowids_for_seq_with_history": "(history, tokens, ple_spec)",
    "Store": "(dir, shards, rows_per_shard, width, threads=...)", "Store.fetch": "($self, rowids)",
    "Store.fetch_one": "($self, rowid)", "Store.close": "($self)", "View": "(path)",
    "View.len": "($self)", "View.slot_bytes": "($self)", "View.close": "($self)",
    "View.read_record": "($self, index)", "View.read_records": "($self, indices)",
    "PageReader": "(page_size=4096)",
    "PageReader.read_pages": "($self, file_descriptors, offsets)",
}


def test_text_signatures():
    for name, signature in SIGNATURES.items():
        obj = operator.attrgetter(name)(_quandrel)
        assert obj.__text_signature__ == signature, name
        inspect.signature(obj)  # parses


def test_types_and_instances(tmp_path):
    for cls in (_quandrel.Store, _quandrel.View, _quandrel.PageReader):
        assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("builtins", cls.__name__, (object,))
        assert cls.__init__ is object.__init__
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert [m for m in vars(_quandrel.Store) if not m.startswith("__")] == [
        "fetch", "fetch_one", "close", "width", "total_rows", "fetch_into", "shards", "rows_per_shard",
        "threads", "dir", "stats"]
    store, reader = _quandrel.Store(str(tmp_path), 0, 10, 3), _quandrel.PageReader()
    for obj, attr in [(store, "width"), (store, "total_rows"), (reader, "extra")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
    with pytest.raises(TypeError):
        weakref.ref(reader)
    assert not gc.is_tracked(store) and not gc.is_tracked(reader)
    with pytest.raises(TypeError):
        _quandrel.Store.fetch(5, [1])  # a receiver of another type


def test_second_init_returns_the_same_module():
    first = sys.modules.pop("quandrel._quandrel")
    try:
        assert importlib.import_module("quandrel._quandrel") is first
        lib = ctypes.PyDLL(first.__file__)
        lib.PyInit__quandrel.restype = ctypes.py_object
        assert lib.PyInit__quandrel() is first
    finally:
        sys.modules["quandrel._quandrel"] = first


def test_sub_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    r = run_python('''
        import _testcapi, quandrel._quandrel
        _testcapi.run_in_subinterp("""
        try:
            import quandrel._quandrel
        except ImportError as e:
            print("ImportError:", e)
        """)
    ''')
    assert r.stdout == "ImportError: the quandrel._quandrel module does not support sub-interpreters\n"


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
