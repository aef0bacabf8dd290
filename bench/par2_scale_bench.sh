#!/usr/bin/env bash
# PAR2 past its memory limit, end to end: MIB MiB in 4 files, 10% recovery
# data (2000 blocks) under a 64 MiB limit, posted over 8 connections to the
# local sink (no delay). Our runner (making the set while it posts, the
# engine's par2memory at 64) against the peers' way, par2cmdline-turbo -m64
# then nyuu -n 8, in the same run: time, bytes read (rchar) as a multiple of
# the input, and peak RSS.
#   bench/par2_scale_bench.sh [MIB=2048]
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-2048}
LIMIT=64
source bench/bench_env.sh
TURBO=$(realpath ../shared/tools/par2-turbo)
bench_work par2-scale
mkdir -p "$WORK/data" "$WORK/peer" "$WORK/config"
for i in 1 2 3 4; do
    head -c $((MIB * 1024 * 1024 / 4)) /dev/urandom >"$WORK/data/part$i.bin"
    ln "$WORK/data/part$i.bin" "$WORK/peer/part$i.bin"
done
echo "par2memory $LIMIT" >"$WORK/config/pelmor.ini"
INPUT=$((MIB * 1024 * 1024))
LINES=2500
PORT=18123
CORES=$(nproc)

# measure COMMAND...: "seconds rchar peak-KiB" of the command (which execs
# the program measured). Its bytes read are taken from /proc once it has
# ended and before it is reaped: sampling while it runs took CPU from it.
measure() {
    python3 - "$@" <<'PY'
import os, sys, time
t0 = time.monotonic()
pid = os.fork()
if pid == 0:
    null = os.open("/dev/null", os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)
    os.execvp(sys.argv[1], sys.argv[1:])
os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
rchar = 0
with open(f"/proc/{pid}/io") as io:
    for line in io:
        if line.startswith("rchar:"):
            rchar = int(line.split()[1])
_, status, usage = os.wait4(pid, 0)
if status != 0:
    sys.exit(f"{sys.argv[1:]} failed (wait status {status})")
print(f"{time.monotonic() - t0:.2f} {rchar} {usage.ru_maxrss}")
PY
}
ours() {
    XDG_CONFIG_HOME="$WORK/config" exec "${OURS:-$BUILD/bin/tskivo}" "Bench <bench@example.org>" bench "$WORK/data" alt.test \
        127.0.0.1 "" "*.bin" "/port=$PORT" "/maxlines=$LINES" /conn=8 /par2=10
}
turbo() {
    cd "$WORK/peer" && rm -f ./*.par2 && exec "$TURBO" create -q -q -b2000 -r10 -m$LIMIT -t"$CORES" data.par2 part*.bin
}
nyuu() {
    exec "$NYUU" -h 127.0.0.1 -P "$PORT" -n 8 -a $((LINES * 128)) --article-line-size 128 --post-chunk-size 0 \
        -g alt.test -f "Bench <bench@example.org>" "$WORK"/peer/*
}
export -f turbo
export WORK TURBO LIMIT CORES

sync  # the new files written back first, not while the first contender runs
start_sink "$PORT" 0 0
# (assigned first: a contender that fails ends the benchmark)
r=$(measure bash -c "$(declare -f ours); BUILD=$BUILD OURS=${OURS:-} PORT=$PORT LINES=$LINES ours")
read -r os or orss <<<"$r"
r=$(measure bash -c turbo)
read -r ts tr trss <<<"$r"
r=$(measure bash -c "$(declare -f nyuu); NYUU=$NYUU PORT=$PORT LINES=$LINES nyuu")
read -r ns nr nrss <<<"$r"
stop_sink
echo "input $MIB MiB in 4 files, 10% PAR2 (2000 blocks), limit $LIMIT MiB, 8 connections, $CORES cores"
awk -v os="$os" -v or="$or" -v orss="$orss" -v ts="$ts" -v tr="$tr" -v trss="$trss" -v ns="$ns" -v nr="$nr" \
    -v nrss="$nrss" -v input="$INPUT" -v limit="$LIMIT" 'BEGIN {
    printf "%-22s %8s %12s %12s\n", "", "seconds", "input read", "peak RSS"
    printf "%-22s %8.2f %11.2fx %8.0f MiB\n", "ours", os, or / input, orss / 1024
    printf "%-22s %8.2f %11.2fx %8.0f MiB\n", "turbo -m" limit, ts, tr / input, trss / 1024
    printf "%-22s %8.2f %11.2fx %8.0f MiB\n", "then nyuu", ns, nr / input, nrss / 1024
    printf "speed ratio %.2f (target >= 1.2), read %.2fx (target <= 2.3), peak RSS %.0f MiB (target <= %d)\n",
        (ts + ns) / os, or / input, orss / 1024, limit + 32
}'
