import array
import asyncio
import concurrent.futures
import gc
import os
import threading

import pytest

from conftest import SampleStore, run_python
from quandrel import Fault, ReadHandle, Store, View

np = pytest.importorskip("numpy")

WIDTH = 64


@pytest.fixture(params=["store", "view"])
def reads(request, tmp_path):
    """(async read, sync read, expected bytes of ids) of a store or a view of
    the same 4,000 rows."""
    s = SampleStore(tmp_path, 1, 4000, WIDTH)
    if request.param == "store":
        store = Store(s.dir, 1, 4000, WIDTH)
        return store.fetch_into_async, store.fetch_into, s.rows
    view = View(s.view())
    return view.read_records_into_async, view.read_records_into, s.rows


@pytest.fixture
def big_store(tmp_path):
    """A store large enough that a read of all of it is still running when
    the next statement looks (64 MiB of sparse rows)."""
    d = tmp_path / "big"
    d.mkdir()
    with open(d / "shard_000.bin", "wb") as f:
        f.truncate((1 << 20) * WIDTH)
    return Store(str(d), 1, 1 << 20, WIDTH)


def slow_read(store, out=None, ids=None):
    ids = np.arange(1 << 20, dtype=np.uint64) if ids is None else ids
    out = np.empty((len(ids), WIDTH), np.uint8) if out is None else out
    h = store.fetch_into_async(ids, out)
    assert not h.done()  # the tests below need a read in flight
    return h


async def awaited(h):
    return await h


def collect(how, h):
    if how == "result":
        return h.result()
    if how == "wait":
        assert h.wait() and h.wait(0) and h.done()
        return h.result(timeout=0)
    if how == "with":
        with h as same:
            assert same is h
        assert h.done()
        return h.result()
    return asyncio.run(awaited(h))


@pytest.mark.parametrize("how", ["result", "wait", "with", "await"])
@pytest.mark.parametrize("n", [0, 16, 20000])
def test_results_match_the_synchronous_read(reads, how, n):
    start, _, rows = reads
    ids = np.random.default_rng(n).integers(0, 4000, n)
    out = np.empty((n, WIDTH), np.uint8)
    assert collect(how, start(ids, out)) is out
    assert out.tobytes() == rows(ids)


@pytest.mark.parametrize("args", [
    lambda: (["x"], bytearray(WIDTH)),          # argument kind
    lambda: ([0], bytes(WIDTH)),                # read-only out
    lambda: ([0, 1], bytearray(WIDTH)),         # wrong size
    lambda: ([4000], bytearray(WIDTH)),         # beyond the table: Fault / OSError
    lambda: ([0],),                             # missing argument
])
def test_errors_before_reading_are_raised_by_the_call(reads, args):
    start, sync, _ = reads
    errors = []
    for f in (sync, start):
        with pytest.raises((Exception, Fault)) as info:
            f(*args())
        errors.append(info.value)
    name = sync.__name__ + "()"
    assert type(errors[1]) is type(errors[0])
    assert str(errors[1]) == str(errors[0]).replace(name, name.replace("()", "_async()"))


def test_a_read_in_flight_holds_its_buffers(big_store):
    out, ids = bytearray((1 << 20) * WIDTH), array.array("Q", range(1 << 20))
    h = slow_read(big_store, out, ids)
    for grow in (lambda: out.extend(b"x"), lambda: ids.append(0)):
        with pytest.raises(BufferError):
            grow()
    assert h.wait(0) is False
    with pytest.raises(TimeoutError):
        h.result(timeout=0.001)
    assert h.result() is out
    out.extend(b"x")  # released once the read has ended
    ids.append(0)


def test_cancel(big_store):
    out = np.full(((1 << 20), WIDTH), 0xFF, np.uint8)
    handles = [slow_read(big_store, out)]
    while out[0, 0] == 0xFF:  # until the read is under way
        pass
    assert handles[0].cancel() is True
    for _ in range(12):  # more than the threads that run them: some cancelled while queued
        handles.append(slow_read(big_store))
        assert handles[-1].cancel() is True

    async def cancel_the_awaiting_task():
        handles.append(slow_read(big_store))
        task = asyncio.ensure_future(awaited(handles[-1]))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    asyncio.run(cancel_the_awaiting_task())
    for h in handles:
        assert h.wait() and h.cancel() is True
        with pytest.raises(concurrent.futures.CancelledError):
            h.result()
    assert (out[-1] == 0xFF).all()  # rows not yet being read were not read
    ended = big_store.fetch_into_async([0], bytearray(WIDTH))
    ended.wait()
    assert ended.cancel() is False and ended.result() == bytearray(WIDTH)


