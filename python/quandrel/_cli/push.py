"""`python -m quandrel push`: a local table uploaded as the newest version."""

from __future__ import annotations

from . import remote, units


def run(directory: str, url: str, endpoint_url: str | None) -> int:
    module = remote.load("push")
    if module is None:
        return 2
    bars = remote.Bars()
    try:
        pushed = module.run(directory, url, endpoint_url, bars.phase("uploading"),
                            bars.phase("verifying"))
    except (OSError, ValueError) as e:
        return remote.failed("push", e)
    finally:
        bars.finish()
    print(f"{url}: version {pushed.version} is the newest "
          f"({units.size(pushed.uploaded)} uploaded)")
    return 0
