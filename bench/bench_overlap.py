"""What a cold read running beside the compute costs the compute: a fixed
matmul loop alone, beside a cold 4,096-row read started by
`fetch_into_async`, beside the same read by `fetch_into` on a Python thread,
and beside it in another process.

    python bench/bench_overlap.py --dir /var/tmp

The read ends within the compute in every case (the compute lasts about
twice a cold read), so each figure is the compute's own time. Medians of
interleaved runs; every read is of evicted files through a new Store.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402

from bench_async import WIDTH, Table, cold_batch, timed
from harness import StolenTime, machine

ROWS = 4096


def child(directory: str, shards: int, rps: int) -> None:
    """Reads a cold batch each time it is told to: "prepare" evicts and
    opens, "go" reads."""
    table = Table(directory, shards, rps, seed=7, write=False)
    out = np.empty((ROWS, WIDTH), np.uint8)
    for _ in sys.stdin:  # prepare
        store, ids = table.cold(), table.ids(ROWS)
        print("ready", flush=True)
        sys.stdin.readline()  # go
        store.fetch_into(ids, out)
        print("done", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None, help="a disk-backed directory for the table")
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--rows-per-shard", type=int, default=1 << 20)
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--in-place", action="store_true", help="matmul into one output array")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.shards, args.rows_per_shard)
        return 0
    print(f"machine: {machine()}")
    with tempfile.TemporaryDirectory(prefix="quandrel-bench-overlap-", dir=args.dir) as directory:
        table = Table(directory, args.shards, args.rows_per_shard, seed=1)
        out = np.empty((ROWS, WIDTH), np.uint8)
        a = np.random.default_rng(0).random((320, 320), dtype=np.float32)
        c = np.empty_like(a)
        one = (lambda: np.matmul(a, a, out=c)) if args.in_place else (lambda: a @ a)
        read_s = statistics.median(cold_batch(table, ROWS)[0] for _ in range(3))
        reps = max(1, round(2 * read_s / statistics.median(timed(one)[0] for _ in range(5))))

        def compute():
            for _ in range(reps):
                one()

        stolen = StolenTime()
        other = subprocess.Popen(
            [sys.executable, __file__, "--child", directory, "--shards", str(args.shards),
             "--rows-per-shard", str(args.rows_per_shard)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        cases = ["compute alone", "beside fetch_into_async", "beside fetch_into on a Python thread",
                 "beside fetch_into in another process"]
        took = {case: [] for case in cases}
        for _ in range(args.reps):
            for case in cases:
                if case.endswith("process"):
                    other.stdin.write("prepare\n")
                    other.stdin.flush()
                    other.stdout.readline()
                else:
                    store, ids = table.cold(), table.ids(ROWS)
                t0 = time.perf_counter()
                if case.endswith("async"):
                    handle = store.fetch_into_async(ids, out)
                elif case.endswith("thread"):
                    reader = threading.Thread(target=store.fetch_into, args=(ids, out))
                    reader.start()
                elif case.endswith("process"):
                    other.stdin.write("go\n")
                    other.stdin.flush()
                compute()
                took[case].append(time.perf_counter() - t0)
                if case.endswith("async"):
                    handle.wait()
                elif case.endswith("thread"):
                    reader.join()
                elif case.endswith("process"):
                    other.stdout.readline()
        other.stdin.close()
        other.wait()
        alone = statistics.median(took["compute alone"])
        print(f"compute: {reps} matmuls of 320x320{' into one array' if args.in_place else ''}; "
              f"a cold read of {ROWS:,} rows alone: {read_s * 1e3:.1f} ms; CPU time stolen by "
              f"the hypervisor meanwhile: {stolen.share()}")
        for case in cases:
            t = statistics.median(took[case])
            print(f"{case:40s} {t * 1e3:8.1f} ms  {t / alone:.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
