"""`python -m quandrel sync`: the newest version made a verified local copy."""

from __future__ import annotations

from . import remote, units


def run(url: str, directory: str, endpoint_url: str | None, keep: int) -> int:
    module = remote.load("sync")
    if module is None:
        return 2
    bars = remote.Bars()
    try:
        synced = module.run(url, directory, endpoint_url, keep, bars.phase("downloading"))
    except (OSError, ValueError) as e:
        return remote.failed("sync", e)
    finally:
        bars.finish()
    print(f"{synced.path}: current ({units.size(synced.downloaded)} downloaded)")
    return 0
