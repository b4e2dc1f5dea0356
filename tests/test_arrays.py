"""Arrays in, arrays out: integer buffers and tensors as arguments, and caller-owned output."""

import array
import ctypes
import mmap
import os
import sys
import threading
import time

import pytest

from conftest import Tensor, on_other_thread
from quandrel import (Fault, PageReader, Store, View, rowids_array, rowids_for_seq,
                      rowids_for_seq_with_history)

FORMATS = "bBhHiIlLqQ"


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except (Exception, Fault) as e:
        return type(e), str(e), getattr(e, "__notes__", None)


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
    yield "reversed", memoryview(array.array(fmt, values[::-1]))[::-1]
    if fmt == "B":
        yield "bytes", bytes(values)


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
        # The first value out of range decides the error and the item its note names.
        values = [views[1] if kind == "fds" else 3, v, 2] + edge_values(fmt)[::-1]
        if kind == "fds" and not fmt.islower() and array.array(fmt).itemsize == 1:
            values[0] = 0  # the descriptor may not fit an unsigned byte
        expected = outcome(call, views, values)
        for name, obj in exporters(fmt, values):
            assert outcome(call, views, obj) == expected, (name, v)


# Any layout is read in C order, whatever wraps it.
SHAPES = {
    "2-D column slice": lambda a: a[:, ::2],
    "transposed": lambda a: a.T,
    "reversed rows": lambda a: a[::-1, 1:],
    "3-D, axes permuted": lambda a: a.reshape(2, 3, 4).transpose(2, 0, 1),
    "1-D strided": lambda a: a[:, 1],
    "empty": lambda a: a[:, :0],
}
WRAPS = {"numpy": None, "dlpack": Tensor, "dlpack-legacy": lambda a: Tensor(a, legacy=True),
         "pinned": lambda a: Tensor(a, device=(3, 0))}


@pytest.mark.parametrize("wrap", WRAPS)
@pytest.mark.parametrize("shape", SHAPES)
def test_any_layout_reads_in_c_order(sample_store, shape, wrap):
    np = pytest.importorskip("numpy")
    s = sample_store(shards=1, rows_per_shard=24, width=8)
    store, a = Store(s.dir, 1, 24, 8), SHAPES[shape](np.arange(24, dtype=np.int64).reshape(4, 6))
    x, listed, refs = (WRAPS[wrap] or (lambda a: a))(a), a.ravel().tolist(), sys.getrefcount(a)
    assert rowids_for_seq(x, 1) == rowids_for_seq(listed, 1)
    out = np.empty((len(listed), 8), dtype=np.uint8)
    store.fetch_into(x, out if wrap == "numpy" else Tensor(out))
    assert out.tobytes() == store.fetch(x) == store.fetch(listed)
    assert sys.getrefcount(a) == refs  # every tensor given back to its producer, once


def test_tokens_refused_or_converted():
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError, match="^argument 'tokens': the memory of 'Tensor' is on device cuda:1, not the CPU$"):
        rowids_for_seq(Tensor(np.arange(3), device=(2, 1)), 1)
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        rowids_for_seq(np.array(7), 1)
    assert outcome(rowids_for_seq, array.array("d", [1.0]), 1) == outcome(rowids_for_seq, [1.0], 1)
    assert rowids_for_seq(np.arange(5).astype(">i8"), 1) == rowids_for_seq(range(5), 1)


def test_torch(sample_store):
    torch = pytest.importorskip("torch")  # where it is installed: the tensors users pass
    s = sample_store(shards=1, rows_per_shard=24, width=8)
    ids, out, ids_out = torch.arange(24).reshape(4, 6), torch.empty((6, 4, 8), dtype=torch.uint8), torch.empty((4, 16), dtype=torch.int64)
    Store(s.dir, 1, 24, 8).fetch_into(ids.T, out)
    assert out.numpy().tobytes() == s.rows(ids.T.flatten().tolist())
    assert rowids_array(ids[0, :4], 1, out=ids_out) is ids_out and ids_out.tolist() == rowids_for_seq([0, 1, 2, 3], 1)


def test_values_are_read_once(sample_store, views):
    """A thread flips the array between a good and a bad value while the calls
    read it: each call must raise for the bad value or use the good one."""
    np = pytest.importorskip("numpy")
    s, n, pages = sample_store(shards=1, rows_per_shard=8, width=8), 65536, bytearray(16 * 65536)
    secret = os.open(s.dir + "/shard_000.bin", os.O_RDONLY)
    offsets = np.array([0] + [1 << 20] * (n - 1))

    def first_page(fds):  # one page read, then the end of the file: the cost is the conversion
        pages[:16] = bytes(16)
        with pytest.raises(OSError, match="^EOF while reading page"):
            PageReader(16).read_pages_into(fds, offsets, pages)
        return bytes(pages[:16])
    races = [  # call, good value, bad value, the good value's result
        (Store(s.dir, 1, 8, 8).fetch, 3, -1, s.row(3) * n),
        (lambda a: rowids_array(a, 1).tolist(), 5, 2**32 + 7, rowids_for_seq([5] * n, 1)),
        (first_page, views[1], 2**32 + secret, bytes(range(16))),
    ]
    for call, good, bad, expected in races:
        a, goods, bads = (np.full(n, v, dtype=np.int64) for v in (good, good, bad))
        stop = threading.Event()

        def flip():
            while not stop.is_set():
                np.copyto(a, bads)
                np.copyto(a, goods)
        flipper = threading.Thread(target=flip)
        flipper.start()
        try:
            deadline = time.monotonic() + 0.3
            while time.monotonic() < deadline:
                result = outcome(call, a)
                assert result[0] is OverflowError or result == ("ok", expected)
        finally:
            stop.set()
            flipper.join()
    os.close(secret)


