"""The command line: the demo and `inspect`."""

import json
import subprocess
import sys

import pytest


def run(*args):
    return subprocess.run([sys.executable, "-m", "quandrel", *args], capture_output=True, text=True,
                          timeout=300)


def test_demo():
    r = run("demo")
    assert r.returncode == 0, r.stderr
    assert "checked: every row matches what was written" in r.stdout


@pytest.mark.parametrize("manifest, expected", [
    (None, ["slot_bytes: 2560 (default)", "count: 2 (file size / slot_bytes)", "(absent)"]),
    ({"slot_bytes": 100, "grans": 3}, ["slot_bytes: 100 (manifest)",
                                       "count: 3 (manifest grans 3, file holds 51)", "(found)"]),
])
def test_inspect_view(tmp_path, manifest, expected):
    view = tmp_path / "records.bin"
    view.write_bytes(bytes(range(256)) * 20)
    if manifest:
        (tmp_path / "records.manifest.json").write_text(json.dumps(manifest))
    r = run("inspect", str(view))
    assert r.returncode == 0, r.stderr
    for text in expected:
        assert text in r.stdout


def test_inspect_keys(tmp_path):
    keys = tmp_path / "keys.txt"
    keys.write_text("\n".join(str(k) for k in range(10, 20)) + "\n")
    r = run("inspect", str(keys))
    assert r.returncode == 0, r.stderr
    assert "key file, 10 keys: [10, 11, 12, 13, 14, 15, 16, 17, ...]" in r.stdout
    r = run("inspect", "--as", "keys", str(tmp_path / "missing"))
    assert r.returncode == 1 and "(os error 2)" in r.stderr
