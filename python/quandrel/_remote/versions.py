"""A node's directory of synced versions: `DIR/<version>` (complete and
verified, never changed again), `DIR/<version>.partial` (being downloaded),
`DIR/current` (a symbolic link to the version being served).

Every change happens under `DirectoryLock`, so two syncs into one directory
take turns and the second finds the first one's work done."""

from __future__ import annotations

import errno
import fcntl
import os
import re
import shutil

CURRENT = "current"
_LOCK = ".quandrel-sync.lock"
_HISTORY = ".quandrel-history"  # versions in the order they were made current, newest last
_VERSION = re.compile(r"[0-9a-f]{32}")


class DirectoryLock:
    """An exclusive `flock` on a file in the directory: released by the system
    when the process dies, so a killed sync never blocks the next one."""

    def __init__(self, directory: str) -> None:
        self.path = os.path.join(directory, _LOCK)
        self.fd = -1

    def __enter__(self) -> DirectoryLock:
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc: object) -> None:
        os.close(self.fd)  # releases the lock


def fsync_path(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def partial_dir(directory: str, version: str) -> str:
    return os.path.join(directory, version + ".partial")


def publish(directory: str, version: str) -> str:
    """Renames a flushed partial directory to its version's name; the
    directory entry itself is flushed too, so the name survives a crash."""
    target = os.path.join(directory, version)
    os.rename(partial_dir(directory, version), target)
    fsync_path(directory)
    return target


def current_version(directory: str) -> str | None:
    try:
        return os.path.basename(os.readlink(os.path.join(directory, CURRENT)))
    except FileNotFoundError:
        return None
    except OSError as e:
        if e.errno == errno.EINVAL:
            raise FileExistsError(f"{os.path.join(directory, CURRENT)}: exists and is not a "
                                  "symbolic link; move it away before syncing here") from None
        raise


def make_current(directory: str, version: str) -> None:
    """Points `current` at `version` by renaming a new link over it, so that a
    reader opening `current` finds either the old version or the new one."""
    if current_version(directory) == version:
        return
    temporary = os.path.join(directory, f".{CURRENT}.{os.getpid()}")
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass
    os.symlink(version, temporary)  # relative, so the directory may move
    os.replace(temporary, os.path.join(directory, CURRENT))
    fsync_path(directory)
    _record(directory, version)


def _history(directory: str) -> list[str]:
    try:
        with open(os.path.join(directory, _HISTORY), encoding="ascii") as f:
            return [line for line in f.read().split() if _VERSION.fullmatch(line)]
    except (FileNotFoundError, UnicodeDecodeError):
        return []


def _record(directory: str, version: str) -> None:
    order = [v for v in _history(directory) if v != version] + [version]
    temporary = os.path.join(directory, _HISTORY + ".tmp")
    with open(temporary, "w", encoding="ascii") as f:
        f.write("".join(v + "\n" for v in order[-1000:]))
    os.replace(temporary, os.path.join(directory, _HISTORY))


def prune(directory: str, keep: int) -> list[str]:
    """Removes local versions beyond the `keep` most recently made current, and
    partial downloads of other versions; never the current one. A version
    present but never made current counts as older than all that were.
    Returns the names removed."""
    current = current_version(directory)
    history = _history(directory)
    present = [name for name in os.listdir(directory) if _VERSION.fullmatch(name)]
    ordered = [v for v in present if v not in history] + [v for v in history if v in present]
    kept = set(ordered[-keep:]) | {current}
    removed = [v for v in ordered if v not in kept]
    removed += [name for name in os.listdir(directory)
                if name.endswith(".partial") and name[:-len(".partial")] != current
                and _VERSION.fullmatch(name[:-len(".partial")])]
    for name in removed:
        shutil.rmtree(os.path.join(directory, name), ignore_errors=True)
    return removed
