from collections.abc import Callable, Generator, Sequence
from typing import Any, Generic, Protocol, SupportsIndex, TypedDict, TypeVar, final

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

# Memory the module reads or writes in place: buffers, and tensors of other
# libraries through `__dlpack__` (torch, jax, numpy on every Python version:
# numpy's stubs declare the buffer protocol only from Python 3.12).
class _Tensor(Protocol):
    def __dlpack__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __dlpack_device__(self) -> tuple[int, int]: ...

_Ints: TypeAlias = Sequence[SupportsIndex] | Buffer | _Tensor
_Memory: TypeAlias = Buffer | _Tensor
_Out = TypeVar("_Out", bound=Buffer | _Tensor)

class _ReadStats(TypedDict):
    """Counters since the store or view was opened; a plain dict at run time."""

    calls: int
    rows: int
    bytes: int
    rows_from_memory: int
    rows_from_device: int
    cold_batches: int
    read_errors: int
    latency_buckets_ns: list[int]
    latency_counts: list[int]

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
    def fetch_into(self, rowids: _Ints, out: _Memory) -> None:
        """Writes the rows of ``rowids``, in order, into ``out``.

        ``out`` is a writable C-contiguous buffer or CPU tensor (a numpy array of
        any dtype and shape, a torch tensor, a bytearray, a writable mmap) of
        exactly ``len(rowids) * width`` bytes. The gather runs with the interpreter lock released, as in
        ``fetch``. After an error the contents of ``out`` are unspecified.
        """
    def fetch_into_async(self, rowids: _Ints, out: _Out) -> ReadHandle[_Out]:
        """As ``fetch_into``, started and returned at once.

        Argument errors, a bad ``out`` and row ids outside the table are raised
        here; what happens while reading comes out of the handle. The handle
        keeps ``out``, a buffer ``rowids`` and the store until the read ends.
        """
    def prefetch(self, rowids: _Ints) -> None:
        """A hint that the rows of ``rowids`` will be read soon.

        Returns without waiting for the device and raises only argument errors.
        """
    @property
    def width(self) -> int:
        """Bytes per row."""
    @property
    def total_rows(self) -> int:
        """``shards * rows_per_shard``."""
    @property
    def shards(self) -> int:
        """The number of shard files."""
    @property
    def rows_per_shard(self) -> int:
        """Rows in each shard."""
    @property
    def threads(self) -> int:
        """The threads that serve one fetch, at most: the caller and ``threads - 1`` helpers."""
    @property
    def dir(self) -> str:
        """The directory as opened (a bytes path decoded as ``os.fsdecode`` does)."""
    def stats(self) -> _ReadStats:
        """Counters of the reads since the store was opened, as a new dict.

        Every ``fetch``, ``fetch_one`` and ``fetch_into`` that asks for at least
        one row counts as a call. ``rows_from_memory + rows_from_device ==
        rows``; ``latency_counts[i]`` counts calls of at most
        ``latency_buckets_ns[i]`` nanoseconds, its last item those longer.
        """

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
    def read_records_into(self, indices: _Ints, out: _Memory) -> None:
        """Writes the records of ``indices``, in order, into ``out``.

        ``out`` is a writable C-contiguous buffer of exactly
        ``len(indices) * slot_bytes()`` bytes. After an error the contents of
        ``out`` are unspecified.
        """
    @property
    def count(self) -> int:
        """The number of records that can be read, as ``len()``."""
    @property
    def path(self) -> str:
        """The view file's path as opened."""
    def stats(self) -> _ReadStats:
        """Counters of the record reads since the view was opened, as ``Store.stats``.

        Unlike the view's other members, callable from any thread.
        """

    def read_records_into_async(self, indices: _Ints, out: _Out) -> ReadHandle[_Out]:
        """As ``read_records_into``, started and returned at once (see ``Store.fetch_into_async``)."""

@final
class ReadHandle(Generic[_Out]):
    """A read started by ``fetch_into_async`` or ``read_records_into_async``.

    Dropping a handle whose read is still running waits for it to end.
    """

    def done(self) -> bool:
        """True once the read has ended."""
    def wait(self, timeout: float | None = None) -> bool:
        """Blocks, without the interpreter lock, until the read ends or ``timeout`` seconds pass."""
    def result(self, timeout: float | None = None) -> _Out:
        """``out`` once the read has ended well; raises what the read raised."""
    def cancel(self) -> bool:
        """Rows not yet being read are not read; True when the read ends cancelled."""
    def __enter__(self) -> ReadHandle[_Out]: ...
    def __exit__(self, *exc: object) -> bool: ...
    def __await__(self) -> Generator[Any, None, _Out]: ...
    def _notify(self, token: int, /) -> bool: ...

