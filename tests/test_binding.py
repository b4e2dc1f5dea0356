"""Argument binding and conversion: the exact TypeError and OverflowError forms."""

import pytest

from quandrel import PageReader, Store, rowids_for_seq, rowids_for_seq_with_history


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


OURS = "out of range integral type conversion attempted"


# One case per form of message; every function binds and converts through
# the same code. None: the host's own message.
@pytest.mark.parametrize("call, exc, message", [
    (lambda: rowids_for_seq([1]), TypeError,
     "rowids_for_seq() missing 1 required positional argument: 'ple_spec'"),
    (lambda: Store("d", 1, threads=2), TypeError,
     "Store.__new__() missing 2 required positional arguments: 'rows_per_shard' and 'width'"),
    (lambda: rowids_for_seq_with_history(), TypeError,
     "rowids_for_seq_with_history() missing 3 required positional arguments: "
     "'history', 'tokens', and 'ple_spec'"),
    (lambda: PageReader(1, 2), TypeError,
     "PageReader.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: rowids_for_seq([1], 1, ple_spec=1), TypeError,
     "rowids_for_seq() got multiple values for argument 'ple_spec'"),
    # Too many positional arguments is reported before a bad keyword.
    (lambda: rowids_for_seq([1], 1, 2, foo=2), TypeError,
     "rowids_for_seq() takes 2 positional arguments but 3 were given"),
    # Conversion comes first: these win over the unsupported scheme 2 (as the
    # element errors in test_paths_errors do).
    (lambda: rowids_for_seq("ab", 2), TypeError, "argument 'tokens': Can't extract `str` to `Vec`"),
    (lambda: rowids_for_seq([1 << 64], 1), OverflowError, None),
    (lambda: rowids_for_seq([1, 2], 2), NotImplementedError, "only PLE_QWEN_V1=1 is implemented"),
    (lambda: Store("/tmp", 1 << 64, 1, 1), OverflowError, None),
    (lambda: Store("/tmp", 1.0, 1, 1), TypeError,
     "argument 'shards': 'float' object cannot be interpreted as an integer"),
    (lambda: Store("/tmp\udc80", 1, 1, 1), UnicodeEncodeError, None),
])
def test_refused_arguments(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message if message else str(info.value) != OURS


@pytest.mark.parametrize("tokens", [(1, 2), range(3), b"\x01\x02", [Index(7), True]])
def test_sequences_and_indexables_accepted(tokens):
    assert rowids_for_seq(tokens, 1) == rowids_for_seq([int(t) for t in tokens], 1)
    assert rowids_for_seq([1], True) == rowids_for_seq([1], 1)
    assert rowids_for_seq([1], Index(1)) == rowids_for_seq(ple_spec=1, tokens=[1])


def test_unsigned_64_bit_range_and_index(tmp_path):
    # shards=0 opens nothing, so the numbers alone decide.
    store = Store(str(tmp_path), 0, Index(7), (1 << 64) - 1)
    assert (store.width, store.total_rows) == ((1 << 64) - 1, 0)


def test_length_is_only_a_hint_and_iteration_runs_once():
    iterations = []

    class Lying:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            raise AssertionError("must iterate, not index")

        def __iter__(self):
            iterations.append(1)
            return iter([1, 2, 3])

    class Huge(Lying):
        def __len__(self):
            return 1 << 60

    assert rowids_for_seq(Lying(), 1) == rowids_for_seq(Huge(), 1) == rowids_for_seq([1, 2, 3], 1)
    assert len(iterations) == 2


class MyTypeError(TypeError):
    pass


# Only exactly TypeError is renamed for the argument; its cause stays.
@pytest.mark.parametrize("error, root, message", [
    (TypeError("inner"), ValueError("root"), "argument 'tokens': inner"),
    (MyTypeError("mine"), None, "mine"),
    (KeyError("k"), None, "'k'"),
])
def test_element_errors(error, root, message):
    class Bad:
        def __index__(self):
            raise error from root

    with pytest.raises(type(error)) as info:
        rowids_for_seq([1, Bad()], 1)
    assert type(info.value) is type(error) and str(info.value) == message
    assert info.value.__cause__ is root


# Lists are read by index: an item that shrinks the list ends the reading as
# the list's own iterator would, and never reads past the new end.
def test_list_shrunk_by_an_item():
    class Shrink:
        def __index__(self):
            del tokens[2:]
            return 7

    tokens = [3, Shrink(), 5, 6]
    assert rowids_for_seq(tokens, 1) == rowids_for_seq([3, 7], 1)
