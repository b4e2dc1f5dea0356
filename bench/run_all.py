"""The serving-speed table in one run: quandrel against the peer a user would
pick instead, on the same files, hot and cold.

Every row is a ratio taken in this run: time of quandrel / time of the peer
(lower is better), or, for throughput rows, quandrel's rate / the peer's rate
(higher is better). Each peer is checked to return the same bytes first.

    python bench/run_all.py            # about 3 to 4 minutes, writes ~420 MB under --dir

Cold rows evict the files with POSIX_FADV_DONTNEED and only then open the
Store (pages mapped by a live process would survive the eviction); they
need a disk-backed directory (not tmpfs) and `fio` on the PATH for the
device's own rate.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import threading
import time

import numpy as np

import quandrel
from harness import machine, measure, memmap_gather

SHARDS, ROWS_PER_SHARD, WIDTH = 32, 32_768, 256  # 256 MiB
VIEW_RECORDS, SLOT = 65_536, 2_560  # 160 MiB


def write(path: str, nbytes: int, rng) -> None:
    with open(path, "wb") as f:
        f.write(rng.bytes(nbytes))


def warm(paths) -> None:
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def evict(paths) -> None:
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)


class Peers:
    """What a user writes instead: numpy memmaps kept open, or os.pread."""

    def __init__(self, paths):
        self.maps = [np.memmap(p, dtype=np.uint8, mode="r").reshape(-1, WIDTH) for p in paths]
        self.fds = [os.open(p, os.O_RDONLY) for p in paths]

    def pread_one(self, rowids):
        s, k = divmod(rowids[0], ROWS_PER_SHARD)
        return os.pread(self.fds[s], WIDTH, k * WIDTH)

    def pread_loop(self, rowids):
        fds = self.fds
        return b"".join([os.pread(fds[r // ROWS_PER_SHARD], WIDTH, r % ROWS_PER_SHARD * WIDTH)
                         for r in rowids])

    def memmap_rows(self, rowids):
        # Row by row: the faster memmap form for a handful of rows.
        maps = self.maps
        return b"".join([maps[r // ROWS_PER_SHARD][r % ROWS_PER_SHARD].tobytes() for r in rowids])

    def memmap_fancy(self, rowids):
        # Vectorised: fancy indexing per shard, scattered back to request order.
        ids = np.array(rowids, dtype=np.int64)
        out = memmap_gather(self.maps, ROWS_PER_SHARD, ids, np.empty((len(ids), WIDTH), dtype=np.uint8))
        return out.tobytes()


def hot_ratio(label, ours, peer, inputs, budget, rows):
    res = measure({"quandrel": ours, "peer": peer}, inputs, budget)
    q, p = res["quandrel"][0], res["peer"][0]
    rows.append((label, f"{q / 1e3:,.1f} us vs {p / 1e3:,.1f} us", f"{q / p:.2f}x"))


def best_peer(candidates, inputs, budget):
    """The faster of several peer forms, as a user would pick."""
    res = measure(candidates, inputs, budget / 2)
    name = min(res, key=lambda k: res[k][0])
    return name, candidates[name]


def threaded_rate(fn, inputs, threads, seconds):
    done = [0] * threads
    stop = time.perf_counter() + seconds

    def loop(i):
        k = i
        while time.perf_counter() < stop:
            fn(inputs[k % len(inputs)])
            done[i] += len(inputs[0])
            k += 1

    ts = [threading.Thread(target=loop, args=(i,)) for i in range(threads)]
    t0 = time.perf_counter()
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return sum(done) / (time.perf_counter() - t0)


def fio_iops(paths, seconds) -> float | None:
    if shutil.which("fio") is None:
        return None
    cmd = ["fio", "--name=randread", "--filename=" + ":".join(paths), "--rw=randread",
           "--bs=4k", "--ioengine=psync", "--direct=1", "--numjobs=32", "--group_reporting",
           f"--runtime={seconds}", "--time_based", "--output-format=json"]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return json.loads(out[out.index("{"):])["jobs"][0]["read"]["iops"]


def cold_fetch_rate(directory, paths, n, reps, rng):
    rates, times = [], []
    for _ in range(reps):
        evict(paths)
        store = quandrel.Store(directory, SHARDS, ROWS_PER_SHARD, WIDTH)
        ids = [rng.randrange(SHARDS * ROWS_PER_SHARD) for _ in range(n)]
        t0 = time.perf_counter_ns()
        store.fetch(ids)
        dt = time.perf_counter_ns() - t0
        del store
        times.append(dt)
        rates.append(n / dt * 1e9)
    return statistics.median(rates), statistics.median(times)


def cold_pread_ns(paths, reps, rng):
    times = []
    for _ in range(reps):
        evict(paths)
        path = paths[rng.randrange(len(paths))]
        fd = os.open(path, os.O_RDONLY)
        off = rng.randrange(os.path.getsize(path) // 4096) * 4096
        t0 = time.perf_counter_ns()
        os.pread(fd, 4096, off)
        times.append(time.perf_counter_ns() - t0)
        os.close(fd)
    return statistics.median(times)


def one_file_rows(directory, paths, peers, rng, budget, rows) -> None:
    # One file, one long-lived memmap, plain fancy indexing: the simplest peer.
    one_dir = os.path.join(directory, "one")
    os.mkdir(one_dir)
    os.link(paths[0], os.path.join(one_dir, "shard_000.bin"))
    one = quandrel.Store(one_dir, 1, ROWS_PER_SHARD, WIDTH)
    one_map = peers.maps[0]
    inputs = [[rng.randrange(ROWS_PER_SHARD) for _ in range(65536)] for _ in range(4)]
    fancy = lambda ids: one_map[np.array(ids, dtype=np.int64)].tobytes()  # noqa: E731
    assert one.fetch(inputs[0]) == fancy(inputs[0])
    hot_ratio("fetch 65,536 rows, one file, vs np.memmap fancy indexing", one.fetch, fancy, inputs,
              budget, rows)
    # Not a like-for-like peer (it returns a numpy array, not bytes, and so
    # skips one copy into a fresh object): shown for what numpy alone costs.
    rows_map = np.memmap(paths[0], dtype=np.dtype((np.void, WIDTH)), mode="r")
    as_array = lambda ids: rows_map[np.array(ids, dtype=np.int64)]  # noqa: E731
    assert as_array(inputs[0]).tobytes() == fancy(inputs[0])
    hot_ratio("  (same, the peer returning its array: no bytes object)", one.fetch, as_array, inputs,
              budget, rows)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None, help="where to write the files (disk-backed)")
    parser.add_argument("--budget", type=float, default=4.0, help="seconds per hot row")
    parser.add_argument("--cold-reps", type=int, default=7)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--small", action="store_true",
                        help="only the rows of single small calls (1 and 16 rows, 4 records)")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    nrng = np.random.default_rng(args.seed)

    print(f"machine: {machine()}")
    print(f"QUANDREL_READER={os.environ.get('QUANDREL_READER', '') or '(unset: auto)'}, "
          f"store {SHARDS} x {ROWS_PER_SHARD:,} rows x {WIDTH} B, view {VIEW_RECORDS:,} x {SLOT} B; "
          "medians; gc enabled")
    with open("/proc/loadavg") as f:
        print(f"load average at start: {f.read().split()[:3]}")
    t_start = time.perf_counter()
    rows = []
    with tempfile.TemporaryDirectory(prefix="quandrel-bench-", dir=args.dir) as directory:
        paths = [os.path.join(directory, f"shard_{s:03d}.bin") for s in range(SHARDS)]
        for p in paths:
            write(p, ROWS_PER_SHARD * WIDTH, nrng)
        view_path = os.path.join(directory, "records.bin")
        write(view_path, VIEW_RECORDS * SLOT, nrng)
        warm(paths + [view_path])

        store = quandrel.Store(directory, SHARDS, ROWS_PER_SHARD, WIDTH)
        peers = Peers(paths)
        total = SHARDS * ROWS_PER_SHARD

        def batches(n, k=8):
            return [[rng.randrange(total) for _ in range(n)] for _ in range(k)]

        for n in (1, 16) if args.small else (1, 16, 1024, 65536):
            inputs = batches(n)
            for ids in inputs[:2]:
                want = store.fetch(ids)
                assert want == peers.pread_loop(ids) == peers.memmap_fancy(ids) == peers.memmap_rows(ids)
            if n == 1:
                hot_ratio("fetch 1 row vs one os.pread", store.fetch, peers.pread_one, inputs,
                          args.budget, rows)
                continue
            if n == 16:
                hot_ratio("fetch 16 rows vs os.pread loop", store.fetch, peers.pread_loop, inputs,
                          args.budget, rows)
            name, peer = best_peer({"memmap rows": peers.memmap_rows, "memmap fancy": peers.memmap_fancy},
                                   inputs, args.budget)
            hot_ratio(f"fetch {n:,} rows vs np.memmap ({name.split()[1]})", store.fetch, peer, inputs,
                      args.budget, rows)

        if not args.small:
            one_file_rows(directory, paths, peers, rng, args.budget, rows)

        view = quandrel.View(view_path)
        table = np.memmap(view_path, dtype=np.uint8, mode="r").reshape(-1, SLOT)
        for n in (4,) if args.small else (4, 65536):
            inputs = [[rng.randrange(VIEW_RECORDS) for _ in range(n)] for _ in range(4)]
            peer = lambda idx: table[np.array(idx, dtype=np.int64)].tobytes()  # noqa: E731
            assert view.read_records(inputs[0]) == peer(inputs[0])
            hot_ratio(f"View.read_records {n:,} records vs np.memmap", view.read_records, peer, inputs,
                      args.budget, rows)

        if args.small:
            print_rows(rows, t_start)
            return 0
        inputs = batches(65536, 4)
        ours = statistics.median(threaded_rate(store.fetch, inputs, 4, args.budget / 4) for _ in range(3))
        theirs = statistics.median(threaded_rate(peers.memmap_fancy, inputs, 4, args.budget / 4)
                                   for _ in range(3))
        rows.append(("4 threads, 65,536-row batches: rows/s vs np.memmap's (higher is better)",
                     f"{ours / 1e6:,.1f} M/s vs {theirs / 1e6:,.1f} M/s", f"{ours / theirs:.2f}"))

        del store, view, table, peers, peer
        import gc
        gc.collect()
        cold_paths = paths
        rate, _ = cold_fetch_rate(directory, cold_paths, 65536, args.cold_reps, rng)
        evict(cold_paths)
        iops = fio_iops(cold_paths, 8)
        rows.append(("cold, 65,536 rows: rows/s vs fio 4 KiB randread/s, psync, 32 jobs, O_DIRECT "
                     "(higher is better)",
                     f"{rate:,.0f}/s vs {iops:,.0f}/s" if iops else f"{rate:,.0f}/s vs (no fio)",
                     f"{rate / iops:.2f}" if iops else "-"))
        _, t16 = cold_fetch_rate(directory, cold_paths, 16, 4 * args.cold_reps, rng)
        t1 = cold_pread_ns(cold_paths, 4 * args.cold_reps, rng)
        # However well the 16 reads overlap, the device serves them no faster
        # than its own rate with 32 reads in flight.
        floor = f"; the device's floor for 16 reads, 16 / fio rate: {16 / iops * 1e6:,.0f} us" if iops else ""
        rows.append(("cold, 16 rows vs one cold 4 KiB os.pread",
                     f"{t16 / 1e3:,.0f} us vs {t1 / 1e3:,.0f} us{floor}", f"{t16 / t1:.2f}x"))

    print_rows(rows, t_start)
    return 0


def print_rows(rows, t_start) -> None:
    width = max(len(r[0]) for r in rows)
    print()
    for label, detail, ratio in rows:
        print(f"{label:<{width}}  {ratio:>7}  ({detail})")
    with open("/proc/loadavg") as f:
        print(f"\nload average at end: {f.read().split()[:3]}; took {time.perf_counter() - t_start:.0f} s")


if __name__ == "__main__":
    raise SystemExit(main())
