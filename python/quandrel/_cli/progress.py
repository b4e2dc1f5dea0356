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
                 of_bytes: bool = False) -> None:
        self.label = label
        self.of_bytes = of_bytes  # counts bytes: show the rate too
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
        rate = self._rate(done, now - self.start) if self.of_bytes else ""
        if self.tty:
            filled = int(fraction * _WIDTH)
            bar = "#" * filled + "." * (_WIDTH - filled)
            self.stream.write(f"\r{self.label} [{bar}] {fraction:4.0%}{rate}")
        else:
            self.stream.write(f"{self.label}: {fraction:.0%}{rate}\n")
        self.stream.flush()
        self.drawn = True

    def _rate(self, done: float, elapsed: float) -> str:
        per_second = done / elapsed
        if per_second <= 0 or done >= self.total:
            return f" {units.size(int(per_second))}/s"
        left = int((self.total - done) / per_second)
        return f" {units.size(int(per_second))}/s, {left // 60}:{left % 60:02d} left"

    def finish(self) -> None:
        if self.drawn and self.tty:
            self.stream.write("\r" + " " * (len(self.label) + _WIDTH + 36) + "\r")
            self.stream.flush()
