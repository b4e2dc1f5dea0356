"""A table's manifest as the remote commands read it: which files, which chunks."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass

from .._quandrel import _digest128

MANIFEST_NAME = "quandrel-store.json"
# A manifest lists a few digests per GB of table; anything this large is not one.
MAX_MANIFEST_BYTES = 256 << 20

_HEX128 = re.compile(r"[0-9a-f]{32}")
_FILE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")


@dataclass(frozen=True)
class TableFile:
    name: str
    size: int
    chunks: tuple[str, ...]


@dataclass(frozen=True)
class Manifest:
    raw: bytes
    version: str
    chunk_bytes: int
    files: tuple[TableFile, ...]

    @property
    def total_bytes(self) -> int:
        return sum(f.size for f in self.files)

    def chunk_range(self, f: TableFile, index: int) -> tuple[int, int]:
        """The byte offset and length of chunk `index` of `f`."""
        start = index * self.chunk_bytes
        return start, min(self.chunk_bytes, f.size - start)


def version_of(raw: bytes) -> str:
    """A table's version: the digest of its manifest's bytes, so that the same
    table always gets the same name."""
    return _digest128(raw)


def parse(raw: bytes, origin: str) -> Manifest:
    """Reads and checks a manifest; `origin` names where it came from in errors.

    File names are checked strictly because they become local paths and
    object keys: a name that could leave the table's directory is refused."""
    def bad(why: str) -> ValueError:
        return ValueError(f"{origin}: not a usable table manifest: {why}")

    if len(raw) > MAX_MANIFEST_BYTES:
        raise bad(f"{len(raw):,} bytes")
    try:
        doc = json.loads(raw)
    except ValueError as e:
        raise bad(f"not JSON ({e})") from None
    if not isinstance(doc, dict) or doc.get("format") != "quandrel-store":
        raise bad("no \"format\": \"quandrel-store\"")
    if doc.get("format_version") != 1:
        raise bad(f"format_version {doc.get('format_version')!r} is not 1")
    if doc.get("digest") != "xxh3-128":
        raise bad(f"digest {doc.get('digest')!r} is not xxh3-128")
    chunk_bytes = doc.get("chunk_bytes")
    if type(chunk_bytes) is not int or chunk_bytes <= 0:
        raise bad(f"chunk_bytes {chunk_bytes!r}")
    entries = doc.get("files")
    if not isinstance(entries, list):
        raise bad("no list of files")
    files = []
    for entry in entries:
        if not isinstance(entry, dict):
            raise bad("a file entry is not an object")
        name, size, chunks = entry.get("name"), entry.get("bytes"), entry.get("chunks")
        if not isinstance(name, str) or not _FILE_NAME.fullmatch(name) or name == MANIFEST_NAME:
            raise bad(f"file name {name!r}")
        if type(size) is not int or size < 0:
            raise bad(f"{name}: size {size!r}")
        if (not isinstance(chunks, list) or len(chunks) != -(-size // chunk_bytes)
                or not all(isinstance(c, str) and _HEX128.fullmatch(c) for c in chunks)):
            raise bad(f"{name}: chunk digests do not match its size")
        files.append(TableFile(name, size, tuple(chunks)))
    if len({f.name for f in files}) != len(files):
        raise bad("a file is listed twice")
    return Manifest(raw, version_of(raw), chunk_bytes, tuple(files))
