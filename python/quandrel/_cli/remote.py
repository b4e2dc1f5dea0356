"""What `push` and `sync` share: the client extra's absence, failures told
in one line, progress in bytes."""

from __future__ import annotations

import importlib
import sys
from types import ModuleType
from typing import Callable

from .._remote import MISSING_EXTRA
from .progress import Progress


def load(command: str) -> ModuleType | None:
    """The command's module, or None (having said why) when the extra is missing."""
    try:
        return importlib.import_module("quandrel._remote." + ("upload" if command == "push"
                                                              else "download"))
    except ImportError as e:
        if e.name is None or e.name.split(".")[0] not in ("boto3", "botocore", "s3transfer",
                                                         "urllib3"):
            raise
        print(f"{command}: {MISSING_EXTRA}", file=sys.stderr)
        return None


def failed(command: str, e: Exception) -> int:
    print(f"{command}: {e}", file=sys.stderr)
    return 1


class Bars:
    """One progress bar at a time: a command's phase starts its own when it
    first reports, so that each shows its own rate."""

    def __init__(self) -> None:
        self.bar: Progress | None = None
        self.label = ""

    def phase(self, label: str) -> Callable[[int, int], None]:
        def on_bytes(done: int, total: int) -> None:
            if self.bar is None or self.label != label:
                self.finish()
                self.bar, self.label = Progress(label, total, of_bytes=True), label
            self.bar.total = total
            self.bar.update(done)
        return on_bytes

    def finish(self) -> None:
        if self.bar is not None:
            self.bar.finish()
            self.bar = None
