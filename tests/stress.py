"""Many threads, forks and random batches on one Store and one view file,
every byte checked against a model of the files' contents.

    python tests/stress.py                  # CI: 45 s over every reader mode
    python tests/stress.py --seconds 3600   # by hand: an hour
    python tests/stress.py --one-mode pread --seconds 60

Each reader mode (QUANDREL_READER unset, "mapped", "pread") runs in its own
process for an equal share of the time. The files hold known contents: row
`i` of shard `s` is a function of (s, i), and so is record `k` of the view, so
the model of any read is a function too. Some shards are short, one ends in
the middle of a row, one is empty: bytes past the end of a shard read as
zeros. Exits 1 on the first wrong byte, wrong error or failed child.
"""

import argparse
import collections
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import warnings

from quandrel import Fault, Store, View

SHARDS, ROWS_PER_SHARD, WIDTH = 6, 2_000, 52
SLOT, RECORDS = 44, 3_000
# Whole rows in each shard file; shard 2 also ends mid-row.
ROWS_WRITTEN = [ROWS_PER_SHARD, ROWS_PER_SHARD // 2, 777, 0, ROWS_PER_SHARD, 1]


def row_bytes(shard, index):
    head = shard.to_bytes(2, "little") + index.to_bytes(4, "little")
    return head + bytes((shard * 29 + index * 7 + k * 13) & 0xFF for k in range(WIDTH - len(head)))


def record_bytes(k):
    return k.to_bytes(4, "little") + bytes((k * 11 + j * 5) & 0xFF for j in range(SLOT - 4))


class Model:
    """The files, written once, and the expected bytes of every read."""

    def __init__(self, directory):
        self.dir, self.rows = directory, []
        for s in range(SHARDS):
            data = b"".join(row_bytes(s, i) for i in range(ROWS_WRITTEN[s]))
            if s == 2:
                data += row_bytes(s, ROWS_WRITTEN[s])[: WIDTH // 3]  # a row cut short
            with open(os.path.join(directory, f"shard_{s:03d}.bin"), "wb") as f:
                f.write(data)
            data += bytes(ROWS_PER_SHARD * WIDTH - len(data))
            self.rows.extend(data[i * WIDTH:(i + 1) * WIDTH] for i in range(ROWS_PER_SHARD))
        self.view_path = os.path.join(directory, "records.bin")
        # A partial slot at the end is never a record.
        self.records = [record_bytes(k) for k in range(RECORDS)]
        with open(self.view_path, "wb") as f:
            f.write(b"".join(self.records) + b"\x01" * (SLOT // 2))
        with open(os.path.join(directory, "records.manifest.json"), "w") as f:
            json.dump({"slot_bytes": SLOT, "grans": RECORDS}, f)


def batch(rng, limit):
    """Random ids below `limit`: sizes 0, 1, small and large, with repeats,
    sorted runs and a single id many times over."""
    n = rng.choice([0, 1, 2, 3, rng.randrange(4, 40), rng.randrange(40, 600), rng.randrange(600, 6000)])
    shape = rng.randrange(4)
    if shape == 1:
        few = [rng.randrange(limit) for _ in range(3)]
        return [rng.choice(few) for _ in range(n)]
    if shape == 2:
        start = rng.randrange(limit)
        return [(start + i) % limit for i in range(n)]
    ids = [rng.randrange(limit) for _ in range(n)]
    return sorted(ids) if shape == 3 else ids


class Failure(Exception):
    pass


def check(what, got, want, unit, ids):
    if got == want:
        return
    where = next((f"item {i // unit}, byte {i % unit}: {a} != {b}"
                  for i, (a, b) in enumerate(zip(got, want)) if a != b),
                 f"length {len(got)} != {len(want)}")
    raise Failure(f"{what} of {len(ids)} ids (first {ids[:8]}): {where}")


def one_round(rng, model, store, view, counts):
    """One random operation, checked."""
    op = rng.randrange(6)
    if op <= 1:
        ids = batch(rng, SHARDS * ROWS_PER_SHARD)
        check("fetch", store.fetch(ids), b"".join(model.rows[r] for r in ids), WIDTH, ids)
        counts["rows"] += len(ids)
    elif op == 2:
        r = rng.randrange(SHARDS * ROWS_PER_SHARD)
        check("fetch_one", store.fetch_one(r), model.rows[r], WIDTH, [r])
        counts["rows"] += 1
    elif op == 3:
        ids = batch(rng, RECORDS)
        check("read_records", view.read_records(ids), b"".join(model.records[k] for k in ids), SLOT, ids)
        counts["records"] += len(ids)
    elif op == 4:
        k = rng.randrange(RECORDS)
        check("read_record", view.read_record(k), model.records[k], SLOT, [k])
        counts["records"] += 1
    else:
        # A bad index among good ones fails the whole batch, and says so.
        ids = batch(rng, RECORDS) + [RECORDS + rng.randrange(3)]
        rng.shuffle(ids)
        try:
            view.read_records(ids)
        except OSError as e:
            if "out of range" not in str(e):
                raise Failure(f"read_records with a bad index: {e!r}")
        else:
            raise Failure("read_records with a bad index returned")
    counts["ops"] += 1


def forked_check(model, store, view, seed):
    """Forks while other threads read; the child reads and checks too."""
    with warnings.catch_warnings():
        # Newer interpreters warn about forking with threads: that is the point.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            signal.alarm(60)  # a hang in the child becomes a failure
            rng = random.Random(seed)
            for _ in range(20):
                one_round(rng, model, store, view, collections.Counter())
            status = 0
        except BaseException as e:  # noqa: BLE001 - a child reports everything
            print(f"forked child: {e!r}", file=sys.stderr, flush=True)
        os._exit(status)
    _, status = os.waitpid(pid, 0)
    if status != 0:
        raise Failure(f"forked child ended with status {status:#x}")


def run_mode(seconds, threads, seed):
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    errors, counts, lock = [], collections.Counter(ops=0, rows=0, records=0, forks=0), threading.Lock()
    with tempfile.TemporaryDirectory(prefix="quandrel-stress-") as directory:
        model = Model(directory)
        store = Store(directory, SHARDS, ROWS_PER_SHARD, WIDTH, threads=rng.choice([1, 2, 4, 32]))

        def worker(n):
            local, wrng = collections.Counter(), random.Random(seed * 1000 + n)
            try:
                view = View(model.view_path)  # a View belongs to its thread
                while time.monotonic() < deadline and not errors:
                    if n == 0 and wrng.random() < 0.02:
                        forked_check(model, store, view, wrng.randrange(1 << 30))
                        local["forks"] += 1
                    else:
                        one_round(wrng, model, store, view, local)
            except (Exception, Fault) as e:
                errors.append(f"thread {n}: {e!r}")
            with lock:
                counts.update(local)

        pool = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    return counts, errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=45.0, help="total time over all modes")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--one-mode", help="run only this QUANDREL_READER value ('' for unset)")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)

    if args.one_mode is not None:
        counts, errors = run_mode(args.seconds, args.threads, seed)
        mode = os.environ.get("QUANDREL_READER", "unset")
        print(f"   reader {mode}: {counts['ops']} checked calls, {counts['rows']} rows, "
              f"{counts['records']} records, {counts['forks']} forks")
        for e in errors:
            print(f"   FAILED: {e}", file=sys.stderr)
        sys.exit(1 if errors else 0)

    print(f"== stress: {args.threads} threads, {args.seconds:g} s, seed {seed}")
    failed = False
    for mode in (None, "mapped", "pread"):
        env = {k: v for k, v in os.environ.items() if k != "QUANDREL_READER"}
        if mode is not None:
            env["QUANDREL_READER"] = mode
        cmd = [sys.executable, os.path.abspath(__file__), "--one-mode", mode or "",
               "--seconds", str(args.seconds / 3), "--threads", str(args.threads), "--seed", str(seed)]
        failed |= subprocess.run(cmd, env=env).returncode != 0
    if failed:
        sys.exit(f"stress failed (replay with --seed {seed})")
    print("== stress passed")


if __name__ == "__main__":
    main()
