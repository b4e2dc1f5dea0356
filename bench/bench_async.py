"""Asynchronous reads: quandrel's ReadHandle against what an engine does
without it (a synchronous fetch, a ThreadPoolExecutor hand-off) and against
the device's own rate (fio, io_uring, 64 in flight, O_DIRECT).

    python bench/bench_async.py --dir /var/tmp    # disk-backed: cold rows need eviction

Every figure is a median of runs that take turns in one process; cold runs
evict the shard files (POSIX_FADV_DONTNEED) and then open a new Store.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

# The compute stand-in is a matmul on one core: a model's step runs on its
# accelerator and leaves the host's cores to the rest. Set the variable to
# see a compute that takes every core (on 2 cores, the reads then wait for
# a core as much as for the disk).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402  (after the variable, which numpy reads once)

import quandrel
from bench_store import write_store
from harness import StolenTime, machine, measure
from run_all import evict

WIDTH = 64


def cpu_s() -> float:
    """CPU seconds of every thread of the process (the kernel's io_uring
    workers included), to the nanosecond: getrusage may count in ticks."""
    return time.process_time()


class Table:
    def __init__(self, directory, shards, rps, seed, write=True):
        """A table of random rows written to `directory` (or, with write
        False, the one another Table wrote there)."""
        self.dir, self.shards, self.rps = directory, shards, rps
        self.paths = (write_store(directory, shards, rps, WIDTH, seed) if write else
                      [os.path.join(directory, f"shard_{s:03d}.bin") for s in range(shards)])
        self.rows = shards * rps
        self.rng = np.random.default_rng(seed)

    def ids(self, n):
        return self.rng.integers(0, self.rows, n, dtype=np.int64)

    def open(self):
        return quandrel.Store(self.dir, self.shards, self.rps, WIDTH)

    def cold(self):
        evict(self.paths)
        return self.open()


def timed(fn):
    c0, t0 = cpu_s(), time.perf_counter()
    fn()
    return time.perf_counter() - t0, cpu_s() - c0


def median_pair(samples):
    return statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples)


def sized_compute(a, seconds):
    """A compute stand-in of about `seconds`: matmuls, which release the lock."""
    one = statistics.median(timed(lambda: a @ a)[0] for _ in range(5))
    reps = max(1, round(seconds / one))

    def compute():
        for _ in range(reps):
            a @ a
    return compute


def decode_loop(table, compute, cold, steps):
    """Per step: start the next step's 4,096 rows, compute, wait. Returns the
    median times of a step, of compute alone and of a synchronous fetch, and
    the median process CPU time of a step and of compute alone."""
    out = np.empty((4096, WIDTH), np.uint8)
    store = table.open()
    took = {kind: [] for kind in ("step", "compute", "sync")}
    cpu = {"step": [], "compute": []}
    for _ in range(steps):
        for kind in took:
            ids = table.ids(4096)
            if cold:
                store = table.cold()
            else:
                store.fetch_into(ids, out)
            c0, t0 = cpu_s(), time.perf_counter()
            if kind == "step":
                h = store.fetch_into_async(ids, out)
                compute()
                h.wait()
            elif kind == "compute":
                compute()
            else:
                store.fetch_into(ids, out)
            took[kind].append(time.perf_counter() - t0)
            if kind in cpu:
                cpu[kind].append(cpu_s() - c0)
    return (*(statistics.median(took[k]) for k in took), *(statistics.median(cpu[k]) for k in cpu))


def device_reads(path):
    """Reads the device holding `path` has completed, or None where the
    system does not tell."""
    st = os.stat(path)
    try:
        with open(f"/sys/dev/block/{os.major(st.st_dev)}:{os.minor(st.st_dev)}/stat") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def with_device_reads(table, fn):
    """fn's (seconds, CPU seconds), and the device reads it caused (None
    where unknown)."""
    before = device_reads(table.paths[0])
    t, c = timed(fn)
    after = device_reads(table.paths[0])
    return t, c, None if before is None or after is None else after - before


def many_in_flight(table, reads, rows):
    store = table.cold()
    ids = [table.ids(rows) for _ in range(reads)]
    outs = [np.ones((rows, WIDTH), np.uint8) for _ in range(reads)]

    def run():
        handles = [store.fetch_into_async(i, o) for i, o in zip(ids, outs)]
        for h in handles:
            h.result()
    return with_device_reads(table, run)


def cold_batch(table, n):
    store = table.cold()
    ids, out = table.ids(n), np.ones((n, WIDTH), np.uint8)
    return with_device_reads(table, lambda: store.fetch_into(ids, out))


def cold_batch_async(table, n):
    store = table.cold()
    ids, out = table.ids(n), np.ones((n, WIDTH), np.uint8)
    return timed(lambda: store.fetch_into_async(ids, out).result())


def fio(table, depth, seconds):
    """(reads/s, CPU seconds per read, mean latency in s, 95th percentile
    of completion latency in s) of fio's 4 KiB random reads over the shard
    files, io_uring, one job, O_DIRECT."""
    if shutil.which("fio") is None:
        return None
    cmd = ["fio", "--name=randread", "--filename=" + ":".join(table.paths), "--rw=randread",
           "--bs=4k", "--ioengine=io_uring", f"--iodepth={depth}", "--direct=1", "--numjobs=1",
           f"--runtime={seconds}", "--time_based", "--output-format=json"]
    job = json.loads(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)["jobs"][0]
    reads = job["read"]["total_ios"]
    cpu = (job["usr_cpu"] + job["sys_cpu"]) / 100 * job["job_runtime"] / 1e3
    p95 = job["read"]["clat_ns"].get("percentile", {}).get("95.000000", 0)
    return job["read"]["iops"], cpu / reads, job["read"]["lat_ns"]["mean"] / 1e9, p95 / 1e9


def prefetched_fetch(table, n, settle_s, flush):
    """The fetch of prefetched rows, the same fetch right after it (its rows
    then in the CPU's caches too), and once more after `flush` has pushed
    them out of those caches (rows in memory, as a hot fetch of rows last
    read a while ago finds them)."""
    store = table.cold()
    ids, out = table.ids(n), np.ones((n, WIDTH), np.uint8)  # touched: no page faults on it
    store.prefetch(ids)
    time.sleep(settle_s)  # the device delivers meanwhile
    flush()
    t_pre, _ = timed(lambda: store.fetch_into(ids, out))
    t_again, _ = timed(lambda: store.fetch_into(ids, out))
    flush()
    t_flushed, _ = timed(lambda: store.fetch_into(ids, out))
    return t_pre, t_again, t_flushed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None, help="a disk-backed directory for the table")
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--rows-per-shard", type=int, default=1 << 20)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    print(f"machine: {machine()}")
    engine, reason = quandrel._quandrel._cold_read_engine()
    print(f"cold reads: {engine}" + (f" ({reason})" if reason else "") +
          f"; compute stand-in: a matmul on {os.environ['OPENBLAS_NUM_THREADS']} BLAS thread(s)")
    with tempfile.TemporaryDirectory(prefix="quandrel-bench-async-", dir=args.dir) as directory:
        table = Table(directory, args.shards, args.rows_per_shard, args.seed)
        print(f"table: {args.shards} shards x {args.rows_per_shard:,} rows x {WIDTH} B = "
              f"{table.rows * WIDTH / 1e6:,.0f} MB; medians of {args.reps} interleaved runs")
        rows = []
        stolen = StolenTime()
        # Compute as long as a cold fetch of the step's rows, the case where
        # overlap matters most; then twice as long. At equal lengths a step
        # lasts the longer of two durations that both vary from step to
        # step (the device's most), and the median of that maximum exceeds
        # the maximum of the two medians it is divided by even when the
        # overlap costs nothing; at twice the length the reads hide whole,
        # and the ratio shows what overlapping them costs the compute.
        a = np.random.default_rng(0).random((320, 320), dtype=np.float32)
        cold_fetch = statistics.median(cold_batch(table, 4096)[0] for _ in range(3))
        for scale in (1, 2):
            compute = sized_compute(a, scale * cold_fetch)
            for cold in (False, True):
                step, alone, sync, step_cpu, alone_cpu = decode_loop(table, compute, cold, args.reps * 4)
                length = "" if scale == 1 else ", compute 2x a cold fetch"
                rows.append((f"decode loop, 4,096 rows, {'cold' if cold else 'hot'}{length}: "
                             "step / max(compute, sync fetch)",
                             f"{step * 1e3:.2f} ms vs max({alone * 1e3:.2f}, {sync * 1e3:.2f}) ms; "
                             f"process CPU {step_cpu * 1e3:.1f} vs {alone_cpu * 1e3:.1f} ms",
                             f"{step / max(alone, sync):.2f}"))

        store = table.open()
        inputs = [table.ids(16) for _ in range(64)]
        out16 = np.empty((16, WIDTH), np.uint8)
        for i in inputs:
            store.fetch_into(i, out16)
        pool = ThreadPoolExecutor(1)
        res = measure({
            "async": lambda i: store.fetch_into_async(i, out16).result(),
            "sync": lambda i: store.fetch_into(i, out16),
            "executor": lambda i: pool.submit(store.fetch_into, i, out16).result(),
        }, inputs, 3.0)
        rows.append(("hot 16 rows: fetch_into_async().result() / fetch_into",
                     f"{res['async'][0] / 1e3:.2f} us vs {res['sync'][0] / 1e3:.2f} us",
                     f"{res['async'][0] / res['sync'][0]:.2f}"))
        rows.append(("hot 16 rows: async submit+wait / ThreadPoolExecutor(1) round trip",
                     f"{res['async'][0] / 1e3:.2f} us vs {res['executor'][0] / 1e3:.2f} us",
                     f"{res['async'][0] / res['executor'][0]:.2f}"))
        pool.shutdown()

        flight, sync_big, async_big = [], [], []
        for _ in range(args.reps):
            flight.append(many_in_flight(table, 1000, 16))
            sync_big.append(cold_batch(table, 65536))
            async_big.append(cold_batch_async(table, 65536))
        (tf, _), (ts, cs), (ta, ca) = median_pair(flight), median_pair(sync_big), median_pair(async_big)
        rows.append(("1,000 reads of 16 cold rows in flight: rows/s / sync cold 65,536-row batches",
                     f"{16000 / tf:,.0f}/s vs {65536 / ts:,.0f}/s", f"{16000 / tf / (65536 / ts):.2f}"))
        # 65,536 random rows share pages more often than 16,000 do, so the
        # large batch needs fewer device reads per row: per device read, the
        # two are compared on what the device did.
        if all(f[2] for f in flight) and all(b[2] for b in sync_big):
            rf = statistics.median(f[2] / f[0] for f in flight)
            rs = statistics.median(b[2] / b[0] for b in sync_big)
            rows.append(("1,000 reads in flight: device reads/s / sync 65,536-row batches' device reads/s",
                         f"{rf:,.0f}/s vs {rs:,.0f}/s; rows per device read "
                         f"{16000 / statistics.median(f[2] for f in flight):.2f} vs "
                         f"{65536 / statistics.median(b[2] for b in sync_big):.2f}", f"{rf / rs:.2f}"))
        device = fio(table, 64, 8)
        if device:
            iops, cpu_per_read = device[:2]
            for name, t, c in (("sync", ts, cs), ("async", ta, ca)):
                rows.append((f"cold 65,536 rows, {name}: rows/s / fio io_uring iodepth 64 reads/s",
                             f"{65536 / t:,.0f}/s vs {iops:,.0f}/s", f"{65536 / t / iops:.2f}"))
                rows.append((f"cold 65,536 rows, {name}: CPU per row / fio's CPU per read",
                             f"{c / 65536 * 1e6:.2f} us vs {cpu_per_read * 1e6:.2f} us",
                             f"{c / 65536 / cpu_per_read:.2f}"))
            one = fio(table, 1, 4)
            floor = max(one[2], 16 / iops)
            t16 = statistics.median(cold_batch(table, 16)[0] for _ in range(args.reps * 4))
            rows.append(("cold 16 rows / device floor (max of one read's latency, 16 / fio IOPS)",
                         f"{t16 * 1e6:,.0f} us vs {floor * 1e6:,.0f} us", f"{t16 / floor:.2f}"))
            # 16 reads sent at once end with the slowest of them: about the
            # 95th percentile of one read's latency when 16 are in flight.
            sixteen = fio(table, 16, 4)
            rows.append(("cold 16 rows / fio iodepth 16: 95th percentile latency (mean)",
                         f"{t16 * 1e6:,.0f} us vs {sixteen[3] * 1e6:,.0f} us ({sixteen[2] * 1e6:,.0f} us)",
                         f"{t16 / sixteen[3]:.2f}"))
        junk = np.ones(64 << 20, np.uint8)  # larger than the CPU's caches

        def flush():
            junk.__iadd__(1)
        pre = [prefetched_fetch(table, 4096, 0.5, flush) for _ in range(args.reps)]
        tp, ta, tfl = (statistics.median(p[k] for p in pre) for k in range(3))
        rows.append(("prefetch 4,096 cold rows, then fetch / the same hot fetch again",
                     f"{tp * 1e6:,.0f} us vs {ta * 1e6:,.0f} us", f"{tp / ta:.2f}"))
        rows.append(("prefetch 4,096 cold rows, then fetch / hot fetch after a CPU cache flush",
                     f"{tp * 1e6:,.0f} us vs {tfl * 1e6:,.0f} us", f"{tp / tfl:.2f}"))

        width = max(len(r[0]) for r in rows)
        for label, figures, ratio in rows:
            print(f"{label:<{width}}  {ratio:>6}  ({figures})")
        print(f"CPU time stolen by the hypervisor during the run: {stolen.share()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
