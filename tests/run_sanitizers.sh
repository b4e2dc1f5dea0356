#!/usr/bin/env bash
# The checked builds: the C++ tests under ASan+UBSan, the Python tests against
# an ASan+UBSan build of the extension, the threaded C++ tests (pool, store,
# view, async reads) under TSan, the async reads' Python tests against a TSan
# build of the extension, and everything built by clang with -Wthread-safety,
# which checks that what a mutex guards is only touched with it held. Any
# report fails the run.
#
#   bash tests/run_sanitizers.sh              # everything
#   bash tests/run_sanitizers.sh asan tsan    # some of: asan, python, tsan, python-tsan, tsa
#
# Builds go to build/asan, build/tsan and build/tsa; PYTHON picks the
# interpreter for the Python tests (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
parts=${*:-asan python tsan python-tsan tsa}
jobs=${JOBS:-2}

# The read path copies from memory mappings under its own SIGBUS
# handler. The sanitizer keeps reporting faults, but lets the program install
# that handler over its own; leaks are not what these runs look for (CPython
# keeps much alive until exit).
asan_options="detect_leaks=0:abort_on_error=1:handle_segv=1:handle_sigbus=1:allow_user_segv_handler=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# The module of a checked build beside a copy of the package's Python files
# in BUILD_DIR/site (no wheel, so nothing checked can ship), and a virtual
# environment with the test dependencies in $venv.
venv=build/venv-asan
checked_package() {  # checked_package BUILD_DIR
  pkg=$1/site
  rm -rf "$pkg" && mkdir -p "$pkg/quandrel"
  cp -r python/quandrel/* "$pkg/quandrel/"
  cp "$1"/_quandrel*.so "$pkg/quandrel/"
  "$venv/bin/python" -c "import pytest, numpy" 2>/dev/null || { "$PYTHON" -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest numpy; }
}

configure() {  # configure BUILD_DIR SANITIZERS TARGET
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUANDREL_BUILD_TESTS=ON \
    -DQUANDREL_BUILD_MODULE=ON "-DPython_EXECUTABLE=$(command -v "$PYTHON")" \
    -DQUANDREL_WERROR=ON "-DQUANDREL_SANITIZE=$2" >/dev/null
  cmake --build "$1" -j "$jobs" --target "$3"
}

for part in $parts; do
  case $part in
    asan)
      echo "== C++ tests under ASan+UBSan"
      configure build/asan "address,undefined" quandrel_cpp_tests
      ASAN_OPTIONS=$asan_options build/asan/quandrel_cpp_tests --gtest_brief=1
      ;;
    python)
      echo "== Python tests against an ASan+UBSan extension"
      configure build/asan "address,undefined" _quandrel
      checked_package build/asan
      # The interpreter is not instrumented: the runtime must come first, and
      # libstdc++ with it so that the sanitizer sees its operator new. Python's
      # own allocator would hide heap errors inside its arenas.
      preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
      # The embedding test builds and runs a program of its own, which this
      # runtime cannot be preloaded into; the plain suite runs it, and the
      # remote tests too (pure Python over the object-storage client, which
      # this environment does not install).
      (cd tests && PYTHONPATH="$PWD/../$pkg" LD_PRELOAD="$preload" ASAN_OPTIONS=$asan_options \
        PYTHONMALLOC=malloc "../$venv/bin/python" -m pytest -q -p no:cacheprovider -x \
        --deselect tests/test_embedding.py::test_module_survives_reinitialisation \
        --ignore=test_remote.py .)
      ;;
    tsan)
      echo "== pool, store and view tests under TSan"
      configure build/tsan thread quandrel_cpp_tests
      # halt_on_error: the first race fails the run (TSan exits 66 otherwise
      # only at the end, which a test child's own exit code could mask).
      TSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
        build/tsan/quandrel_cpp_tests --gtest_brief=1 \
        --gtest_filter='Pool*:*PoolInFreshProcess*:*Store*:View*:Concurrent*:Async*:ReadStats*'
      ;;
    python-tsan)
      echo "== async reads' Python tests against a TSan extension"
      # Reads in flight while handles, buffers, stores and the interpreter go.
      configure build/tsan thread _quandrel
      checked_package build/tsan
      (cd tests && PYTHONPATH="$PWD/../$pkg" \
        LD_PRELOAD="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so)" \
        TSAN_OPTIONS="suppressions=$PWD/sanitizers/tsan.supp:halt_on_error=1" \
        "../$venv/bin/python" -m pytest -q -p no:cacheprovider -x test_async.py)
      ;;
    tsa)
      echo "== clang -Wthread-safety build"
      CXX=clang++ cmake -S . -B build/tsa -G Ninja -DQUANDREL_BUILD_TESTS=ON -DQUANDREL_BUILD_MODULE=ON \
        "-DPython_EXECUTABLE=$(command -v "$PYTHON")" -DQUANDREL_WERROR=ON \
        "-DCMAKE_CXX_FLAGS=-Wthread-safety -Wthread-safety-beta" >/dev/null
      cmake --build build/tsa -j "$jobs"
      ;;
    *) echo "unknown part: $part" >&2; exit 2 ;;
  esac
done
echo "== sanitizers passed"
