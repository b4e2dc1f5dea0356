"""Numbers as people read them."""

from __future__ import annotations


def size(n: int) -> str:
    """Bytes in binary units: 512 B, 4.0 KiB, 76.3 MiB."""
    if n < 1024:
        return f"{n} B"
    value = float(n)
    for unit in ("KiB", "MiB", "GiB", "TiB", "PiB"):
        value /= 1024
        if value < 1024 or unit == "PiB":
            break
    return f"{value:.1f} {unit}"


def duration(seconds: float) -> str:
    """A short time: 850 ns, 12.3 us, 4.56 ms, 1.20 s."""
    for scale, unit in ((1e-6, "ns"), (1e-3, "us"), (1.0, "ms")):
        if seconds < scale:
            value = seconds / scale * 1e3
            return f"{value:.0f} {unit}" if unit == "ns" else f"{value:.3g} {unit}"
    return f"{seconds:.2f} s"


def rate(per_second: float) -> str:
    """A count per second: 950/s, 12.3k/s, 4.56M/s."""
    for scale, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= scale:
            return f"{per_second / scale:.3g}{unit}/s"
    return f"{per_second:.0f}/s"
