"""Store: opening a shard directory and fetching rows."""

import os
import random
import sys
import textwrap
import threading

import pytest

from conftest import run_python
from quandrel import Fault, Store


@pytest.mark.parametrize("shards, rows, width, threads", [
    (4, 1000, 64, 32), (5, 300, 100, 0), (5, 300, 100, 1000),
    (2, 60, 5000, 32),  # rows across page boundaries
    (2, 10, 0, 32),
])
def test_fetch(sample_store, shards, rows, width, threads):
    s = sample_store(shards=shards, rows_per_shard=rows, width=width)
    store = Store(s.dir, shards, rows, width, threads=threads)
    assert (store.width, store.total_rows) == (width, shards * rows)
    ids = list(range(shards * rows)) + [5, 5, 0, shards * rows - 1]  # duplicates too
    random.Random(width + threads).shuffle(ids)
    assert store.fetch(ids) == s.rows(ids)
    assert store.fetch_one(ids[0]) == s.row(ids[0])
    assert store.fetch([]) == b""
    assert store.close() is None
    assert store.fetch((1, 0)) == s.rows([1, 0])  # close() changed nothing; any sequence


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_opening(tmp_path):
    d = tmp_path
    (d / "shard_000.bin").write_bytes(b"S0")
    (d / "ziruv_000.bin").write_bytes(b"Z0")
    (d / "ziruv_001.bin").write_bytes(b"Z1")
    (d / "shard_002.bin").symlink_to(d / "missing-target")
    (d / "ziruv_002.bin").write_bytes(b"Z2")
    before = open_descriptors()
    store = Store(str(d) + "/", 3, 1, 2)
    assert store.fetch([2, 1, 0]) == b"Z2Z1S0"
    assert open_descriptors() == before + 3
    del store
    # Shard 3 is missing, and the files opened before it are closed.
    with pytest.raises(FileNotFoundError) as info:
        Store(str(d), 5, 1, 2)
    assert info.value.args == ("No such file or directory (os error 2)",) and info.value.errno == 2
    assert info.value.__notes__ == [f"shard file: neither shard_003.bin nor ziruv_003.bin in {d}"]
    with pytest.raises(FileNotFoundError) as info:
        Store(f"{d}/tabel", 5, 1, 2)
    assert info.value.__notes__ == [f"store directory: {d}/tabel (missing)"]
    with pytest.raises(OSError) as info:
        Store("/tmp\0x", 5, 1, 2)
    assert type(info.value) is OSError and info.value.errno is None
    assert info.value.args == ("file name contained an unexpected NUL byte",)
    assert open_descriptors() == before


@pytest.mark.parametrize("shards, rows, width, ids, message", [
    (4, 10, 8, [3, 40], "^index out of bounds: the len is 4 but the index is 4$"),
    (0, 10, 8, [0], "^index out of bounds: the len is 0 but the index is 0$"),
    (1, 0, 8, [0], "^attempt to divide by zero$"),
    (0, 1, 1 << 62, [0, 0], None),  # 2^63 bytes
    # 8 rows of 2^61 + 1 bytes wrap to an 8-byte result; the id outside the
    # table is still what is reported.
    (4, 10, (1 << 61) + 1, [40] * 8, "^index out of bounds: the len is 4 but the index is 4$"),
])
def test_faults(sample_store, shards, rows, width, ids, message):
    s = sample_store(shards=4, rows_per_shard=10, width=8)
    store = Store(s.dir, shards, rows, width)
    with pytest.raises(Fault, match=message):
        store.fetch(ids)
    if (shards, width) == (4, 8):
        assert store.fetch([39]) == s.row(39)  # still usable


# fetch_into releases it through the same code.
def test_fetch_releases_the_interpreter_lock(sample_store):
    s = sample_store(shards=8, rows_per_shard=4000, width=40)
    store = Store(s.dir, 8, 4000, 40)
    ids = [(i * 7919) % 32000 for i in range(64000)]
    started, results, in_flight = [], [], []

    def fetcher():
        for _ in range(3):
            started.append(1)
            results.append(store.fetch(ids))

    # Switches so rare that the fetcher, once it runs, reaches its fetch before
    # it must give the lock back: this thread then sees a fetch begun and not
    # yet counted (a call is counted inside it) only if the fetch let go.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.05)
    try:
        worker = threading.Thread(target=fetcher)
        worker.start()
        while worker.is_alive():
            in_flight.append(len(started) - store.stats()["calls"])
    finally:
        sys.setswitchinterval(interval)
    assert results == [s.rows(ids)] * 3
    assert 1 in in_flight


def test_rows_beyond_any_file_offset_read_as_zeros(tmp_path):
    # 2^44 rows of 1 MiB in: the offset passes 2^64 and must not wrap to row 0.
    width = 1 << 20
    (tmp_path / "shard_000.bin").write_bytes(b"\x01" * width)
    store = Store(str(tmp_path), 1, 1 << 50, width)
    assert store.fetch_one(0) == b"\x01" * width
    assert store.fetch([1 << 44, 1 << 43]) == bytes(2 * width)


# Daemon threads inside fetch, ended by the interpreter at shutdown as they
# take the lock back, must end the process cleanly, not abort it.
DAEMONS_AT_EXIT = """
    import threading
    store = Store(d, 2, 64, 4096)
    started = threading.Barrier(5)
    def work():
        started.wait()
        ids, out = list(range(128)), bytearray(128 * 4096)
        while True:
            store.fetch(ids)
            store.fetch_into(ids, out)
    for _ in range(4):
        threading.Thread(target=work, daemon=True).start()
    started.wait()
    keep = [list(range(1000)) for _ in range(2000)]  # a slower shutdown
"""


def test_daemon_threads_fetching_at_exit(sample_store):
    s = sample_store(shards=2, rows_per_shard=64, width=4096)
    for _ in range(3):  # the shutdown race does not show every time
        r = run_python(f"from quandrel import Store\nd = {s.dir!r}\n" + textwrap.dedent(DAEMONS_AT_EXIT),
                       timeout=60)
        assert (r.returncode, r.stderr) == (0, "")
