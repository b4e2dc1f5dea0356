"""What a running program can ask: the version, the shape of an open store or
view, and the read counters an operator exports."""

import importlib.metadata
import os
import pathlib
import subprocess
import sys

import pytest

import quandrel
from conftest import disk_backed, on_other_thread
from quandrel import Fault, Store, View


def test_version():
    try:
        assert quandrel.__version__ == importlib.metadata.version("quandrel")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("run from a source tree: no package metadata")


@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path])
def test_shape_and_repr(sample_store, kind):
    s = sample_store(shards=4, rows_per_shard=1000, width=64)
    store, view = Store(kind(s.dir), 4, 1000, 64, threads=8), View(kind(s.view(2560)))
    assert (store.shards, store.rows_per_shard, store.threads, store.dir) == (4, 1000, 8, s.dir)
    assert (view.count, view.path) == (25, f"{s.dir}/shard_000.bin")
    assert repr(store) == f"<quandrel.Store '{s.dir}' 4 x 1,000 x 64 B>"
    assert repr(view) == f"<quandrel.View '{s.dir}/shard_000.bin' 25 x 2,560 B>"
    # A repr works wherever the object is shown, the counters wherever an
    # exporter runs; the view's other members stay on its own thread.
    assert on_other_thread(lambda: repr(view)) == repr(view)
    assert on_other_thread(view.stats)["calls"] == 0
    assert type(on_other_thread(lambda: view.count)) is Fault


def counts(obj):
    stats = obj.stats()
    assert len(stats.pop("latency_counts")) == len(stats.pop("latency_buckets_ns")) + 1
    assert stats["rows_from_memory"] + stats["rows_from_device"] == stats["rows"]
    return stats


def opened(kind, s):
    return Store(s.dir, s.shards, s.rows_per_shard, s.width) if kind == "store" else View(s.view())


def reads(kind, obj, ids):
    """Every read method once: a batch, one row, a batch into a buffer, nothing."""
    store = kind == "store"
    (obj.fetch if store else obj.read_records)(ids)
    (obj.fetch_one if store else obj.read_record)(ids[0])
    (obj.fetch_into if store else obj.read_records_into)(ids, bytearray(64 * len(ids)))
    (obj.fetch if store else obj.read_records)([])


BOTH = pytest.mark.parametrize("kind, reader", [(k, r) for k in ("store", "view") for r in ("mapped", "pread")],
                               indirect=["reader"])


@BOTH
def test_counts_of_a_known_workload(sample_store, kind, reader):
    s = sample_store(shards=1, rows_per_shard=4000, width=64)
    obj = opened(kind, s)
    for _ in range(2):
        reads(kind, obj, [1, 2, 3001, 3])
    stats = counts(obj)
    # Just written, so in memory: a row counted from the device here can only
    # be a read slowed by a busy machine.
    assert stats.pop("rows_from_memory") > stats.pop("rows_from_device") and stats.pop("cold_batches") < 6
    assert stats == {"calls": 6, "rows": 18, "bytes": 18 * 64, "read_errors": 0}


@BOTH
def test_failed_reads_raise_alike_from_a_handle_and_are_counted(sample_store, kind, reader):
    s = sample_store(shards=1, rows_per_shard=2000, width=64)
    if kind == "store":  # a shard that is a directory opens, but every read of it fails
        os.remove(f"{s.dir}/shard_000.bin")
        os.mkdir(f"{s.dir}/shard_000.bin")
    obj = opened(kind, s)
    if kind == "view":  # cut short after opening: its last record ends past the file
        os.truncate(f"{s.dir}/shard_000.bin", 64000)
    store, ids = kind == "store", [1, 1999]
    with pytest.raises(OSError) as expected:
        (obj.fetch_into if store else obj.read_records_into)(ids, bytearray(128))
    handle = (obj.fetch_into_async if store else obj.read_records_into_async)(ids, bytearray(128))
    with pytest.raises(OSError) as got:
        handle.result()
    e, g = expected.value, got.value
    # The error names the file that failed, as an error at opening does.
    assert (type(e), e.__notes__) == (IsADirectoryError if store else OSError,
                                      [f"{'shard' if store else 'view'} file: {s.dir}/shard_000.bin"])
    assert (type(g), g.args, g.errno, g.__notes__) == (type(e), e.args, e.errno, e.__notes__)
    assert counts(obj) == {"calls": 2, "rows": 0, "bytes": 0, "rows_from_memory": 0, "rows_from_device": 0,
                           "cold_batches": 0, "read_errors": 2}


@BOTH
def test_rows_from_the_device(sample_store, kind, reader):
    s = sample_store(shards=1, rows_per_shard=8000, width=64)
    if not disk_backed(s.dir):
        pytest.skip("the page cache of this file system cannot be evicted")
    fd = os.open(f"{s.dir}/shard_000.bin", os.O_RDONLY)
    os.fsync(fd)  # dirty pages would stay
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    # Opened after the eviction: pages a mapping has touched survive it.
    obj = opened(kind, s)
    for i in range(8):
        obj.fetch([i * 997]) if kind == "store" else obj.read_records([i * 997])
    stats = counts(obj)
    assert stats["rows_from_device"] > 0 and stats["cold_batches"] > 0


def test_prometheus_example():
    example = pathlib.Path(__file__).parent.parent / "examples" / "prometheus_stats.py"
    r = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert ('quandrel_read_rows_total{source="memory",table="main"} 1600.0' in r.stdout
            or "the counters: {'calls': 100, 'rows': 1600," in r.stdout), r.stdout
