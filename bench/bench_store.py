"""Rows per second: quandrel.Store.fetch against a numpy memmap gather and an os.pread loop.

All three read the same shard files, warm in the page cache, take the same
Python list of row ids and return one bytes object with the rows in request
order. The garbage collector stays enabled, as it is in a serving process.
"""

from __future__ import annotations

import argparse
import os
import random
import tempfile
import time

import numpy as np

import quandrel
from harness import batch_header, batch_rows, machine, measure, memmap_gather, warm, write_store


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shards", type=int, default=128)
    parser.add_argument("--rows-per-shard", type=int, default=50_000)
    parser.add_argument("--width", type=int, default=64, help="bytes per row")
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 16, 256, 4096, 65536])
    parser.add_argument("--budget", type=float, default=2.0, help="seconds of timing per batch size")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    shards, rps, width = args.shards, args.rows_per_shard, args.width

    print(f"machine: {machine()}")
    pool = {k: os.environ[k] for k in ("QUANDREL_POOL_WORKERS", "QUANDREL_NO_POOL") if k in os.environ}
    print(f"store: {shards} shards x {rps:,} rows x {width} B = "
          f"{shards * rps * width / 1e6:,.0f} MB, Store threads=32 (default), pool env {pool or 'default'}")
    print("gc enabled, perf_counter_ns, median (and min) of repeated calls, page cache warm")

    with tempfile.TemporaryDirectory(prefix="quandrel-bench-store-") as directory:
        t0 = time.perf_counter()
        paths = write_store(directory, shards, rps, width, args.seed)
        warm(paths)
        print(f"generated and read back in {time.perf_counter() - t0:.1f} s in {directory}")

        store = quandrel.Store(directory, shards, rps, width)
        maps = [np.memmap(p, dtype=np.uint8, mode="r").reshape(rps, width) for p in paths]
        fds = [os.open(p, os.O_RDONLY) for p in paths]

        def fetch_memmap(rowids: list[int]) -> bytes:
            ids = np.array(rowids, dtype=np.int64)
            out = memmap_gather(maps, rps, ids, np.empty((len(ids), width), dtype=np.uint8))
            return out.tobytes()

        def fetch_pread(rowids: list[int]) -> bytes:
            parts = []
            for r in rowids:
                s, k = divmod(r, rps)
                parts.append(os.pread(fds[s], width, k * width))
            return b"".join(parts)

        impls = {"Store.fetch": store.fetch, "memmap": fetch_memmap, "pread": fetch_pread}
        rng = random.Random(args.seed)
        batch_header("rows", 12, "fetch")
        for n in args.batches:
            inputs = [[rng.randrange(shards * rps) for _ in range(n)] for _ in range(4)]
            for rowids in inputs:
                want = store.fetch(rowids)
                assert len(want) == n * width
                assert fetch_memmap(rowids) == want, f"memmap differs at batch {n}"
                assert fetch_pread(rowids) == want, f"pread differs at batch {n}"
            batch_rows(n, measure(impls, inputs, args.budget), "Store.fetch", 12)
        for fd in fds:
            os.close(fd)
        del maps
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
