#!/usr/bin/env bash
# Saves PNG screenshots of the front end for review: the main window, each
# settings tab, the colour picker and a balloon hint. Runs tskivor under
# Xvfb; not part of the test command.
#   scripts/screenshots.sh [OUTDIR]   (default: out/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(realpath -m "${1:-out/screenshots}")
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
bash scripts/deps.sh
if ! command -v xvfb-run >/dev/null; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends xvfb xauth
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSKIVO_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target tskivor
mkdir -p "$OUT"
xvfb-run -a -s "-screen 0 1280x1024x24" build/bin/tskivor --screenshots "$OUT"
echo "Screenshots in $OUT"
