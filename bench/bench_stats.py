"""The fixed cost of one small read, build against build: the single-call
rows of run_all.py, timed with several builds of the extension module on the
same files, taking turns, in one run.

    python bench/bench_stats.py main=/path/to/_quandrel.abi3.so this=build/dev/_quandrel.abi3.so

Each build runs in a process of its own: two builds in one process would
each keep their own SIGBUS handler in front of the other's, and every batch
would then pay for installing one. The processes take turns in short rounds
(only one runs at a time), so that drift on a shared machine hits all
builds alike. Times are median CPU ns of the calling thread per call; the
ratio is to the first build (lower is better). One os.pread of a row,
timed in the same processes, is the peer of the one-row calls.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from harness import machine

SHARDS, ROWS_PER_SHARD, WIDTH = 32, 32_768, 256  # as run_all.py
VIEW_RECORDS, SLOT = 4_096, 2_560
CASES = ["os.pread, 1 row", "Store.fetch, 1 row", "Store.fetch_one", "Store.fetch, 16 rows",
         "Store.fetch, 1,024 rows", "View.read_record", "View.read_records, 4 records"]


def load(path: str):
    found = importlib.util.spec_from_file_location("quandrel._quandrel", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def worker(so_path: str, directory: str) -> None:
    """Serves "case seconds" requests on stdin with a JSON list of CPU ns per call."""
    q = load(so_path)
    store = q.Store(directory, SHARDS, ROWS_PER_SHARD, WIDTH)
    view = q.View(os.path.join(directory, "records.bin"))
    fds = [os.open(os.path.join(directory, f"shard_{s:03d}.bin"), os.O_RDONLY) for s in range(SHARDS)]
    rng = random.Random(1)  # the same ids in every worker

    def ids(n):
        return [[rng.randrange(SHARDS * ROWS_PER_SHARD) for _ in range(n)] for _ in range(8)]

    def pread(r):
        return os.pread(fds[r[0] // ROWS_PER_SHARD], WIDTH, r[0] % ROWS_PER_SHARD * WIDTH)

    records = [[rng.randrange(VIEW_RECORDS) for _ in range(4)] for _ in range(8)]
    calls = [
        (pread, ids(1)),
        (store.fetch, ids(1)),
        (store.fetch_one, [r[0] for r in ids(1)]),
        (store.fetch, ids(16)),
        (store.fetch, ids(1024)),
        (view.read_record, [r[0] for r in records]),
        (view.read_records, records),
    ]
    for fn, inputs in calls:  # every page touched before timing
        for x in inputs:
            fn(x)
    for line in sys.stdin:
        case, seconds = line.split()
        fn, inputs = calls[int(case)]
        inner = 2000 if int(case) != 4 else 20
        samples = []
        deadline = time.perf_counter() + float(seconds)
        i = 0
        while not samples or time.perf_counter() < deadline:
            arg = inputs[i % len(inputs)]
            i += 1
            t0 = time.thread_time_ns()
            for _ in range(inner):
                fn(arg)
            samples.append((time.thread_time_ns() - t0) / inner)
        print(json.dumps(samples), flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", help="NAME=PATH of an extension module, the reference first")
    parser.add_argument("--budget", type=float, default=4.0, help="seconds per row and build")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return 0
    if not args.builds:
        parser.error("name at least one build")
    builds = [b.split("=", 1) for b in args.builds]
    print(f"machine: {machine()}")
    print(f"load average at start: {os.getloadavg()}")
    print(f"QUANDREL_READER={os.environ.get('QUANDREL_READER', '') or '(unset: auto)'}; "
          f"median CPU ns per call; ratio to {builds[0][0]}")
    nrng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory(prefix="quandrel-bench-") as directory:
        for s in range(SHARDS):
            with open(os.path.join(directory, f"shard_{s:03d}.bin"), "wb") as f:
                f.write(nrng.bytes(ROWS_PER_SHARD * WIDTH))
        with open(os.path.join(directory, "records.bin"), "wb") as f:
            f.write(nrng.bytes(VIEW_RECORDS * SLOT))
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
        procs = [subprocess.Popen([sys.executable, __file__, "--worker", path, directory], env=env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                 for _, path in builds]
        print(f"{'':<30}" + "".join(f"{name:>14}" for name, _ in builds))
        for case, label in enumerate(CASES):
            samples = [[] for _ in builds]
            for _ in range(args.rounds):
                for k, p in enumerate(procs):
                    p.stdin.write(f"{case} {args.budget / args.rounds}\n")
                    p.stdin.flush()
                    samples[k] += json.loads(p.stdout.readline())
            med = [statistics.median(s) for s in samples]
            cells = "".join(f"{m:>9,.0f} {m / med[0]:.2f}" for m in med)
            print(f"{label:<30}{cells}", flush=True)
        for p in procs:
            p.stdin.close()
            p.wait()
    print(f"load average at end: {os.getloadavg()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
