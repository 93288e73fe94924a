#!/usr/bin/env bash
# Installs what is needed, builds the host and runs it on port 8096.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tovel-host
exec build/tovel-host "$@"
