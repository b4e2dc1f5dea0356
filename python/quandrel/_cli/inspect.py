"""`python -m quandrel inspect`: what a file is to the library."""

from __future__ import annotations

import os
import re
import stat
import sys

from .. import View, _quandrel, read_keys
from . import explain

_BAD_LINE = re.compile(r", line (\d+)$")


def bad_line(e: OSError) -> int | None:
    """The line that a key file fails on, as the library's note tells it."""
    for note in getattr(e, "__notes__", []):
        match = _BAD_LINE.search(note)
        if match:
            return int(match.group(1))
    return None


def file_kind(mode: int) -> str | None:
    """What a path is when it is no file that holds data, else None."""
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device")):
        if test(mode):
            return name
    return None


def describe_keys(path: str, keys: list[int]) -> None:
    shown = ", ".join(str(k) for k in keys[:8])
    more = ", ..." if len(keys) > 8 else ""
    print(f"{path}: key file, {len(keys):,} keys: [{shown}{more}]")


def describe_view(path: str, size: int, not_keys: OSError | None) -> int:
    try:
        view = View(path)
        manifest, state, slot_bytes, grans, reason = _quandrel._manifest_info(path)
    except OSError as e:
        print(f"{path}: cannot open as a view: {explain(e)}", file=sys.stderr)
        return 1
    print(f"{path}: view, {size:,} bytes")
    print(f"  manifest: {manifest} ({state}{': ' + reason if reason else ''})")
    # An ignored manifest may still give one key; its reason says which it does not.
    source = {"used": " (manifest)", "absent": " (default)"}.get(state, "")
    print(f"  slot_bytes: {view.slot_bytes():,}{source}")
    whole = size // view.slot_bytes() if view.slot_bytes() else 0
    if grans:
        print(f"  count: {view.len():,} (manifest grans {grans:,}, file holds {whole:,})")
    else:
        print(f"  count: {view.len():,} (file size / slot_bytes)")
    if not_keys is not None:
        print(f"  not a key file: line {bad_line(not_keys)}: {not_keys}")
    return 0


def run(path: str, kind: str) -> int:
    try:
        st = os.stat(path)
    except OSError as e:
        print(f"{path}: cannot be inspected: {e.strerror}", file=sys.stderr)
        return 1
    # Never opened: reading a FIFO would wait for a writer.
    what = file_kind(st.st_mode)
    if what is not None:
        print(f"{path}: {what}, neither a view nor a key file", file=sys.stderr)
        return 1

    not_keys = None
    if kind in ("auto", "keys"):
        try:
            keys = read_keys(path)
        except OSError as e:
            line = bad_line(e)
            # Lines that read as keys before the bad one make it a key file.
            if kind == "keys" or (line is not None and line > 1):
                where = f"line {line}: " if line is not None else ""
                print(f"{path}: not a valid key file: {where}{explain(e) if line is None else e}",
                      file=sys.stderr)
                return 1
            not_keys = e if line is not None else None
        else:
            if keys or kind == "keys":
                describe_keys(path, keys)
                return 0
    return describe_view(path, st.st_size, not_keys)
