"""Arrays in, arrays out: rowids_array, buffer arguments and fetch_into against their peers.

Three cases, each against what a user would otherwise write, in one run on
the same data:
  1. row ids of 4,096 tokens held in a numpy int64 array: rowids_array, with
     and without `out`, against rowids_for_seq on a list and against the
     same scheme vectorised in numpy on arrays;
  2. the argument conversion of 65,536 row ids: a numpy array read as a
     buffer, a strided view of the same ids, the same array through
     `__dlpack__` alone, against the element-by-element path of a list;
  3. fetch_into of 65,536 hot rows from numpy ids into a numpy array,
     against a long-lived np.memmap fancy index into the same array.
The garbage collector stays enabled, as it is in a serving process.
"""

from __future__ import annotations

import argparse
import tempfile

import numpy as np

import quandrel
from bench_rowids import BOUNDARY, rowids_numpy_array
from harness import machine, measure, memmap_gather, warm, write_store


def report(title: str, res: dict, per: int, unit: str, base: str) -> None:
    print(f"\n{title}")
    header = f"{'impl':>28} {'median/call':>12} {'min/call':>12} {'median/' + unit:>13} {'calls':>8}  time/{base}"
    print(header)
    print("-" * len(header))
    for name, (med, lo, calls) in res.items():
        tail = "" if name == base else f"  {med / res[base][0]:.2f}x"
        print(f"{name:>28} {med / 1e3:>9.2f} us {lo / 1e3:>9.2f} us {med / per:>10.2f} ns {calls:>8}{tail}")


def bench_rowids(rng, n: int, budget: float) -> None:
    inputs = []
    for _ in range(4):
        a = rng.integers(0, 262_144, n, dtype=np.int64)
        a[rng.random(n) < 0.02] = BOUNDARY
        inputs.append((a, a.tolist(), np.empty((n, 16), dtype=np.int64)))
    for a, listed, out in inputs:
        want = rowids_numpy_array(a)
        assert (np.asarray(quandrel.rowids_array(a, 1)) == want).all()
        assert (quandrel.rowids_array(a, 1, out=out) == want).all()
        assert quandrel.rowids_for_seq(listed, 1) == want.tolist()
    impls = {
        "rowids_array": lambda x: quandrel.rowids_array(x[0], 1),
        "rowids_array(out=)": lambda x: quandrel.rowids_array(x[0], 1, out=x[2]),
        "rowids_for_seq(list)": lambda x: quandrel.rowids_for_seq(x[1], 1),
        "numpy on arrays": lambda x: rowids_numpy_array(x[0]),
    }
    report(f"1. row ids of {n:,} tokens (numpy int64 in)", measure(impls, inputs, budget), n,
           "token", "rowids_array")


class OnlyDlpack:
    """An array that offers only `__dlpack__`, as a torch or jax tensor does."""

    def __init__(self, a):
        self.a = a

    def __dlpack__(self, **kwargs):
        return self.a.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.a.__dlpack_device__()


def bench_conversion(store, rng, n: int, budget: float) -> None:
    # A zero-byte `out` fails the size check right after the ids are
    # converted, so a call costs the conversion plus one raised ValueError.
    nothing = bytearray()

    def convert(ids):
        try:
            store.fetch_into(ids, nothing)
        except ValueError:
            pass

    inputs = []
    for _ in range(4):
        ids = rng.integers(0, 1 << 40, n, dtype=np.int64)
        strided = np.repeat(ids, 2)[::2]
        assert np.array_equal(strided, ids) and not strided.flags.c_contiguous
        inputs.append((ids, strided, ids.tolist(), OnlyDlpack(ids)))
    impls = {
        "numpy int64 (buffer)": lambda x: convert(x[0]),
        "numpy strided (buffer)": lambda x: convert(x[1]),
        "numpy via __dlpack__": lambda x: convert(x[3]),
        "list of int (per item)": lambda x: convert(x[2]),
        "1 id (call + ValueError)": lambda x: convert(x[0][:1]),
    }
    report(f"2. argument conversion of {n:,} row ids (Store.fetch_into, size check fails)",
           measure(impls, inputs, budget), n, "id", "numpy int64 (buffer)")


def bench_fetch_into(directory, rng, shards, rows, width, n, budget) -> None:
    rps = rows // shards
    paths = write_store(directory, shards, rps, width, int(rng.integers(1 << 30)))
    warm(paths)
    store = quandrel.Store(directory, shards, rps, width)
    maps = [np.memmap(p, dtype=np.uint8, mode="r").reshape(rps, width) for p in paths]

    def memmap_into(ids, out):
        if shards == 1:
            np.take(maps[0], ids, axis=0, out=out)
            return
        memmap_gather(maps, rps, ids, out)

    inputs = []
    for _ in range(4):
        ids = rng.integers(0, shards * rps, n, dtype=np.int64)
        inputs.append((ids, np.empty((n, width), dtype=np.uint8), np.empty((n, width), dtype=np.uint8)))
    for ids, out, peer in inputs:
        store.fetch_into(ids, out)
        memmap_into(ids, peer)
        assert np.array_equal(out, peer) and out.tobytes() == store.fetch(ids)
    impls = {
        "Store.fetch_into": lambda x: store.fetch_into(x[0], x[1]),
        "memmap into out": lambda x: memmap_into(x[0], x[2]),
    }
    if shards == 1:
        impls["memmap[ids] (new array)"] = lambda x: maps[0][x[0]]
    impls["Store.fetch (bytes)"] = lambda x: store.fetch(x[0])
    layout = f"{shards} shard{'s' if shards > 1 else ''} x {rps:,} rows x {width} B"
    report(f"3. {n:,} hot rows from numpy ids into a numpy array ({layout})",
           measure(impls, inputs, budget), n, "row", "Store.fetch_into")
    del maps


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=4096)
    parser.add_argument("--ids", type=int, default=65536)
    parser.add_argument("--rows", type=int, default=2_000_000, help="rows of each store")
    parser.add_argument("--width", type=int, default=64, help="bytes per row")
    parser.add_argument("--shards", type=int, nargs="+", default=[1, 128],
                        help="one store per shard count for case 3")
    parser.add_argument("--budget", type=float, default=2.0, help="seconds of timing per case")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    print(f"machine: {machine()}")
    print("gc enabled, perf_counter_ns, median and min of repeated calls, page cache warm")
    rng = np.random.default_rng(args.seed)
    bench_rowids(rng, args.tokens, args.budget)
    with tempfile.TemporaryDirectory(prefix="quandrel-bench-arrays-") as directory:
        write_store(directory, 1, 1000, args.width, args.seed)  # never read: the call fails first
        bench_conversion(quandrel.Store(directory, 1, 1000, args.width), rng, args.ids, args.budget)
    for shards in args.shards:
        with tempfile.TemporaryDirectory(prefix="quandrel-bench-arrays-") as directory:
            bench_fetch_into(directory, rng, shards, args.rows, args.width, args.ids, args.budget)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
