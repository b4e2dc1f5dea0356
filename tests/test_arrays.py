"""Arrays in, arrays out: integer buffers as arguments, and caller-owned output."""

import array
import ctypes
import mmap
import os

import pytest

from conftest import on_other_thread
from quandrel import (Fault, PageReader, Store, View, rowids_array, rowids_for_seq,
                      rowids_for_seq_with_history)

FORMATS = "bBhHiIlLqQ"


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except (Exception, Fault) as e:
        return type(e), str(e)


def edge_values(fmt):
    bits = array.array(fmt).itemsize * 8
    if fmt.islower():
        return [0, 1, -1, -(1 << (bits - 1)), (1 << (bits - 1)) - 1]
    return [0, 1, 1 << (bits // 2), (1 << bits) - 1]


def exporters(fmt, values):
    """The same values under each way of saying the format: none, '@', '<'
    (and bytes-like objects for 'B')."""
    a = array.array(fmt, values)
    yield "array", a
    yield "memoryview@", memoryview(a).cast("B").cast("@" + fmt)
    c_type = getattr(ctypes, f"c_{'' if fmt.islower() else 'u'}int{a.itemsize * 8}")
    c = (c_type * len(values))(*values)
    assert memoryview(c).format[0] == "<"
    yield "ctypes<", c
    if fmt == "B":
        yield "bytes", bytes(values)
        yield "bytearray", bytearray(values)


@pytest.fixture
def views(tmp_path):
    path = tmp_path / "v.bin"
    path.write_bytes(bytes(range(256)) * 40)  # 4 records of 2560 bytes
    fd = os.open(path, os.O_RDONLY)
    yield View(str(path)), fd
    os.close(fd)


# Each kind of element conversion, with a result that shows the values read.
KINDS = {
    "tokens": lambda env, x: rowids_for_seq(x, 1),
    "history": lambda env, x: rowids_for_seq_with_history(x, [5], 1),
    "indices": lambda env, x: env[0].read_records(x),  # the OSError names the index
    "fds": lambda env, x: PageReader(16).read_pages(x, [0] * len(x)),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("fmt", FORMATS)
def test_buffers_convert_as_lists_do(views, kind, fmt):
    call = KINDS[kind]
    for v in edge_values(fmt):
        # The first value out of range decides the error, whatever follows it.
        values = [views[1] if kind == "fds" else 3, v, 2] + edge_values(fmt)[::-1]
        if kind == "fds" and not fmt.islower() and array.array(fmt).itemsize == 1:
            values[0] = 0  # the descriptor may not fit an unsigned byte
        expected = outcome(call, views, values)
        for name, obj in exporters(fmt, values):
            assert outcome(call, views, obj) == expected, (name, v)


def test_numpy_shapes_order_and_fallbacks(views):
    np = pytest.importorskip("numpy")
    a = np.arange(12, dtype=np.int64).reshape(3, 4)
    assert rowids_for_seq(a, 1) == rowids_for_seq(list(range(12)), 1)  # C order
    assert rowids_for_seq(a.T.copy(), 1) == rowids_for_seq(a.T.ravel().tolist(), 1)
    # Not C-contiguous, big-endian or not integers: element by element, as before.
    assert rowids_for_seq(a[:, 1], 1) == rowids_for_seq([1, 5, 9], 1)
    assert rowids_for_seq(a.astype(">i8").ravel(), 1) == rowids_for_seq(list(range(12)), 1)
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        rowids_for_seq(a[:, ::2], 1)
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        rowids_for_seq(np.array(7), 1)
    assert outcome(rowids_for_seq, array.array("d", [1.0]), 1) == outcome(rowids_for_seq, [1.0], 1)
    assert views[0].read_records(np.array([2, 0], dtype=np.uint8)) == views[0].read_records([2, 0])


# rowids_array

@pytest.mark.parametrize("history", [(), [7], [1, 248044, 9], array.array("I", [3, 4])])
def test_rowids_array_equals_the_lists(history):
    tokens = [0, 1, 248044, 2, 4294967295, 5]
    expected = rowids_for_seq_with_history(list(history), tokens, 1)
    r = rowids_array(array.array("q", tokens), 1, history)
    assert (r.format, r.shape, r.readonly) == ("q", (6, 16), False)
    assert r.tolist() == expected
    assert rowids_array(tokens, ple_spec=1, history=history).tolist() == expected
    empty = rowids_array([], 1, history)
    assert (empty.format, empty.shape, empty.tolist()) == ("q", (0,), [])


def test_rowids_array_into_out_and_sharing():
    np = pytest.importorskip("numpy")
    tokens = np.array([[5, 6], [7, 8]], dtype=np.int32)
    expected = np.array(rowids_for_seq(tokens.ravel().tolist(), 1))
    r = rowids_array(tokens, 1)
    a = np.asarray(r)
    assert np.shares_memory(a, np.asarray(r)) and (a == expected).all()
    a[0, 0] = -1
    assert r[0, 0] == -1
    for dtype, shape in [(np.int64, (4, 16)), (np.uint64, (64,)), (np.int64, (2, 2, 16))]:
        out = np.full(shape, -1).astype(dtype)
        assert rowids_array(tokens, 1, out=out) is out
        assert (out.reshape(4, 16) == expected).all()


@pytest.mark.parametrize("args, kwargs, error, message", [
    ([[1], 1, (), None], {}, TypeError,
     "rowids_array() takes from 2 to 3 positional arguments but 4 were given"),
    ([[1], 2], {}, NotImplementedError, "only PLE_QWEN_V1=1 is implemented"),
    ([[1], 2], {"out": [0] * 16}, TypeError, "argument 'out': a writable buffer is required, not 'list'"),
    ([[1], 1], {"out": array.array("d", [0] * 16)}, TypeError,
     "argument 'out': items must be 64-bit integers, not format 'd'"),
    ([[1, 2], 1], {"out": array.array("q", [0] * 16)}, ValueError,
     "argument 'out': expected a buffer of 32 items, got 16 items"),
    ([[1], 1], {"out": memoryview(array.array("q", [0] * 32))[::2]}, ValueError,
     "argument 'out': expected a C-contiguous buffer of 16 items, got a non-contiguous one of 16 items"),
])
def test_rowids_array_errors(args, kwargs, error, message):
    with pytest.raises(error) as e:
        rowids_array(*args, **kwargs)
    assert str(e.value) == message


# Output buffers of the readers

def writable_outs(size):
    """Writable buffers of `size` bytes, each filled with 0xFF."""
    yield bytearray(b"\xff" * size)
    yield memoryview(bytearray(b"\xff" * (size + 1)))[1:]  # not aligned
    if size:
        m = mmap.mmap(-1, size)
        m.write(b"\xff" * size)
        yield m
    try:
        import numpy as np
    except ImportError:
        return
    yield np.full(size // 4, -1, dtype=np.int32)
    yield np.full((size // 8, 2, 4) if size else (0,), 255, dtype=np.uint8)


def test_into_equals_the_returning_call(sample_store, views):
    # Shard 3 is short: its missing rows must come out as zeros, not as what `out` held.
    s = sample_store(shards=4, rows_per_shard=100, width=16,
                     rows_written=lambda shard: 40 if shard == 3 else 100)
    store, (view, fd) = Store(s.dir, 4, 100, 16), views
    cases = [(store.fetch(ids), None, lambda out, ids=ids: store.fetch_into(array.array("Q", ids), out))
             for ids in ([], [0], [399, 5, 5, 350, 120], list(range(0, 400, 3)))]
    cases += [(view.read_records(ids), None, lambda out, ids=ids: view.read_records_into(ids, out))
              for ids in ([], [3], [2, 0, 2, 1])]
    for size, offsets in [(4096, []), (4096, [0, 8192, 4096, 0]), (1024, [10000, 0])]:
        reader, fds = PageReader(size), [fd] * len(offsets)
        pages = reader.read_pages(fds, offsets)
        cases.append((b"".join(p.ljust(size, b"\0") for p in pages), [len(p) for p in pages],
                      lambda out, r=reader, f=fds, o=offsets: r.read_pages_into(f, o, out)))
    for expected, returned, into in cases:
        for out in writable_outs(len(expected)):
            assert into(out) == returned
            assert bytes(out) == expected


def test_output_errors(sample_store, views):
    s = sample_store(shards=1, rows_per_shard=10, width=8)
    store, (view, fd), reader = Store(s.dir, 1, 10, 8), views, PageReader(4096)
    calls = [
        (lambda out: store.fetch_into([1, 2], out), 16),
        (lambda out: view.read_records_into([1, 2], out), 5120),
        (lambda out: reader.read_pages_into([fd, fd], [0, 1], out), 8192),
    ]
    read_only = mmap.mmap(-1, 16, access=mmap.ACCESS_READ)
    for call, size in calls:
        for out, error, message in [
            (None, TypeError, "argument 'out': a writable buffer is required, not 'NoneType'"),
            (bytes(size), TypeError, "argument 'out': the buffer of 'bytes' is read-only"),
            (read_only, TypeError, "argument 'out': the buffer of 'mmap' is read-only"),
            (bytearray(size + 1), ValueError,
             f"argument 'out': expected a buffer of {size} bytes, got {size + 1} bytes"),
            (memoryview(bytearray(2 * size))[::2], ValueError,
             f"argument 'out': expected a C-contiguous buffer of {size} bytes, "
             f"got a non-contiguous one of {size} bytes"),
        ]:
            with pytest.raises(error) as e:
                call(out)
            assert str(e.value) == message
    # The errors of the matching methods, in their order.
    with pytest.raises(OverflowError):
        store.fetch_into([-1], bytearray(8))
    with pytest.raises(OSError, match="^view record index 9 out of range"):
        view.read_records_into([0, 9], bytearray(5120))
    with pytest.raises(ValueError, match="^file_descriptors and offsets must have the same length$"):
        reader.read_pages_into([fd], [0, 1], bytearray(4096))
    with pytest.raises(OSError, match="^EOF while reading page\n"):
        reader.read_pages_into([fd, fd], [0, 10240], bytearray(8192))
    assert isinstance(on_other_thread(lambda: view.read_records_into([], bytearray())), Fault)
    assert isinstance(on_other_thread(lambda: reader.read_pages_into([], [], bytearray())), Fault)

