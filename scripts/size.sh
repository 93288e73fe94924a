#!/usr/bin/env bash
# Lines of the program (src, web, bench, fuzz) and of its tests, by folder, and the tests' share
# of the program. Counts the files git tracks, without lock files, images and fuzz corpora.
set -euo pipefail
cd "$(dirname "$0")/.."

lines() { # lines of the tracked files under the given folders
  git ls-files -z -- "$@" | grep -zvE '(package-lock\.json|\.(png|ico|jpg|mp4)|/corpus/.*)$' |
    xargs -0 -r cat | wc -l
}

# section TITLE FOLDER...: a line per folder with lines in it, then their total in `total`.
section() {
  printf '%-28s %8s\n' "$1" "lines"
  shift
  total=0
  for dir in "$@"; do
    [[ -e "$dir" ]] || continue
    n=$(lines "$dir")
    ((n > 0)) || continue
    printf '  %-26s %8d\n' "$dir" "$n"
    total=$((total + n))
  done
  printf '  %-26s %8d\n' "total" "$total"
}

section "Program" src/* web bench fuzz
code=$total
section "Tests" tests/*
awk -v t="$total" -v c="$code" 'BEGIN { printf "Tests are %.1f %% of the program.\n", 100 * t / c }'
