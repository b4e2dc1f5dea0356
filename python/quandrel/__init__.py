"""Row keys for huge hashed n-gram tables, and fast batched reads of their rows.

`rowids_for_seq` turns token sequences into row ids; `Store` gathers rows of a
sharded table in parallel with the interpreter lock released; `View` reads a
flat file of fixed-size records; `PageReader` reads pages from descriptors
the caller holds; `read_keys` reads a file of decimal keys. None of them
creates or writes a file.

Beyond those, `rowids_array` gives row ids as one block of 64-bit integers,
and `fetch_into`, `read_records_into` and `read_pages_into` write into memory
the caller owns; every sequence of integers may also be an integer buffer
(numpy arrays of any strides, `array.array`, `memoryview`, `bytes`) or a CPU
tensor offering `__dlpack__` (torch, jax), and every `out` such a tensor.

`StoreWriter` writes a table and publishes it whole, with a manifest of chunk
digests; `open_store` opens a table from its manifest, and `verify_store`
checks every chunk against it.

`Store.fetch_into_async` and `View.read_records_into_async` start a read and
return a `ReadHandle` at once, to wait on from a thread or to await in
asyncio; `Store.prefetch` asks for rows that will be read soon.

`push` and `sync` put a table in object storage and keep a verified local
copy of its newest version (with the `s3` extra installed).
"""

from ._version import __version__
from ._quandrel import (
    Fault,
    PageReader,
    ReadHandle,
    Store,
    StoreWriter,
    View,
    abi_version,
    open_store,
    read_keys,
    rowids_array,
    rowids_for_seq,
    rowids_for_seq_with_history,
    verify_store,
)
from ._remote import push, sync

__all__ = [
    "Store",
    "View",
    "PageReader",
    "read_keys",
    "abi_version",
    "rowids_for_seq",
    "rowids_for_seq_with_history",
    "Fault",
    "rowids_array",
    "StoreWriter",
    "open_store",
    "verify_store",
    "ReadHandle",
    "push",
    "sync",
]
