"""The command line: demo, inspect, check and bench."""

import os

import pytest

from conftest import cli, disk_backed


def test_demo():
    r = cli("demo")
    assert r.returncode == 0, r.stderr
    assert "checked: every row matches what was written" in r.stdout


@pytest.mark.parametrize("name, content, status, expected", [
    (".", None, 1, ["a directory, neither a view nor a key file"]),
    ("pipe", None, 1, ["a FIFO, neither a view nor a key file"]),
    ("keys.txt", "".join(f"{k}\n" for k in range(10, 20)), 0,
     ["key file, 10 keys: [10, 11, 12, 13, 14, 15, 16, 17, ...]"]),
    ("keys.txt", "1\n2\n\n3x\n4\n", 1, ["not a valid key file: line 4: invalid digit found in string"]),
    # For a view, `content` is its manifest.
    ("records.bin", None, 0, ["records.manifest.json (absent)", "slot_bytes: 2,560 (default)",
                              "count: 2 (file size / slot_bytes)"]),
    ("records.bin", '{"slot_bytes": 100, "grans": 3}', 0,
     ["records.manifest.json (used)", "slot_bytes: 100 (manifest)",
      "count: 3 (manifest grans 3, file holds 51)"]),
    ("records.bin", '{"slot_bytes": -100}', 0,
     ["records.manifest.json (ignored: slot_bytes is not an integer", "(it is -100))",
      "slot_bytes: 2,560\n"]),
])
def test_inspect(tmp_path, name, content, status, expected):
    (tmp_path / "records.bin").write_bytes(bytes(range(256)) * 20)
    if name == "pipe":
        os.mkfifo(tmp_path / name)
    elif content is not None:
        (tmp_path / name.replace(".bin", ".manifest.json")).write_text(content)
    r = cli("inspect", tmp_path / name)
    assert r.returncode == status, r.stdout + r.stderr
    for text in expected:
        assert text in (r.stdout if status == 0 else r.stderr)


@pytest.mark.parametrize("damage, status, expected", [
    (lambda p: os.rename(p, p.replace("shard_", "ziruv_")), 0,
     ["ziruv_002.bin      7.8 KiB  ok", "all 4 shards present and whole"]),
    (os.remove, 1, ["shard 2  ziruv_002.bin           -  missing: neither shard_002.bin nor ziruv_002.bin",
                    "3 of 4 shards whole; 1 not: shard 2"]),
    (lambda p: os.truncate(p, 4000), 1,
     ["shard 2  shard_002.bin      3.9 KiB  short by 3.9 KiB: rows from 62 on read as zeros"]),
    (lambda p: os.truncate(p, 8064), 1,
     ["shard 2  shard_002.bin      7.9 KiB  long: 64 B past the last row are never read"]),
])
def test_check(sample_store, damage, status, expected):
    store = sample_store(shards=4, rows_per_shard=125, width=64)
    damage(os.path.join(store.dir, "shard_002.bin"))
    r = cli("check", store.dir, "--shards", 4, "--rows-per-shard", 125, "--width", 64)
    assert r.returncode == status, r.stdout + r.stderr
    words = " ".join(r.stdout.split())  # column widths aside
    for text in expected:
        assert " ".join(text.split()) in words


def test_bench(sample_store):
    store = sample_store(shards=2, rows_per_shard=4000, width=64)
    table = ["bench", store.dir, "--shards", 2, "--rows-per-shard", 4000, "--width", 64]
    r = cli(*table, "--batch", "1", "--seconds", 0.05, "--cold")
    assert r.returncode == 0, r.stderr
    # mode, batch, fetches, rows/s, p50 and its unit, p99 and its unit, share from the device
    hot, cold = (line.split() for line in r.stdout.splitlines()[2:4])
    assert (hot[0], cold[0]) == ("hot", "cold")
    if disk_backed(store.dir):  # the cold run reads the disk, the hot one memory
        assert int(cold[8][:-1]) >= 50 > int(hot[8][:-1]), r.stdout
    r = cli(*table[:3], 3, *table[4:])
    assert r.returncode == 1 and "(shard file: neither shard_002.bin nor ziruv_002.bin in " in r.stderr
