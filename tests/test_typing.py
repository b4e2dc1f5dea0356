"""The type stubs: they match the module, and strict mypy takes what the module takes."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


def mypy(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd,
                          timeout=600)


def test_stubtest(tmp_path):
    r = mypy("mypy.stubtest", "quandrel", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_strict_callers(tmp_path):
    pytest.importorskip("numpy")
    (tmp_path / "caller.py").write_text(textwrap.dedent("""\
        import pathlib
        import numpy as np
        import quandrel

        ids = np.arange(4, dtype=np.uint64)
        store = quandrel.Store(pathlib.Path("d"), 1, 4, 8, threads=np.int64(2))
        data: bytes = store.fetch(ids) + store.fetch([1, np.uint64(2)])
        rows: list[list[int]] = quandrel.rowids_for_seq(ids.astype(np.uint32), 1)
        keys: list[int] = quandrel.read_keys(b"keys.txt")
        quandrel.View("v.bin").read_records(ids)
        store.fetch({1, 2})
        quandrel.read_keys(7)
        """))
    r = mypy("mypy", "--strict", "--no-incremental", "caller.py", cwd=tmp_path)
    errors = [line for line in r.stdout.splitlines() if ": error:" in line]
    # Exactly the two calls that the module refuses at run time.
    assert [e.split(":")[1] for e in errors] == ["11", "12"], r.stdout
