"""`python -m quandrel demo`: a sample store built, read and checked."""

from __future__ import annotations

import os
import sys
import tempfile
import time

from .. import Store, rowids_for_seq

# The shard grid that row keys of scheme 1 fill exactly.
GRID_SHARDS = 128
GRID_ROWS_PER_SHARD = 2_500_012
DEMO_WIDTH = 32
# A short prompt in a made-up vocabulary; 248044 marks a sequence boundary.
DEMO_TOKENS = [151644, 872, 198, 9707, 11, 1879, 0, 248044, 785, 3974, 315, 2324]


def demo_row(rowid: int) -> bytes:
    """The sample content of a row: its id, then a pattern derived from it."""
    head = rowid.to_bytes(8, "little")
    tail = bytes((rowid * 31 + i) & 0xFF for i in range(DEMO_WIDTH - 8))
    return head + tail


def build_sample_store(directory: str, rowids: list[int]) -> None:
    """Writes a sparse 128-shard store in which exactly `rowids` hold data."""
    shard_bytes = GRID_ROWS_PER_SHARD * DEMO_WIDTH
    by_shard: dict[int, list[int]] = {}
    for r in rowids:
        by_shard.setdefault(r // GRID_ROWS_PER_SHARD, []).append(r)
    for shard in range(GRID_SHARDS):
        path = os.path.join(directory, f"shard_{shard:03d}.bin")
        with open(path, "wb") as f:
            f.truncate(shard_bytes)  # sparse: unwritten rows read as zeros
            for r in by_shard.get(shard, []):
                f.seek((r % GRID_ROWS_PER_SHARD) * DEMO_WIDTH)
                f.write(demo_row(r))


def run() -> int:
    print(f"tokens: {DEMO_TOKENS}")
    t0 = time.perf_counter()
    rows = rowids_for_seq(DEMO_TOKENS, 1)
    t1 = time.perf_counter()
    rowids = [r for per_token in rows for r in per_token]
    print(f"rowids_for_seq: {len(DEMO_TOKENS)} tokens -> {len(rowids)} row ids "
          f"in {(t1 - t0) * 1e6:.1f} us; first token: {rows[0]}")

    with tempfile.TemporaryDirectory(prefix="quandrel-demo-") as directory:
        t0 = time.perf_counter()
        build_sample_store(directory, rowids)
        t1 = time.perf_counter()
        print(f"built a sparse sample store in {directory}: {GRID_SHARDS} shards x "
              f"{GRID_ROWS_PER_SHARD:,} rows x {DEMO_WIDTH} bytes in {(t1 - t0) * 1e3:.1f} ms")

        store = Store(directory, GRID_SHARDS, GRID_ROWS_PER_SHARD, DEMO_WIDTH)
        print(f"opened Store: total_rows={store.total_rows:,}, width={store.width}")
        t0 = time.perf_counter()
        data = store.fetch(rowids)
        t1 = time.perf_counter()
        print(f"fetch: {len(rowids)} rows, {len(data):,} bytes in {(t1 - t0) * 1e6:.1f} us "
              f"(first batch: starts the reader pool)")
        t0 = time.perf_counter()
        again = store.fetch(rowids)
        t1 = time.perf_counter()
        print(f"fetch again: {(t1 - t0) * 1e6:.1f} us")

        bad = [r for i, r in enumerate(rowids)
               if data[i * DEMO_WIDTH:(i + 1) * DEMO_WIDTH] != demo_row(r)]
        one = store.fetch_one(rowids[-1])
        if bad or again != data or one != demo_row(rowids[-1]):
            print(f"FAILED: {len(bad)} rows differ from what was written", file=sys.stderr)
            return 1
        print(f"checked: every row matches what was written; fetch_one agrees")
    return 0
