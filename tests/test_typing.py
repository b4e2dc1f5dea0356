"""The type stubs: they match the module, and strict mypy takes what the module takes,
on every Python version the wheel serves."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
VERSIONS = ["3.10", "3.11", "3.12", "3.13"]

# Calls beyond the README's; those marked `refused` fail at run time too.
CALLERS = """
strided = np.arange(8, dtype=np.uint64)[::2]
s = quandrel.Store(pathlib.Path("d"), 1, 4, 8, threads=np.int64(2))
data2: bytes = s.fetch(strided) + s.fetch([1, np.uint64(2)])
quandrel.View(b"v.bin").read_records_into(strided, bytearray(10))
quandrel.PageReader().read_pages_into([0], [0], np.empty(4096, dtype=np.uint8))
s.fetch({1, 2})  # refused
quandrel.read_keys(7)  # refused
"""


def mypy(*args, cwd):
    return subprocess.Popen([sys.executable, "-m", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, cwd=cwd)


def test_stubtest(tmp_path):
    p = mypy("mypy.stubtest", "quandrel", cwd=tmp_path)
    out = p.communicate(timeout=600)[0]
    assert p.returncode == 0, out


def test_readme_examples_under_strict_mypy(tmp_path):
    pytest.importorskip("numpy")
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)
    assert blocks
    source = "import pathlib\n" + "\n".join(blocks) + CALLERS
    (tmp_path / "caller.py").write_text(source)
    refused = [str(i) for i, line in enumerate(source.splitlines(), 1) if line.endswith("# refused")]
    # torch is optional: without it, its names are Any. The README reuses
    # names from one example to the next.
    flags = ["--strict", "--no-incremental", "--ignore-missing-imports", "--allow-redefinition"]
    runs = {v: mypy("mypy", *flags, "--python-version", v, "caller.py", cwd=tmp_path)
            for v in VERSIONS}
    for version, p in runs.items():
        out = p.communicate(timeout=600)[0]
        errors = [line.split(":")[1] for line in out.splitlines() if ": error:" in line]
        assert errors == refused, f"Python {version}:\n{out}"
