import os
import subprocess
import sys
import textwrap
import threading

import pytest


def row_content(shard: int, index: int, width: int) -> bytes:
    """Row `index` of shard `shard`: bytes that tell every row apart."""
    seed = (shard * 1_000_003 + index * 7919) & 0xFFFFFFFF
    return bytes((seed >> (8 * (i % 4))) + i & 0xFF for i in range(width))


class SampleStore:
    """A store directory whose shard files hold `row_content` rows."""

    def __init__(self, directory, shards, rows_per_shard, width, rows_written=None):
        self.dir = str(directory)
        self.shards, self.rows_per_shard, self.width = shards, rows_per_shard, width
        os.makedirs(self.dir, exist_ok=True)
        for s in range(shards):
            n = rows_per_shard if rows_written is None else rows_written(s)
            with open(os.path.join(self.dir, f"shard_{s:03d}.bin"), "wb") as f:
                f.write(b"".join(row_content(s, i, width) for i in range(n)))

    def row(self, rowid: int) -> bytes:
        """The bytes of a row as its file holds them now, zeros where it is short."""
        shard, index = divmod(rowid, self.rows_per_shard)
        with open(os.path.join(self.dir, f"shard_{shard:03d}.bin"), "rb") as f:
            f.seek(index * self.width)
            return f.read(self.width).ljust(self.width, b"\0")

    def rows(self, rowids) -> bytes:
        return b"".join(self.row(r) for r in rowids)

    def view(self, slot=None) -> str:
        """Shard 0's file as a view of `slot`-byte records (its rows by default)."""
        with open(os.path.join(self.dir, "shard_000.manifest.json"), "w") as f:
            f.write('{"slot_bytes": %d}' % (slot or self.width))
        return os.path.join(self.dir, "shard_000.bin")


@pytest.fixture
def sample_store(tmp_path):
    def make(shards=4, rows_per_shard=1000, width=64, **kwargs):
        return SampleStore(tmp_path / "store", shards, rows_per_shard, width, **kwargs)
    return make


def disk_backed(path) -> bool:
    """Whether the page cache of `path`'s files can be evicted (not tmpfs)."""
    kind = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout
    return kind.strip() not in ("tmpfs", "ramfs", "")


def run_python(code: str, env_extra=None, timeout=120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (pool state and environment are per process)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUANDREL_")}
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def cli(*args, env=None, preamble=""):
    """`python -m quandrel args` in a fresh interpreter, after `preamble` ran there."""
    code = preamble + "import runpy; runpy.run_module('quandrel', run_name='__main__', alter_sys=True)"
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=300)


class Tensor:
    """Offers only `__dlpack__`, as a torch CPU tensor does, passing on numpy's
    own capsule: the versioned one, or (`legacy`) the older form. `device`
    overrides where it says it is."""

    def __init__(self, a, legacy=False, device=None):
        self.a, self.legacy, self.device = a, legacy, device

    def __dlpack__(self, **kwargs):
        return self.a.__dlpack__() if self.legacy else self.a.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.device or self.a.__dlpack_device__()


def on_other_thread(fn):
    """Runs `fn` on a new thread; returns what it returned, or the Fault or
    Exception it raised (a Fault is not an Exception, so both are caught)."""
    from quandrel import Fault
    outcome = []

    def run():
        try:
            outcome.append(fn())
        except (Exception, Fault) as e:
            # Without its traceback, so that it keeps no frame (and no object
            # that `fn` refers to) alive.
            outcome.append(e.with_traceback(None))

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return outcome[0]


# The store and view suites run once per reader: both must return the same
# bytes and raise the same errors.
READER_SUITES = {"test_store", "test_view"}


@pytest.fixture(autouse=True)
def reader(request, monkeypatch):
    mode = getattr(request, "param", None)
    if mode is not None:
        monkeypatch.setenv("QUANDREL_READER", mode)
    return mode


def pytest_generate_tests(metafunc):
    if metafunc.module.__name__.rpartition(".")[2] in READER_SUITES:
        metafunc.parametrize("reader", ["mapped", "pread"], indirect=True)
