"""Row ids per call: quandrel.rowids_for_seq against the same hashing in numpy.

Both sides start from a Python list of token ids and end with a list of lists
of Python ints, so the numpy figure includes its conversions in and out.
The garbage collector stays enabled, as it is in a serving process.
"""

from __future__ import annotations

import argparse
import gc
import random
import time

import numpy as np

import quandrel
from harness import machine, measure

BOUNDARY = 248_044
MULTIPLIERS = np.array([0x158EEB0ED789, 0x124A0230FF35, 0x752F6EB3BA7], dtype=np.uint64)
# The 16 table sizes (the first 16 primes above 20,000,000); they are also the moduli.
MODULI = np.array([
    20_000_003, 20_000_023, 20_000_033, 20_000_047, 20_000_059, 20_000_063, 20_000_069, 20_000_077,
    20_000_081, 20_000_093, 20_000_107, 20_000_147, 20_000_153, 20_000_159, 20_000_161, 20_000_171,
], dtype=np.uint64)
OFFSETS = np.concatenate(([0], np.cumsum(MODULI)[:-1])).astype(np.uint64)


def rowids_numpy_array(tokens: list[int]) -> np.ndarray:
    a = np.array(tokens, dtype=np.uint64)
    n = a.size
    # One place back: the previous token, or the boundary at the start (a boundary
    # predecessor is the boundary anyway).
    c1 = np.empty(n, dtype=np.uint64)
    c1[:1] = BOUNDARY
    c1[1:] = a[:-1]
    # Two places back: cut when either of the two predecessors is the boundary. A
    # boundary two back is its own replacement, so only c1 needs testing.
    c2 = np.full(n, BOUNDARY, dtype=np.uint64)
    c2[2:] = a[:-2]
    c2[c1 == BOUNDARY] = BOUNDARY
    # uint64 array products wrap modulo 2**64, as the hashing requires.
    h2 = (a * MULTIPLIERS[0]) ^ (c1 * MULTIPLIERS[1])
    h3 = h2 ^ (c2 * MULTIPLIERS[2])
    out = np.empty((n, 16), dtype=np.uint64)
    out[:, :8] = h2[:, None] % MODULI[:8]
    out[:, 8:] = h3[:, None] % MODULI[8:]
    out += OFFSETS
    return out


def rowids_numpy(tokens: list[int]) -> list[list[int]]:
    return rowids_numpy_array(tokens).tolist()


def rowids_quandrel(tokens: list[int]) -> list[list[int]]:
    return quandrel.rowids_for_seq(tokens, 1)


def make_tokens(rng: random.Random, n: int) -> list[int]:
    # Mostly ordinary ids, about 2% boundaries so that the context cutting is exercised.
    return [BOUNDARY if rng.random() < 0.02 else rng.randrange(0, 262_144) for _ in range(n)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 16, 4096, 65536])
    parser.add_argument("--budget", type=float, default=2.0, help="seconds of timing per size")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--disable-gc", action="store_true",
                        help="switch the garbage collector off (for comparison only)")
    args = parser.parse_args()
    if args.disable_gc:
        gc.disable()

    print(f"machine: {machine()}")
    print(f"gc {'enabled' if gc.isenabled() else 'DISABLED'}, "
          f"perf_counter_ns, median and min of repeated calls")
    rng = random.Random(args.seed)
    # "np-array" stops before .tolist(): not a peer, it shows what the hashing
    # itself costs next to building the Python lists and ints.
    impls = {"quandrel": rowids_quandrel, "numpy": rowids_numpy, "np-array": rowids_numpy_array}
    header = (f"{'tokens':>7} {'impl':>9} {'median/call':>12} {'min/call':>12} "
              f"{'median/token':>13} {'calls':>8}  time/quandrel")
    print(header)
    print("-" * len(header))
    results = {}
    for n in args.sizes:
        # A few different inputs per size, cycled, so no single sequence is favoured.
        inputs = [make_tokens(rng, n) for _ in range(4)]
        inputs[0][n // 2] = BOUNDARY  # short inputs get a boundary too
        for tokens in inputs:
            assert rowids_numpy(tokens) == rowids_quandrel(tokens), f"outputs differ at {n} tokens"
        res = measure(impls, inputs, args.budget)
        results[n] = res
        for name, (med, lo, calls) in res.items():
            tail = f"  {med / res['quandrel'][0]:.2f}x" if name != "quandrel" else ""
            print(f"{n:>7} {name:>9} {med / 1e3:>9.2f} us {lo / 1e3:>9.2f} us "
                  f"{med / n:>10.1f} ns {calls:>8}{tail}")

    print()
    if 1 in results:
        med = results[1]["quandrel"][0] / 1e3
        print(f"target: one-token call under 5 us: median {med:.2f} us -> "
              f"{'met' if med < 5 else 'NOT met'}")
    if 4096 in results:
        ratio = results[4096]["numpy"][0] / results[4096]["quandrel"][0]
        print(f"target: 4,096 tokens at least 2x faster than numpy: {ratio:.2f}x -> "
              f"{'met' if ratio >= 2 else 'NOT met'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
