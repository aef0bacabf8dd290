#!/usr/bin/env bash
# A folder with PAR2, end to end: our runner making the recovery set while
# it posts (/par2=10 /conn=8) against the peers' way, par2cmdline-turbo
# making the set first and then nyuu -n 8 posting the files and the set, in
# the same run. To a local sink that answers each reply after 30 ms and
# reads each connection at 8 MB/s (a far provider), and to one that does
# neither. Then our runner's peak RSS for 384 MiB of recovery data (the
# memory limit is 256 MiB). With LATENCY=1 the 30 ms is a round trip (a far
# provider) rather than the server's time for each reply (where two replies
# an article, one after the other on each connection, set a floor for any
# poster: about 6.9 s here).
#   bench/par2_post_bench.sh [MiB=256]
# Needs npm for nyuu (bench/bench_env.sh makes the build it needs).
# OURS=path/to/tskivo compares another build of ours (say, the one before a change).
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-256}
source bench/bench_env.sh
OURS=${OURS:-$BUILD/bin/tskivo}
TURBO=$(realpath ../shared/tools/par2-turbo)

bench_work par2-post
mkdir -p "$WORK/data" "$WORK/peer"
for i in 1 2 3 4; do
    head -c $((MIB * 1024 * 1024 / 4)) /dev/urandom >"$WORK/data/part$i.bin"
    ln "$WORK/data/part$i.bin" "$WORK/peer/part$i.bin"
done
LINES=2500
ARTICLE=$((LINES * 128))
PORT=18129
CORES=$(nproc)
echo "input $MIB MiB in 4 files, $CORES cores; CPU flags: $(grep -o -w -E 'ssse3|avx2|avx512f|avx512bw|gfni' /proc/cpuinfo | sort -u | tr '\n' ' ')"

ours() {
    "$OURS" "Bench <bench@example.org>" "bench" "$WORK/data" alt.test 127.0.0.1 "" "*.bin" \
        "/port=$PORT" "/maxlines=$LINES" "/conn=8" "/par2=10"
}
peers() {
    # The same set (2000 blocks, 10%), made first, then everything posted.
    (cd "$WORK/peer" && rm -f ./*.par2 && "$TURBO" create -q -q -b2000 -r10 -t"$CORES" data.par2 part*.bin) &&
        "$NYUU" -h 127.0.0.1 -P "$PORT" -n 8 -a "$ARTICLE" --article-line-size 128 --post-chunk-size 0 \
            -g alt.test -f "Bench <bench@example.org>" "$WORK"/peer/*
}

printf "%-34s %10s %10s %8s\n" "sink" "ours s" "peers s" "ratio"
for setting in "30 8000000" "0 0"; do
    read -r delay cap <<<"$setting"
    start_sink "$PORT" "$delay" "$cap"
    label=$([ "$delay" = 0 ] && echo "no delay, no cap" ||
        echo "${delay} ms $([ "${LATENCY:-0}" = 1 ] && echo "a trip" || echo "a reply"), $((cap / 1000000)) MB/s per conn")
    a=$(seconds ours)
    b=$(seconds peers)
    printf "%-34s %10s %10s %8s  (target >= %s)\n" "$label" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", b / a }')" \
        "$([ "$delay" = 0 ] && echo 1.0 || echo 1.2)"
    stop_sink
done

# 384 MiB of recovery data: 768 MiB at 50%.
rm -rf "$WORK/peer" "$WORK/data"
mkdir -p "$WORK/big"
for i in 1 2 3; do head -c $((256 * 1024 * 1024)) /dev/urandom >"$WORK/big/part$i.bin"; done
start_sink "$PORT" 0 0
/usr/bin/time -f "%M" -o "$WORK/rss" "$OURS" "Bench <bench@example.org>" "bench" "$WORK/big" alt.test \
    127.0.0.1 "" "*.bin" "/port=$PORT" "/maxlines=$LINES" "/conn=8" "/par2=50" >/dev/null 2>&1
stop_sink
echo "peak RSS for 384 MiB of recovery data: $(($(cat "$WORK/rss") / 1024)) MiB (target <= 288 MiB)"
