#!/usr/bin/env bash
# The front end's jobs list, without the window: JOBS directories of FILES
# files of KIB KiB, each a job of its own, posted over 8 connections and TLS
# to a far sink (a 30 ms round trip, 8 MB/s a connection). A runner a job,
# one after the other (each logs in anew), against one runner taking the
# jobs in turn on its standard input (`tskivo --queue`, as the jobs list
# runs it). Prints the times, the ratio and the connections each opened.
#   bench/queue_bench.sh [JOBS=20] [FILES=5] [KIB=64]
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${1:-20}
FILES=${2:-5}
KIB=${3:-64}
source bench/bench_env.sh
bench_work queue-bench
for ((d = 1; d <= JOBS; d++)); do
    mkdir -p "$WORK/dirs/day$d"
    for ((f = 1; f <= FILES; f++)); do head -c $((KIB * 1024)) /dev/urandom >"$WORK/dirs/day$d/IMG_$f.jpg"; done
done
bench_cert
PORT=18125
export SSL_CERT_FILE="$WORK/cert.pem"
job() { # directory: the job's command line after the program
    printf '%s\n' "Bench <bench@example.org>" bench "$1" alt.test 127.0.0.1 "" "*.jpg" "/port=$PORT" /ssl /conn=8 \
        /json "/nzb=$1.nzb"
}
apart() {
    for ((d = 1; d <= JOBS; d++)); do
        mapfile -t args < <(job "$WORK/dirs/day$d")
        "$BUILD/bin/tskivo" "${args[@]}" >/dev/null
    done
}
# The jobs' lines, written before the clock starts.
for ((d = 1; d <= JOBS; d++)); do
    job "$WORK/dirs/day$d" | python3 -c 'import json, sys; print(json.dumps({"arguments": sys.stdin.read().split("\n")[:-1]}))'
done >"$WORK/queue.jsonl"
queued() {
    "$BUILD/bin/tskivo" --queue <"$WORK/queue.jsonl" >/dev/null
}
run() { # prints "seconds connections" of "$@" against a fresh sink
    local count="$WORK/connections"
    : >"$count"
    rm -f "$WORK"/dirs/*.nzb
    SINK_LATENCY=1 SINK_CONNECTIONS="$count" "$BUILD/bin/nntp_sink" "$PORT" 30 8000000 "$WORK/cert.pem" "$WORK/key.pem" &
    SINK=$!
    sleep 0.3
    local t
    t=$(seconds "$@")
    stop_sink
    echo "$t $(wc -l <"$count")"
}
read -r a ac <<<"$(run apart)"
read -r b bc <<<"$(run queued)"
echo "$JOBS jobs of $FILES files of $KIB KiB, TLS, 8 connections, sink 30 ms a round trip and 8 MB/s a connection"
printf "%-24s %8s %8s\n" "" "seconds" "conns"
printf "%-24s %8s %8s\n" "a runner a job" "$a" "$ac"
printf "%-24s %8s %8s\n" "one runner, queued" "$b" "$bc"
echo "ratio $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }')"
