"""StoreWriter, the store manifest, open_store."""

import json
import os
import re
import signal

import pytest

import quandrel
from conftest import Tensor, cli, run_python
from quandrel._quandrel import _digest128

CHUNK = 4 << 20
MANIFEST = "quandrel-store.json"


def table(shards, rows_per_shard, width):
    """Every row distinct: row r is r's bytes repeated."""
    return b"".join(r.to_bytes(8, "little") * (width // 8) for r in range(shards * rows_per_shard))


def manifest(d):
    with open(os.path.join(d, MANIFEST)) as f:
        return json.load(f)


# A shard of 6 MB: one whole chunk and one short one. The pieces fall across
# chunk and shard boundaries, so some chunks are digested from the writes and
# others read back at commit.
@pytest.mark.parametrize("piece_rows", [None, 700, 1])
def test_written_table_reads_back_with_digests_of_its_bytes(tmp_path, piece_rows):
    shards, rows_per_shard, width = 3, 1536, 4096
    data = table(shards, rows_per_shard, width)
    d = str(tmp_path / "t")
    total = shards * rows_per_shard
    with quandrel.StoreWriter(d, shards, rows_per_shard, width) as w:
        if piece_rows is None:
            w.write(0, data)
        else:
            step = piece_rows if piece_rows > 1 else 997
            for start in range(0, total - 1000, step):   # the last 1000 rows stay zero
                w.write(start, memoryview(data)[start * width:min(start + step, total - 1000) * width])
            w.write_at([total - 1, 5], data[(total - 1) * width:] + data[5 * width:6 * width])
            data = data[:(total - 1000) * width] + bytes(999 * width) + data[(total - 1) * width:]
    assert sorted(os.listdir(tmp_path)) == ["t"]
    m = manifest(d)
    assert list(m) == ["format", "format_version", "shards", "rows_per_shard", "width",
                       "chunk_bytes", "digest", "files"]
    assert (m["shards"], m["rows_per_shard"], m["width"], m["chunk_bytes"]) == (3, 1536, 4096, CHUNK)
    assert open(os.path.join(d, MANIFEST), "rb").read() == json.dumps(m, separators=(",", ":")).encode()
    shard_bytes = rows_per_shard * width
    for s, f in enumerate(m["files"]):
        body = data[s * shard_bytes:(s + 1) * shard_bytes]
        assert f["name"] == f"shard_{s:03d}.bin" and f["bytes"] == shard_bytes
        assert f["chunks"] == [_digest128(body[i:i + CHUNK]) for i in range(0, shard_bytes, CHUNK)]
    store = quandrel.open_store(d)
    assert store.fetch(range(total)) == data


def test_empty_shards_have_no_chunks(tmp_path):
    with quandrel.StoreWriter(tmp_path / "t", 2, 0, 8):
        pass
    assert manifest(tmp_path / "t")["files"] == [{"name": "shard_000.bin", "bytes": 0, "chunks": []},
                                                 {"name": "shard_001.bin", "bytes": 0, "chunks": []}]


@pytest.mark.parametrize("call, error, message", [
    (lambda w: w.write(3, bytes(128)), ValueError, "2 rows from row 3 run past the table's 4 rows"),
    (lambda w: w.write(0, bytes(65)), ValueError, "not a whole number of rows"),
    (lambda w: w.write(0, memoryview(bytes(256))[::2]), ValueError, "C-contiguous"),
    (lambda w: w.write(0, [0] * 64), TypeError, "argument 'rows': a bytes-like object is required"),
    (lambda w: w.write_at([0, 4], bytes(128)), ValueError, "rowids\\[1\\] = 4"),
    (lambda w: w.write_at([0], bytes(65)), ValueError, "65 bytes for 1 row ids"),
])
def test_bad_rows_are_refused_before_anything_is_written(tmp_path, call, error, message):
    d = str(tmp_path / "t")
    with quandrel.StoreWriter(d, 2, 2, 64) as w:
        with pytest.raises(error, match=message):
            call(w)
    assert quandrel.open_store(d).fetch(range(4)) == bytes(256)


def test_refused_raised_or_aborted_writers_leave_nothing_and_replace_nothing(tmp_path):
    with pytest.raises(FileExistsError) as e:
        quandrel.StoreWriter(tmp_path, 1, 1, 1)
    assert e.value.__notes__ == [f"table directory: {tmp_path}"]
    with pytest.raises(ValueError, match="does not fit in 2"):
        quandrel.StoreWriter(tmp_path / "t", 2**32, 2**32, 2)
    with pytest.raises(OverflowError):
        quandrel.StoreWriter(tmp_path / "t", -1, 1, 1)
    with pytest.raises(KeyError):
        with quandrel.StoreWriter(tmp_path / "a", 2, 10, 8) as w:
            w.write(0, bytes(80))
            raise KeyError
    with quandrel.StoreWriter(tmp_path / "b", 2, 10, 8) as w:
        w.abort()
        with pytest.raises(ValueError, match="aborted"):
            w.write(0, bytes(8))
    assert os.listdir(tmp_path) == []
    # A commit never replaces what appeared at the directory meanwhile.
    w = quandrel.StoreWriter(tmp_path / "t", 1, 10, 8)
    (tmp_path / "t").mkdir()
    with pytest.raises(FileExistsError):
        w.commit()
    assert os.listdir(tmp_path) == ["t"] and os.listdir(tmp_path / "t") == []
    w.abort()   # closed already: nothing to do


def test_killed_writer_leaves_no_table_and_a_later_writer_succeeds(tmp_path):
    d = str(tmp_path / "t")
    proc = run_python(f"""
        import os, signal, quandrel
        w = quandrel.StoreWriter({d!r}, 2, 1000, 64)
        w.write(0, bytes(64 * 1500))
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    assert proc.returncode == -signal.SIGKILL
    assert not os.path.exists(d)
    with quandrel.StoreWriter(d, 2, 1000, 64) as w:
        w.write(0, b"\1" * 64)
    assert quandrel.open_store(d).fetch_one(0) == b"\1" * 64


@pytest.fixture
def written(tmp_path):
    d = str(tmp_path / "t")
    with quandrel.StoreWriter(d, 2, 100, 8) as w:
        w.write(0, table(2, 100, 8))
    return d


def edited(change):
    """Damage that rewrites the manifest with `change` made to it."""
    def damage(d):
        m = manifest(d)
        change(m)
        with open(os.path.join(d, MANIFEST), "w") as f:
            json.dump(m, f)
    return damage


@pytest.mark.parametrize("damage, error, message", [
    (edited(lambda m: m["files"][1].update(name="../x")), ValueError, "files\\[1\\].name is not a plain file name"),
    (edited(lambda m: m["files"][0].update(name="other.bin")), ValueError, "not shard_000.bin or ziruv_000.bin"),
    (edited(lambda m: m.update(width=16)), ValueError, "files\\[0\\].bytes is 800, not the 1600"),
    (edited(lambda m: m.update(format_version=2)), ValueError, "format_version 2 is not supported"),
    (edited(lambda m: m["files"][0]["chunks"].append("0" * 32)), ValueError, "has 2 digests, not 1"),
    (edited(lambda m: m["files"].pop()), ValueError, "1 entries for 2 shards"),
    (lambda d: os.truncate(f"{d}/shard_001.bin", 799), ValueError, "shard_001.bin: 799 bytes, the manifest says 800"),
    (lambda d: os.remove(f"{d}/shard_001.bin"), FileNotFoundError, "^shard file: {d}/shard_001.bin$"),
    # Sparse: reading it whole would take seconds and 8 GB.
    (lambda d: os.truncate(f"{d}/{MANIFEST}", 8 << 30), ValueError, "larger than 128 MiB"),
    (lambda d: os.remove(f"{d}/{MANIFEST}"), FileNotFoundError, "^store manifest: {d}/quandrel-store.json$"),
])
def test_damaged_table_is_refused(written, damage, error, message):
    damage(written)
    with pytest.raises(error) as e:
        quandrel.open_store(written)
    # The OS's own error names no file: its note does.
    said = [str(e.value), *getattr(e.value, "__notes__", [])]
    assert any(re.search(message.format(d=re.escape(written)), line) for line in said), said


def test_store_refuses_a_geometry_other_than_its_manifest(written):
    assert quandrel.Store(written, 2, 100, 8).fetch_one(3) == table(1, 4, 8)[24:]
    with pytest.raises(ValueError, match="is 2 shards of 100 rows x 8 bytes .*, not 2 shards of 50 rows x 16"):
        quandrel.Store(written, 2, 50, 16)


@pytest.mark.parametrize("damage, line", [
    (lambda f: (f.seek(5_000_000), f.write(b"\xff")), "shard_001.bin: bytes 4194304-6291455: digest mismatch"),
    (lambda f: f.truncate(4_194_304), "shard_001.bin: 4194304 bytes, the manifest says 6291456"),
])
def test_verify_names_the_damage(tmp_path, damage, line):
    d = str(tmp_path / "t")
    with quandrel.StoreWriter(d, 2, 1536, 4096) as w:
        w.write(0, table(2, 1536, 4096))
    assert quandrel.verify_store(d) == [] and cli("check", d, "--verify").returncode == 0
    with open(os.path.join(d, "shard_001.bin"), "r+b") as f:
        damage(f)
    assert quandrel.verify_store(d) == [line]
    r = cli("check", d, "--verify")
    assert r.returncode == 1 and f"  {line}\n" in r.stdout


def test_check_takes_its_geometry_from_the_manifest(written, tmp_path):
    r = cli("check", written, "--width", 16)
    assert r.returncode == 2
    assert "says 2 shards of 100 rows x 8 bytes, the flags say 2 shards of 100 rows x 16" in r.stderr
    assert cli("check", tmp_path / "none", "--verify").returncode == 2


np = pytest.importorskip("numpy")


@pytest.mark.parametrize("order", ["C", "F"])
def test_build_from_npy(tmp_path, order):
    a = np.arange(1000 * 6, dtype=np.int32).reshape(1000, 6)
    np.save(tmp_path / "a.npy", np.asarray(a, order=order))
    r = cli("build", tmp_path / "t", "--from", tmp_path / "a.npy", "--shards", 3)
    assert r.returncode == 0, r.stderr
    store = quandrel.open_store(tmp_path / "t")
    assert store.total_rows == 1002 and store.fetch(range(1000)) == a.tobytes()


@pytest.mark.parametrize("source, target, message", [
    ("missing.npy", "t", "missing.npy: No such file or directory"),
    ("flat.npy", "t", "not a 2-D array (its shape is (10,))"),
    ("a.npy", ".", "exists already"),
])
def test_build_refuses_bad_inputs(tmp_path, source, target, message):
    np.save(tmp_path / "flat.npy", np.arange(10))
    np.save(tmp_path / "a.npy", np.zeros((4, 4)))
    before = sorted(os.listdir(tmp_path))
    r = cli("build", tmp_path / target, "--from", tmp_path / source, "--shards", 2)
    assert r.returncode == 2 and message in r.stderr
    assert sorted(os.listdir(tmp_path)) == before


def test_rows_from_a_tensor_through_dlpack(tmp_path):
    a = np.arange(12, dtype=np.float32).reshape(3, 4)
    with quandrel.StoreWriter(tmp_path / "t", 1, 3, 16) as w:
        w.write(0, Tensor(a))
    assert quandrel.open_store(tmp_path / "t").fetch(range(3)) == a.tobytes()
