#!/usr/bin/env bash
# Saves PNG screenshots of the front end for review: the main window, each
# settings tab, a job's log, a server test, the colour picker and a
# balloon hint. Runs tskivor under
# Xvfb; not part of the test command.
#   scripts/screenshots.sh [OUTDIR]   (default: out/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(realpath -m "${1:-out/screenshots}")
bash scripts/build.sh --target tskivor
mkdir -p "$OUT"
xvfb-run -a -s "-screen 0 1280x1024x24" build/bin/tskivor --screenshots "$OUT"
echo "Screenshots in $OUT"
