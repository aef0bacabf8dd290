#!/usr/bin/env bash
# The Debian packages: built with CPack from build/, checked with lintian,
# desktop-file-validate and man; the console runner's package installed
# alone (no Qt comes with it) and used from the installed paths (usage
# text, a small folder posted to the local INN), then the front end's
# (screenshots under Xvfb), and both removed again. Prints one
# "N passed, N failed" line. Needs root, the build of scripts/build.sh and
# INN running (scripts/inn-server.sh start).
set -uo pipefail
cd "$(dirname "$0")/.."
passed=0
failed=0
check() { # description, command...
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what"
        failed=$((failed + 1))
    fi
}

WORK=$(mktemp -d /tmp/tskivo-package-XXXXXX)
trap 'dpkg -r tarvel-skivor tarvel-skivor-cli >/dev/null 2>&1; rm -rf "$WORK"' EXIT

rm -f build/tarvel-skivor_*.deb build/tarvel-skivor-cli_*.deb
(cd build && cpack -G DEB >"$WORK/cpack.log" 2>&1)
CLI=$(ls build/tarvel-skivor-cli_*.deb 2>/dev/null | head -1)
GUI=$(ls build/tarvel-skivor_*.deb 2>/dev/null | head -1)
check "cpack -G DEB makes both packages" test -n "$CLI" -a -n "$GUI"
[ -n "$CLI" ] && [ -n "$GUI" ] || { echo "$passed passed, $failed failed"; cat "$WORK/cpack.log"; exit 1; }

lintian_ok() {
    lintian --fail-on error --tag-display-limit 0 "$1" >"$WORK/lintian.txt" 2>&1
    local rc=$?
    grep -E '^[EW]:' "$WORK/lintian.txt" | sed 's/^/     lintian: /'
    return $rc
}
check "lintian finds no errors in the runner's package" lintian_ok "$CLI"
check "lintian finds no errors in the front end's package" lintian_ok "$GUI"
no_qt() { ! dpkg-deb -f "$CLI" Depends | grep -qi qt; }
check "the runner's package needs no Qt" no_qt
needs_cli() { dpkg-deb -f "$GUI" Depends | grep -q "tarvel-skivor-cli (= "; }
check "the front end's package depends on the runner's" needs_cli
check "desktop-file-validate accepts the menu entry" desktop-file-validate packaging/tarvel-skivor.desktop
man_quiet() {
    local out
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null)
    [ -z "$out" ] || echo "$out"
    [ -z "$out" ]
}
check "man renders tskivo(1) without warnings" man_quiet build/man/tskivo.1.gz
check "man renders tskivor(1) without warnings" man_quiet build/man/tskivor.1.gz

check "the runner's package installs alone" dpkg -i "$CLI"
installed() { dpkg -L "$1" | grep -qx "$2"; }
check "the libraries are in their private folder" installed tarvel-skivor-cli /usr/lib/tarvel-skivor/libpelmor.so

# From the installed paths only, in a folder of its own.
usage() { (cd "$WORK" && env -i PATH=/usr/bin:/bin /usr/bin/tskivo) >"$WORK/usage.txt" 2>&1 && grep -q "Usage:" "$WORK/usage.txt"; }
check "tskivo without arguments prints its usage" usage
check "the front end's package installs" dpkg -i "$GUI"
check "the menu entry and icon are installed" installed tarvel-skivor /usr/share/applications/tarvel-skivor.desktop
shots() {
    env -i PATH=/usr/bin:/bin HOME="$WORK" xvfb-run -a -s "-screen 0 1280x1024x24" \
        /usr/bin/tskivor --screenshots "$WORK/shots" >/dev/null 2>&1 && [ -s "$WORK/shots/main-window.png" ]
}
check "tskivor saves its screenshots under Xvfb" shots
post() {
    mkdir -p "$WORK/tree/sub"
    head -c 200000 /dev/urandom >"$WORK/tree/a.bin"
    head -c 1000 /dev/urandom >"$WORK/tree/sub/b.bin"
    (cd "$WORK" && env -i PATH=/usr/bin:/bin HOME="$WORK" timeout 300 /usr/bin/tskivo "Packager <pkg@example.org>" \
        "Package test $$" "$WORK/tree" alt.binaries.test 127.0.0.1 "" "*.bin" /conn=2) >"$WORK/post.txt" 2>&1 &&
        [ "$(grep -c 'bytes posted' "$WORK/post.txt")" = 2 ]
}
check "the installed tskivo posts a folder tree to INN" post
check "the packages remove cleanly" dpkg -r tarvel-skivor tarvel-skivor-cli
check "nothing of them is left in /usr/bin" test ! -e /usr/bin/tskivo -a ! -e /usr/bin/tskivor
echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
