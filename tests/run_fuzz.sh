#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan+UBSan) and runs each
# for a fixed time, starting from the seed corpus in fuzz/corpus/<target>.
#
#   bash tests/run_fuzz.sh                         # CI: every target, 20 s each
#   FUZZ_SECONDS=14400 bash tests/run_fuzz.sh keyfile   # one target for four hours
#   build/fuzz/fuzz/fuzz_view -jobs=2 build/fuzz/work-view fuzz/corpus/view  # by hand, no end
#
# Targets: view (manifest and view opening), keyfile (read_keys against a
# model), convert (the binding layer's converters and binder in an embedded
# interpreter, against a model in Python; PYTHON picks the interpreter),
# store_manifest (a table's manifest: what is accepted survives being written
# again).
# fuzz/<target>.dict, when there is one, lists tokens of the input's format.
# What a run finds goes to build/fuzz/work-<target>; a crash leaves its input
# in build/fuzz/artifacts/. Replay one with: build/fuzz/fuzz/fuzz_<target> FILE
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
seconds=${FUZZ_SECONDS:-20}
targets=${*:-view keyfile convert store_manifest}

# Only the inputs that grow coverage matter; these bound one input's size so
# that each stays fast (the key-file reader reads 8 KiB at a time, so its
# inputs may reach past that).
declare -A max_len=([view]=4096 [keyfile]=20000 [convert]=512 [store_manifest]=4096)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" -DQUANDREL_BUILD_FUZZERS=ON \
  "-DPython_EXECUTABLE=$(command -v "$PYTHON")" \
  -DQUANDREL_SANITIZE="address,undefined,fuzzer-no-link" >/dev/null
cmake --build build/fuzz -j "${JOBS:-2}" $(for t in $targets; do echo "--target fuzz_$t"; done)

mkdir -p build/fuzz/artifacts
for t in $targets; do
  echo "== fuzzing $t for ${seconds}s"
  mkdir -p "build/fuzz/work-$t"
  log="build/fuzz/$t.log"
  # The read path copies from memory mappings under its own SIGBUS/SIGSEGV
  # handler, which libFuzzer's would replace; ASan still reports real faults.
  # The interpreter's allocator would hide heap errors from ASan; the convert
  # target sets this itself too, for runs by hand, and turns off the leak
  # check (the interpreter keeps much alive). The others check for leaks.
  if ! PYTHONMALLOC=malloc \
    "build/fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
    -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -handle_segv=0 -handle_bus=0 \
    $( [ -f "fuzz/$t.dict" ] && echo "-dict=fuzz/$t.dict" ) \
    -artifact_prefix="build/fuzz/artifacts/$t-" \
    "build/fuzz/work-$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz_$t failed; its input is in build/fuzz/artifacts/, the whole log in $log" >&2
    exit 1
  fi
  grep -E "^(INFO: Seed|stat::number_of_executed_units|stat::new_units_added)" "$log" || true
done
echo "== fuzzing passed"
