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
            (tmp_path / "records.manifest.json").write_bytes(text.encode("utf-8", "surrogateescape"))
        return str(path)
    return make


@pytest.mark.parametrize("records, slot, manifest, extra, count, slot_bytes", [
    (3, None, None, b"x" * 2559, 3, 2560),  # no manifest: 2560-byte slots
    (24, 4096, {"slot_bytes": 4096, "grans": 0}, b"", 24, 4096),
    (5, 16, {"slot_bytes": 0}, b"", 0, 0),
])
def test_counts(make_view, records, slot, manifest, extra, count, slot_bytes):
    view = View(make_view(records, slot, manifest, extra=extra))
    assert (view.len(), view.slot_bytes()) == (count, slot_bytes)


MiB = 1 << 20


# Refused values give that key's default; a text that is not one JSON object
# of at most 1 MiB gives both defaults.
@pytest.mark.parametrize("text, slot_bytes, grans, reason", [
    (None, 2560, 0, None),
    ('{"slot_bytes": 4096, "grans": 3, "other": [1]}', 4096, 3, ""),
    ('{"slot_bytes": 18446744073709551615}', 2**64 - 1, 0, ""),
    (" " * (MiB - 17) + '{"slot_bytes": 8}', 8, 0, ""),
    (" " * (MiB - 17) + '{"slot_bytes": 8} ', 2560, 0, "larger than 1 MiB"),
    ('{"slot_bytes": -0, "grans": 9}', 2560, 9, "slot_bytes is not an integer"),
    ('{"slot_bytes": 18446744073709551616}', 2560, 0, "slot_bytes is not an integer"),
    ('{"slot_bytes": 512, "grans": 1.5}', 512, 0, "grans is not an integer"),
    ('{"grans": 1E+400}', 2560, 0, "not valid JSON: number overflow"),  # no double holds it
    ("[4096]", 2560, 0, "the top-level value is not an object"),
    ('{"n": "\udcff"}', 2560, 0, "not valid JSON: "),  # quotes a non-UTF-8 byte
    ('\ufeff{"slot_bytes": 4096}', 2560, 0, "not valid JSON: it starts with a byte-order mark"),
])
def test_manifest_info(make_view, text, slot_bytes, grans, reason):
    path = make_view(0, manifest=text)
    state = "absent" if reason is None else "ignored" if reason else "used"
    info = _manifest_info(path)
    assert info[:4] == (path.replace("records.bin", "records.manifest.json"), state, slot_bytes, grans)
    assert info[4].startswith(reason or "") and bool(info[4]) == bool(reason)


def test_endless_manifest_is_read_no_further_than_the_limit(make_view, tmp_path):
    path = make_view(3, 16)
    (tmp_path / "records.manifest.json").symlink_to("/dev/zero")
    assert _manifest_info(path)[1:] == ("ignored", 2560, 0, "larger than 1 MiB")


R = [record(i, 16) for i in range(7)]


@pytest.mark.parametrize("call, expected", [
    (lambda v: v.read_record(6), R[6]),
    (lambda v: v.read_records([2, 0, 2]), R[2] + R[0] + R[2]),
    (lambda v: v.close(), None),
    (lambda v: v.read_record(7), (OSError, r"^view record index 7 out of range \(count 7\)$")),
    (lambda v: v.read_records([0, 99]), (OSError, r"^view record index 99 out of range \(count 7\)$")),
])
def test_reads(make_view, call, expected):
    view = View(make_view(7, 16, {"slot_bytes": 16}))
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1]):
            call(view)
    else:
        assert call(view) == expected
    assert view.read_record(0) == R[0]  # still usable


@pytest.mark.parametrize("slot, error", [(2**40, OSError), (2**63, Fault)])
@pytest.mark.parametrize("read", [lambda v: v.read_record(0), lambda v: v.read_records([0])],
                         ids=["read_record", "read_records"])
def test_index_checked_before_the_file_sized_allocation(make_view, slot, error, read):
    view = View(make_view(0, 16, {"slot_bytes": slot}))
    # No `as`: a traceback kept in a local would hold the view in a cycle
    # that the collector may free on another thread.
    message = {OSError: r"view record index 0 out of range \(count 0\)", Fault: "capacity overflow"}
    with pytest.raises(error, match=f"^{message[error]}$"):
        read(view)


@pytest.mark.parametrize("make, code", [
    (os.mkdir, errno.EISDIR),
    (os.mkfifo, errno.ESPIPE),  # would wait for a writer, with the interpreter lock held
])
def test_unreadable_manifest_fails_the_open(make_view, tmp_path, make, code):
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


def test_bound_to_its_thread(make_view, monkeypatch):
    path = make_view(3, 16, {"slot_bytes": 16})
    view = View(path)
    fault = on_other_thread(lambda: view.read_records([0]))
    assert type(fault) is Fault and str(fault) == "_quandrel::View is unsendable, but sent to another thread"
    assert view.read_record(1) == record(1, 16)  # still fine at home
    # A thread that has ended often hands its id to the next one; that one is
    # still another thread. Dropped away from its own thread, a view is
    # reported, and its file is closed all the same.
    before = len(os.listdir("/proc/self/fd"))
    made, reports = [], []
    t = threading.Thread(target=lambda: made.append(View(path)))
    t.start()
    t.join()
    assert str(on_other_thread(made[0].len)) == "_quandrel::View is unsendable, but sent to another thread"
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    made.clear()
    assert len(os.listdir("/proc/self/fd")) == before
    assert [(r.exc_type, str(r.exc_value)) for r in reports] == [
        (RuntimeError, "_quandrel::View is unsendable, but is being dropped on another thread")]
