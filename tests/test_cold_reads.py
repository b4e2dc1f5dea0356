"""Batches read from the disk, by io_uring where the process may use it and
by the pool where it may not: the same bytes, zeros and errors either way."""
import json

import pytest

from conftest import disk_backed, run_python

# Evicts the table, then reads a cold batch into a buffer of 0xFF, so that a
# row left unwritten shows. Prints what the checks need.
COLD_BATCH = """
import json, os, random, sys
from quandrel import Store, _quandrel
d, shards, per_shard, width = sys.argv[1], 2, 4000, 64
paths = [os.path.join(d, n) for n in sorted(os.listdir(d))]
for p in paths:
    fd = os.open(p, os.O_RDONLY)
    os.fsync(fd)  # dirty pages would stay
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)

def expected(path, offset):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(width).ljust(width, b"\\0")

ids = random.Random(1).choices(range(shards * per_shard), k=3000) + [7, 7, shards * per_shard - 1]
store = Store(d, shards, per_shard, width)
out = bytearray(b"\\xff" * width * len(ids))
store.fetch_into(ids, out)
shard = lambda r: os.path.join(d, f"shard_{r // per_shard:03d}.bin")
want = b"".join(expected(shard(r), r % per_shard * width) for r in ids)
print(json.dumps({"engine": _quandrel._cold_read_engine(), "same": bytes(out) == want,
                  "from_device": store.stats()["rows_from_device"]}))
"""


@pytest.mark.parametrize("reader", ["mapped", "pread"])
@pytest.mark.parametrize("no_uring", ["", "1"])
def test_cold_batch(sample_store, no_uring, reader):
    # The second shard ends 100 rows early: its last rows read as zeros.
    s = sample_store(shards=2, rows_per_shard=4000, width=64,
                     rows_written=lambda shard: 4000 - 100 * shard)
    if not disk_backed(s.dir):
        pytest.skip("the page cache of this file system cannot be evicted")
    r = run_python(COLD_BATCH.replace("sys.argv[1]", repr(s.dir)),
                   env_extra={"QUANDREL_READER": reader, "QUANDREL_NO_IO_URING": no_uring})
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    engine, reason = got["engine"]
    if no_uring:
        assert (engine, reason) == ("pool", "QUANDREL_NO_IO_URING is set")
    else:
        assert engine == "io_uring" or reason.startswith("io_uring_"), got
    assert got["same"] and got["from_device"] > 0, got