def test_many_reads_awaited_in_loops_on_several_threads(sample_store):
    gc.collect()  # a View left in a cycle by another test must not go on these threads
    s = sample_store()
    store = Store(s.dir, 4, 1000, WIDTH)
    ids = np.random.default_rng(1).integers(0, 4000, (8, 300))
    failures = []

    async def main():
        outs = [np.empty((300, WIDTH), np.uint8) for _ in ids]
        got = await asyncio.gather(*(store.fetch_into_async(i, o) for i, o in zip(ids, outs)))
        failures.extend(g.tobytes() != s.rows(i) for g, i in zip(got, ids))

    threads = [threading.Thread(target=asyncio.run, args=(main(),)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == [False] * 32
    with pytest.raises(TypeError, match="^argument 'rowids': "):
        store.prefetch("12")
    assert store.prefetch([5, 3, 4000, 2**64 - 1]) is None  # a hint: never an I/O or range error
    with pytest.raises(TypeError, match="cannot create 'quandrel.ReadHandle' instances"):
        ReadHandle()


def test_reads_queued_behind_busy_threads(big_store, tmp_path):
    # Reads that wait for a thread run as one batch, each into its own
    # buffer; one that fails still ends with its own error, the rest whole.
    s = SampleStore(tmp_path / "s", 3, 1000, WIDTH)
    os.remove(os.path.join(s.dir, "shard_002.bin"))
    os.mkdir(os.path.join(s.dir, "shard_002.bin"))  # reads from it fail
    store = Store(s.dir, 3, 1000, WIDTH)
    busy = [slow_read(big_store) for _ in range(8)]
    ids = list(np.random.default_rng(2).integers(0, 2000, (40, 100)))
    ids[7][50] = 2500
    outs = [np.full((100, WIDTH), 0xFF, np.uint8) for _ in ids]
    handles = [store.fetch_into_async(i, o) for i, o in zip(ids, outs)]
    for h in busy:
        h.cancel()
    for k, (h, i, o) in enumerate(zip(handles, ids, outs)):
        if k == 7:
            with pytest.raises(IsADirectoryError) as info:
                h.result()
            assert info.value.__notes__ == [f"shard file: {s.dir}/shard_002.bin"]
        else:
            assert h.result().tobytes() == s.rows(i)
    # A small hot read runs before its handle exists; its error still comes
    # from the handle.
    for _ in range(2):
        store.fetch_into_async([0], bytearray(WIDTH)).result()
    h = store.fetch_into_async([2500], bytearray(WIDTH))
    with pytest.raises(IsADirectoryError):
        h.result()


def test_everything_dropped_mid_read(tmp_path):
    # Handles, outputs, the store and the view dropped while their reads run,
    # then an exit with reads still in flight: no write into freed memory
    # (the sanitizer run checks it), no hang, and every read that was
    # waited for is whole.
    SampleStore(tmp_path / "s", 2, 50000, WIDTH)
    (tmp_path / "v.bin").write_bytes(os.urandom(2560 * 2000))
    r = run_python(f"""
        import gc, threading, numpy as np, quandrel
        store = quandrel.Store({str(tmp_path / "s")!r}, 2, 50000, {WIDTH})
        view = quandrel.View({str(tmp_path / "v.bin")!r})
        ids = np.random.default_rng(0).integers(0, 100000, 50000)
        want = store.fetch(ids)
        for _ in range(10):
            store.fetch_into_async(ids, bytearray(len(want)))
            out = np.empty(len(want), np.uint8)
            h = store.fetch_into_async(ids, out)
            del h
            assert out.tobytes() == want
            view.read_records_into_async(np.arange(2000) % 7, bytearray(2560 * 2000))
            store.prefetch(ids)
        store.prefetch(ids)
        kept = [store.fetch_into_async(ids, bytearray(len(want))) for _ in range(20)]
        kept.append(view.read_records_into_async(np.arange(2000), bytearray(2560 * 2000)))
        del store, view
        gc.collect()
        def busy(h=kept[0]):
            while True:
                h.wait(0.001)
        threading.Thread(target=busy, daemon=True).start()
        print("exiting")
    """)
    assert (r.returncode, r.stdout, r.stderr) == (0, "exiting\n", "")
