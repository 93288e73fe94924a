#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test suite: the unit, integration and
# system tests of the normal build, then the unit and integration tests again under AddressSanitizer
# with UndefinedBehaviorSanitizer and under ThreadSanitizer, and a short run of every fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
step() { printf '\n== %s\n' "$*"; }

step "Dependencies"
scripts/setup-deps.sh

step "Browser test tools"
(cd tests/e2e && npm install --no-audit --no-fund --loglevel=error)

step "Build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"

step "Tests"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

for sanitizer in "address,undefined" "thread"; do
  dir="build-${sanitizer%%,*}"
  step "Tests under sanitizer: $sanitizer"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVEL_SANITIZE="$sanitizer" \
    -DTOVEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j "$jobs" --target tovel_unit_tests tovel_integration_tests
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  "$dir/tests/tovel_unit_tests" --gtest_brief=1
  "$dir/tests/tovel_integration_tests" --gtest_brief=1
done

step "Fuzzing the parsers of outside input (20 s each)"
scripts/fuzz.sh 20

step "All tests passed"
