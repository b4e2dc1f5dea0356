"""Tables in object storage: `push` a table as an immutable version, `sync`
the newest version to a local directory.

The object-storage client is the `s3` extra's; it is imported only when a
command runs, so that `import quandrel` stays free of it."""

from __future__ import annotations

import os

MISSING_EXTRA = "the s3 extra is not installed: pip install 'quandrel[s3]'"


def _load(command: str, module: str):  # type: ignore[no-untyped-def]
    try:
        import boto3  # type: ignore # noqa: F401
    except ImportError as e:
        raise ImportError(f"quandrel.{command} needs an object-storage client: {MISSING_EXTRA}",
                          name=e.name) from e
    import importlib
    return importlib.import_module(f"{__name__}.{module}")


def push(dir: str | os.PathLike[str], url: str, *, endpoint_url: str | None = None) -> None:
    """Uploads the table in `dir` to `url` (`s3://BUCKET/PREFIX`) as the version
    its manifest names, after checking every chunk against the manifest, and
    then marks it the newest version there."""
    _load("push", "upload").run(dir, url, endpoint_url)


def sync(url: str, dir: str | os.PathLike[str], *, endpoint_url: str | None = None,
         keep: int = 2) -> str:
    """Makes the newest version at `url` (`s3://BUCKET/PREFIX`) a verified local
    copy in `dir` and points `dir/current` at it; returns its path. `keep`
    local versions stay, the current one always."""
    path: str = _load("sync", "download").run(url, dir, endpoint_url, keep).path
    return path
