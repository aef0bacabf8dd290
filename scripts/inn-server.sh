#!/usr/bin/env bash
# A local INN 2 news server on 127.0.0.1 for the end-to-end tests and the demo.
#
#   scripts/inn-server.sh install         install inn2 (idempotent, needs root)
#   scripts/inn-server.sh start [--auth]  configure and start it; --auth makes
#                                         posting need AUTHINFO tester/secret
#   scripts/inn-server.sh stop            stop innd (ctlinnd) and the nnrpd it started
#   scripts/inn-server.sh status          exit 0 when the server answers
#
# INN_PORT chooses the port (default 119). Runs without systemd.
set -euo pipefail

PORT=${INN_PORT:-119}
GROUPS_TO_MAKE="alt.binaries.test alt.binaries.test.yenc"
AUTH_USER=tester
AUTH_PASS=secret

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

install_inn() {
    if dpkg -s inn2 >/dev/null 2>&1 && [ -x /usr/lib/news/bin/rc.news ] \
        && dpkg -s inn2 | grep -q 'Status: install ok installed'; then
        return 0
    fi
    # Keep maintainer scripts from starting daemons while installing.
    local made_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | as_root tee /usr/sbin/policy-rc.d >/dev/null
        as_root chmod 755 /usr/sbin/policy-rc.d
        made_policy=1
    fi
    # A host name without a dot makes inn2's post-install fail; give INN a
    # domain before it is configured.
    as_root mkdir -p /etc/news
    if [ -f /etc/news/inn.conf ]; then
        grep -q '^domain:' /etc/news/inn.conf || echo 'domain: localdomain' | as_root tee -a /etc/news/inn.conf >/dev/null
    fi
    # dma satisfies inn2's mail transport without a daemon (exim4 brings one).
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends dma cron inn2 || true
    if [ -f /etc/news/inn.conf ] && ! grep -q '^domain:' /etc/news/inn.conf; then
        echo 'domain: localdomain' | as_root tee -a /etc/news/inn.conf >/dev/null
    fi
    as_root env DEBIAN_FRONTEND=noninteractive dpkg --configure -a
    dpkg -s inn2 | grep -q 'Status: install ok installed'
    if [ "$made_policy" = 1 ]; then as_root rm -f /usr/sbin/policy-rc.d; fi
}

set_conf() { # key value
    # The first line for the key, commented or not, becomes the setting and
    # every other line for it goes: INN refuses a key given twice ("duplicate
    # parameter"), and the file stays valid after any number of runs.
    local f=/etc/news/inn.conf tmp
    tmp=$(mktemp)
    awk -v k="$1" -v v="$2" '
        $0 ~ "^#?[ \t]*" k ":" { if (!done) { print k ": " v; done = 1 }; next }
        { print }
        END { if (!done) print k ": " v }' "$f" >"$tmp"
    as_root install -m 644 -o root -g news "$tmp" "$f" 2>/dev/null || as_root cp "$tmp" "$f"
    rm -f "$tmp"
}

configure() {
    local auth=$1
    set_conf domain localdomain
    set_conf port "$PORT"
    set_conf bindaddress 127.0.0.1
    set_conf pathhost tskivo-test.localdomain
    set_conf maxartsize 20000000
    set_conf localmaxartsize 20000000
    set_conf doinnwatch false
    set_conf htmlstatus false
    as_root sed -i -E 's|^organization:|#organization:|' /etc/news/inn.conf
    # No peers: every connection, 127.0.0.1 included, gets nnrpd, which accepts POST.
    echo '# no peers: local connections are readers' | as_root tee /etc/news/incoming.conf >/dev/null
    if [ "$auth" = 1 ]; then
        local hash
        hash=$(openssl passwd -6 "$AUTH_PASS")
        echo "$AUTH_USER:$hash" | as_root tee /etc/news/nntp-users >/dev/null
        as_root chown root:news /etc/news/nntp-users
        as_root chmod 640 /etc/news/nntp-users
        as_root tee /etc/news/readers.conf >/dev/null <<'EOF'
auth "local" {
    hosts: "127.0.0.1, localhost, ::1, stdin"
    auth: "ckpasswd -f /etc/news/nntp-users"
    default: "<anon>"
}
access "users" {
    users: "*"
    newsgroups: "*"
    access: RPA
}
access "anon" {
    users: "<anon>"
    newsgroups: "*"
    access: R
}
EOF
    else
        as_root tee /etc/news/readers.conf >/dev/null <<'EOF'
auth "local" {
    hosts: "127.0.0.1, localhost, ::1, stdin"
    default: "<local>"
}
access "local" {
    users: "<local>"
    newsgroups: "*"
    access: RPA
}
EOF
    fi
}

answers() {
    python3 - "$PORT" <<'EOF'
import socket, sys
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2)
    line = s.makefile("rb").readline()
    s.sendall(b"QUIT\r\n")
    s.close()
    sys.exit(0 if line.startswith(b"20") else 1)
except OSError:
    sys.exit(1)
EOF
}

ctlinnd() { as_root su news -s /bin/sh -c "/usr/lib/news/bin/ctlinnd $*"; }

stop_inn() {
    local pid="" readers=""
    [ -f /run/news/innd.pid ] && pid=$(cat /run/news/innd.pid 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        # The readers this server started; they outlive innd until their
        # clients leave. Other processes of the machine are left alone.
        readers=$(pgrep -P "$pid" -x nnrpd 2>/dev/null || true)
        ctlinnd -t 10 shutdown stopping >/dev/null 2>&1 || \
            as_root su news -s /bin/sh -c '/usr/lib/news/bin/rc.news stop' >/dev/null 2>&1 || true
        for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        if kill -0 "$pid" 2>/dev/null; then as_root kill "$pid" 2>/dev/null || true; fi
        for r in $readers; do as_root kill "$r" 2>/dev/null || true; done
    fi
    as_root rm -f /run/news/innd.pid /run/news/innwatch.pid
}

start_inn() {
    local auth=0
    [ "${1:-}" = "--auth" ] && auth=1
    install_inn
    stop_inn
    configure "$auth"
    as_root install -d -o news -g news -m 775 /run/news
    as_root env -u NOTIFY_SOCKET su news -s /bin/sh -c '/usr/lib/news/bin/rc.news start' >/dev/null 2>&1 || \
        as_root env -u NOTIFY_SOCKET su news -s /bin/sh -c '/usr/lib/news/bin/rc.news' >/dev/null 2>&1 || true
    for _ in $(seq 1 100); do
        if answers; then break; fi
        sleep 0.1
    done
    answers || { echo "INN did not start on 127.0.0.1:$PORT" >&2; tail -20 /var/log/news/news.err 2>/dev/null >&2 || true; exit 1; }
    for g in $GROUPS_TO_MAKE; do
        ctlinnd -s newgroup "$g" y news >/dev/null 2>&1 || true
    done
    echo "INN answers on 127.0.0.1:$PORT$([ "$auth" = 1 ] && echo " (AUTHINFO $AUTH_USER/$AUTH_PASS)")"
}

case "${1:-}" in
    install) install_inn ;;
    start) shift; start_inn "$@" ;;
    stop) stop_inn ;;
    status) answers ;;
    *) sed -n '2,10p' "$0"; exit 2 ;;
esac
