"""PageReader: one page per (descriptor, offset) pair, read on the calling thread."""

import mmap
import os

import pytest

from quandrel import Fault, PageReader

CONTENT = bytes(range(256)) * 20 + bytes(range(136))  # 5256 bytes


@pytest.fixture
def fd(tmp_path):
    p = tmp_path / "data.bin"
    p.write_bytes(CONTENT)
    f = os.open(p, os.O_RDONLY)
    yield f
    os.close(f)


def test_page_size_must_be_a_power_of_two():
    PageReader(page_size=1), PageReader(2**40)
    for bad in (0, 2**64 - 1):
        with pytest.raises(ValueError, match=r"^page_size must be a positive power of two$"):
            PageReader(bad)
    # One that no buffer can hold is refused when a page is read.
    with pytest.raises(Fault, match="^capacity overflow$"):
        PageReader(2**63).read_pages([0], [0])
    assert PageReader(2**63).read_pages([], []) == []


def test_pages_short_last_page_and_eof(fd):
    r = PageReader()
    assert r.read_pages([], []) == []
    pages = r.read_pages([fd, fd, fd], [0, 4096, 100])
    assert pages == [CONTENT[:4096], CONTENT[4096:], CONTENT[100:4196]]
    assert os.lseek(fd, 0, os.SEEK_CUR) == 0  # the descriptor's position does not move
    assert PageReader(1024).read_pages(file_descriptors=[fd], offsets=[5000]) == [CONTENT[5000:]]
    # A page at the end fails the whole call, pages read before it included.
    with pytest.raises(OSError) as info:
        r.read_pages([fd] * 3, [0, 5256, 0])
    assert type(info.value) is OSError and info.value.args == ("EOF while reading page",)
    assert info.value.__notes__ == [f"pair 1: fd {fd}, offset 5256"]


@pytest.mark.parametrize("fds, offsets, exc, text", [
    ([0, -1], [0, 0], OSError, "Bad file descriptor (os error 9)"),
    ([0], [2**63], OSError, "Invalid argument (os error 22)"),
    ([0], [0, 4096], ValueError, "file_descriptors and offsets must have the same length"),
    ([2**31], [0], OverflowError, "out of range integral type conversion attempted"),
])
def test_argument_and_read_errors(fd, fds, offsets, exc, text):
    fds = [fd if f == 0 else f for f in fds]
    with pytest.raises(exc) as info:
        PageReader().read_pages(fds, offsets)
    assert type(info.value) is exc and str(info.value) == text
    if exc is OSError:  # the pair that failed
        i = len(fds) - 1
        assert info.value.__notes__ == [f"pair {i}: fd {fds[i]}, offset {offsets[i]}"]


def test_o_direct(tmp_path):
    p = tmp_path / "direct.bin"
    p.write_bytes(CONTENT[:4096] * 4)
    try:
        f = os.open(p, os.O_RDONLY | os.O_DIRECT)
    except OSError as e:
        pytest.skip(f"O_DIRECT refused here: {e}")
    try:
        assert PageReader(8192).read_pages([f, f], [0, 8192]) == [CONTENT[:4096] * 2] * 2
    except OSError:
        try:  # an aligned buffer: does the file system take O_DIRECT at all?
            os.preadv(f, [mmap.mmap(-1, 4096)], 0)
        except OSError:
            pytest.skip("this file system refuses O_DIRECT reads")
        raise
    finally:
        os.close(f)

