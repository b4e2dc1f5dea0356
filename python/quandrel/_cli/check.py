"""`python -m quandrel check`: is a store directory whole, before a server opens it?

With a manifest the geometry comes from it, and `--verify` reads every chunk
and compares its digest."""

from __future__ import annotations

import os
import stat
import sys
from dataclasses import dataclass

from .. import Store, verify_store
from .._quandrel import _shard_path, _store_geometry
from . import explain, units
from .progress import Progress


@dataclass
class Shard:
    index: int
    name: str
    size: int | None  # None when the file cannot be used at all
    problem: str  # "" when the shard is whole


def shard_names(index: int) -> tuple[str, str]:
    return f"shard_{index:03d}.bin", f"ziruv_{index:03d}.bin"


def resolve(directory: str, index: int) -> str:
    """The name the store opens: shard_ wherever it can be looked up, else ziruv_."""
    return os.path.basename(_shard_path(directory, index))


def examine(directory: str, index: int, full: int, width: int) -> Shard:
    name = resolve(directory, index)
    path = os.path.join(directory, name)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        first, second = shard_names(index)
        return Shard(index, name, None, f"missing: neither {first} nor {second}")
    except OSError as e:
        return Shard(index, name, None, f"cannot be looked up: {e.strerror}")
    if not stat.S_ISREG(st.st_mode):
        return Shard(index, name, None, "not a regular file")
    try:
        # Non-blocking, so that a file swapped for a FIFO meanwhile cannot hang us.
        os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC))
    except OSError as e:
        return Shard(index, name, st.st_size, f"cannot be opened: {e.strerror}")
    size = st.st_size
    if size < full:
        return Shard(index, name, size, f"short by {units.size(full - size)}: "
                                         f"rows from {size // width:,} on read as zeros")
    if size > full:
        return Shard(index, name, size, f"long: {units.size(size - full)} past the last row "
                                        "are never read")
    return Shard(index, name, size, "")


def geometry_text(shards: int, rows_per_shard: int, width: int) -> str:
    return f"{shards:,} shards of {rows_per_shard:,} rows x {width:,} bytes"


def run(directory: str, shards: int | None, rows_per_shard: int | None, width: int | None,
        verify: bool = False) -> int:
    """0 when the table is whole (and every digest matches with `verify`), 1
    when it is not, 2 when the command cannot tell: the geometry is missing,
    or given and not the manifest's."""
    flags = (shards, rows_per_shard, width)
    try:
        manifest = _store_geometry(directory)
    except (OSError, ValueError) as e:
        print(f"{directory}: the manifest cannot be used: {explain(e) if isinstance(e, OSError) else e}")
        return 1
    if manifest is None:
        if shards is None or rows_per_shard is None or width is None:
            print(f"check: {directory} has no manifest: --shards, --rows-per-shard and --width "
                  "are needed", file=sys.stderr)
            return 2
        if verify:
            print(f"check --verify: {directory} has no manifest to verify against", file=sys.stderr)
            return 2
        geometry = (shards, rows_per_shard, width)
    else:
        given = tuple(g if g is not None else m for g, m in zip(flags, manifest))
        if given != manifest:
            print(f"check: the manifest of {directory} says {geometry_text(*manifest)}, the flags "
                  f"say {geometry_text(*given)}", file=sys.stderr)
            return 2
        geometry = manifest
    status = check_shards(directory, *geometry)
    if verify:
        status = max(status, verify_digests(directory))
    return status


def verify_digests(directory: str) -> int:
    progress = Progress("verifying", 1, of_bytes=True)

    def report(done: int, total: int) -> None:
        progress.total = total
        progress.update(done)

    try:
        problems = verify_store(directory, progress=report)
    except (OSError, ValueError) as e:
        progress.finish()
        print(f"cannot verify: {explain(e) if isinstance(e, OSError) else e}")
        return 1
    progress.finish()
    for line in problems:
        print(f"  {line}")
    if problems:
        print(f"{len(problems):,} problems found by reading every chunk")
        return 1
    print("every chunk matches its digest")
    return 0


def check_shards(directory: str, shards: int, rows_per_shard: int, width: int) -> int:
    full = rows_per_shard * width
    print(f"{directory}: {shards:,} shards of {rows_per_shard:,} rows x {width:,} bytes "
          f"= {units.size(full)} each")
    if shards and not os.path.isdir(directory):
        print(f"{directory}: not a directory", file=sys.stderr)
        return 1
    progress = Progress("checking shards", shards)
    found: list[Shard] = []
    for i in range(shards):
        found.append(examine(directory, i, full, width))
        progress.update(i + 1)
    progress.finish()

    number_width = len(str(max(shards - 1, 0)))
    for s in found:
        size = units.size(s.size) if s.size is not None else "-"
        print(f"  shard {s.index:>{number_width}}  {s.name}  {size:>10}  {s.problem or 'ok'}")
    bad = [s for s in found if s.problem]
    if bad:
        print(f"{len(found) - len(bad):,} of {shards:,} shards whole; {len(bad):,} not:",
              ", ".join(f"shard {s.index}" for s in bad[:10]) + (", ..." if len(bad) > 10 else ""))
        return 1
    # The last word is the library's: the files it would open, opened by it.
    try:
        Store(directory, shards, rows_per_shard, width)
    except OSError as e:
        print(f"every shard looks whole, but the store does not open: {explain(e)}")
        return 1
    print(f"all {shards:,} shards present and whole")
    return 0
