"""Store: opening a shard directory and fetching rows."""

import os
import random
import threading
import time

import pytest

from conftest import SampleStore, run_python
from quandrel import Fault, Store, rowids_for_seq


def test_fetch_in_order_with_duplicates(sample_store):
    s = sample_store(shards=4, rows_per_shard=1000, width=64)
    store = Store(s.dir, 4, 1000, 64)
    assert store.width == 64 and store.total_rows == 4000
    rng = random.Random(1)
    ids = [rng.randrange(4000) for _ in range(700)] + [5, 5, 3999, 0]
    assert store.fetch(ids) == s.rows(ids)
    assert store.fetch(sorted(ids, reverse=True)) == s.rows(sorted(ids, reverse=True))
    assert store.fetch([7, 7]) == s.row(7) * 2
    assert store.fetch_one(123) == store.fetch([123]) == s.row(123)
    assert store.fetch([]) == b""
    assert store.close() is None
    assert store.fetch((0, 1)) == s.rows([0, 1])


@pytest.mark.parametrize("threads", [0, 1, 2, 5, 1000])
def test_threads_do_not_change_the_result(sample_store, threads):
    s = sample_store(shards=5, rows_per_shard=300, width=100)
    ids = list(range(0, 1500, 7))[::-1]
    assert Store(s.dir, 5, 300, 100, threads).fetch(ids) == s.rows(ids)
    assert Store(dir=s.dir, shards=5, rows_per_shard=300, width=100, threads=threads).fetch(ids) == s.rows(ids)


@pytest.mark.parametrize("width", [100, 4096, 5000])
def test_rows_across_page_boundaries(sample_store, width):
    s = sample_store(shards=2, rows_per_shard=60, width=width)
    ids = list(range(120))
    random.Random(width).shuffle(ids)
    assert Store(s.dir, 2, 60, width).fetch(ids) == s.rows(ids)


def test_width_zero(sample_store):
    s = sample_store(shards=2, rows_per_shard=10, width=0)
    assert Store(s.dir, 2, 10, 0).fetch([0, 19, 3]) == b""


def test_short_shard_file_reads_zeros_not_stale_bytes(tmp_path):
    # Shard 0 stops 10 bytes into its second page: rows beyond read as zeros,
    # and a crossing row keeps the bytes that exist.
    s = SampleStore(tmp_path, 1, 200, 48, rows_written=lambda _: 86)
    os.truncate(os.path.join(s.dir, "shard_000.bin"), 4096 + 10)
    ids = [10, 90, 150, 199, 85, 86, 84]
    data = Store(s.dir, 1, 200, 48).fetch(ids)
    assert data == s.rows(ids)
    assert data[48:96] == bytes(48)


def test_naming_precedence(tmp_path):
    d = tmp_path
    (d / "shard_000.bin").write_bytes(b"S0")
    (d / "ziruv_000.bin").write_bytes(b"Z0")
    (d / "ziruv_001.bin").write_bytes(b"Z1")
    (d / "shard_002.bin").symlink_to(d / "missing-target")
    (d / "ziruv_002.bin").write_bytes(b"Z2")
    assert Store(str(d), 3, 1, 2).fetch([2, 1, 0]) == b"Z2Z1S0"


@pytest.mark.parametrize("directory_exists", [True, False])
def test_missing_shard_raises_plain_oserror(tmp_path, directory_exists):
    if directory_exists:
        for i in (0, 1, 2, 4):
            (tmp_path / f"shard_{i:03d}.bin").write_bytes(b"x")
    d = str(tmp_path) if directory_exists else str(tmp_path / "nope")
    with pytest.raises(OSError) as info:
        Store(d, 5, 1, 1)
    assert type(info.value) is OSError
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert info.value.errno is None


def test_no_shards(tmp_path):
    store = Store(str(tmp_path / "absent"), 0, 10, 8)
    assert store.total_rows == 0 and store.fetch([]) == b""
    with pytest.raises(Fault, match="^index out of bounds: the len is 0 but the index is 0$"):
        store.fetch([0])


def test_faults(sample_store):
    s = sample_store(shards=4, rows_per_shard=10, width=8)
    store = Store(s.dir, 4, 10, 8)
    with pytest.raises(Fault) as info:
        try:
            store.fetch([3, 40])
        except Exception:  # a fault is not an Exception
            pytest.fail("Fault caught as Exception")
    assert str(info.value) == "index out of bounds: the len is 4 but the index is 4"
    assert store.fetch([39]) == s.row(39)  # still usable
    with pytest.raises(Fault, match="^attempt to divide by zero$"):
        Store(s.dir, 1, 0, 8).fetch([0])
    huge = Store(s.dir, 0, 1, 1 << 62)
    with pytest.raises(Fault):
        huge.fetch([0, 0])  # 2^63 bytes
    # 8 rows of 2^61 + 1 bytes wrap to an 8-byte result; the id outside the
    # table is still what is reported.
    with pytest.raises(Fault, match="^index out of bounds: the len is 4 but the index is 4$"):
        Store(s.dir, 4, 10, (1 << 61) + 1).fetch([40] * 8)


