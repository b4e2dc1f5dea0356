"""The command line: demo, inspect, check and bench."""

import json
import os
import subprocess
import sys

import pytest

from conftest import SampleStore


def run(*args):
    return subprocess.run([sys.executable, "-m", "quandrel", *map(str, args)], capture_output=True,
                          text=True, timeout=300)


def test_demo():
    r = run("demo")
    assert r.returncode == 0, r.stderr
    assert "checked: every row matches what was written" in r.stdout


def make_inspected(tmp_path, case):
    """The path to inspect for `case`, with whatever it needs beside it."""
    view = tmp_path / "records.bin"
    view.write_bytes(bytes(range(256)) * 20)
    manifest = tmp_path / "records.manifest.json"
    keys = tmp_path / "keys.txt"
    if case == "directory":
        return tmp_path
    if case == "fifo":
        os.mkfifo(tmp_path / "pipe")
        return tmp_path / "pipe"
    if case == "keys":
        keys.write_text("\n".join(str(k) for k in range(10, 20)) + "\n")
    if case == "bad key line":
        keys.write_text("1\n2\n\n3x\n4\n")
    if case in ("keys", "bad key line"):
        return keys
    if case == "manifest used":
        manifest.write_text(json.dumps({"slot_bytes": 100, "grans": 3}))
    if case == "manifest malformed":
        manifest.write_text('{"slot_bytes": 100,')
    if case == "manifest negative":
        manifest.write_text('{"slot_bytes": -100}')
    return view


@pytest.mark.parametrize("case, status, expected", [
    ("directory", 1, ["a directory, neither a view nor a key file"]),
    ("fifo", 1, ["a FIFO, neither a view nor a key file"]),
    ("keys", 0, ["key file, 10 keys: [10, 11, 12, 13, 14, 15, 16, 17, ...]"]),
    ("bad key line", 1, ["not a valid key file: line 4: invalid digit found in string"]),
    ("no manifest", 0, ["records.manifest.json (absent)", "slot_bytes: 2,560 (default)",
                        "count: 2 (file size / slot_bytes)"]),
    ("manifest used", 0, ["records.manifest.json (used)", "slot_bytes: 100 (manifest)",
                          "count: 3 (manifest grans 3, file holds 51)"]),
    ("manifest malformed", 0, ["records.manifest.json (ignored: not valid JSON: ", "slot_bytes: 2,560\n"]),
    ("manifest negative", 0, ["records.manifest.json (ignored: slot_bytes is not an integer",
                              "(it is -100))", "slot_bytes: 2,560\n"]),
])
def test_inspect(tmp_path, case, status, expected):
    r = run("inspect", make_inspected(tmp_path, case))
    assert r.returncode == status, r.stdout + r.stderr
    for text in expected:
        assert text in (r.stdout if status == 0 else r.stderr)


def shard_file(store, i):
    return os.path.join(store.dir, f"shard_{i:03d}.bin")


@pytest.mark.parametrize("damage, status, expected", [
    (None, 0, ["all 4 shards present and whole"]),
    ("rename", 0, ["ziruv_002.bin      7.8 KiB  ok", "all 4 shards present and whole"]),
    ("remove", 1, ["shard 2  ziruv_002.bin           -  missing: neither shard_002.bin nor ziruv_002.bin",
                   "3 of 4 shards whole; 1 not: shard 2"]),
    ("shorten", 1, ["shard 2  shard_002.bin      3.9 KiB  short by 3.9 KiB: rows from 62 on read as zeros"]),
    ("lengthen", 1, ["shard 2  shard_002.bin      7.9 KiB  long: 64 B past the last row are never read"]),
])
def test_check(sample_store, damage, status, expected):
    store = sample_store(shards=4, rows_per_shard=125, width=64)
    path = shard_file(store, 2)
    if damage == "rename":
        os.rename(path, os.path.join(store.dir, "ziruv_002.bin"))
    elif damage == "remove":
        os.remove(path)
    elif damage in ("shorten", "lengthen"):
        os.truncate(path, 4000 if damage == "shorten" else 8064)
    r = run("check", store.dir, "--shards", 4, "--rows-per-shard", 125, "--width", 64)
    assert r.returncode == status, r.stdout + r.stderr
    words = " ".join(r.stdout.split())  # column widths aside
    for text in expected:
        assert " ".join(text.split()) in words


@pytest.mark.parametrize("extra, modes", [([], ["hot"]), (["--cold"], ["hot", "cold"])])
def test_bench(sample_store, extra, modes):
    store = sample_store(shards=2, rows_per_shard=100, width=16)
    r = run("bench", store.dir, "--shards", 2, "--rows-per-shard", 100, "--width", 16,
            "--batch", "1,8", "--seconds", 0.05, *extra)
    assert r.returncode == 0, r.stderr
    table = [line.split() for line in r.stdout.splitlines()[2:]]
    assert [row[:2] for row in table] == [[m, b] for m in modes for b in ("1", "8")]
    r = run("bench", store.dir, "--shards", 3, "--rows-per-shard", 100, "--width", 16)
    assert r.returncode == 1 and "ziruv_002.bin" in r.stderr
