"""An interpreter embedded in a program, finalised and started again."""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quandrel

PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

int main(void) {
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(
            "from quandrel import _quandrel as q\n"
            "assert q.abi_version() == 1, q.abi_version\n"
            "assert q.rowids_for_seq([5], 1) == q.rowids_for_seq([5], 1) != []\n"
            "assert q.View.__name__ == 'View' and q.Fault.__name__ == 'Fault'\n"
            "try:\n"
            "    q.View('/nonexistent/v.bin')\n"
            "except OSError as e:\n"
            "    assert str(e).endswith('(os error 2)'), e\n"
            "print('round ok')\n") != 0) {
      return 1;
    }
    if (Py_FinalizeEx() < 0) return 2;
  }
  return 0;
}
"""


def test_module_survives_reinitialisation(tmp_path):
    version = sysconfig.get_python_version()
    config = os.path.join(sys.base_prefix, "bin", f"python{version}-config")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not os.path.exists(config) or compiler is None:
        pytest.skip("no python-config or C compiler for embedding")
    flags = subprocess.run([config, "--embed", "--cflags", "--ldflags"], capture_output=True,
                           text=True, check=True).stdout.split()
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        flags.append("-Wl,-export-dynamic")  # the extension finds the interpreter in the program
    source = tmp_path / "embed.c"
    source.write_text(PROGRAM)
    program = str(tmp_path / "embed")
    subprocess.run([compiler, str(source), "-o", program, *flags], check=True)
    site = os.path.dirname(os.path.dirname(quandrel.__file__))
    env = {"PATH": os.environ.get("PATH", ""), "PYTHONPATH": site}
    done = subprocess.run([program], capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout) == (0, "round ok\n" * 2), done.stderr