@pytest.mark.parametrize("history", [(), [1, 248044, 9], array.array("I", [3, 4])])
def test_rowids_array_equals_the_lists(history):
    np = pytest.importorskip("numpy")
    tokens = [0, 1, 248044, 2, 4294967295, 5, 6, 7]
    expected = rowids_for_seq_with_history(list(history), tokens, 1)
    r = rowids_array(array.array("q", tokens), 1, history)
    assert (r.format, r.shape, r.readonly, r.tolist()) == ("q", (8, 16), False, expected)
    a = np.asarray(r)
    a[0, 0] = -1
    assert r[0, 0] == -1  # shared, not copied
    assert rowids_array(tokens, ple_spec=1, history=history).tolist() == expected
    empty = rowids_array([], 1, history)
    assert (empty.format, empty.shape, empty.tolist()) == ("q", (0,), [])
    for dtype, shape in [(np.int64, (8, 16)), (np.uint64, (128,)), (np.int64, (2, 4, 16))]:
        out = np.full(shape, -1).astype(dtype)
        given = Tensor(out) if dtype is np.uint64 else out  # only __dlpack__, as a torch tensor
        assert rowids_array(np.array(tokens).reshape(2, 4), 1, history, out=given) is given
        assert out.reshape(8, 16).tolist() == np.array(expected).astype(dtype).tolist()


@pytest.mark.parametrize("args, kwargs, error, message", [
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
    """Writable buffers of `size` bytes, each filled with 0xFF, and what reads them back."""
    yield bytearray(b"\xff" * size)
    yield memoryview(bytearray(b"\xff" * (size + 1)))[1:]  # not aligned
    if size:
        m = mmap.mmap(-1, size)
        m.write(b"\xff" * size)
        yield m
    np = pytest.importorskip("numpy")
    yield np.full(size // 4, -1, dtype=np.int32)
    yield np.full((size // 8, 2, 4) if size else (0,), 255, dtype=np.uint8)
    # A field's name is no item type, even where it holds an 'O'.
    yield np.full(size // 8, -1, dtype=[("Origin", "<i4"), ("b", "<i4")])
    yield Tensor(np.full((2, size // 2), 255, dtype=np.uint8))


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
            assert bytes(out.a if isinstance(out, Tensor) else out) == expected


def test_output_errors(sample_store, views):
    s = sample_store(shards=1, rows_per_shard=10, width=8)
    store, (view, fd), reader = Store(s.dir, 1, 10, 8), views, PageReader(4096)
    calls = [
        (lambda out: store.fetch_into([1, 2], out), 16),
        (lambda out: view.read_records_into([1, 2], out), 5120),
        (lambda out: reader.read_pages_into([fd, fd], [0, 1], out), 8192),
    ]
    np, read_only = pytest.importorskip("numpy"), mmap.mmap(-1, 16, access=mmap.ACCESS_READ)
    frozen = np.zeros(8192, dtype=np.uint8)
    frozen.flags.writeable = False
    cases = [
        (None, TypeError, "argument 'out': a writable buffer is required, not 'NoneType'"),
        (bytes, TypeError, "argument 'out': the buffer of 'bytes' is read-only"),
        (read_only, TypeError, "argument 'out': the buffer of 'mmap' is read-only"),
        (lambda size: bytearray(size + 1), ValueError,
         "argument 'out': expected a buffer of {size} bytes, got {n} bytes"),
        (lambda size: memoryview(bytearray(2 * size))[::2], ValueError,
         "argument 'out': expected a C-contiguous buffer of {size} bytes, "
         "got a non-contiguous one of {size} bytes"),
        (lambda size: np.empty(size // 8, dtype=object), TypeError,
         "argument 'out': items must be plain data, not format 'O'"),
        (lambda size: np.empty(size // 16, dtype=[("a", "O"), ("b", "l")]), TypeError,
         "argument 'out': items must be plain data, not format 'T{{O:a:l:b:}}'"),
        (Tensor(frozen), TypeError, "argument 'out': the buffer of 'Tensor' is read-only"),
        (Tensor(frozen, device=(2, 0)), TypeError,
         "argument 'out': the memory of 'Tensor' is on device cuda:0, not the CPU"),
    ]
    for call, size in calls:
        for make, error, message in cases:
            out = make(size) if callable(make) else make
            with pytest.raises(error) as e:
                call(out)
            assert str(e.value) == message.format(size=size, n=size + 1)
    # The errors of the matching methods, in their order.
    with pytest.raises(ValueError, match="^file_descriptors and offsets must have the same length$"):
        reader.read_pages_into([fd], [0, 1], bytearray(4096))
    assert isinstance(on_other_thread(lambda: view.read_records_into([], bytearray())), Fault)
    fault = on_other_thread(lambda: reader.read_pages_into([], [], bytearray()))
    assert type(fault) is Fault and str(fault) == "_quandrel::PageReader is unsendable, but sent to another thread"
