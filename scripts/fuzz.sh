#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) and runs
# each for SECONDS (default 60) on a fresh copy of its seed corpus in fuzz/corpus/<name>.
# Runs as many targets at a time as there are cores. Prints one line per target: executions,
# coverage and corpus size. Exits non-zero when any target finds something; the input that shows
# it is kept in build-fuzz/findings/.
#   scripts/fuzz.sh [SECONDS] [NAME...]    NAME: a target without _fuzz, e.g. console_line
#   scripts/fuzz.sh --build                 only builds them
set -euo pipefail
cd "$(dirname "$0")/.."

build_only=0
if [[ ${1:-} == --build ]]; then
  build_only=1
  shift
fi

seconds=${1:-60}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
  echo "usage: scripts/fuzz.sh [SECONDS] [NAME...]" >&2
  exit 2
fi

# The longest input worth trying per target: what one message, request or line can be.
max_len() {
  case $1 in
    console_line) echo 4096 ;;        # a few typed lines
    stream_options) echo 2048 ;;      # a request target
    control_request) echo 8192 ;;     # a control body
    websocket_dispatch) echo 65536 ;; # a WebSocket message's payload
    *) echo 70000 ;;                  # network reads of up to 64 KiB and what surrounds them
  esac
}

# Line tables (-g1) are all a finding's stack needs.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DTOVEL_BUILD_FUZZ=ON \
  -DTOVEL_SANITIZE=address,undefined -DTOVEL_BUILD_TESTS=OFF -DTOVEL_BUILD_BENCH=OFF >/dev/null
targets=()
for source in fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
if ((build_only)); then exit 0; fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
findings=$PWD/build-fuzz/findings
mkdir -p "$findings"

# The targets whose sources are there now: a binary left over from a removed one is not run.
names=("$@")
if ((${#names[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do names+=("$(basename "$source" _fuzz.cpp)"); done
fi

# fuzz NAME: runs one target and writes its line (and a finding's report) to results/NAME.
results=$(mktemp -d)
fuzz() {
  local name=$1 out=$results/$1
  local fuzzer=build-fuzz/fuzz/${name}_fuzz
  if [[ ! -f fuzz/${name}_fuzz.cpp || ! -x $fuzzer ]]; then
    echo "$name: no such fuzz target" >"$out"
    echo 1 >"$out.failed"
    return
  fi
  local work
  work=$(mktemp -d)
  mkdir "$work/corpus"
  cp -r "fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null || true
  local status=0
  # A run of one input longer than 10 s counts as a hang, even on a loaded machine.
  "$fuzzer" -max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/$name-" \
    "$work/corpus" >"$work/log" 2>&1 || status=$?
  local done_line executions cov corp
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -n 1 || true)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+' <<<"$done_line" || true)
  corp=$(grep -oE 'corp: [0-9]+/[0-9]+[A-Za-z]*' <<<"$done_line" || true)
  if ((status == 0)); then
    printf '%-20s %12s executions  %-10s  %s\n' "$name" "${executions:-?}" "${cov:-cov: ?}" \
      "${corp:-corp: ?}" >"$out"
  else
    echo 1 >"$out.failed"
    {
      printf '%-20s FAILED (exit %d) after %s executions\n' "$name" "$status" "${executions:-?}"
      # The sanitizer's report and the line naming the input that shows it.
      grep -E 'ERROR:|runtime error|deadly signal|SUMMARY|Test unit written to|Slowest unit' \
        "$work/log" | head -n 20 | sed 's/^/    /'
      echo "    full log: $findings/$name.log"
    } >"$out"
    cp "$work/log" "$findings/$name.log"
  fi
  rm -rf "$work"
}

# As many targets at a time as there are cores: each fuzzer runs on one.
running=0
for name in "${names[@]}"; do
  fuzz "$name" &
  running=$((running + 1))
  if ((running >= $(nproc))); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
for name in "${names[@]}"; do
  cat "$results/$name"
  [[ -e $results/$name.failed ]] && failed=1
done
rm -rf "$results"
exit "$failed"
