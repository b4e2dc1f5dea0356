"""What `push` and `sync` share: the client extra's absence, failures told
in one line, progress in bytes."""

from __future__ import annotations

import sys
from typing import Callable

from .._remote import MISSING_EXTRA
from .progress import Progress


def load(command: str):  # type: ignore[no-untyped-def]
    """The command's module, or None (having said why) when the extra is missing."""
    try:
        if command == "push":
            from .._remote import upload as module
        else:
            from .._remote import download as module
    except ImportError as e:
        if e.name is None or e.name.split(".")[0] not in ("boto3", "botocore", "s3transfer",
                                                         "urllib3"):
            raise
        print(f"{command}: {MISSING_EXTRA}", file=sys.stderr)
        return None
    return module


def failed(command: str, e: Exception) -> int:
    print(f"{command}: {e}", file=sys.stderr)
    return 1


def progress(label: str) -> tuple[Progress, Callable[[int, int], None]]:
    bar = Progress(label, 0, byte_rate=True)

    def on_bytes(done: int, total: int) -> None:
        bar.total = total
        bar.update(done)
    return bar, on_bytes
