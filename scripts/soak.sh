#!/usr/bin/env bash
# Runs the test suites again and again while both cores are kept busy, to find tests that fail by
# chance: the unit and integration suites N times in each build (normal, ASan+UBSan, TSan), and the
# system suites (the real program and the X11 backend under Xvfb, the real program on headless
# GNOME and sway) N times in the normal build.
# Prints the failures of each test per build. Not part of scripts/test.sh: run it after touching
# anything timed.
#
#   scripts/soak.sh [N]        (N defaults to 3)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-3}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/soak.sh [N]   (N: runs of each suite, at least 1)" >&2
  exit 2
fi
jobs=$(nproc)
step() { printf '\n== %s\n' "$*"; }

step "Dependencies and builds"
scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target tovel_unit_tests tovel_integration_tests \
  tovel_system_tests tovel_x11_tests tovel_gnome_tests tovel_wlroots_tests
for sanitizer in "address,undefined" "thread"; do
  dir="build-${sanitizer%%,*}"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVEL_SANITIZE="$sanitizer" \
    -DTOVEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j "$jobs" --target tovel_unit_tests tovel_integration_tests
done
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"

# One busy loop per core for as long as the soak runs.
load=()
for ((i = 0; i < jobs; i++)); do
  (while :; do :; done) &
  load+=($!)
done
trap 'kill "${load[@]}" 2>/dev/null || true' EXIT

logs=$(mktemp -d)
failures="$logs/failures" # lines of "build test"
: >"$failures"
started=$(date +%s)

# run BUILD SUITE: runs one suite binary N times, noting each failed test (or the whole run when
# the binary dies without naming one, as a sanitizer report does).
run() {
  local build=$1 suite=$2 binary="$1/tests/$2"
  for ((r = 1; r <= runs; r++)); do
    local out="$logs/$build-$suite-$r.log"
    printf '%-12s %-24s run %d/%d ... ' "$build" "$suite" "$r" "$runs"
    if "$binary" --gtest_brief=1 >"$out" 2>&1; then
      echo ok
      continue
    fi
    local failed
    failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\) (.*/\1/p' "$out" | sort -u)
    if [[ -z "$failed" ]]; then
      failed="$suite(crashed)"
    fi
    echo "FAILED: $(echo "$failed" | tr '\n' ' ')(log: $out)"
    echo "$failed" | sed "s|^|$build |" >>"$failures"
  done
}

step "Soaking, $runs runs of each suite, with $jobs busy loops beside"
for build in build build-address build-thread; do
  run "$build" tovel_unit_tests
  run "$build" tovel_integration_tests
done
run build tovel_system_tests
run build tovel_x11_tests
run build tovel_gnome_tests
run build tovel_wlroots_tests

elapsed=$(($(date +%s) - started))
step "Failures per test ($runs runs of each suite, $((elapsed / 60)) min $((elapsed % 60)) s)"
if [[ ! -s "$failures" ]]; then
  echo "none"
  rm -rf "$logs"
  exit 0
fi
sort "$failures" | uniq -c | awk -v n="$runs" '{ printf "%-14s %-70s %d of %d\n", $2, $3, $1, n }'
echo "logs: $logs"
exit 1
