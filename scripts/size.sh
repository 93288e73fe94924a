#!/usr/bin/env bash
# Lines of the program (src, web, bench, fuzz) and of its tests, by folder, and the tests' share
# of the program. Counts the files git tracks, without lock files, images and fuzz corpora.
set -euo pipefail
cd "$(dirname "$0")/.."

lines() { # lines of the tracked files under the given folders
  git ls-files -z -- "$@" | grep -zvE '(package-lock\.json|\.(png|ico|jpg|mp4)|/corpus/.*)$' |
    xargs -0 -r cat | wc -l
}

printf '%-28s %8s\n' "Program" "lines"
code=0
for dir in src/* web bench fuzz; do
  [[ -e "$dir" ]] || continue
  n=$(lines "$dir")
  ((n > 0)) || continue
  printf '  %-26s %8d\n' "$dir" "$n"
  code=$((code + n))
done
printf '  %-26s %8d\n' "total" "$code"

printf '%-28s %8s\n' "Tests" "lines"
tests=0
for dir in tests/*; do
  n=$(lines "$dir")
  ((n > 0)) || continue
  printf '  %-26s %8d\n' "$dir" "$n"
  tests=$((tests + n))
done
printf '  %-26s %8d\n' "total" "$tests"

awk -v t="$tests" -v c="$code" 'BEGIN { printf "Tests are %.1f %% of the program.\n", 100 * t / c }'
