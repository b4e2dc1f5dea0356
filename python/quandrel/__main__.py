"""Command line: `python -m quandrel demo` and `python -m quandrel inspect PATH`."""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time

from . import Store, View, read_keys, rowids_for_seq

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


def run_demo() -> int:
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


def manifest_path(view_path: str) -> str:
    """Where a view's manifest lies: the extension replaced by manifest.json."""
    head, name = os.path.split(view_path)
    if name in ("", ".", ".."):
        return view_path
    stem, dot, _ = name.rpartition(".")
    base = stem if dot and stem else name
    return os.path.join(head, base + ".manifest.json")


def manifest_keys(path: str) -> dict[str, int]:
    """The keys of a manifest that hold unsigned 64-bit integers."""
    try:
        with open(path, "rb") as f:
            document = json.loads(f.read().decode("utf-8"))
    except (OSError, ValueError):
        return {}
    if not isinstance(document, dict):
        return {}
    return {k: v for k, v in document.items()
            if k in ("slot_bytes", "grans") and type(v) is int and 0 <= v < 2**64}


def inspect(path: str, kind: str) -> int:
    if kind in ("auto", "keys"):
        try:
            keys = read_keys(path)
        except OSError as e:
            if kind == "keys":
                print(f"{path}: not a key file: {e}", file=sys.stderr)
                return 1
        else:
            if keys or kind == "keys":
                shown = ", ".join(str(k) for k in keys[:8])
                more = ", ..." if len(keys) > 8 else ""
                print(f"{path}: key file, {len(keys)} keys: [{shown}{more}]")
                return 0
    try:
        view = View(path)
    except OSError as e:
        print(f"{path}: cannot open as a view: {e}", file=sys.stderr)
        return 1
    manifest = manifest_path(path)
    found = manifest_keys(manifest)
    size = os.path.getsize(path)
    slot_from = "manifest" if "slot_bytes" in found else "default"
    print(f"{path}: view, {size:,} bytes")
    print(f"  manifest: {manifest} ({'found' if os.path.exists(manifest) else 'absent'})")
    print(f"  slot_bytes: {view.slot_bytes()} ({slot_from})")
    grans = found.get("grans", 0)
    count_from = (f"manifest grans {grans}, file holds {size // view.slot_bytes() if view.slot_bytes() else 0}"
                  if grans else "file size / slot_bytes")
    print(f"  count: {view.len()} ({count_from})")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quandrel", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="build a sample store, compute row ids, fetch and check rows")
    p = commands.add_parser("inspect", help="describe a view file or a key file")
    p.add_argument("path")
    p.add_argument("--as", dest="kind", choices=["auto", "view", "keys"], default="auto",
                   help="how to read PATH (default: a key file if it parses as one, else a view)")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return run_demo()
    return inspect(args.path, args.kind)


if __name__ == "__main__":
    sys.exit(main())
