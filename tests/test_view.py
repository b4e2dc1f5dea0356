"""View: record files with an optional manifest, read from their own thread."""

import errno
import faulthandler
import json
import os
import sys
import threading

import pytest

from conftest import on_other_thread
from quandrel import Fault, View
from quandrel._quandrel import _manifest_info


def record(i: int, slot: int) -> bytes:
    return bytes((i * 31 + j) & 0xFF for j in range(slot))


@pytest.fixture
def make_view(tmp_path):
    def make(records, slot=None, manifest=None, name="records.bin", extra=b""):
        size = slot or 2560
        path = tmp_path / name
        path.write_bytes(b"".join(record(i, size) for i in range(records)) + extra)
        if manifest is not None:
            text = manifest if isinstance(manifest, str) else json.dumps(manifest)
            (tmp_path / "records.manifest.json").write_text(text)
        return str(path)
    return make


@pytest.mark.parametrize("records, slot, manifest, extra, count, slot_bytes", [
    (3, None, None, b"x" * 2559, 3, 2560),            # no manifest: 2560-byte slots
    (0, None, None, b"x" * 2559, 0, 2560),
    (24, 4096, {"slot_bytes": 4096, "grans": 10}, b"y" * 1696, 10, 4096),
    (24, 4096, {"slot_bytes": 4096, "grans": 50}, b"", 24, 4096),
    (24, 4096, {"slot_bytes": 4096, "grans": 0}, b"", 24, 4096),
    (5, 16, {"slot_bytes": 0}, b"", 0, 0),
    (5, 2560, '{"slot_bytes": 4096.0}', b"", 5, 2560),  # not an integer: the default
])
def test_counts(make_view, records, slot, manifest, extra, count, slot_bytes):
    view = View(make_view(records, slot, manifest, extra=extra))
    assert view.len() == count
    assert view.slot_bytes() == slot_bytes


@pytest.mark.parametrize("n", [0, 1, 3, 4, 33, 100, 1000])
def test_read_records_batches(make_view, n):
    view = View(make_view(7, 16, {"slot_bytes": 16}))
    indices = [(i * 5 + 3) % 7 for i in range(n)]
    assert view.read_records(indices) == b"".join(record(i, 16) for i in indices)


def test_read_record_and_errors(make_view):
    view = View(make_view(7, 16, {"slot_bytes": 16}))
    assert view.read_record(6) == record(6, 16)
    assert view.read_records([2, 0, 2]) == record(2, 16) + record(0, 16) + record(2, 16)
    with pytest.raises(OSError) as info:
        view.read_record(7)
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value) == "view record index 7 out of range (count 7)"
    with pytest.raises(OSError, match=r"^view record index 99 out of range \(count 7\)$"):
        view.read_records([0, 99])
    with pytest.raises(OverflowError):
        view.read_record(-1)
    with pytest.raises(TypeError, match=r"^argument 'indices': Can't extract `str` to `Vec`$"):
        view.read_records("0")
    with pytest.raises(TypeError):
        len(view)
    assert view.close() is None
    assert view.read_record(0) == record(0, 16)


@pytest.mark.parametrize("slot, error", [(2**40, OSError), (2**63, Fault)])
@pytest.mark.parametrize("read", [lambda v: v.read_record(0), lambda v: v.read_records([0])],
                         ids=["read_record", "read_records"])
def test_index_checked_before_the_file_sized_allocation(make_view, slot, error, read):
    view = View(make_view(0, 16, {"slot_bytes": slot}))
    with pytest.raises(error) as info:
        read(view)
    assert str(info.value) == {OSError: "view record index 0 out of range (count 0)",
                               Fault: "capacity overflow"}[error]


def test_missing_view_with_manifest(tmp_path):
    (tmp_path / "gone.manifest.json").write_text('{"slot_bytes": 16}')
    with pytest.raises(FileNotFoundError) as info:
        View(str(tmp_path / "gone.bin"))
    assert str(info.value) == "No such file or directory (os error 2)"


@pytest.mark.parametrize("content, state, slot_bytes, grans, reason", [
    (None, "absent", 2560, 0, ""),
    (b'{"slot_bytes": 16, "grans": 2}', "used", 16, 2, ""),
    (b'{"slot_bytes": "16", "grans": 2}', "ignored", 2560, 2, "slot_bytes is not an integer"),
    (b'{"n": "\xff"}', "ignored", 2560, 0, "not valid JSON: "),  # reason quotes a non-UTF-8 byte
])
def test_manifest_info(tmp_path, content, state, slot_bytes, grans, reason):
    manifest = tmp_path / "records.manifest.json"
    if content is not None:
        manifest.write_bytes(content)
    info = _manifest_info(str(tmp_path / "records.bin"))
    assert info[:4] == (str(manifest), state, slot_bytes, grans)
    assert info[4].startswith(reason) and bool(info[4]) == bool(reason)


@pytest.mark.parametrize("make, code", [
    (os.mkdir, errno.EISDIR),
    (os.mkfifo, errno.ESPIPE),  # would wait for a writer, with the interpreter lock held
    (lambda p: os.close(os.open(p, os.O_CREAT, 0)), errno.EACCES),
])
def test_unreadable_manifest_fails_the_open(make_view, tmp_path, make, code):
    if code == errno.EACCES and os.geteuid() == 0:
        pytest.skip("root reads any file")
    path = make_view(3, 16)
    manifest = tmp_path / "records.manifest.json"
    make(str(manifest))
    faulthandler.dump_traceback_later(20, exit=True)
    try:
        for call in (View, _manifest_info):
            with pytest.raises(OSError) as info:
                call(path)
            assert str(info.value).endswith(f"(os error {code})")
            assert info.value.__notes__ == [f"manifest: {manifest}"]
    finally:
        faulthandler.cancel_dump_traceback_later()


def test_bound_to_its_thread(make_view):
    view = View(make_view(3, 16, {"slot_bytes": 16}))
    methods = (view.len, view.slot_bytes, view.close, lambda: view.read_record(0),
               lambda: view.read_records([0]))
    seen = [on_other_thread(m) for m in methods]
    assert [str(f) if type(f) is Fault else repr(f) for f in seen] == [
        "_quandrel::View is unsendable, but sent to another thread"] * 5
    assert view.read_record(1) == record(1, 16)  # still fine at home


def test_dropped_on_another_thread_reports_unraisable(make_view, monkeypatch):
    view = View(make_view(3, 16, {"slot_bytes": 16}))
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u))
    box = [view]
    del view
    t = threading.Thread(target=box.clear)
    t.start()
    t.join()
    assert len(reports) == 1
    assert reports[0].exc_type is RuntimeError
    assert str(reports[0].exc_value) == "_quandrel::View is unsendable, but is being dropped on another thread"


def test_binding_survives_thread_id_reuse(make_view, monkeypatch):
    # A thread that has ended often hands its id to the next one; that one is
    # still another thread.
    path = make_view(3, 16, {"slot_bytes": 16})
    made = []
    t = threading.Thread(target=lambda: made.append(View(path)))
    t.start()
    t.join()
    fault = on_other_thread(made[0].len)
    assert type(fault) is Fault
    assert str(fault) == "_quandrel::View is unsendable, but sent to another thread"
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    made.clear()  # dropped on the main thread, not its own
    assert [str(r.exc_value) for r in reports] == [
        "_quandrel::View is unsendable, but is being dropped on another thread"]
