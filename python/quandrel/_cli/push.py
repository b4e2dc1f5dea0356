"""`python -m quandrel push`: a local table uploaded as the newest version."""

from __future__ import annotations

from . import remote, units


def run(directory: str, url: str, endpoint_url: str | None) -> int:
    module = remote.load("push")
    if module is None:
        return 2
    bar, on_bytes = remote.progress("uploading")
    try:
        pushed = module.run(directory, url, endpoint_url, on_bytes)
    except (OSError, ValueError) as e:
        return remote.failed("push", e)
    finally:
        bar.finish()
    print(f"{url}: version {pushed.version} is the newest "
          f"({units.size(pushed.uploaded)} uploaded)")
    return 0