@final
class PageReader:
    """Reads pages of one fixed size from file descriptors the caller holds.

    For engines that already hold open descriptors and lists of byte offsets;
    it never opens or closes a file. Buffers are aligned, so ``O_DIRECT``
    descriptors work.
    """

    def __new__(cls, page_size: SupportsIndex = 4096) -> PageReader:
        """A reader of pages of ``page_size`` bytes, a power of two."""
    def read_pages(self, file_descriptors: _Ints, offsets: _Ints) -> list[bytes]:
        """One page per (descriptor, offset) pair, read from descriptors the caller holds."""
    def read_pages_into(self, file_descriptors: _Ints, offsets: _Ints, out: _Memory) -> list[int]:
        """Reads page i into bytes ``[i * page_size, (i + 1) * page_size)`` of ``out``.

        ``out`` is a writable C-contiguous buffer of exactly
        ``len(file_descriptors) * page_size`` bytes; the rest of the slot after a
        short page is zeroed. Returns the page lengths, as ``read_pages`` would
        have returned pages of those lengths.
        """

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

def rowids_array(
    tokens: _Ints,
    ple_spec: SupportsIndex,
    history: _Ints = (),
    *,
    out: _Out | None = None,
) -> memoryview | _Out:
    """The row ids of ``rowids_for_seq_with_history(history, tokens, ple_spec)`` as one block.

    Without ``out``: a writable memoryview of format 'q' and shape
    (len(tokens), 16) over memory it owns, so ``np.asarray(r)`` shares it (for
    no tokens, an empty one-dimensional view). With ``out``, a writable
    C-contiguous buffer of int64 or uint64 items, exactly len(tokens) * 16 of
    them in any shape: the ids are written there and ``out`` is returned.
    """

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

def _shard_path(dir: StrOrBytesPath, index: SupportsIndex) -> str:
    """The file a `Store` opens for shard `index` of `dir`: shard_NNN.bin where
    it exists (following symbolic links), else ziruv_NNN.bin."""

def _cold_read_engine() -> tuple[str, str]:
    """`(engine, reason)`: "io_uring" or "pool", the engine that serves the
    reads that wait for the disk in this process, and why it is not io_uring
    (the kernel's or a sandbox's refusal, QUANDREL_NO_IO_URING, a build
    without liburing); `reason` is "" when it is."""

@final
class StoreWriter:
    """Writes a new table into a staging directory beside ``dir`` and publishes
    it at ``dir`` on commit, whole, with a manifest of chunk digests.

    Rows never written read as zeros. Leaving a ``with`` block normally
    commits; leaving it by an exception aborts. Usable from any thread.
    """

    def __new__(
        cls,
        dir: StrOrBytesPath,
        shards: SupportsIndex,
        rows_per_shard: SupportsIndex,
        width: SupportsIndex,
    ) -> StoreWriter:
        """``dir`` existing raises FileExistsError; a table too large for 64 bits, ValueError."""
    def write(self, start_row: SupportsIndex, rows: _Memory) -> None:
        """Writes rows ``start_row, start_row + 1, ...`` from a C-contiguous buffer whose size is a
        multiple of the width; they may span shards."""
    def write_at(self, rowids: _Ints, rows: _Memory) -> None:
        """Writes row ``rowids[i]`` from bytes ``i * width ... (i + 1) * width - 1`` of ``rows``."""
    def commit(self) -> None:
        """Flushes everything to the device and renames the staging directory to ``dir``."""
    def abort(self) -> None:
        """Removes the staging directory; nothing on a closed writer."""
    def __enter__(self) -> StoreWriter: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> bool: ...

def open_store(dir: StrOrBytesPath, threads: SupportsIndex = 32) -> Store:
    """Opens the table in ``dir`` from its manifest, checking file sizes, not digests."""

def verify_store(
    dir: StrOrBytesPath,
    *,
    threads: SupportsIndex = 0,
    progress: Callable[[int, int], object] | None = None,
) -> list[str]:
    """Reads every chunk of the table and compares its digest with the manifest's; returns the
    problems, one line each, empty when the table is sound."""

def _digest128(buffer: _Memory) -> str: ...
def _store_geometry(dir: StrOrBytesPath) -> tuple[int, int, int] | None: ...

def _completion_fd() -> int:
    """The descriptor that reads awaited in an event loop announce their end on."""
def _drain_completions() -> list[int]:
    """The tokens of the reads that ended since the last call."""
