"""Progress on stderr, shown only once a run has lasted a second."""

from __future__ import annotations

import sys
import time
from typing import TextIO

from . import units

_SHOW_AFTER = 1.0  # seconds; shorter runs finish before anyone waits
_WIDTH = 30


class Progress:
    """A bar on a terminal; on anything else a line every few seconds, so
    that logs stay readable."""

    def __init__(self, label: str, total: float, stream: TextIO | None = None,
                 byte_rate: bool = False) -> None:
        """`byte_rate`: `total` counts bytes, and the bar adds bytes/s and the
        time left at that rate."""
        self.label = label
        self.byte_rate = byte_rate
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.tty = self.stream.isatty()
        self.start = time.monotonic()
        self.last_drawn = 0.0
        self.drawn = False

    def update(self, done: float) -> None:
        now = time.monotonic()
        if now - self.start < _SHOW_AFTER or now - self.last_drawn < (0.1 if self.tty else 5.0):
            return
        self.last_drawn = now
        fraction = min(done / self.total, 1.0) if self.total else 1.0
        rate = self._rate(done, now - self.start) if self.byte_rate else ""
        if self.tty:
            filled = int(fraction * _WIDTH)
            bar = "#" * filled + "." * (_WIDTH - filled)
            self.stream.write(f"\r{self.label} [{bar}] {fraction:4.0%}{rate}\x1b[K")
        else:
            self.stream.write(f"{self.label}: {fraction:.0%}{rate}\n")
        self.stream.flush()
        self.drawn = True

    def _rate(self, done: float, elapsed: float) -> str:
        per_second = done / elapsed
        left = (self.total - done) / per_second if per_second > 0 else float("inf")
        shown = f"{int(left) // 60}:{int(left) % 60:02d}" if left < 360000 else "?"
        return f", {units.size(int(per_second))}/s, {shown} left"

    def finish(self) -> None:
        if self.drawn and self.tty:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
