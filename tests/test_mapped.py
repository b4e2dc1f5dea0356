"""Reading through file mappings: choosing the reader, and files cut under
readers whatever signal handlers the program installs."""

import subprocess

import pytest

from conftest import run_python
from quandrel import Store, View


@pytest.mark.parametrize("value", ["mmap", "Mapped", "pread "])
def test_unknown_reader_is_refused_at_opening(sample_store, monkeypatch, value):
    s = sample_store(shards=2, rows_per_shard=10, width=8)
    view_file = s.view()
    monkeypatch.setenv("QUANDREL_READER", value)
    for open_ in (lambda: Store(s.dir, 2, 10, 8), lambda: View(view_file)):
        with pytest.raises(ValueError, match="'auto', 'mapped' or 'pread'"):
            open_()
    # Read at every opening, not once per process.
    for good in ("", "auto", "mapped", "pread"):
        monkeypatch.setenv("QUANDREL_READER", good)
        assert Store(s.dir, 2, 10, 8).fetch([13]) == s.row(13)
        assert View(view_file).read_record(3) == s.row(3)


# A program installs fault handlers around opening its tables. A file cut
# afterwards must still read as pread reads it, whether its rows are copied on
# the calling thread, on pool threads or by a view; and a fault that is not
# ours must end the process as it does without the library, after the
# program's handlers saw it. Each order: what runs before opening, what
# after, and the stray fault (Python's own handler never lets a real SIGBUS
# end: in that order it spins with or without the library).
ORDERS = {
    "faulthandler.enable() after": ("", "faulthandler.enable()", "bus"),
    "signal.signal() after": ("", "signal.signal(signal.SIGBUS, lambda *a: None)", "segv"),
    "faulthandler.enable() before, disable() after": ("faulthandler.enable()", "faulthandler.disable()", "bus"),
    "faulthandler.disable(), enable() after": ("faulthandler.enable()",
                                               "faulthandler.disable(); faulthandler.enable()", "bus"),
    "one-shot logger before": ("logger.install()", "", "segv"),
    "one-shot logger after": ("", "logger.install()", "bus"),
}

READERS = {
    "store, caller": (True, "[4096 + 2000, 4096 + 1, 5]"),
    # Rows of the cut shard between resident ones: a batch large enough for
    # helpers, copied on pool threads.
    "store, pool": (True, "[(p // 2) % 4096 + (p % 2) * 4096 for p in range(4 * 4096)]"),
    "view": (False, "[1, 98, 3]"),
}

ORDER = """
import ctypes, faulthandler, mmap, os, signal, sys
from quandrel import Store, View
logger = ctypes.CDLL({logger!r}) if {logger!r} else None
def opened(mapped):
    os.environ["QUANDREL_READER"] = "mapped" if mapped else "pread"
    return Store({dir!r}, 2, 4096, 64) if {store} else View({view!r})
def read(reader):
    try:
        return reader.fetch({ids}) if {store} else reader.read_records({ids})
    except OSError as e:
        return repr(e)
{before}
if {use}:
    mapped, pread = opened(True), opened(False)
    assert read(mapped) == read(pread)
{after}
if {use}:
    for path in ({dir!r} + "/shard_001.bin", {view!r}):
        os.truncate(path, 100_000)
    assert read(mapped) == read(pread), "mapped and pread differ"
    print("read as pread reads", flush=True)
if {stray!r} == "segv":
    ctypes.string_at(0)
with open({other!r}, "r+b") as f:
    m = mmap.mmap(f.fileno(), 8192, access=mmap.ACCESS_READ)
    os.truncate({other!r}, 0)
    m[4096]
"""

LOGGER_C = r"""
#include <signal.h>
#include <unistd.h>
static void logged(int sig, siginfo_t *info, void *context) { write(2, "logged\n", 7); }
void install(void) {
  struct sigaction sa = {0};
  sa.sa_sigaction = logged;
  sa.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigaction(SIGSEGV, &sa, 0);
  sigaction(SIGBUS, &sa, 0);
}
"""


@pytest.fixture(scope="module")
def logger(tmp_path_factory):
    build = tmp_path_factory.mktemp("logger")
    (build / "logger.c").write_text(LOGGER_C)
    made = subprocess.run(["cc", "-shared", "-fPIC", "-o", str(build / "logger.so"), str(build / "logger.c")],
                          capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip("no C compiler: " + made.stderr)
    return str(build / "logger.so")


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("order", ORDERS)
def test_handlers_installed_around_opening(sample_store, tmp_path, logger, order, reader):
    s = sample_store(shards=2, rows_per_shard=4096, width=64)
    view = tmp_path / "records.bin"
    view.write_bytes(bytes(range(1, 256)) * 1000)
    before, after, stray = ORDERS[order]
    store, ids = READERS[reader]

    def outcome(use):
        other = tmp_path / "other.bin"
        other.write_bytes(bytes(8192))
        code = ORDER.format(logger=logger if "logger" in order else "", ids=ids, dir=s.dir, view=str(view),
                            store=store, before=before, after=after, use=use, stray=stray, other=str(other))
        child = run_python(code, {"QUANDREL_POOL_WORKERS": "2"}, timeout=30)
        # Under the address sanitizer its handler ends the process, with a
        # status that depends on how deep the handlers before it were nested.
        status = "sanitizer" if "AddressSanitizer" in child.stderr else child.returncode
        return (status, child.stdout, "Fatal Python error" in child.stderr,
                child.stderr.count("logged")), child.stderr

    if order not in WITHOUT_LIBRARY:
        WITHOUT_LIBRARY[order] = outcome(False)[0]
    usual = WITHOUT_LIBRARY[order]
    assert usual[0] not in (0, 1)
    got, stderr = outcome(True)
    assert got == (usual[0], "read as pread reads\n", *usual[2:]), stderr


WITHOUT_LIBRARY = {}
