"""Records per second: View.read_records and PageReader.read_pages against numpy and os.pread.

All four read the same view file of fixed-size slots, warm in the page cache.
View.read_records, the memmap gather and the pread loop take a Python list of
record indices and return one bytes object; PageReader takes the descriptors
and byte offsets it is built for (made once, outside the timing) and returns
a list of bytes, one per record. The garbage collector stays enabled.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import tempfile

import numpy as np

import quandrel
from harness import batch_header, batch_rows, machine, measure, warm


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--slot", type=int, default=4096, help="bytes per record (a power of two)")
    parser.add_argument("--records", type=int, default=32_768)
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 16, 256, 4096])
    parser.add_argument("--budget", type=float, default=2.0, help="seconds of timing per batch size")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    slot, records = args.slot, args.records

    print(f"machine: {machine()}")
    print(f"view: {records:,} records x {slot} B = {records * slot / 1e6:,.0f} MB, "
          "gc enabled, perf_counter_ns, median (and min) of repeated calls, page cache warm")

    with tempfile.TemporaryDirectory(prefix="quandrel-bench-view-") as directory:
        path = os.path.join(directory, "records.bin")
        with open(path, "wb") as f:
            f.write(np.random.default_rng(args.seed).bytes(records * slot))
        with open(os.path.join(directory, "records.manifest.json"), "w") as f:
            json.dump({"slot_bytes": slot, "grans": records}, f)
        warm([path])

        view = quandrel.View(path)
        assert (view.len(), view.slot_bytes()) == (records, slot)
        reader = quandrel.PageReader(slot)
        fd = os.open(path, os.O_RDONLY)
        table = np.memmap(path, dtype=np.uint8, mode="r").reshape(-1, slot)

        def gather_memmap(idx: list[int]) -> bytes:
            return table[np.array(idx, dtype=np.int64)].tobytes()

        def gather_pread(idx: list[int]) -> bytes:
            return b"".join([os.pread(fd, slot, i * slot) for i in idx])

        # Each input is (indices, descriptors, offsets); all but PageReader use the indices.
        def read_pages(item: tuple[list[int], list[int], list[int]]) -> list[bytes]:
            return reader.read_pages(item[1], item[2])

        def on_indices(fn):
            return lambda item: fn(item[0])

        impls = {
            "View.read_records": on_indices(view.read_records),
            "PageReader": read_pages,
            "memmap": on_indices(gather_memmap),
            "pread": on_indices(gather_pread),
        }
        rng = random.Random(args.seed)
        batch_header("records", 18, "read_records")
        for n in args.batches:
            inputs = []
            for _ in range(4):
                idx = [rng.randrange(records) for _ in range(n)]
                inputs.append((idx, [fd] * n, [i * slot for i in idx]))
            for item in inputs:
                want = view.read_records(item[0])
                assert len(want) == n * slot
                assert b"".join(read_pages(item)) == want, f"PageReader differs at batch {n}"
                assert gather_memmap(item[0]) == want, f"memmap differs at batch {n}"
                assert gather_pread(item[0]) == want, f"pread differs at batch {n}"
            batch_rows(n, measure(impls, inputs, args.budget), "View.read_records", 18)
        os.close(fd)
        del table
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
