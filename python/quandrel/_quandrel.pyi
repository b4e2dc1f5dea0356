from collections.abc import Sequence
from typing import Any, Protocol, SupportsIndex, final

from _typeshed import StrOrBytesPath
from typing_extensions import Buffer, TypeAlias

__all__ = [
    "Store",
    "View",
    "PageReader",
    "read_keys",
    "abi_version",
    "rowids_for_seq",
    "rowids_for_seq_with_history",
]

# Where the module takes a sequence of integers, an array of integers serves
# as well: numpy's stubs declare the buffer protocol only from Python 3.12.
class _IntArray(Protocol):
    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...

_Ints: TypeAlias = Sequence[SupportsIndex] | Buffer | _IntArray

class Fault(BaseException):
    """An internal invariant was violated."""

@final
class Store:
    """A sharded table of fixed-width rows, read from a directory of shard files.

    Shard i is ``shard_{i:03d}.bin``, or ``ziruv_{i:03d}.bin`` where the first
    does not exist; row r lies in shard ``r // rows_per_shard``. Usable from
    any thread, also from several at once.
    """

    def __new__(
        cls,
        dir: StrOrBytesPath,
        shards: SupportsIndex,
        rows_per_shard: SupportsIndex,
        width: SupportsIndex,
        threads: SupportsIndex = ...,
    ) -> Store:
        """Opens every shard file of ``dir``; a missing one raises FileNotFoundError.

        ``width`` is the bytes per row; ``threads`` (default 32) bounds the
        parallel tasks of one fetch.
        """
    def fetch(self, rowids: _Ints) -> bytes:
        """The rows of ``rowids``, in order, as one bytes object of ``len(rowids) * width`` bytes.

        Rows past the end of a short shard file read as zeros. The interpreter
        lock is released while the rows are gathered.
        """
    def fetch_one(self, rowid: SupportsIndex) -> bytes:
        """The row ``rowid``: ``width`` bytes."""
    def close(self) -> None:
        """Compatibility no-op for the ctypes API (resources are dropped with the object)."""
    @property
    def width(self) -> int:
        """Bytes per row."""
    @property
    def total_rows(self) -> int:
        """``shards * rows_per_shard``."""

@final
class View:
    """A flat file of fixed-size records, described by an optional manifest beside it.

    ``records.bin`` is described by ``records.manifest.json`` (keys
    ``slot_bytes``, default 2560, and ``grans``, the record count). Bound to
    the thread that created it.
    """

    def __new__(cls, path: StrOrBytesPath) -> View:
        """Opens the view file ``path`` after reading its manifest."""
    def len(self) -> int:
        """The number of records that can be read."""
    def slot_bytes(self) -> int:
        """Bytes per record."""
    def close(self) -> None:
        """Compatibility no-op for the ctypes API (resources are dropped with the object)."""
    def read_record(self, index: SupportsIndex) -> bytes:
        """The record ``index``: ``slot_bytes()`` bytes."""
    def read_records(self, indices: _Ints) -> bytes:
        """The records of ``indices``, in order and back to back, as one bytes object."""

@final
class PageReader:
    """Page reader compatible with the shape of SGLang's `IoUringReader.read_pages`.

    This is a pread-based implementation (Unix); it is a useful integration point
    for engines that already have raw file descriptors and offset lists.
    """

    def __new__(cls, page_size: SupportsIndex = 4096) -> PageReader:
        """A reader of pages of ``page_size`` bytes, a power of two."""
    def read_pages(self, file_descriptors: _Ints, offsets: _Ints) -> list[bytes]:
        """One page per (descriptor, offset) pair, read from descriptors the caller holds."""

def read_keys(path: StrOrBytesPath) -> list[int]:
    """The keys of a text file of decimal unsigned 64-bit integers, one per line, in file order."""

def abi_version() -> int:
    """The version of the module's interface: 1."""

def rowids_for_seq(tokens: _Ints, ple_spec: SupportsIndex) -> list[list[int]]:
    """16 row ids for every token; ``ple_spec`` names the key scheme (only 1 exists)."""

def rowids_for_seq_with_history(
    history: _Ints, tokens: _Ints, ple_spec: SupportsIndex
) -> list[list[int]]:
    """As ``rowids_for_seq``, ``history`` (oldest first) giving the context of the first tokens."""

def _manifest_info(view_path: str) -> tuple[str, str, int, int, str]:
    """Describe the manifest beside the view at `view_path`.

    Returns `(manifest_path, state, slot_bytes, grans, reason)`. `state` is
    "absent" (no manifest, or a path with no file name), "used", or "ignored"
    (malformed, larger than 1 MiB, or a key whose value is refused; `reason`
    says why in words, and is "" otherwise). `slot_bytes` and `grans` are
    what a `View` opened now uses: the defaults, with each key of the
    manifest whose value is accepted. Raises the `OSError` that opening the
    view would raise for a manifest that exists but cannot be read.
    """
