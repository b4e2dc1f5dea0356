"""What the read counters cost: the small hot reads of run_all.py, timed with
this build's module against a build without counters, in one run.

    python bench/bench_stats.py --baseline /path/to/older/_quandrel.abi3.so

The baseline is the extension module built from the commit before the
counters; both modules are loaded into this process and read the same
files, warm in the page cache, taking turns in short rounds, so that drift
on a shared machine hits both alike; times are the thread's CPU time. Ratios are this build / baseline
(lower is better; 1.00 is no cost).
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import tempfile
import time

import numpy as np

import quandrel
from harness import load_build, machine

SHARDS, ROWS_PER_SHARD, WIDTH = 32, 32_768, 256  # as run_all.py
VIEW_RECORDS, SLOT = 4_096, 2_560


def cpu_medians(impls: dict, inputs: list, budget_s: float, rounds: int = 40) -> dict:
    """Median thread CPU ns per call of each implementation, taking turns in
    short rounds. CPU time, not wall time: on a machine shared with other
    work, a preempted loop would otherwise count the time others ran."""
    inner = 200
    samples: dict = {name: [] for name in impls}
    i = 0
    for _ in range(rounds):
        for name, fn in impls.items():
            deadline = time.perf_counter() + budget_s / rounds / len(impls)
            while time.perf_counter() < deadline:
                arg = inputs[i % len(inputs)]
                i += 1
                t0 = time.thread_time_ns()
                for _ in range(inner):
                    fn(arg)
                samples[name].append((time.thread_time_ns() - t0) / inner)
    return {name: statistics.median(s) for name, s in samples.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", required=True, help="the other build's _quandrel*.so")
    parser.add_argument("--budget", type=float, default=4.0, help="seconds per row")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    base = load_build("quandrel_baseline", args.baseline)
    rng = random.Random(args.seed)
    nrng = np.random.default_rng(args.seed)
    print(f"machine: {machine()}")
    with open("/proc/loadavg") as f:
        print(f"load average at start: {f.read().split()[:3]}")
    print(f"QUANDREL_READER={os.environ.get('QUANDREL_READER', '') or '(unset: auto)'}; "
          "median CPU ns per call, this build vs baseline")

    with tempfile.TemporaryDirectory(prefix="quandrel-bench-") as directory:
        for s in range(SHARDS):
            with open(os.path.join(directory, f"shard_{s:03d}.bin"), "wb") as f:
                f.write(nrng.bytes(ROWS_PER_SHARD * WIDTH))
        view_path = os.path.join(directory, "records.bin")
        with open(view_path, "wb") as f:
            f.write(nrng.bytes(VIEW_RECORDS * SLOT))
        ours = quandrel.Store(directory, SHARDS, ROWS_PER_SHARD, WIDTH)
        theirs = base.Store(directory, SHARDS, ROWS_PER_SHARD, WIDTH)
        our_view, their_view = quandrel.View(view_path), base.View(view_path)
        total = SHARDS * ROWS_PER_SHARD

        def ids(n):
            return [[rng.randrange(total) for _ in range(n)] for _ in range(8)]

        records = [[rng.randrange(VIEW_RECORDS) for _ in range(4)] for _ in range(8)]
        cases = [
            ("Store.fetch, 1 row", ours.fetch, theirs.fetch, ids(1)),
            ("Store.fetch_one", ours.fetch_one, theirs.fetch_one, [r[0] for r in ids(1)]),
            ("Store.fetch, 16 rows", ours.fetch, theirs.fetch, ids(16)),
            ("Store.fetch, 1,024 rows", ours.fetch, theirs.fetch, ids(1024)),
            ("View.read_record", our_view.read_record, their_view.read_record, [r[0] for r in records]),
            ("View.read_records, 4 records", our_view.read_records, their_view.read_records, records),
        ]
        for label, mine, other, inputs in cases:
            for x in inputs:  # the same bytes, and every page touched before timing
                assert mine(x) == other(x)
            res = cpu_medians({"ours": mine, "baseline": other}, inputs, args.budget)
            q, b = res["ours"], res["baseline"]
            print(f"{label:<30} {q:>9,.0f} vs {b:>9,.0f} ns  {q / b:.3f}x")
        print(f"counted calls: {ours.stats()['calls']:,} (store), {our_view.stats()['calls']:,} (view)")
    with open("/proc/loadavg") as f:
        print(f"load average at end: {f.read().split()[:3]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
