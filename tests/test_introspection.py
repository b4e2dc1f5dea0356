"""What a running program can ask: the version, the shape of an open store or
view, and the read counters an operator exports."""

import importlib.metadata
import os
import pathlib
import subprocess
import sys

import pytest

import quandrel
from conftest import on_other_thread
from quandrel import Fault, Store, View


def test_version():
    try:
        installed = importlib.metadata.version("quandrel")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("run from a source tree: no package metadata")
    assert quandrel.__version__ == installed


@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path])
def test_shape_and_repr(sample_store, tmp_path, kind):
    s = sample_store(shards=4, rows_per_shard=1000, width=64)
    store = Store(kind(s.dir), 4, 1000, 64, threads=8)
    assert (store.shards, store.rows_per_shard, store.threads, store.dir) == (4, 1000, 8, s.dir)
    assert repr(store) == f"<quandrel.Store '{s.dir}' 4 x 1,000 x 64 B>"
    (tmp_path / "v.bin").write_bytes(bytes(2560 * 1234))
    view = View(kind(str(tmp_path / "v.bin")))
    assert (view.count, view.path) == (1234, str(tmp_path / "v.bin"))
    assert repr(view) == f"<quandrel.View '{tmp_path}/v.bin' 1,234 x 2,560 B>"
    for obj, attr in [(store, "shards"), (store, "dir"), (view, "count"), (view, "path")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
    # A repr works wherever the object is shown, the counters wherever an
    # exporter runs; the view's other members stay on its own thread.
    assert on_other_thread(lambda: repr(view)) == repr(view)
    assert on_other_thread(view.stats)["calls"] == 0
    assert type(on_other_thread(lambda: view.count)) is Fault


def stats_without_buckets(obj):
    stats = obj.stats()
    assert stats["latency_buckets_ns"] == sorted(set(stats["latency_buckets_ns"]))
    assert len(stats["latency_counts"]) == len(stats["latency_buckets_ns"]) + 1
    assert sum(stats["latency_counts"]) == stats["calls"]
    assert stats["rows_from_memory"] + stats["rows_from_device"] == stats["rows"]
    return {k: v for k, v in stats.items() if not k.startswith("latency")}


def open_store(s):
    return Store(s.dir, s.shards, s.rows_per_shard, s.width)


def store_reads(store):
    store.fetch([1, 2, 3001, 3])
    store.fetch_one(7)
    store.fetch_into(range(5), bytearray(5 * 64))
    store.fetch([])  # asks for nothing: not a call


def view_reads(view):
    view.read_records([1, 2, 3001, 3])
    view.read_record(7)
    view.read_records_into(range(5), bytearray(5 * 64))
    view.read_records([])


def make_view(s):
    """A view of the store's rows, its shards back to back."""
    path = os.path.join(s.dir, "view.bin")
    with open(path, "wb") as f:
        for shard in range(s.shards):
            with open(os.path.join(s.dir, f"shard_{shard:03d}.bin"), "rb") as g:
                f.write(g.read())
    with open(os.path.join(s.dir, "view.manifest.json"), "w") as f:
        f.write(f'{{"slot_bytes": {s.width}}}')
    return path


READERS = pytest.mark.parametrize("reader", ["mapped", "pread"], indirect=True)


@READERS
@pytest.mark.parametrize("kind", ["store", "view"])
def test_counts_of_a_known_workload(sample_store, reader, kind):
    s = sample_store(shards=4, rows_per_shard=1000, width=64)
    obj = open_store(s) if kind == "store" else View(make_view(s))
    reads = store_reads if kind == "store" else view_reads
    reads(obj)
    reads(obj)
    stats = stats_without_buckets(obj)
    # Just written, so in memory: a row counted from the device here can
    # only be a read slowed by a busy machine.
    assert stats.pop("rows_from_memory") > stats.pop("rows_from_device")
    assert stats.pop("cold_batches") < 6
    assert stats == {"calls": 6, "rows": 20, "bytes": 20 * 64, "read_errors": 0}


@READERS
@pytest.mark.parametrize("kind", ["store", "view"])
def test_failed_reads(sample_store, reader, kind):
    s = sample_store(shards=2, rows_per_shard=1000, width=64)
    if kind == "store":
        os.remove(os.path.join(s.dir, "shard_001.bin"))
        os.mkdir(os.path.join(s.dir, "shard_001.bin"))  # opens, but every read fails
        obj, read = open_store(s), lambda o: o.fetch([1, 1001])
    else:
        path = make_view(s)
        obj, read = View(path), lambda o: o.read_record(1999)
        os.truncate(path, 64 * 1000)
    with pytest.raises(OSError):
        read(obj)
    assert stats_without_buckets(obj) == {"calls": 1, "rows": 0, "bytes": 0, "rows_from_memory": 0,
                                          "rows_from_device": 0, "cold_batches": 0, "read_errors": 1}


def evictable(path):
    kind = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout
    return kind.strip() not in ("tmpfs", "ramfs", "")


def evict(directory):
    for name in os.listdir(directory):
        fd = os.open(os.path.join(directory, name), os.O_RDONLY)
        os.fsync(fd)  # dirty pages would stay
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)


@READERS
@pytest.mark.parametrize("kind", ["store", "view"])
def test_rows_from_the_device(sample_store, reader, kind):
    s = sample_store(shards=2, rows_per_shard=4000, width=64)
    if not evictable(s.dir):
        pytest.skip("the page cache of this file system cannot be evicted")
    path = make_view(s)
    evict(s.dir)
    # Opened after the eviction: pages a mapping has touched would survive it.
    obj = open_store(s) if kind == "store" else View(path)
    for i in range(8):
        ids = [i * 997 % 8000]
        obj.fetch(ids) if kind == "store" else obj.read_records(ids)
    stats = stats_without_buckets(obj)
    assert stats["rows_from_device"] > 0 and stats["cold_batches"] > 0


def test_prometheus_example():
    example = pathlib.Path(__file__).parent.parent / "examples" / "prometheus_stats.py"
    r = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert ('quandrel_read_rows_total{source="memory",table="main"} 1600.0' in r.stdout
            or "the counters: {'calls': 100, 'rows': 1600," in r.stdout), r.stdout
