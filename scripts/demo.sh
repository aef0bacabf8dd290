#!/usr/bin/env bash
# The main job end to end: install, build, start a local INN, make a small
# tree of sample pictures, post it with tskivo (contact sheets, PAR2 made
# while posting, four connections, the post check, an NZB file; the status
# line shows on a terminal), show the subjects as a newsreader lists them
# and check that they decode; then lose one article on the server and let
# nzbget download the tree through the NZB file and repair it with PAR2.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what the demo runs: the runner, its two libraries and the picture maker.
bash scripts/build.sh --target tskivo pelmor tplat make_pictures
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
# Under script(1) the runner sees a terminal and draws its status line.
POST=(build/bin/tskivo "Demo Poster <demo@example.org>" "$TAG" "$TREE" alt.binaries.test 127.0.0.1 "" "*.jpg" /ics
      /par2=10 /conn=4 /check /checkdelay=1 /nzb="$WORK/holiday.nzb")
script -qec "$(printf '%q ' "${POST[@]}")" /dev/null

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
echo "== One article of beach01.jpg is lost on the server; nzbget downloads the NZB file and repairs"
python3 - "$WORK" "$TREE" <<'PY'
import os, re, subprocess, sys
work, tree = sys.argv[1:3]
text = open(os.path.join(work, "holiday.nzb"), encoding="utf-8").read()
start = text.index("beach01.jpg")
victim = re.search(r'number="2">([^<]+)</segment>', text[start:]).group(1)
subprocess.run(["su", "news", "-s", "/bin/sh", "-c", "/usr/lib/news/bin/ctlinnd cancel '<%s>'" % victim],
               check=True, stdout=subprocess.DEVNULL)
print("  cancelled <%s>" % victim)
dl = os.path.join(work, "nzbget")
options = {"OutputMode": "log", "MainDir": dl, "DestDir": os.path.join(dl, "dst"),
           "InterDir": os.path.join(dl, "inter"), "TempDir": os.path.join(dl, "tmp"),
           "QueueDir": os.path.join(dl, "queue"), "NzbDir": os.path.join(dl, "nzb"),
           "LogFile": os.path.join(dl, "log.txt"), "WebDir": "", "ConfigTemplate": "",
           "Server1.Host": "127.0.0.1", "Server1.Port": "119", "Server1.Connections": "4",
           "Server1.Active": "yes", "ParCheck": "auto", "ParRepair": "yes", "Unpack": "no"}
cmd = ["nzbget", "-n"] + [a for k, v in options.items() for a in ("-o", "%s=%s" % (k, v))]
run = subprocess.run(cmd + [os.path.join(work, "holiday.nzb")], capture_output=True, text=True, timeout=600)
for line in run.stdout.splitlines():
    if "[INFO]" in line and re.search(r"repaired|Repair|completely downloaded", line):
        print("  nzbget: " + line.split("\t")[-1].strip())
out = os.path.join(dl, "dst", "holiday")
bad = 0
for d, _, files in os.walk(tree):
    for name in sorted(files):
        rel = os.path.relpath(os.path.join(d, name), tree)
        got = os.path.join(out, name)
        same = os.path.exists(got) and open(os.path.join(d, name), "rb").read() == open(got, "rb").read()
        bad += not same
        print("  %-40s %s" % (rel, "identical" if same else "DIFFERENT"))
sys.exit(1 if bad else 0)
PY
echo
echo "Articles, decoded files, the NZB file and nzbget's download are in $WORK"
