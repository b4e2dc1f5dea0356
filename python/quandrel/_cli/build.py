"""`python -m quandrel build`: a table from a 2-D `.npy` array, written by StoreWriter."""

from __future__ import annotations

import mmap
import os
import sys

from .. import StoreWriter
from . import explain, units
from .progress import Progress

_PIECE_BYTES = 64 << 20  # rows handed to the writer at once


def fail(message: str) -> int:
    print(f"build: {message}", file=sys.stderr)
    return 2


def run(directory: str, source: str, shards: int, rows_per_shard: int | None) -> int:
    try:
        import numpy as np
    except ImportError:
        return fail("needs numpy, which is not installed (pip install numpy)")
    if os.path.lexists(directory):
        return fail(f"{directory} exists already")
    try:
        f = open(source, "rb")
    except OSError as e:
        return fail(f"{source}: {e.strerror}")
    with f:
        try:
            version = np.lib.format.read_magic(f)
            read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                           (2, 0): np.lib.format.read_array_header_2_0}.get(version)
            if read_header is None:
                return fail(f"{source}: .npy format version {version} is not supported")
            shape, fortran_order, dtype = read_header(f)
        except ValueError as e:
            return fail(f"{source}: not a .npy array: {e}")
        if len(shape) != 2:
            return fail(f"{source}: not a 2-D array (its shape is {shape})")
        if dtype.hasobject:
            return fail(f"{source}: holds Python objects, not fixed-width rows")
        rows, width = shape[0], shape[1] * dtype.itemsize
        if width == 0:
            return fail(f"{source}: its rows are empty")
        per_shard = rows_per_shard or max(-(-rows // shards), 1)
        if per_shard * shards < rows:
            return fail(f"{shards:,} shards of {per_shard:,} rows hold fewer than the {rows:,} rows "
                        f"of {source}")
        offset = f.tell()
        if os.fstat(f.fileno()).st_size < offset + rows * width:
            return fail(f"{source}: shorter than its header says")
        # Mapped, never read whole: each piece's pages are dropped once written.
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if rows else None
        try:
            writer = StoreWriter(directory, shards, per_shard, width)
        except (OSError, ValueError) as e:
            return fail(explain(e) if isinstance(e, OSError) else str(e))
        print(f"{directory}: {rows:,} rows of {width:,} bytes from {source} into "
              f"{shards:,} shards of {per_shard:,} rows")
        try:
            with writer:  # an error aborts: nothing is left at `directory`
                if mapped is not None:
                    write_rows(np, writer, mapped, offset, shape, dtype, fortran_order)
        except OSError as e:
            print(f"build: {explain(e)}; nothing was written", file=sys.stderr)
            return 1
    print(f"wrote {units.size(rows * width)} and the manifest")
    return 0


def write_rows(np, writer: StoreWriter, mapped: mmap.mmap, offset: int, shape, dtype,
               fortran_order: bool) -> None:
    array = np.ndarray(shape, dtype, buffer=mapped, offset=offset,
                       order="F" if fortran_order else "C")
    rows, width = shape[0], shape[1] * dtype.itemsize
    step = max(_PIECE_BYTES // width, 1)
    progress = Progress("writing", rows * width, of_bytes=True)
    for start in range(0, rows, step):
        # A copy only for a Fortran-ordered array, one piece at a time.
        writer.write(start, np.ascontiguousarray(array[start:start + step]))
        if not fortran_order:
            first = offset + start * width
            end = offset + min(start + step, rows) * width
            aligned = first - first % mmap.PAGESIZE
            mapped.madvise(mmap.MADV_DONTNEED, aligned, end - aligned)
        progress.update(min(start + step, rows) * width)
    progress.finish()
    del array
