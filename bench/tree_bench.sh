#!/usr/bin/env bash
# A tree of picture folders, the product's own job: FOLDERS folders of FILES
# files of KIB KiB each, posted over 8 connections by our runner (folder by
# folder) and by nyuu (the whole tree in one go, `-r keep`) in the same run,
# to a far sink (every reply 30 ms late, each connection read at 8 MB/s),
# plain and over TLS. Prints the times, the ratio and the connections each
# opened (counted at the sink). DELAY=0 CAP=0 give the near, CPU-bound sink;
# TLS=0 leaves out the TLS round; LATENCY=1 makes the delay a round trip
# (replies due DELAY after their request, the next request read meanwhile)
# instead of the server's time per reply.
#   bench/tree_bench.sh [FOLDERS=100] [FILES=10] [KIB=64]
# OURS=path/to/tskivo compares another build of ours (say, the one before a change).
set -euo pipefail
cd "$(dirname "$0")/.."
FOLDERS=${1:-100}
FILES=${2:-10}
KIB=${3:-64}
source bench/bench_env.sh
OURS=${OURS:-$BUILD/bin/tskivo}

bench_work tree-bench
for ((d = 1; d <= FOLDERS; d++)); do
    mkdir -p "$WORK/tree/day$d"
    for ((f = 1; f <= FILES; f++)); do
        head -c $((KIB * 1024)) /dev/urandom > "$WORK/tree/day$d/IMG_$f.jpg"
    done
done
bench_cert
PORT=18121
DELAY=${DELAY:-30}
CAP=${CAP:-8000000}
LINES=2500
ARTICLE=$((LINES * 128))

ours() { # tls?
    local tls=()
    [ "$1" = 1 ] && tls=(/ssl)
    SSL_CERT_FILE="$WORK/cert.pem" seconds "$OURS" "Bench <bench@example.org>" "bench" "$WORK/tree" alt.test \
        127.0.0.1 "" "*.jpg" "/port=$PORT" "/maxlines=$LINES" /conn=8 "${tls[@]}"
}
theirs() {
    local tls=()
    [ "$1" = 1 ] && tls=(--ssl --ignore-cert)
    seconds "$NYUU" -h 127.0.0.1 -P "$PORT" "${tls[@]}" -n 8 -a "$ARTICLE" --article-line-size 128 \
        --post-chunk-size 0 -r keep -g alt.test -f "Bench <bench@example.org>" "$WORK/tree"
}
connections() { # runs "$@" against a fresh sink; prints "seconds connections"
    local tls=$1 count="$WORK/connections"
    shift
    : > "$count"
    if [ "$tls" = 1 ]; then
        SINK_LATENCY="${LATENCY:-0}" SINK_CONNECTIONS="$count" "$BUILD/bin/nntp_sink" "$PORT" "$DELAY" "$CAP" \
            "$WORK/cert.pem" "$WORK/key.pem" &
    else
        SINK_LATENCY="${LATENCY:-0}" SINK_CONNECTIONS="$count" "$BUILD/bin/nntp_sink" "$PORT" "$DELAY" "$CAP" &
    fi
    SINK=$!
    sleep 0.3
    local t
    t=$("$@" "$tls")
    stop_sink
    echo "$t $(wc -l < "$count")"
}

echo "tree: $FOLDERS folders x $FILES files of $KIB KiB, 8 connections, sink $DELAY ms ($([ "${LATENCY:-0}" = 1 ] && echo "a round trip" || echo "a reply")) and $CAP B/s a connection"
printf "%-6s %10s %10s %8s %12s %12s\n" "" "ours s" "nyuu s" "ratio" "ours conns" "nyuu conns"
for tls in 0 $([ "${TLS:-1}" = 1 ] && echo 1); do
    read -r a ac <<<"$(connections "$tls" ours)"
    read -r b bc <<<"$(connections "$tls" theirs)"
    printf "%-6s %10s %10s %8s %12s %12s\n" "$([ "$tls" = 1 ] && echo TLS || echo plain)" "$a" "$b" \
        "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", b / a }')" "$ac" "$bc"
done
