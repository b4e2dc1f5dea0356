"""Writing and verifying a table: StoreWriter against ndarray.tofile, and
verify_store against cat, on the same bytes in one run.

    python bench/bench_writer.py --dir /data/tmp     # ~4 GB table, needs ~9 GB free

Rows (medians of --rounds, the two sides taking turns):
- write: StoreWriter fed 64 MiB pieces, commit included, / the same bytes
  written with ndarray.tofile into per-shard files and os.fsync of each;
- verify hot: verify_store on a table in the page cache, bytes/s per core
  (one thread, and the default: one per processor, at least four), by the
  wall clock and by the processor time the process used (which a shared
  machine's other load does not inflate);
- verify cold: verify_store / `cat` of the shard files to /dev/null, each
  after the files were evicted from the page cache (POSIX_FADV_DONTNEED);
- writer peak memory: the largest resident size of a fresh process from the
  writer's start to its commit, and what it was at the start.
Needs a disk-backed --dir (not tmpfs) for the cold row to mean anything.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

import quandrel
from harness import machine
from run_all import evict

PIECE = 64 << 20


def write_ours(d: str, shards: int, rows_per_shard: int, width: int, piece: np.ndarray) -> None:
    rows = piece.nbytes // width
    with quandrel.StoreWriter(d, shards, rows_per_shard, width) as w:
        for start in range(0, shards * rows_per_shard, rows):
            w.write(start, piece)


def write_peer(d: str, shards: int, rows_per_shard: int, width: int, piece: np.ndarray) -> None:
    os.mkdir(d)
    pieces = rows_per_shard * width // piece.nbytes
    for s in range(shards):
        with open(os.path.join(d, f"shard_{s:03d}.bin"), "wb") as f:
            for _ in range(pieces):
                piece.tofile(f)
            f.flush()
            os.fsync(f.fileno())


def cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def timed(fn, *args) -> float:
    t0 = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0


def fresh(path: str) -> str:
    shutil.rmtree(path, ignore_errors=True)
    os.sync()  # the last run's dirty pages must not slow this one
    return path


def peak_memory(d: str, shards: int, rows_per_shard: int, width: int) -> tuple[float, float]:
    # Only what the writer needs is imported: the figure is the writer's.
    code = textwrap.dedent(f"""
        import numpy as np
        import quandrel
        def status(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(key))
        piece = np.frombuffer(np.random.default_rng(1).bytes({PIECE}), np.uint8)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak starts again from here
        before = status("VmRSS:")
        with quandrel.StoreWriter({d!r}, {shards}, {rows_per_shard}, {width}) as w:
            for start in range(0, {shards * rows_per_shard}, {PIECE // width}):
                w.write(start, piece)
        print(before, status("VmHWM:"))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, after = map(int, out.stdout.split())
    return before / 1024, after / 1024  # MiB


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dir", help="a directory on the disk to measure (default: a temporary one)")
    p.add_argument("--gib", type=int, default=4, help="table size in GiB (default 4)")
    p.add_argument("--shards", type=int, default=16)
    p.add_argument("--width", type=int, default=256)
    p.add_argument("--rounds", type=int, default=3)
    args = p.parse_args()
    base = tempfile.mkdtemp(prefix="bench-writer-", dir=args.dir)
    total = args.gib << 30
    rows_per_shard = total // args.shards // args.width
    assert rows_per_shard * args.width % PIECE == 0, "shards must hold whole 64 MiB pieces"
    piece = np.frombuffer(np.random.default_rng(1).bytes(PIECE), np.uint8)
    ours, peer = os.path.join(base, "ours"), os.path.join(base, "peer")
    geometry = (args.shards, rows_per_shard, args.width)
    print(machine())
    print(f"table: {args.shards} shards x {rows_per_shard:,} rows x {args.width} B = {total / 2**30:.1f} GiB in "
          f"{base}; {args.rounds} rounds, medians")
    try:
        t_ours, t_peer = [], []
        for _ in range(args.rounds):
            t_ours.append(timed(write_ours, fresh(ours), *geometry, piece))
            t_peer.append(timed(write_peer, fresh(peer), *geometry, piece))
        for s in range(args.shards):  # the same bytes on both sides
            name = f"shard_{s:03d}.bin"
            assert quandrel._quandrel._digest128(open(os.path.join(peer, name), "rb").read()) == \
                   quandrel._quandrel._digest128(open(os.path.join(ours, name), "rb").read())
        mo, mp = statistics.median(t_ours), statistics.median(t_peer)
        print(f"write        StoreWriter {total / mo / 1e9:6.2f} GB/s  tofile+fsync {total / mp / 1e9:6.2f} GB/s"
              f"  ratio (time) {mo / mp:.3f}   target <= 1.15")
        shutil.rmtree(peer)

        files = [os.path.join(ours, f"shard_{s:03d}.bin") for s in range(args.shards)]
        for threads in (1, 0):
            assert quandrel.verify_store(ours, threads=threads) == []  # warms the cache too
            walls, cpus = [], []
            for _ in range(args.rounds):
                c0 = cpu_seconds()
                walls.append(timed(lambda: quandrel.verify_store(ours, threads=threads)))
                cpus.append(cpu_seconds() - c0)
            n = len(os.sched_getaffinity(0)) if threads == 0 else 1
            wall, cpu = statistics.median(walls), statistics.median(cpus)
            who = "1 thread " if threads == 1 else f"default threads on {n} processors"
            print(f"verify hot   {who} {total / wall / 1e9:6.2f} GB/s wall = {total / wall / n / 1e9:5.2f}"
                  f" GB/s per core; {total / cpu / 1e9:5.2f} GB/s per processor-second used"
                  f"   target >= 4 GB/s per core")

        t_ours, t_peer = [], []
        for _ in range(args.rounds):
            evict(files)
            t_ours.append(timed(quandrel.verify_store, ours))
            evict(files)
            t_peer.append(timed(lambda: subprocess.run(["cat", *files], stdout=subprocess.DEVNULL, check=True)))
        mo, mp = statistics.median(t_ours), statistics.median(t_peer)
        print(f"verify cold  verify_store {total / mo / 1e9:6.2f} GB/s  cat {total / mp / 1e9:6.2f} GB/s"
              f"  ratio (time) {mo / mp:.3f}   target <= 1.1")

        before, peak = peak_memory(fresh(ours), *geometry)
        print(f"writer peak memory  {peak:.0f} MiB resident at most ({before:.0f} MiB when the writer "
              f"started, the interpreter, numpy and a {PIECE >> 20} MiB piece)   target <= 300 MB")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
