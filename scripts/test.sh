#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test suite: the unit, integration and
# system tests of the normal build, then the unit and integration tests again under AddressSanitizer
# with UndefinedBehaviorSanitizer and under ThreadSanitizer, and a short run of every fuzzer.
# The suites that drive a display mostly wait on it: the sanitizer and fuzz builds are compiled
# meanwhile, at a lower priority so the tests keep the processor they need.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
started=$(date +%s)
step() { printf '\n== %s [%d s]\n' "$*" "$(($(date +%s) - started))"; }

step "Dependencies of the build"
scripts/setup-deps.sh build

# What only the suites use (X servers, compositors, the browser and its driver) is installed
# while the program and its tests compile.
step "Build (the suites' own dependencies are installed meanwhile)"
tools_log=$(mktemp)
(scripts/setup-deps.sh test && cd tests/e2e && npm install --no-audit --no-fund --loglevel=error) \
  >"$tools_log" 2>&1 &
tools=$!
# Line tables (-g1) keep the backtraces of a failing suite and spare a sixth of the compile time.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
# The benchmarks are compiled later, beside the suites: no suite runs them.
cmake --build build -j "$jobs" --target tovel-host web/all tests/all
if ! wait "$tools"; then
  step "Installing the suites' dependencies failed"
  cat "$tools_log"
  exit 1
fi
rm -f "$tools_log"

step "Tests (the benchmarks, the sanitizer and fuzz builds are compiled meanwhile)"
tests_log=$(mktemp)
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300) >"$tests_log" 2>&1 &
tests=$!
builds_log=$(mktemp)
sanitizers=("address,undefined" "thread")
# The suites each sanitizer build compiles and runs. The desktops' unit tests run on one thread,
# where the thread sanitizer has nothing to find; leaving them out spares it the backends.
suites() {
  case $1 in
    thread) echo tovel_unit_tests tovel_integration_tests ;;
    *) echo tovel_unit_tests tovel_desktop_unit_tests tovel_integration_tests ;;
  esac
}
builds_failed=0
nice -n 15 cmake --build build -j "$jobs" >>"$builds_log" 2>&1 || builds_failed=1
for sanitizer in "${sanitizers[@]}"; do
  dir="build-${sanitizer%%,*}"
  # Line tables are all a sanitizer's report needs, and a sixth of the compile time is spared.
  # Compiled as a few large sources (a unity build), they take half the processor time: the
  # headers are parsed once per batch, not once per file. The main build above keeps one object
  # per source, so a file that does not include what it uses is still found.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
    -DCMAKE_UNITY_BUILD=ON -DTOVEL_SANITIZE="$sanitizer" -DTOVEL_BUILD_BENCH=OFF \
    >>"$builds_log" 2>&1 &&
    nice -n 15 cmake --build "$dir" -j "$jobs" --target $(suites "$sanitizer") \
      >>"$builds_log" 2>&1 || builds_failed=1
done
nice -n 15 scripts/fuzz.sh --build >>"$builds_log" 2>&1 || builds_failed=1
tests_failed=0
wait "$tests" || tests_failed=1
cat "$tests_log"
if ((builds_failed)); then
  step "The benchmark, sanitizer or fuzz builds failed"
  grep -E "FAILED:|error:" "$builds_log" | head -n 40
  echo "..."
  tail -n 30 "$builds_log"
fi
if ((tests_failed || builds_failed)); then exit 1; fi
rm -f "$tests_log" "$builds_log"

# The two sanitizer builds' suites run side by side, one per core; each prints when it is done.
step "Unit and integration tests under sanitizers: ${sanitizers[*]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
sanitized=()
for sanitizer in "${sanitizers[@]}"; do
  dir="build-${sanitizer%%,*}"
  (
    log="$dir/sanitized-tests.log"
    : >"$log"
    for suite in $(suites "$sanitizer"); do
      if ! "$dir/tests/$suite" --gtest_brief=1 >>"$log" 2>&1; then
        echo "$sanitizer: $suite FAILED"
        cat "$log"
        exit 1
      fi
    done
    echo "$sanitizer: $(grep -h 'PASSED' "$log" | tr '\n' ' ')"
  ) &
  sanitized+=($!)
done
sanitizers_failed=0
for job in "${sanitized[@]}"; do wait "$job" || sanitizers_failed=1; done
if ((sanitizers_failed)); then exit 1; fi

step "Fuzzing the parsers of outside input (20 s each)"
scripts/fuzz.sh 20

step "All tests passed in $(($(date +%s) - started)) s"
