"""Errors that point at their cause: OS errors as the subclass Python picks,
with the path in a note; an element's error with its argument and index in a
note; paths as users pass them."""

import array

import pytest

from quandrel import (PageReader, View, read_keys, rowids_array, rowids_for_seq,
                      rowids_for_seq_with_history)


def notes(e):
    return getattr(e, "__notes__", [])


@pytest.mark.parametrize("call, cls, code, text, note", [
    (lambda d: View(f"{d}/nope.bin"), FileNotFoundError, 2,
     "No such file or directory (os error 2)", "view file: {d}/nope.bin"),
    (lambda d: read_keys(f"{d}/nope"), FileNotFoundError, 2,
     "No such file or directory (os error 2)", "key file: {d}/nope"),
    (lambda d: read_keys(str(d)), IsADirectoryError, 21, "Is a directory (os error 21)", "key file: {d}"),
    # Errors of the library's own carry no errno and stay plain OSError.
    (lambda d: read_keys(f"{d}/bad.txt"), OSError, None, "invalid digit found in string",
     "key file: {d}/bad.txt, line 3"),
])
def test_os_errors(tmp_path, call, cls, code, text, note):
    (tmp_path / "bad.txt").write_text("1\n\n2 3\n4\n")
    with pytest.raises(OSError) as info:
        call(tmp_path)
    e = info.value
    assert type(e) is cls and e.errno == code
    assert e.args == (text,) and str(e) == text
    assert e.strerror is None and e.filename is None
    assert notes(e) == ([note.format(d=tmp_path)] if note else [])


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


# Conversion comes first: these win over the unsupported scheme 2.
@pytest.mark.parametrize("call, error, text, note", [
    (lambda: rowids_for_seq([1, 2, 3, -1], 2), OverflowError,
     "out of range integral type conversion attempted", "argument 'tokens', item 3"),
    (lambda: rowids_for_seq_with_history([1, "x"], [2], 2), TypeError,
     "argument 'history': 'str' object cannot be interpreted as an integer", "argument 'history', item 1"),
    (lambda: rowids_array(array.array("q", [5, 2**40]), 1), OverflowError,
     "out of range integral type conversion attempted", "argument 'tokens', item 1"),
    (lambda: PageReader().read_pages(memoryview(array.array("q", [0, 2**40]))[::-1], (0, 0)),
     OverflowError, "out of range integral type conversion attempted", "argument 'file_descriptors', item 0"),
    (lambda: rowids_for_seq(7, 2), TypeError,
     "argument 'tokens': 'int' object cannot be converted to 'Sequence'", None),
])
def test_element_errors_name_argument_and_item(call, error, text, note):
    with pytest.raises(error) as info:
        call()
    assert info.value.args == (text,)
    assert notes(info.value) == ([note] if note else [])
