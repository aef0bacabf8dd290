#!/usr/bin/env bash
# Installs the Debian packages and builds into build/ (what the demo, the
# tests and the screenshots start from). Extra arguments go to
# `cmake --build`, e.g. `--target tskivor`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSKIVO_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" "$@"
