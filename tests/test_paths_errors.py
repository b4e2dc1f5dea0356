"""OS errors as the subclass Python picks, with the path in a note; paths as
users pass them."""

import os
import pathlib

import pytest

from quandrel import Store, View, read_keys


def notes(e):
    return getattr(e, "__notes__", [])


def make_files(tmp_path):
    (tmp_path / "store").mkdir()
    (tmp_path / "store" / "shard_000.bin").write_bytes(b"ab")
    (tmp_path / "view.bin").write_bytes(b"v" * 2560)
    (tmp_path / "keys.txt").write_text("3\n4\n")
    (tmp_path / "bad.txt").write_text("1\n\n2 3\n4\n")
    locked = tmp_path / "locked.txt"
    locked.write_text("1\n")
    locked.chmod(0)


@pytest.mark.parametrize("call, cls, code, text, note", [
    (lambda d: View(f"{d}/nope.bin"), FileNotFoundError, 2,
     "No such file or directory (os error 2)", "view file: {d}/nope.bin"),
    (lambda d: read_keys(f"{d}/nope"), FileNotFoundError, 2,
     "No such file or directory (os error 2)", "key file: {d}/nope"),
    (lambda d: read_keys(str(d)), IsADirectoryError, 21, "Is a directory (os error 21)", "key file: {d}"),
    (lambda d: read_keys(f"{d}/locked.txt"), PermissionError, 13,
     "Permission denied (os error 13)", "key file: {d}/locked.txt"),
    (lambda d: View(f"{d}/view.bin/x"), NotADirectoryError, 20,
     "Not a directory (os error 20)", "view file: {d}/view.bin/x"),
    # Errors of the library's own carry no errno and stay plain OSError.
    (lambda d: read_keys(f"{d}/bad.txt"), OSError, None, "invalid digit found in string",
     "key file: {d}/bad.txt, line 3"),
    (lambda d: View(f"{d}/view.bin").read_record(1), OSError, None,
     "view record index 1 out of range (count 1)", None),
])
def test_os_errors(tmp_path, call, cls, code, text, note):
    if code == 13 and os.geteuid() == 0:
        pytest.skip("root reads every file")
    make_files(tmp_path)
    with pytest.raises(OSError) as info:
        call(tmp_path)
    e = info.value
    assert type(e) is cls and e.errno == code
    assert e.args == (text,) and str(e) == text
    assert e.strerror is None and e.filename is None
    assert notes(e) == ([note.format(d=tmp_path)] if note else [])


@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path])
def test_path_kinds(tmp_path, kind):
    make_files(tmp_path)
    assert Store(kind(str(tmp_path / "store")), 1, 1, 2).fetch([0]) == b"ab"
    assert View(kind(str(tmp_path / "view.bin"))).len() == 1
    assert read_keys(kind(str(tmp_path / "keys.txt"))) == [3, 4]


class OddPath:
    def __fspath__(self):
        return 7


@pytest.mark.parametrize("path, pattern", [
    (7, r"^argument 'path': 'int' object cannot be converted to 'PyString'$"),
    (bytearray(b"keys.txt"), r"^argument 'path': 'bytearray' object cannot be converted to 'PyString'$"),
    (OddPath(), r"^argument 'path': expected OddPath.__fspath__\(\) to return str or bytes, not int$"),
])
def test_not_paths(path, pattern):
    with pytest.raises(TypeError, match=pattern):
        read_keys(path)
