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

step "Fuzzing the network parsers (20 s each)"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVEL_BUILD_FUZZ=ON \
  -DTOVEL_SANITIZE=address,undefined -DTOVEL_BUILD_TESTS=OFF -DTOVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs"
for fuzzer in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$fuzzer" _fuzz)
  corpus=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$corpus/" 2>/dev/null || true
  "$fuzzer" -max_total_time=20 -max_len=70000 -print_final_stats=0 "$corpus" 2>&1 | tail -n 1
  rm -rf "$corpus"
done

step "All tests passed"
