#!/usr/bin/env bash
# What /archive adds to a posting: a folder of MIB MiB (4 files of random
# bytes) posted over 8 connections to the loopback sink with and without
# /archive, beside 7z packing the same folder alone and a plain copy (one
# read and one write). Prints the times and the archive's extra time
# against 7z alone.
#   bench/archive_bench.sh [MIB=512]
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-512}
source bench/bench_env.sh
OURS=${OURS:-$BUILD/bin/tskivo}
SEVENZ=$(command -v 7zz || command -v 7z)

bench_work archive-bench
mkdir -p "$WORK/folder" "$WORK/tmp"
for f in 1 2 3 4; do head -c $((MIB * 1048576 / 4)) /dev/urandom > "$WORK/folder/IMG_$f.jpg"; done
PORT=18131
start_sink $PORT 0 0
post() {
    TMPDIR="$WORK/tmp" seconds "$OURS" "Bench <bench@example.org>" bench "$WORK/folder" alt.test 127.0.0.1 "" \
        "*.jpg" "/port=$PORT" /conn=8 "$@"
}
copy=$(seconds cp -r "$WORK/folder" "$WORK/copy"); rm -rf "$WORK/copy"
alone=$(cd "$WORK/folder" && printf 'pw\npw\n' | seconds "$SEVENZ" a -t7z -mhe=on -mx=0 -p -v50m "$WORK/alone/x.7z" IMG_1.jpg IMG_2.jpg IMG_3.jpg IMG_4.jpg)
rm -rf "$WORK/alone"
plain=$(post)
archived=$(post /archive /password=bench)
stop_sink
echo "folder ${MIB} MiB: copy ${copy} s, 7z alone ${alone} s"
echo "posted plain ${plain} s, with /archive ${archived} s"
awk -v p="$plain" -v a="$archived" -v z="$alone" -v c="$copy" \
    'BEGIN { printf "archive adds %.3f s = %.2fx 7z alone (%.2fx a copy)\n", a - p, (a - p) / z, (a - p) / c }'
