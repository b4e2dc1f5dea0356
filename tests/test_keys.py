"""read_keys: one decimal unsigned 64-bit key per line."""

import pytest

from quandrel import read_keys


@pytest.mark.parametrize("content, keys", [
    (b"1\n2\n3\n", [1, 2, 3]),
    (b"12\n\n  +7  \n", [12, 7]),
    (b"12\r\n\r\n+7\r\n", [12, 7]),
    (b"", []),
    (b"\n \n\t\n", []),
    (b"007\n5", [7, 5]),
    (b"18446744073709551615\n0\n", [2**64 - 1, 0]),
    ("\u00a012\u3000\n".encode(), [12]),
    (b"4\n4\n", [4, 4]),
])
def test_accepted(tmp_path, content, keys):
    p = tmp_path / "keys.txt"
    p.write_bytes(content)
    assert read_keys(str(p)) == keys


@pytest.mark.parametrize("line, message", [
    (b"18446744073709551616", "number too large to fit in target type"),
    (b"18446744073709551615x", "invalid digit found in string"),
    (b"12 34", "invalid digit found in string"),
    (b"-5", "invalid digit found in string"),
    (b"-0", "invalid digit found in string"),
    (b"0x10", "invalid digit found in string"),
    (b"1_000", "invalid digit found in string"),
    (b"+", "invalid digit found in string"),
    (b"# comment", "invalid digit found in string"),
    ("\ufeff1".encode(), "invalid digit found in string"),
    (b"1\r2", "invalid digit found in string"),  # a lone CR ends no line
    (b"1\n\xff\n", "stream did not contain valid UTF-8"),
])
def test_refused(tmp_path, line, message):
    p = tmp_path / "keys.txt"
    p.write_bytes(b"5\n" + line + b"\n")
    with pytest.raises(OSError) as info:
        read_keys(str(p))
    assert type(info.value) is OSError
    assert info.value.args == (message,)


