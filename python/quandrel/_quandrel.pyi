from collections.abc import Sequence
from typing import SupportsIndex, final

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

@final
class PageReader:
    def __new__(cls, page_size: SupportsIndex = 4096) -> PageReader: ...
    def read_pages(
        self, file_descriptors: Sequence[SupportsIndex], offsets: Sequence[SupportsIndex]
    ) -> list[bytes]: ...

def read_keys(path: str) -> list[int]: ...
def abi_version() -> int: ...
def rowids_for_seq(tokens: Sequence[SupportsIndex], ple_spec: SupportsIndex) -> list[list[int]]: ...
def rowids_for_seq_with_history(
    history: Sequence[SupportsIndex], tokens: Sequence[SupportsIndex], ple_spec: SupportsIndex
) -> list[list[int]]: ...
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
