"""Sync: the newest version of a table in object storage, made a verified
local copy and switched to atomically."""

from __future__ import annotations

import os
import threading
from concurrent.futures import FIRST_EXCEPTION, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Callable

from .._quandrel import _digest128
from . import versions
from .client import call, make_client
from .location import Location
from .manifest import MANIFEST_NAME, MAX_MANIFEST_BYTES, Manifest, TableFile, parse

# Ranged requests in flight at once; each holds one chunk in memory.
WORKERS = 16


@dataclass(frozen=True)
class Synced:
    path: str  # DIR/<version>, now current
    version: str
    downloaded: int  # bytes of object data fetched by this sync


def run(url: str, directory: str | os.PathLike[str], endpoint_url: str | None = None,
        keep: int = 2, on_bytes: Callable[[int, int], None] | None = None) -> Synced:
    """`on_bytes(done, total)` is called on the calling thread as chunks are
    verified, whether downloaded or found already on disk."""
    if type(keep) is not int or keep < 1:
        raise ValueError(f"argument 'keep': must be an integer of at least 1, not {keep!r}")
    where = Location.parse(url)
    directory = os.fspath(directory)
    os.makedirs(directory, exist_ok=True)
    client = make_client(endpoint_url, WORKERS, sdk_retries=False)
    manifest = parse(_newest_manifest(client, where), where.url(where.newest_key()))
    with versions.DirectoryLock(directory):
        versions.current_version(directory)  # refuses a `current` that is no link before any work
        target = os.path.join(directory, manifest.version)
        downloaded = 0
        if not os.path.isdir(target):
            downloaded = _Download(client, where, manifest, directory, on_bytes).run()
            versions.publish(directory, manifest.version)
        versions.make_current(directory, manifest.version)
        versions.prune(directory, keep)
    return Synced(target, manifest.version, downloaded)


def _newest_manifest(client: Any, where: Location) -> bytes:
    key = where.newest_key()

    def get() -> bytes:
        response = client.get_object(Bucket=where.bucket, Key=key)
        if response["ContentLength"] > MAX_MANIFEST_BYTES:
            response["Body"].close()
            raise ValueError(f"{where.url(key)}: {response['ContentLength']:,} bytes, too large "
                             "for a table manifest")
        data: bytes = response["Body"].read()
        return data
    return call(get, where.url(key))


def _get_range(client: Any, bucket: str, key: str, offset: int, length: int) -> bytes:
    response = client.get_object(Bucket=bucket, Key=key,
                                 Range=f"bytes={offset}-{offset + length - 1}")
    data: bytes = response["Body"].read()
    return data


def _pwrite_all(fd: int, data: bytes, offset: int) -> None:
    view = memoryview(data)
    while view:
        written = os.pwrite(fd, view, offset)
        view, offset = view[written:], offset + written


class _Download:
    """Fills `DIR/<version>.partial/` chunk by chunk, each checked against its
    digest before it is written; chunks a previous sync left there are
    re-hashed and kept when they match, which is how a sync resumes."""

    def __init__(self, client: Any, where: Location, manifest: Manifest, directory: str,
                 on_bytes: Callable[[int, int], None] | None) -> None:
        self.client = client
        self.where = where
        self.manifest = manifest
        self.partial = versions.partial_dir(directory, manifest.version)
        self.on_bytes = on_bytes
        self.fds: dict[str, int] = {}
        self.left: dict[str, int] = {}  # chunks not yet on disk, per file; under `lock`
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def run(self) -> int:
        os.makedirs(self.partial, exist_ok=True)
        try:
            jobs = []
            for f in self.manifest.files:
                existed = self._open(f)
                jobs += [(f, i, existed) for i in range(len(f.chunks))]
            self.left = {f.name: len(f.chunks) for f in self.manifest.files}
            downloaded = self._run_jobs(jobs)
            for f in self.manifest.files:
                if not f.chunks:
                    os.fsync(self.fds[f.name])
        finally:
            for fd in self.fds.values():
                os.close(fd)
        # The manifest last, as the writer leaves it: its bytes are the version.
        path = os.path.join(self.partial, MANIFEST_NAME)
        with open(path, "wb") as out:
            out.write(self.manifest.raw)
            out.flush()
            os.fsync(out.fileno())
        versions.fsync_path(self.partial)
        return downloaded

    def _open(self, f: TableFile) -> bool:
        """Opens the file, sized as the table says; returns whether it was
        there before, holding chunks that may be reusable."""
        path = os.path.join(self.partial, f.name)
        existed = os.path.exists(path)
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        self.fds[f.name] = fd
        if os.fstat(fd).st_size != f.size:
            os.ftruncate(fd, f.size)
        return existed

    def _run_jobs(self, jobs: list[tuple[TableFile, int, bool]]) -> int:
        total, done, downloaded = self.manifest.total_bytes, 0, 0
        with ThreadPoolExecutor(WORKERS, thread_name_prefix="quandrel-sync") as pool:
            pending: set[Future[tuple[int, int]]] = {
                pool.submit(self._chunk, f, i, existed) for f, i, existed in jobs}
            try:
                while pending:
                    finished, pending = wait(pending, timeout=0.2, return_when=FIRST_EXCEPTION)
                    for future in finished:
                        verified, fetched = future.result()
                        done, downloaded = done + verified, downloaded + fetched
                    if self.on_bytes is not None and finished:
                        self.on_bytes(done, total)
            except BaseException:
                self.stop.set()
                for future in pending:
                    future.cancel()
                raise
        return downloaded

    def _chunk(self, f: TableFile, index: int, existed: bool) -> tuple[int, int]:
        """Makes one chunk right on disk; returns (bytes verified, bytes fetched).
        The thread that completes a file flushes it, so that flushing overlaps
        the downloads of the other files rather than following them all."""
        if self.stop.is_set():
            return 0, 0
        verified, fetched = self._fill(f, index, existed)
        with self.lock:
            self.left[f.name] -= 1
            complete = self.left[f.name] == 0
        if complete:
            os.fsync(self.fds[f.name])
        return verified, fetched

    def _fill(self, f: TableFile, index: int, existed: bool) -> tuple[int, int]:
        offset, length = self.manifest.chunk_range(f, index)
        fd = self.fds[f.name]
        if existed and _digest128(os.pread(fd, length, offset)) == f.chunks[index]:
            return length, 0
        key = self.where.key(self.manifest.version, f.name)
        url = self.where.url(key)
        # A mismatch may be damage in transit: one more download decides.
        for _ in range(2):
            data = call(lambda: _get_range(self.client, self.where.bucket, key, offset, length), url)
            if len(data) == length and _digest128(data) == f.chunks[index]:
                _pwrite_all(fd, data, offset)
                return length, length
        raise OSError(f"{f.name}: bytes {offset}-{offset + length - 1}: digest mismatch in two "
                      f"downloads of {url}; nothing was made current")
