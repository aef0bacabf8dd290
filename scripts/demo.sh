#!/usr/bin/env bash
# The main job end to end: install, build, start a local INN, make a small
# tree of sample pictures, post it with tskivo (contact sheets on), then show
# the subjects as a newsreader lists them and check that they decode.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh
bash scripts/inn-server.sh start

WORK=$(mktemp -d /tmp/tskivo-demo-XXXXXX)
TREE="$WORK/Holiday"
mkdir -p "$TREE/beach" "$TREE/mountains/summit"
build/bin/make_pictures "$TREE" 2 1600 1200 harbour
build/bin/make_pictures "$TREE/beach" 6 2000 1500 beach
build/bin/make_pictures "$TREE/mountains/summit" 3 1024 768 summit
TAG="Demo $(date +%H%M%S)"

echo
echo "== Posting $TREE"
build/bin/tskivo "Demo Poster <demo@example.org>" "$TAG" "$TREE" alt.binaries.test 127.0.0.1 "" "*.jpg" /ics \
    /nzb="$WORK/holiday.nzb"

echo
echo "== What a newsreader lists in alt.binaries.test"
python3 - "$TAG" "$WORK" "$TREE" <<'PY'
import os, subprocess, sys
sys.path.insert(0, "tests/e2e")
from nntp_client import NntpReader
tag, work, tree = sys.argv[1:4]
reader = NntpReader()
mine = [o for o in reader.overview("alt.binaries.test") if o[1].startswith(tag)]
os.makedirs(os.path.join(work, "articles"))
for number, subject, msgid in mine:
    print("  " + subject)
    with open(os.path.join(work, "articles", "%06d" % number), "wb") as f:
        f.write(reader.article(msgid))
reader.close()
out = os.path.join(work, "decoded")
os.makedirs(out)
arts = sorted(os.path.join(work, "articles", n) for n in os.listdir(os.path.join(work, "articles")))
subprocess.run(["uudeview", "-i", "-o", "-n", "-q", "-p", out + "/"] + arts,
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print()
print("== Decoded with uudeview and compared with the originals")
bad = 0
for d, _, files in os.walk(tree):
    for name in sorted(files):
        src, dec = os.path.join(d, name), os.path.join(out, name)
        same = os.path.exists(dec) and open(src, "rb").read() == open(dec, "rb").read()
        bad += not same
        print("  %-40s %s" % (os.path.relpath(src, tree), "identical" if same else "DIFFERENT"))
# Every folder's sheets share names, so count them by their subjects.
sheets = sorted({s for _, s, _ in mine if "!contact-sheet" in s})
print("  contact sheets posted: %d" % len(sheets))
for s in sheets:
    print("    " + s)
sys.exit(1 if bad else 0)
PY
echo
echo "Articles, decoded files and the NZB file are in $WORK"
