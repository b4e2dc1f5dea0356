#!/usr/bin/env bash
# Every test: builds the wheel once, runs the C++ tests (GoogleTest), then the
# Python tests against that wheel installed in a fresh virtual environment.
#
#   PYTHON=python3.12 bash tests/run_all.sh     # test under another interpreter
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

# Build with the oldest CPython >= 3.10 at hand: the module uses only the 3.10
# stable ABI, and compiling against the oldest headers is what proves it.
builder=$PYTHON
if command -v pyenv >/dev/null 2>&1; then
  oldest=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.1[0-9]+\.[0-9]+$' | sort -V | head -n 1 || true)
  if [ -n "$oldest" ]; then builder="$(pyenv root)/versions/$oldest/bin/python"; fi
fi

# CMake and Ninja from PyPI, in an environment of the script's own, with the
# pip that builds the wheel: a system CMake may be too old, and a system
# Python may have no pip or refuse installs outside a virtual environment.
version=$("$builder" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tools="$PWD/build/tools-$version"
if [ ! -x "$tools/bin/cmake" ] || [ ! -x "$tools/bin/ninja" ]; then
  echo "== CMake and Ninja from PyPI into $tools"
  rm -rf "$tools"
  "$builder" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
fi

echo "== building the wheel with $("$builder" --version)"
rm -rf dist
# On PATH for the build alone, where the build backend looks for them: the
# tests below must still find the interpreters the caller meant.
PATH="$tools/bin:$PATH" CMAKE_ARGS="-DQUANDREL_WERROR=ON" \
  "$tools/bin/python" -m pip wheel . --no-deps -w dist -q --disable-pip-version-check
wheel=$(ls dist/quandrel-*.whl)
echo "   $wheel"
# A wheel without the extension would only fail later, at import.
"$builder" - "$wheel" <<'EOF'
import sys, zipfile
if "quandrel/_quandrel.abi3.so" not in zipfile.ZipFile(sys.argv[1]).namelist():
    sys.exit("the wheel holds no quandrel/_quandrel.abi3.so")
EOF

echo "== C++ tests"
"$tools/bin/cmake" -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
  -DQUANDREL_BUILD_TESTS=ON -DQUANDREL_WERROR=ON >/dev/null
"$tools/bin/cmake" --build build/cpp-tests
"$tools/bin/ctest" --test-dir build/cpp-tests --output-on-failure -j 2

bash tests/run_python_tests.sh "$PYTHON" "$wheel"
