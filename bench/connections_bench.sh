#!/usr/bin/env bash
# Posting speed over 1, 8 and 20 connections, this poster against the Node.js
# poster nyuu in the same run, to a local sink that answers every reply after
# a delay and reads each connection at a capped rate (a far provider), and
# with neither (the CPU-bound case).
#   bench/connections_bench.sh [MiB=64]
# Needs npm for nyuu (bench/bench_env.sh makes the build it needs).
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-64}
source bench/bench_env.sh

bench_work conn-bench
mkdir -p "$WORK/data"
head -c $((MIB * 1024 * 1024)) /dev/urandom > "$WORK/data/file.bin"
BYTES=$((MIB * 1024 * 1024))
LINES=2500                      # yEnc lines of 128 bytes: 320000 bytes a part
ARTICLE=$((LINES * 128))
PORT=18119

ours() {
    seconds "$BUILD/bin/tskivo" "Bench <bench@example.org>" "bench" "$WORK/data" alt.test 127.0.0.1 "" "*.bin" \
        "/port=$PORT" "/maxlines=$LINES" "/conn=$1"
}
theirs() {
    seconds "$NYUU" -h 127.0.0.1 -P "$PORT" -n "$1" -a "$ARTICLE" --article-line-size 128 --post-chunk-size 0 \
        -g alt.test -f "Bench <bench@example.org>" "$WORK/data/file.bin"
}
mbps() { awk -v b="$BYTES" -v s="$1" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
scaling() { awk -v a="$1" -v n="$2" -v o="$3" 'BEGIN { printf "%.2f", a / (n * o) }'; }

printf "%-30s %5s %12s %12s %8s %10s\n" "case" "conns" "ours MB/s" "nyuu MB/s" "ratio" "vs N x 1"
for setting in "30 8000000" "0 0"; do
    read -r delay cap <<<"$setting"
    start_sink "$PORT" "$delay" "$cap"
    label=$([ "$delay" = 0 ] && echo "no delay, no cap" || echo "${delay} ms, $((cap / 1000000)) MB/s per conn")
    one=""
    for n in 1 8 20; do
        a=$(ours "$n")
        b=$(theirs "$n")
        ra=$(mbps "$a")
        rb=$(mbps "$b")
        [ -z "$one" ] && one=$ra
        printf "%-30s %5d %12s %12s %8s %10s\n" "$label" "$n" "$ra" "$rb" "$(ratio "$ra" "$rb")" \
            "$(scaling "$ra" "$n" "$one")"
    done
    stop_sink
done
