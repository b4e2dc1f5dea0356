"""Argument binding and conversion: the exact TypeError and OverflowError forms."""

import re

import pytest

from quandrel import PageReader, Store, View, abi_version, rowids_for_seq, rowids_for_seq_with_history


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    return info.value


@pytest.mark.parametrize("call, message", [
    (lambda: rowids_for_seq([1]),
     "rowids_for_seq() missing 1 required positional argument: 'ple_spec'"),
    (lambda: rowids_for_seq(),
     "rowids_for_seq() missing 2 required positional arguments: 'tokens' and 'ple_spec'"),
    (lambda: rowids_for_seq_with_history(),
     "rowids_for_seq_with_history() missing 3 required positional arguments: "
     "'history', 'tokens', and 'ple_spec'"),
    (lambda: rowids_for_seq_with_history([1], ple_spec=1),
     "rowids_for_seq_with_history() missing 1 required positional argument: 'tokens'"),
    (lambda: rowids_for_seq([1], 1, 2),
     "rowids_for_seq() takes 2 positional arguments but 3 were given"),
    (lambda: rowids_for_seq([1], 1, ple_spec=1),
     "rowids_for_seq() got multiple values for argument 'ple_spec'"),
    (lambda: rowids_for_seq([1], 1, foo=2),
     "rowids_for_seq() got an unexpected keyword argument 'foo'"),
    # Too many positional arguments is reported before a bad keyword.
    (lambda: rowids_for_seq([1], 1, 2, foo=2),
     "rowids_for_seq() takes 2 positional arguments but 3 were given"),
    (lambda: Store("d", 1, 2, 3, 4, 5),
     "Store.__new__() takes from 4 to 5 positional arguments but 6 were given"),
    (lambda: Store("d", 1, threads=2),
     "Store.__new__() missing 2 required positional arguments: 'rows_per_shard' and 'width'"),
    (lambda: PageReader(1, 2),
     "PageReader.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: PageReader(size=2),
     "PageReader.__new__() got an unexpected keyword argument 'size'"),
    (lambda: View(),
     "View.__new__() missing 1 required positional argument: 'path'"),
    (lambda: PageReader().read_pages([1]),
     "PageReader.read_pages() missing 1 required positional argument: 'offsets'"),
])
def test_binding_errors(call, message):
    raises(TypeError, message, call)


def test_keywords_and_no_argument_functions():
    assert rowids_for_seq(tokens=[5], ple_spec=1) == rowids_for_seq([5], 1)
    assert rowids_for_seq(ple_spec=1, tokens=[5]) == rowids_for_seq([5], 1)
    assert abi_version() == 1
    with pytest.raises(TypeError):
        abi_version(0)


@pytest.mark.parametrize("tokens, exc, message", [
    ("ab", TypeError, "argument 'tokens': Can't extract `str` to `Vec`"),
    ({1, 2}, TypeError, "argument 'tokens': 'set' object cannot be converted to 'Sequence'"),
    (iter([1]), TypeError, "argument 'tokens': 'list_iterator' object cannot be converted to 'Sequence'"),
    ({1: 2}, TypeError, "argument 'tokens': 'dict' object cannot be converted to 'Sequence'"),
    ((x for x in [1]), TypeError, "argument 'tokens': 'generator' object cannot be converted to 'Sequence'"),
    (5, TypeError, "argument 'tokens': 'int' object cannot be converted to 'Sequence'"),
    ([1, -1], OverflowError, "out of range integral type conversion attempted"),
    ([4294967296], OverflowError, "out of range integral type conversion attempted"),
])
def test_sequence_conversion_errors(tokens, exc, message):
    # The type error wins over the unsupported scheme: conversion comes first.
    raises(exc, message, rowids_for_seq, tokens, 2)


def test_integer_conversion_errors():
    with pytest.raises(TypeError, match=r"^argument 'tokens': ") as info:
        rowids_for_seq([1.5], 1)
    assert type(info.value) is TypeError
    with pytest.raises(OverflowError) as info:
        rowids_for_seq([1 << 64], 1)  # beyond signed 64 bits: the host's own message
    assert str(info.value) != "out of range integral type conversion attempted"
    raises(OverflowError, "out of range integral type conversion attempted", rowids_for_seq, [1], -1)
    raises(NotImplementedError, "only PLE_QWEN_V1=1 is implemented", rowids_for_seq, [1, 2], 2)
    with pytest.raises(TypeError, match=r"^argument 'ple_spec': "):
        rowids_for_seq([1], None)


@pytest.mark.parametrize("tokens", [(1, 2), range(3), b"\x01\x02", [Index(7), True]])
def test_sequences_and_indexables_accepted(tokens):
    assert rowids_for_seq(tokens, 1) == rowids_for_seq([int(t) for t in tokens], 1)
    assert rowids_for_seq([1], True) == rowids_for_seq([1], 1)
    assert rowids_for_seq([1], Index(1)) == rowids_for_seq([1], 1)


def test_length_is_only_a_hint_and_iteration_runs_once():
    class Lying:
        iterations = 0

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            raise AssertionError("must iterate, not index")

        def __iter__(self):
            Lying.iterations += 1
            return iter([1, 2, 3])

    assert rowids_for_seq(Lying(), 1) == rowids_for_seq([1, 2, 3], 1)
    assert Lying.iterations == 1

    class Huge(Lying):
        def __len__(self):
            return 1 << 60

    assert rowids_for_seq(Huge(), 1) == rowids_for_seq([1, 2, 3], 1)


def test_element_type_error_is_named_and_keeps_its_cause():
    class Bad:
        def __index__(self):
            raise TypeError("inner") from ValueError("root")

    err = raises(TypeError, "argument 'tokens': inner", rowids_for_seq, [1, Bad()], 1)
    assert isinstance(err.__cause__, ValueError) and str(err.__cause__) == "root"


def test_only_exactly_type_error_is_renamed():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise MyTypeError("mine")

    raises(MyTypeError, "mine", rowids_for_seq, [Bad()], 1)

    class Broken:
        def __index__(self):
            raise KeyError("k")

    with pytest.raises(KeyError):
        rowids_for_seq([Broken()], 1)


@pytest.mark.parametrize("args, exc, pattern", [
    ((bytearray(b"/tmp"), 1, 1, 1), TypeError,
     r"^argument 'dir': 'bytearray' object cannot be converted to 'PyString'$"),
    (("/tmp", -1, 1, 1), OverflowError, None),
    (("/tmp", 1 << 64, 1, 1), OverflowError, None),
    (("/tmp", 1.0, 1, 1), TypeError, r"^argument 'shards': "),
    (("/tmp", 1, 1, 1, None), TypeError, r"^argument 'threads': "),
    (("/tmp\udc80", 1, 1, 1), UnicodeEncodeError, None),
])
def test_store_argument_kinds(args, exc, pattern):
    with pytest.raises(exc, match=pattern) as info:
        Store(*args)
    assert type(info.value) is exc


def test_unsigned_64_bit_range_and_index(tmp_path):
    # shards=0 opens nothing, so the numbers alone decide.
    store = Store(str(tmp_path), 0, Index(7), (1 << 64) - 1)
    assert store.width == (1 << 64) - 1
    assert store.total_rows == 0
    with pytest.raises(OverflowError):
        store.fetch([-1])
    assert re.match(r"^argument 'rowids': ", str(pytest.raises(TypeError, store.fetch, [1.0]).value))
