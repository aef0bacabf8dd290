# What the posting benchmarks share, sourced by them from the project root:
# a Release build in build-bench/ (made, or brought up to date), nyuu from
# npm, a timer and the local sink server.
BUILD=build-bench
[ -f "$BUILD/CMakeCache.txt" ] ||
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSKIVO_BUILD_TESTS=OFF -DTSKIVO_BUILD_GUI=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target tskivo pelmor tplat nntp_sink >/dev/null
NYUU_DIR=${NYUU_DIR:-/tmp/tskivo-bench-nyuu}
if [ ! -x "$NYUU_DIR/node_modules/.bin/nyuu" ]; then
    mkdir -p "$NYUU_DIR"
    (cd "$NYUU_DIR" && npm install --no-audit --no-fund nyuu >/dev/null 2>&1)
fi
NYUU="$NYUU_DIR/node_modules/.bin/nyuu"

seconds() { # command... ; prints the wall time
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

# start_sink PORT DELAY_MS CAP_BYTES_PER_S; stop_sink. LATENCY=1 makes the
# delay a round trip (each reply due DELAY after its request, the next
# request read meanwhile) instead of the server's time per reply.
start_sink() {
    SINK_LATENCY="${LATENCY:-0}" "$BUILD/bin/nntp_sink" "$1" "$2" "$3" &
    SINK=$!
    sleep 0.3
}
stop_sink() {
    kill "$SINK" 2>/dev/null || true
    wait "$SINK" 2>/dev/null || true
}

# bench_work NAME: a private folder $WORK, removed (and the background jobs
# ended) when the benchmark exits.
bench_work() {
    WORK=$(mktemp -d "/tmp/tskivo-$1-XXXXXX")
    trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$WORK"' EXIT
}

# bench_cert: a certificate for 127.0.0.1 and its key, $WORK/cert.pem and
# $WORK/key.pem, for the sink's TLS (our runner trusts it via SSL_CERT_FILE).
bench_cert() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
        -addext "subjectAltName=IP:127.0.0.1" -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
}
