#!/usr/bin/env bash
# The Debian package: built with CPack from build/, checked with lintian,
# desktop-file-validate and man, installed on this machine, used from the
# installed paths (usage text, the window's screenshots under Xvfb, a small
# folder posted to the local INN), and removed again. Prints one
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
trap 'dpkg -r tarvel-skivor >/dev/null 2>&1; rm -rf "$WORK"' EXIT

rm -f build/tarvel-skivor_*.deb
(cd build && cpack -G DEB >"$WORK/cpack.log" 2>&1)
DEB=$(ls build/tarvel-skivor_*.deb 2>/dev/null | head -1)
check "cpack -G DEB makes the package" test -n "$DEB"
[ -n "$DEB" ] || { echo "$passed passed, $failed failed"; cat "$WORK/cpack.log"; exit 1; }

lintian_ok() {
    lintian --fail-on error --tag-display-limit 0 "$DEB" >"$WORK/lintian.txt" 2>&1
    local rc=$?
    grep -E '^[EW]:' "$WORK/lintian.txt" | sed 's/^/     lintian: /'
    return $rc
}
check "lintian finds no errors" lintian_ok
check "desktop-file-validate accepts the menu entry" desktop-file-validate packaging/tarvel-skivor.desktop
man_quiet() {
    local out
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null)
    [ -z "$out" ] || echo "$out"
    [ -z "$out" ]
}
check "man renders tskivo(1) without warnings" man_quiet build/man/tskivo.1.gz
check "man renders tskivor(1) without warnings" man_quiet build/man/tskivor.1.gz

check "the package installs" dpkg -i "$DEB"
installed() { dpkg -L tarvel-skivor | grep -qx "$1"; }
check "the libraries are in their private folder" installed /usr/lib/tarvel-skivor/libpelmor.so
check "the menu entry and icon are installed" installed /usr/share/applications/tarvel-skivor.desktop

# From the installed paths only, in a folder of its own.
usage() { (cd "$WORK" && env -i PATH=/usr/bin:/bin /usr/bin/tskivo) >"$WORK/usage.txt" 2>&1 && grep -q "Usage:" "$WORK/usage.txt"; }
check "tskivo without arguments prints its usage" usage
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
check "the package removes cleanly" dpkg -r tarvel-skivor
check "nothing of it is left in /usr/bin" test ! -e /usr/bin/tskivo
echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
