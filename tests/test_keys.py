"""read_keys: one decimal unsigned 64-bit key per line."""

import os
import random
import textwrap

import pytest

from conftest import run_python
from quandrel import read_keys


@pytest.mark.parametrize("content, keys", [
    (b"12\r\n\r\n  +7  \n\t\n", [12, 7]),
    (b"", []),
    (b"007\n18446744073709551615", [7, 2**64 - 1]),
    ("\u00a012\u3000\n".encode(), [12]),
])
def test_accepted(tmp_path, content, keys):
    p = tmp_path / "keys.txt"
    p.write_bytes(content)
    assert read_keys(str(p)) == keys


@pytest.mark.parametrize("line, message", [
    (b"18446744073709551616", "number too large to fit in target type"),
    (b"12 34", "invalid digit found in string"),
    (b"-0", "invalid digit found in string"),
    ("\ufeff1".encode(), "invalid digit found in string"),
    (b"1\r2", "invalid digit found in string"),  # a lone CR ends no line
    (b"x\n\xff", "invalid digit found in string"),  # the first bad line decides
    (b"\xc0\xb1", "stream did not contain valid UTF-8"),  # overlong '1'
    (b"\xed\xa0\x80", "stream did not contain valid UTF-8"),  # surrogate
    (b"2\xe3\x80", "stream did not contain valid UTF-8"),  # white space cut short
])
def test_refused(tmp_path, line, message):
    p = tmp_path / "keys.txt"
    p.write_bytes(b"5\n" + line)  # the last line needs no terminator
    with pytest.raises(OSError) as info:
        read_keys(str(p))
    assert type(info.value) is OSError
    assert info.value.args == (message,)


# Reads come 8,192 bytes at a time: over the shifts, the boundary falls on
# every byte of a line, of its CRLF pair and of its multi-byte white space.
@pytest.mark.parametrize("pad", ["", "\r", "\u3000"])
def test_lines_straddling_reads(tmp_path, pad):
    rng, text, keys = random.Random(3), "", []
    while len(text) < 8140:
        keys.append(rng.getrandbits(64) >> rng.randrange(64))
        text += f"{keys[-1]}\n"
    line = f"{pad}1234567890123456789{pad}\n"
    p = tmp_path / "keys.txt"
    for shift in range(64):
        p.write_bytes((" " * shift + text + line + text).encode())
        assert read_keys(str(p)) == keys + [1234567890123456789] + keys, shift


# Each runs in its own interpreter, under a timeout: the faults they catch
# hang (a FIFO opened or read with the interpreter lock held), fail with
# "Interrupted system call", or buffer a whole endless line.
FIFO_CASES = {
    "slow writer, signals every millisecond": """
        fed = [str(k).encode() + b"\\n" for k in range(200)]
        def feed():
            with open(fifo, "wb", buffering=0) as w:
                for line in fed:
                    w.write(line)
                    time.sleep(0.001)
        handled = []
        signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        threading.Thread(target=feed).start()
        keys = read_keys(fifo)
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert keys == list(range(200)), keys
        assert len(handled) > 20, len(handled)
    """,
    "a handler that raises ends the wait": """
        def stop(*_):
            raise InterruptedError("stopped by the handler")
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            read_keys(fifo)  # no writer ever comes
        except InterruptedError as e:
            assert str(e) == "stopped by the handler"
        else:
            raise AssertionError("read_keys returned")
    """,
    "an endless line fails at its first byte": """
        def feed():
            try:
                with open(fifo, "wb") as w:
                    for _ in range(256):
                        w.write(bytes(1 << 20))
            except BrokenPipeError:
                pass
        threading.Thread(target=feed).start()
        try:
            read_keys(fifo)
        except OSError as e:
            assert str(e) == "invalid digit found in string", e
        # Not ru_maxrss, which keeps the peak of the process that started this one.
        peak = int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM:")).split()[1])
        assert peak < 64 << 10, f"peak RSS {peak} KiB"
    """,
}


@pytest.mark.parametrize("body", FIFO_CASES.values(), ids=FIFO_CASES.keys())
def test_read_keys_from_a_fifo(tmp_path, body):
    fifo = str(tmp_path / "keys")
    os.mkfifo(fifo)
    code = "import os, signal, threading, time\nfrom quandrel import read_keys\n"
    code += f"fifo = {fifo!r}\n" + textwrap.dedent(body) + "print('ok')\n"
    done = run_python(code, timeout=30)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
