"""PageReader: one page per (descriptor, offset) pair, read on the calling thread."""

import mmap
import os

import pytest

from conftest import on_other_thread
from quandrel import Fault, PageReader


@pytest.fixture
def fd(tmp_path):
    p = tmp_path / "data.bin"
    p.write_bytes(bytes(range(256)) * 20 + bytes(range(136)))  # 5256 bytes
    f = os.open(p, os.O_RDONLY)
    yield f
    os.close(f)


CONTENT = bytes(range(256)) * 20 + bytes(range(136))


@pytest.mark.parametrize("page_size", [1, 4096, 65536, 2**40])
def test_power_of_two_page_sizes_are_accepted(page_size):
    PageReader(page_size)
    PageReader(page_size=page_size)


@pytest.mark.parametrize("page_size", [0, 3, 4095, 2**64 - 1])
def test_other_page_sizes_are_refused(page_size):
    with pytest.raises(ValueError, match=r"^page_size must be a positive power of two$"):
        PageReader(page_size)


def test_pages_short_last_page_and_eof(fd):
    r = PageReader()
    assert r.read_pages([], []) == []
    pages = r.read_pages([fd, fd, fd], [0, 4096, 100])
    assert pages == [CONTENT[:4096], CONTENT[4096:], CONTENT[100:4196]]
    assert os.lseek(fd, 0, os.SEEK_CUR) == 0  # the descriptor's position does not move
    assert PageReader(1024).read_pages(file_descriptors=[fd], offsets=[5000]) == [CONTENT[5000:]]
    with pytest.raises(OSError) as info:
        r.read_pages([fd], [5256])
    assert type(info.value) is OSError and info.value.args == ("EOF while reading page",)


@pytest.mark.parametrize("fds, offsets, exc, pattern", [
    ([-1], [0], OSError, r"^Bad file descriptor \(os error 9\)$"),
    (["fd"], [0], None, None),
    ([0], [2**63], OSError, r"\(os error 22\)$"),
    ([0], [0, 4096], ValueError, r"^file_descriptors and offsets must have the same length$"),
    ([2**31], [0], OverflowError, r"^out of range integral type conversion attempted$"),
    ([0], [-1], OverflowError, None),
    ("0", [0], TypeError, r"^argument 'file_descriptors': Can't extract `str` to `Vec`$"),
    ([0], "0", TypeError, r"^argument 'offsets': Can't extract `str` to `Vec`$"),
])
def test_argument_and_read_errors(fd, fds, offsets, exc, pattern):
    fds = [fd if f == 0 else f for f in fds] if not isinstance(fds, str) else fds
    if exc is None:
        exc, pattern = TypeError, r"^argument 'file_descriptors': "
    with pytest.raises(exc, match=pattern) as info:
        PageReader().read_pages(fds, offsets)
    assert type(info.value) is exc


def test_failure_midway_returns_nothing(fd):
    with pytest.raises(OSError, match="EOF while reading page"):
        PageReader().read_pages([fd] * 5, [0, 4096, 9999, 0, 0])


def test_capacity_overflow():
    with pytest.raises(Fault, match="^capacity overflow$"):
        PageReader(2**63).read_pages([0], [0])
    assert PageReader(2**63).read_pages([], []) == []


def test_o_direct(tmp_path):
    p = tmp_path / "direct.bin"
    p.write_bytes(CONTENT[:4096] * 4)
    try:
        f = os.open(p, os.O_RDONLY | os.O_DIRECT)
    except OSError as e:
        pytest.skip(f"O_DIRECT refused here: {e}")
    try:
        try:
            pages = PageReader(8192).read_pages([f, f], [0, 8192])
        except OSError as e:
            if "(os error 22)" in str(e):
                buf = mmap.mmap(-1, 4096)  # aligned: tells whether the file system takes O_DIRECT at all
                try:
                    os.preadv(f, [buf], 0)
                except OSError:
                    pytest.skip("this file system refuses O_DIRECT reads")
            raise
        assert pages == [CONTENT[:4096] * 2] * 2
    finally:
        os.close(f)


def test_bound_to_its_thread(fd):
    r = PageReader()
    fault = on_other_thread(lambda: r.read_pages([fd], [0]))
    assert type(fault) is Fault
    assert str(fault) == "_quandrel::PageReader is unsendable, but sent to another thread"