@pytest.mark.parametrize("into", [False, True], ids=["fetch", "fetch_into"])
def test_concurrent_fetches_release_the_interpreter_lock(sample_store, into):
    s = sample_store(shards=8, rows_per_shard=4000, width=40)
    store = Store(s.dir, 8, 4000, 40)
    ids = [(i * 7919) % 32000 for i in range(64000)]
    want = s.rows(ids)
    results, ticks, inside = [], [], []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    def fetcher():
        for _ in range(3):
            t0 = time.perf_counter()
            if into:
                out = bytearray(len(want))
                store.fetch_into(ids, out)
                results.append(out)
            else:
                results.append(store.fetch(ids))
            inside.append((t0, time.perf_counter()))

    t = threading.Thread(target=ticker)
    t.start()
    workers = [threading.Thread(target=fetcher) for _ in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    stop.set()
    t.join()
    assert len(results) == 6 and all(r == want for r in results)
    # The ticker ran while fetches were in flight: the lock was released.
    assert any(a < tick < b for a, b in inside for tick in ticks)


def test_rowids_fetch_from_the_full_grid(tmp_path):
    # 128 sparse shards of 2,500,012 rows: the grid the row keys fill.
    width, rows_per_shard = 8, 2_500_012
    ids = [r for row in rowids_for_seq([1, 2, 3, 248044, 4294967295], 1) for r in row]
    ids.append(128 * rows_per_shard - 1)
    for shard in range(128):
        with open(tmp_path / f"shard_{shard:03d}.bin", "wb") as f:
            f.truncate(rows_per_shard * width)
            for r in ids:
                if r // rows_per_shard == shard:
                    f.seek((r % rows_per_shard) * width)
                    f.write(r.to_bytes(width, "little"))
    data = Store(str(tmp_path), 128, rows_per_shard, width).fetch(ids)
    assert data == b"".join(r.to_bytes(width, "little") for r in ids)


POOL_PROBE = """
    import os, sys
    from quandrel import Store
    d = sys.argv[1] if len(sys.argv) > 1 else {dir!r}
    Store(d, 4, 100, 8).fetch(list(range(400)))
    names = sorted(open(f"/proc/self/task/{{t}}/comm").read().strip()
                   for t in os.listdir("/proc/self/task"))
    print(",".join(n for n in names if n.startswith("quandrel-io-")))
"""


@pytest.mark.parametrize("env, expected", [
    ({"QUANDREL_POOL_WORKERS": "3"}, 3),
    ({"QUANDREL_POOL_WORKERS": "+05"}, 5),
    ({"QUANDREL_POOL_WORKERS": "3", "QUANDREL_NO_POOL": "1"}, 0),
    ({"QUANDREL_POOL_WORKERS": "3", "QUANDREL_NO_POOL": "0"}, 3),
    ({"QUANDREL_POOL_WORKERS": " 3"}, None),  # ignored: the default applies
    ({}, None),
])
def test_pool_environment(sample_store, env, expected):
    s = sample_store(shards=4, rows_per_shard=100, width=8)
    r = run_python(POOL_PROBE.format(dir=s.dir), env)
    assert r.returncode == 0, r.stderr
    names = [n for n in r.stdout.strip().split(",") if n]
    if expected is None:
        assert 32 <= len(names) <= 64
        expected = len(names)
    assert sorted(names) == sorted(f"quandrel-io-{i}" for i in range(expected))


def test_forked_child_fetches(sample_store):
    s = sample_store(shards=4, rows_per_shard=100, width=8)
    code = f"""
        import os, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from quandrel import Store
        store = Store({s.dir!r}, 4, 100, 8)
        ids = list(range(0, 400, 3))
        want = store.fetch(ids)  # the parent now has a pool
        pid = os.fork()
        if pid == 0:
            ok = store.fetch(ids) == want and store.fetch([ids[-1], ids[0]]) == want[-8:] + want[:8]
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """
    r = run_python(code, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "0"


def test_rows_beyond_any_file_offset_read_as_zeros(tmp_path):
    # 2^44 rows of 1 MiB in: the offset passes 2^64 and must not wrap to row 0.
    width = 1 << 20
    (tmp_path / "shard_000.bin").write_bytes(b"\x01" * width)
    store = Store(str(tmp_path), 1, 1 << 50, width)
    assert store.fetch_one(0) == b"\x01" * width
    assert store.fetch([1 << 44, 1 << 43]) == bytes(2 * width)


@pytest.mark.parametrize("call", ["store.fetch(ids)", "store.fetch_into(ids, bytearray(128 * 4096))"])
def test_daemon_threads_inside_fetch_at_exit(sample_store, call):
    # At shutdown the interpreter ends daemon threads as they take the lock
    # back; that must end the process cleanly, not abort it.
    s = sample_store(shards=2, rows_per_shard=64, width=4096)
    code = f"""
        import threading
        from quandrel import Store
        store = Store({s.dir!r}, 2, 64, 4096)
        started = threading.Barrier(5)
        def work():
            started.wait()
            ids = list(range(128))
            while True:
                {call}
        for _ in range(4):
            threading.Thread(target=work, daemon=True).start()
        started.wait()
        keep = [list(range(1000)) for _ in range(2000)]  # a slower shutdown
    """
    for _ in range(3):
        r = run_python(code, timeout=60)
        assert r.returncode == 0, r.stderr
