#!/usr/bin/env bash
# Posting over TLS when the CPU is the limit: one file of MIB MiB over 8
# connections to the local sink speaking TLS (no delay, no cap), our runner
# against nyuu in the same run, three rounds taking turns (the best of
# each): wall time and CPU time (user + system) per byte, and their ratios.
# OURS=path/to/tskivo compares another build of ours.
#   bench/tls_bench.sh [MIB=256]
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-256}
source bench/bench_env.sh
bench_work tls-bench
mkdir -p "$WORK/data"
head -c $((MIB * 1024 * 1024)) /dev/urandom > "$WORK/data/file.bin"
bench_cert
PORT=18122
LINES=2500
start_sink_tls() {
    "$BUILD/bin/nntp_sink" "$PORT" 0 0 "$WORK/cert.pem" "$WORK/key.pem" &
    SINK=$!
    sleep 0.3
}
timed() { # command...; prints "wall cpu"
    /usr/bin/time -f "%e %U %S" -o "$WORK/time" "$@" >/dev/null 2>&1
    awk '{ printf "%.3f %.3f", $1, $2 + $3 }' "$WORK/time"
}
ours() {
    SSL_CERT_FILE="$WORK/cert.pem" timed "${OURS:-$BUILD/bin/tskivo}" "Bench <bench@example.org>" bench "$WORK/data" \
        alt.test 127.0.0.1 "" "*.bin" "/port=$PORT" /ssl "/maxlines=$LINES" /conn=8
}
theirs() {
    timed "$NYUU" -h 127.0.0.1 -P "$PORT" --ssl --ignore-cert -n 8 -a $((LINES * 128)) --article-line-size 128 \
        --post-chunk-size 0 -g alt.test -f "Bench <bench@example.org>" "$WORK/data/file.bin"
}
start_sink_tls
: > "$WORK/ours"
: > "$WORK/theirs"
for round in 1 2 3; do
    ours >> "$WORK/ours"; echo >> "$WORK/ours"
    theirs >> "$WORK/theirs"; echo >> "$WORK/theirs"
done
stop_sink
read -r ow <<<"$(sort -n -k1,1 "$WORK/ours" | head -1 | cut -d' ' -f1)"
read -r oc <<<"$(sort -n -k2,2 "$WORK/ours" | head -1 | cut -d' ' -f2)"
read -r tw <<<"$(sort -n -k1,1 "$WORK/theirs" | head -1 | cut -d' ' -f1)"
read -r tc <<<"$(sort -n -k2,2 "$WORK/theirs" | head -1 | cut -d' ' -f2)"
echo "TLS, $MIB MiB, 8 connections, local sink: best of 3 rounds"
printf "%-8s %10s %10s\n" "" "wall s" "CPU s"
printf "%-8s %10s %10s\n" ours "$ow" "$oc" nyuu "$tw" "$tc"
awk -v ow="$ow" -v oc="$oc" -v tw="$tw" -v tc="$tc" \
    'BEGIN { printf "speed ratio (nyuu time / ours) %.2f (target >= 1.2); CPU per byte ours / nyuu %.2f (target <= 0.8)\n", tw / ow, oc / tc }'
