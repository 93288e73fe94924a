#!/bin/sh
# The host side by side with ffmpeg on one private Xvfb screen; prints one table.
#   bench/compare.sh [SECONDS]      (each figure is measured for SECONDS, default 10)
# Expects an optimised build in build/ (target tovel_perf_compare); builds nothing itself.
set -eu
seconds=${1:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/build/bench/tovel_perf_compare"
if [ ! -x "$program" ]; then
  echo "missing $program: build the target tovel_perf_compare in build/ first" >&2
  exit 1
fi
for tool in Xvfb ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done
exec "$program" "$seconds"
