"""Reading through file mappings: choosing the reader, and files that shrink
under live readers."""

import pytest

from conftest import run_python
from quandrel import Store, View


@pytest.mark.parametrize("value", ["mmap", "Mapped", "pread "])
def test_unknown_reader_is_refused_at_opening(sample_store, tmp_path, monkeypatch, value):
    s = sample_store(shards=2, rows_per_shard=10, width=8)
    view_file = tmp_path / "records.bin"
    view_file.write_bytes(bytes(2560))
    monkeypatch.setenv("QUANDREL_READER", value)
    for open_ in (lambda: Store(s.dir, 2, 10, 8), lambda: View(str(view_file))):
        with pytest.raises(ValueError, match="'auto', 'mapped' or 'pread'"):
            open_()
    # Read at every opening, not once per process.
    for good in ("", "auto", "mapped", "pread"):
        monkeypatch.setenv("QUANDREL_READER", good)
        assert Store(s.dir, 2, 10, 8).fetch([13]) == s.row(13)
        assert View(str(view_file)).read_record(0) == bytes(2560)


# Opens each file mapped and with pread, cuts it from another process while
# the mapped reader keeps reading, then compares. In a child, so that a fault
# we fail to recover ends only the child; faulthandler is on, as under
# pytest, so our handler has to chain to it and still recover.
SHRINK = """
import faulthandler, os, subprocess, sys
faulthandler.enable()
from quandrel import Store, View

def both(open_):
    os.environ["QUANDREL_READER"] = "mapped"
    mapped = open_()
    os.environ["QUANDREL_READER"] = "pread"
    return mapped, open_()

def outcome(read):
    try:
        return read()
    except OSError as e:
        return "OSError: " + str(e)

def cut_while(path, read):
    cut = subprocess.Popen([sys.executable, "-c", f"import os; os.truncate({{path!r}}, {cut})"])
    while cut.poll() is None:
        outcome(read)
    assert cut.wait() == 0

stores = both(lambda: Store({dir!r}, 2, {rows}, {width}))
ids = list(range(0, 2 * {rows}, 3))
cut_while({shard!r}, lambda: stores[0].fetch(ids))
got = [outcome(lambda: s.fetch(ids)) for s in stores]
assert got[0] == got[1], "mapped and pread differ"
print(got[0].hex())

views = both(lambda: View({view!r}))
cut_while({view!r}, lambda: views[0].read_records(list(range(0, 100, 7))))
for i in ([1, 99], [99], [1]):
    got = [outcome(lambda: v.read_records(i)) for v in views]
    assert got[0] == got[1], got
"""


def test_files_cut_under_live_readers_read_as_pread_reads_them(sample_store, tmp_path):
    rows, width, cut = 4096, 64, 100_000  # the cut is inside a page
    s = sample_store(shards=2, rows_per_shard=rows, width=width)
    view = tmp_path / "records.bin"
    view.write_bytes(bytes(range(256)) * 1000)  # 100 records of 2560 bytes
    child = run_python(SHRINK.format(dir=s.dir, rows=rows, width=width, cut=cut,
                                     shard=f"{s.dir}/shard_001.bin", view=str(view)))
    assert child.returncode == 0, child.stderr
    assert bytes.fromhex(child.stdout.strip()) == s.rows(range(0, 2 * rows, 3))
    assert s.row(2 * rows - 1) == bytes(width)  # past the cut: zeros
