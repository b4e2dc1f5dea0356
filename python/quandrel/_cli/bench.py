"""`python -m quandrel bench`: how fast this machine reads this table."""

from __future__ import annotations

import os
import platform
import random
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

from .. import Store
from .._quandrel import _shard_path
from . import explain, units
from .progress import Progress

# Hot runs cycle through this many batches, fetched once before timing, so
# that every timed read finds its pages in the page cache.
_HOT_BATCHES = 16


@dataclass
class Measurement:
    mode: str
    batch: int
    latencies: list[float]
    rows_from_memory: int  # as the stores counted them
    rows_from_device: int

    def percentile(self, p: float) -> float:
        ordered = sorted(self.latencies)
        return ordered[round(p / 100 * (len(ordered) - 1))]

    def rows_per_second(self) -> float:
        return self.batch * len(self.latencies) / sum(self.latencies)

    def share_from_device(self) -> str:
        rows = self.rows_from_memory + self.rows_from_device
        return f"{100 * self.rows_from_device / rows:.0f}%" if rows else "-"


class Evictor:
    """Drops the table's files from the page cache (POSIX_FADV_DONTNEED),
    through descriptors opened read-only."""

    def __init__(self, directory: str, shards: int) -> None:
        self.fds: list[int] = []
        for i in range(shards):
            try:
                fd = os.open(_shard_path(directory, i), os.O_RDONLY | os.O_CLOEXEC)
            except OSError:
                continue
            self.fds.append(fd)
            # Pages not yet written back survive the eviction: a table
            # written just before would read as hot in the cold runs.
            os.fsync(fd)

    def evict(self) -> None:
        for fd in self.fds:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)

    def close(self) -> None:
        for fd in self.fds:
            os.close(fd)


def rows_by_source(store: Store) -> tuple[int, int]:
    """Rows the store has served from memory and from the device since it was opened."""
    stats = store.stats()
    return stats["rows_from_memory"], stats["rows_from_device"]


def measure(open_store: Callable[[], Store], mode: str, batch: int, seconds: float,
            rng: random.Random, evictor: Evictor | None, progress: Progress,
            done_before: float) -> Measurement:
    """Hot: one store, its batches read once before timing. Cold: the files
    evicted and the store opened afresh before every fetch, since pages that a
    live mapping has touched survive the eviction."""
    store = open_store()
    total = store.total_rows
    batches = [[rng.randrange(total) for _ in range(batch)] for _ in range(_HOT_BATCHES)]
    if evictor is None:
        for ids in batches:
            store.fetch(ids)
    warm_memory, warm_device = rows_by_source(store)
    from_memory = from_device = 0
    latencies: list[float] = []
    start = time.perf_counter()
    # At least a few fetches, however slow, so that the percentiles mean something.
    while time.perf_counter() - start < seconds or len(latencies) < 5:
        if evictor is not None:
            ids = [rng.randrange(total) for _ in range(batch)]
            del store  # unmapped before the eviction
            evictor.evict()
            store = open_store()
        else:
            ids = batches[len(latencies) % _HOT_BATCHES]
        t0 = time.perf_counter()
        store.fetch(ids)
        latencies.append(time.perf_counter() - t0)
        if evictor is not None:
            memory, device = rows_by_source(store)
            from_memory, from_device = from_memory + memory, from_device + device
        progress.update(done_before + min(time.perf_counter() - start, seconds))
    if evictor is None:
        memory, device = rows_by_source(store)
        from_memory, from_device = memory - warm_memory, device - warm_device
    return Measurement(mode, batch, latencies, from_memory, from_device)


def run(directory: str, shards: int, rows_per_shard: int, width: int, batches: list[int],
        seconds: float, cold: bool, threads: int | None, seed: int) -> int:
    def open_store() -> Store:
        return (Store(directory, shards, rows_per_shard, width) if threads is None
                else Store(directory, shards, rows_per_shard, width, threads))

    try:
        store = open_store()
    except OSError as e:
        print(f"{directory}: cannot open the store: {explain(e)}", file=sys.stderr)
        return 1
    total_rows = store.total_rows
    del store  # each measurement opens its own
    if total_rows == 0:
        print(f"{directory}: the table has no rows")
        return 1
    modes = ["hot", "cold"] if cold else ["hot"]
    print(f"{directory}: {shards:,} shards x {rows_per_shard:,} rows x {width:,} bytes "
          f"({units.size(total_rows * width)}), threads {threads or 'default'}; "
          f"{platform.machine()}, {os.cpu_count()} processors, Python {platform.python_version()}")
    rng = random.Random(seed)
    evictor = Evictor(directory, shards) if cold else None
    progress = Progress("reading", seconds * len(batches) * len(modes))
    results: list[Measurement] = []
    try:
        for mode in modes:
            for batch in batches:
                results.append(measure(open_store, mode, batch, seconds, rng,
                                       evictor if mode == "cold" else None, progress,
                                       seconds * len(results)))
    finally:
        progress.finish()
        if evictor is not None:
            evictor.close()

    print(f"{'mode':<5} {'batch':>6} {'fetches':>8} {'rows/s':>10} {'p50':>10} {'p99':>10} "
          f"{'from device':>12}")
    for m in results:
        print(f"{m.mode:<5} {m.batch:>6} {len(m.latencies):>8} {units.rate(m.rows_per_second()):>10} "
              f"{units.duration(m.percentile(50)):>10} {units.duration(m.percentile(99)):>10} "
              f"{m.share_from_device():>12}")
    print("from device: the share of rows that the store found on the device rather than in "
          "memory (Store.stats())")
    return 0
