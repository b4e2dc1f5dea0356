"""Store.fetch of hot rows against one os.pread per row, optionally also with
another build of the extension (--before PATH_TO_SO), all in one process on
the same files: what keeping the fault handler in front costs a fetch.

Both builds install their SIGBUS handlers; no file is cut here, so neither
ever runs. Only a build from before the handler was kept in front may be
loaded beside this one: two builds that both keep theirs in front re-install
it at every batch and soon fall back to positional reads. Compare such
builds with bench_stats.py, which runs each in a process of its own. Timing as in harness.measure: calls interleaved over rounds,
median and minimum per call, garbage collector enabled.
"""

from __future__ import annotations

import argparse
import os
import random
import tempfile

import quandrel
from harness import load_build, machine, measure


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="another build's _quandrel*.so to compare with")
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 16, 65536])
    parser.add_argument("--budget", type=float, default=2.0, help="seconds of timing per batch size")
    args = parser.parse_args()
    shards, rows, width = 16, 20_000, 64
    print(f"machine: {machine()}")
    print(f"store: {shards} shards x {rows:,} rows x {width} B, page cache warm; load average "
          f"{os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory(prefix="quandrel-bench-guard-") as directory:
        for s in range(shards):
            with open(os.path.join(directory, f"shard_{s:03d}.bin"), "wb") as f:
                f.write(os.urandom(rows * width))
        fds = [os.open(os.path.join(directory, f"shard_{s:03d}.bin"), os.O_RDONLY) for s in range(shards)]

        def pread(ids: list[int]) -> None:
            for r in ids:
                s, k = divmod(r, rows)
                os.pread(fds[s], width, k * width)

        impls = {"Store.fetch": quandrel.Store(directory, shards, rows, width).fetch}
        if args.before:
            impls["before"] = load_build("before", args.before).Store(directory, shards, rows, width).fetch
        impls["os.pread"] = pread
        rng = random.Random(1)
        print(f"{'batch':>6} {'impl':>12} {'median/call':>12} {'min/call':>10}  x os.pread")
        for n in args.batches:
            inputs = [[rng.randrange(shards * rows) for _ in range(n)] for _ in range(8)]
            got = measure(impls, inputs, args.budget)
            for name, (med, low, _) in got.items():
                print(f"{n:>6} {name:>12} {med / 1e3:>10.2f}us {low / 1e3:>8.2f}us  "
                      f"{med / got['os.pread'][0]:.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
