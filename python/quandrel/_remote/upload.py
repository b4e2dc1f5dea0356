"""Push: a verified local table uploaded as an immutable version, then
announced as the newest."""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import Any, Callable

from boto3.s3.transfer import TransferConfig, create_transfer_manager  # type: ignore
from s3transfer.subscribers import BaseSubscriber  # type: ignore

from .. import verify_store
from .client import call, make_client, translate
from .location import Location
from .manifest import MANIFEST_NAME, MAX_MANIFEST_BYTES, Manifest, parse

# The transfer manager's own defaults (8 MiB parts, 10 requests in flight),
# shared by all files of a table rather than given to each.
_TRANSFER = TransferConfig()


@dataclass(frozen=True)
class Pushed:
    version: str
    uploaded: int  # bytes of files uploaded; files already on the server are skipped


def run(directory: str | os.PathLike[str], url: str, endpoint_url: str | None = None,
        on_bytes: Callable[[int, int], None] | None = None,
        on_verify: Callable[[int, int], None] | None = None) -> Pushed:
    """`on_bytes(done, total)` is called from the upload threads, one at a
    time; `on_verify(done, total)` as the table is checked before."""
    where = Location.parse(url)
    directory = os.fspath(directory)
    manifest = _local_manifest(directory)
    problems = verify_store(directory, progress=on_verify)
    if problems:
        shown = "; ".join(problems[:5]) + ("; ..." if len(problems) > 5 else "")
        raise ValueError(f"{directory}: the table does not match its manifest, nothing was "
                         f"pushed: {shown}")
    # Single requests retry through `call`; the transfer manager's parts
    # through the SDK, which retries each part where it failed.
    client = make_client(endpoint_url, 1, sdk_retries=False)
    transfers = make_client(endpoint_url, _TRANSFER.max_request_concurrency, sdk_retries=True)
    sizes = {f.name: f.size for f in manifest.files}
    sizes[MANIFEST_NAME] = len(manifest.raw)
    # A version's objects never change, so one of the right size is the one we have.
    missing = [name for name, size in sizes.items()
               if _remote_size(client, where, where.key(manifest.version, name)) != size]
    uploaded = _upload(transfers, where, manifest.version, directory,
                       {name: sizes[name] for name in missing}, on_bytes)
    newest = where.newest_key()
    call(lambda: client.put_object(Bucket=where.bucket, Key=newest,
                                   Body=manifest.raw), where.url(newest))
    return Pushed(manifest.version, uploaded)


def _local_manifest(directory: str) -> Manifest:
    path = os.path.join(directory, MANIFEST_NAME)
    try:
        with open(path, "rb") as f:
            raw = f.read(MAX_MANIFEST_BYTES + 1)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path}: no table manifest; only a table written by "
                                "StoreWriter can be pushed") from None
    return parse(raw, path)


def _remote_size(client: Any, where: Location, key: str) -> int | None:
    try:
        response = call(lambda: client.head_object(Bucket=where.bucket, Key=key),
                        where.url(key))
    except FileNotFoundError:
        return None
    return int(response["ContentLength"])


class _Progress(BaseSubscriber):  # type: ignore[misc]
    def __init__(self, total: int, on_bytes: Callable[[int, int], None] | None) -> None:
        self.total, self.done, self.on_bytes = total, 0, on_bytes
        self.lock = threading.Lock()

    def on_progress(self, future: object, bytes_transferred: int, **kwargs: object) -> None:
        with self.lock:
            self.done += bytes_transferred
            if self.on_bytes is not None:
                self.on_bytes(self.done, self.total)


def _upload(client: Any, where: Location, version: str, directory: str,
            sizes: dict[str, int], on_bytes: Callable[[int, int], None] | None) -> int:
    progress = _Progress(sum(sizes.values()), on_bytes)
    # Shards first and the version's manifest after them, so that a version
    # whose manifest is on the server has all its files there.
    shards = [name for name in sizes if name != MANIFEST_NAME]
    for batch in (shards, [name for name in sizes if name == MANIFEST_NAME]):
        with create_transfer_manager(client, _TRANSFER) as manager:
            futures = [(name, manager.upload(os.path.join(directory, name), where.bucket,
                                             where.key(version, name), subscribers=[progress]))
                       for name in batch]
            for name, future in futures:
                try:
                    future.result()
                except Exception as e:
                    for _, other in futures:
                        other.cancel()
                    raise translate(e, where.url(where.key(version, name))) from e
    return progress.total
