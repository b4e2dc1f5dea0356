"""`python -m quandrel bench`: how fast this machine reads this table."""

from __future__ import annotations

import os
import platform
import random
import sys
import time
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

    def percentile(self, p: float) -> float:
        ordered = sorted(self.latencies)
        return ordered[round(p / 100 * (len(ordered) - 1))]

    def rows_per_second(self) -> float:
        return self.batch * len(self.latencies) / sum(self.latencies)


class Evictor:
    """Drops the table's files from the page cache (POSIX_FADV_DONTNEED),
    through descriptors opened read-only."""

    def __init__(self, directory: str, shards: int) -> None:
        self.fds: list[int] = []
        for i in range(shards):
            try:
                self.fds.append(os.open(_shard_path(directory, i), os.O_RDONLY | os.O_CLOEXEC))
            except OSError:
                pass

    def evict(self) -> None:
        for fd in self.fds:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)

    def close(self) -> None:
        for fd in self.fds:
            os.close(fd)


def measure(store: Store, mode: str, batch: int, seconds: float, rng: random.Random,
            evictor: Evictor | None, progress: Progress, done_before: float) -> Measurement:
    total = store.total_rows
    batches = [[rng.randrange(total) for _ in range(batch)] for _ in range(_HOT_BATCHES)]
    if evictor is None:
        for ids in batches:
            store.fetch(ids)
    latencies: list[float] = []
    start = time.perf_counter()
    # At least a few fetches, however slow, so that the percentiles mean something.
    while time.perf_counter() - start < seconds or len(latencies) < 5:
        if evictor is not None:
            ids = [rng.randrange(total) for _ in range(batch)]
            evictor.evict()
        else:
            ids = batches[len(latencies) % _HOT_BATCHES]
        t0 = time.perf_counter()
        store.fetch(ids)
        latencies.append(time.perf_counter() - t0)
        progress.update(done_before + min(time.perf_counter() - start, seconds))
    return Measurement(mode, batch, latencies)


def run(directory: str, shards: int, rows_per_shard: int, width: int, batches: list[int],
        seconds: float, cold: bool, threads: int | None, seed: int) -> int:
    try:
        store = (Store(directory, shards, rows_per_shard, width) if threads is None
                 else Store(directory, shards, rows_per_shard, width, threads))
    except OSError as e:
        print(f"{directory}: cannot open the store: {explain(e)}", file=sys.stderr)
        return 1
    if store.total_rows == 0:
        print(f"{directory}: the table has no rows")
        return 1
    modes = ["hot", "cold"] if cold else ["hot"]
    print(f"{directory}: {shards:,} shards x {rows_per_shard:,} rows x {width:,} bytes "
          f"({units.size(store.total_rows * width)}), threads {threads or 'default'}; "
          f"{platform.machine()}, {os.cpu_count()} processors, Python {platform.python_version()}")
    rng = random.Random(seed)
    evictor = Evictor(directory, shards) if cold else None
    progress = Progress("reading", seconds * len(batches) * len(modes))
    results: list[Measurement] = []
    try:
        for mode in modes:
            for batch in batches:
                results.append(measure(store, mode, batch, seconds, rng,
                                       evictor if mode == "cold" else None, progress,
                                       seconds * len(results)))
    finally:
        progress.finish()
        if evictor is not None:
            evictor.close()

    print(f"{'mode':<5} {'batch':>6} {'fetches':>8} {'rows/s':>10} {'p50':>10} {'p99':>10}")
    for m in results:
        print(f"{m.mode:<5} {m.batch:>6} {len(m.latencies):>8} {units.rate(m.rows_per_second()):>10} "
              f"{units.duration(m.percentile(50)):>10} {units.duration(m.percentile(99)):>10}")
    return 0
