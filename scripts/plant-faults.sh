#!/usr/bin/env bash
# Measures what the test suites catch: plants each fault of a list, one at a time, in a scratch
# copy of the committed tree, builds it and runs the suites (fastest first, stopping at the first
# failure), and prints which suite and test caught it, or that none did.
#
#   scripts/plant-faults.sh [LIST]     LIST defaults to scripts/planted-faults.txt
#
# A fault is one line: FILE|TEXT|REPLACEMENT|WHAT. TEXT must occur exactly once in FILE.
# Blank lines and lines starting with # are skipped. The suites that start the real program use
# port 8096: with TOVEL_PORT_LOCK set to a file, they run holding a lock on it (flock), for
# machines where several people test at once.
set -euo pipefail
cd "$(dirname "$0")/.."
list=$(realpath "${1:-scripts/planted-faults.txt}")
scratch=${TOVEL_FAULTS_DIR:-/tmp/tovel-planted-faults}
jobs=$(nproc)

rm -rf "$scratch"
git worktree prune
git worktree add --detach "$scratch" HEAD >/dev/null
trap 'git worktree remove --force "$scratch" >/dev/null 2>&1 || true' EXIT
(cd "$scratch/tests/e2e" && npm install --no-audit --no-fund --loglevel=error >/dev/null)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$scratch" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOVEL_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$scratch/build" -j "$jobs" >/dev/null

# The suites in the order they are run: cheapest first.
stages=('^unit\.' '^integration\.' '^x11\.' '^system\.' '^gnome\.' '^wlroots\.' '^e2e\.' '^install\.')

# The first failing test for the tree as it is, or nothing.
first_failure() {
  for stage in "${stages[@]}"; do
    local lock=() parallel=(-j "$jobs")
    case $stage in
    *unit* | *integration* | *x11*) ;;
    *)
      parallel=(-j 1)
      if [[ -n "${TOVEL_PORT_LOCK:-}" ]]; then lock=(flock "$TOVEL_PORT_LOCK"); fi
      ;;
    esac
    if ! (cd "$scratch/build" && "${lock[@]}" ctest -R "$stage" "${parallel[@]}" --timeout 300 \
          --stop-on-failure >"$scratch/last.log" 2>&1); then
      # A typed test's name ends in its type, "<...(anonymous namespace)::...>", which is dropped.
      failed=$(grep -m1 -oE '[0-9]+ - .+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)\)' \
        "$scratch/last.log" || true)
      echo "${failed:-${stage} failed}" |
        sed -E 's/^[0-9]+ - //; s/ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)\)$//; s/<.*>$//'
      return
    fi
  done
}

printf '%-4s %-60s %s\n' "n" "fault" "caught by"
n=0
# The list is read on its own descriptor: the builds and suites inside the loop read standard input.
while IFS='|' read -r -u 3 file text replacement what; do
  [[ -z "$file" || "$file" == \#* ]] && continue
  n=$((n + 1))
  target="$scratch/$file"
  count=$(grep -cF -- "$text" "$target" || true)
  if [[ $count != 1 ]]; then
    printf '%-4s %-60s %s\n' "$n" "$what" "NOT PLANTED: text found $count times in $file"
    continue
  fi
  python3 - "$target" "$text" "$replacement" <<'PY'
import sys
path, text, replacement = sys.argv[1:]
content = open(path).read()
open(path, 'w').write(content.replace(text, replacement, 1))
PY
  if ! cmake --build "$scratch/build" -j "$jobs" >"$scratch/build.log" 2>&1; then
    caught="(does not build)"
  else
    caught=$(first_failure)
  fi
  (cd "$scratch" && git checkout -- "$file")
  printf '%-4s %-60s %s\n' "$n" "$what" "${caught:-MISSED}"
done 3<"$list"
cmake --build "$scratch/build" -j "$jobs" >/dev/null
