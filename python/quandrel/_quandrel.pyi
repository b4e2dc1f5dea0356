from collections.abc import Sequence
from typing import SupportsIndex, TypeVar, final

from typing_extensions import Buffer

_Out = TypeVar("_Out", bound=Buffer)

__all__: list[str]

class Fault(BaseException):
    """An internal invariant was violated."""

@final
class Store:
    def __new__(
        cls,
        dir: str,
        shards: SupportsIndex,
        rows_per_shard: SupportsIndex,
        width: SupportsIndex,
        threads: SupportsIndex = 32,
    ) -> Store: ...
    def fetch(self, rowids: Sequence[SupportsIndex]) -> bytes: ...
    def fetch_one(self, rowid: SupportsIndex) -> bytes: ...
    def close(self) -> None:
        """Compatibility no-op for the ctypes API (resources are dropped with the object)."""
    def fetch_into(self, rowids: Sequence[SupportsIndex] | Buffer, out: Buffer) -> None:
        """Writes the rows of `rowids`, in order, into `out`.

        `out` is a writable C-contiguous buffer (a numpy array of any dtype and
        shape, a bytearray, a writable mmap) of exactly len(rowids) * width
        bytes. The gather runs with the interpreter lock released, as in
        `fetch`. After an error the contents of `out` are unspecified.
        """
    @property
    def width(self) -> int: ...
    @property
    def total_rows(self) -> int: ...

@final
class View:
    def __new__(cls, path: str) -> View: ...
    def len(self) -> int: ...
    def slot_bytes(self) -> int: ...
    def close(self) -> None:
        """Compatibility no-op for the ctypes API (resources are dropped with the object)."""
    def read_record(self, index: SupportsIndex) -> bytes: ...
    def read_records(self, indices: Sequence[SupportsIndex]) -> bytes: ...
    def read_records_into(self, indices: Sequence[SupportsIndex] | Buffer, out: Buffer) -> None:
        """Writes the records of `indices`, in order, into `out`.

        `out` is a writable C-contiguous buffer of exactly
        len(indices) * slot_bytes() bytes. After an error the contents of
        `out` are unspecified.
        """

@final
class PageReader:
    def __new__(cls, page_size: SupportsIndex = 4096) -> PageReader: ...
    def read_pages(
        self, file_descriptors: Sequence[SupportsIndex], offsets: Sequence[SupportsIndex]
    ) -> list[bytes]: ...
    def read_pages_into(
        self,
        file_descriptors: Sequence[SupportsIndex] | Buffer,
        offsets: Sequence[SupportsIndex] | Buffer,
        out: Buffer,
    ) -> list[int]:
        """Reads page i into bytes [i * page_size, (i + 1) * page_size) of `out`.

        `out` is a writable C-contiguous buffer of exactly
        len(file_descriptors) * page_size bytes; the rest of the slot after a
        short page is zeroed. Returns the page lengths, as `read_pages` would
        have returned pages of those lengths.
        """

def read_keys(path: str) -> list[int]: ...
def abi_version() -> int: ...
def rowids_for_seq(tokens: Sequence[SupportsIndex], ple_spec: SupportsIndex) -> list[list[int]]: ...
def rowids_for_seq_with_history(
    history: Sequence[SupportsIndex], tokens: Sequence[SupportsIndex], ple_spec: SupportsIndex
) -> list[list[int]]: ...
def rowids_array(
    tokens: Sequence[SupportsIndex] | Buffer,
    ple_spec: SupportsIndex,
    history: Sequence[SupportsIndex] | Buffer = (),
    *,
    out: _Out | None = None,
) -> memoryview | _Out:
    """The row ids of `rowids_for_seq_with_history(history, tokens, ple_spec)` as one block.

    Without `out`: a writable memoryview of format 'q' and shape
    (len(tokens), 16) over memory it owns, so `np.asarray(r)` shares it (for
    no tokens, an empty one-dimensional view). With `out`, a writable
    C-contiguous buffer of int64 or uint64 items, exactly len(tokens) * 16 of
    them in any shape: the ids are written there and `out` is returned.
    """
