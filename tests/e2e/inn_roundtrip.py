"""End to end: tskivo posts a tree to the local INN, the articles are read
back over NNTP, decoded with uudeview and compared with the source files;
nzbget downloads the same posting through the NZB that tskivo wrote.

usage: inn_roundtrip.py BUILD_BIN_DIR [PORT]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nntp_client import NntpReader  # noqa: E402

BIN = os.path.abspath(sys.argv[1])
PORT = int(sys.argv[2]) if len(sys.argv) > 2 else 119
GROUP = "alt.binaries.test"
failures = []
passes = []


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text)
    (passes if condition else failures).append(text)


def make_tree(root):
    os.makedirs(os.path.join(root, "gc", "a"))
    os.makedirs(os.path.join(root, ".hidden"))
    subprocess.run([os.path.join(BIN, "make_pictures"), root, "2", "1200", "900"], check=True)
    subprocess.run([os.path.join(BIN, "make_pictures"), os.path.join(root, "gc", "a"), "3", "640", "480", "a"],
                   check=True)
    with open(os.path.join(root, "gc", "big.bin"), "wb") as f:  # several articles, bytes of every value
        f.write(os.urandom(700000) + bytes(range(256)) * 40)
    with open(os.path.join(root, ".hidden", "secret.bin"), "wb") as f:
        f.write(b"never posted")


def post(root, tag, extra):
    cmd = [os.path.join(BIN, "tskivo"), "Tester <tester@example.org>", "E2E " + tag, root, GROUP,
           "127.0.0.1", "", "/port=%d" % PORT, "/maxlines=2000"] + extra
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    print(run.stdout)
    print(run.stderr)
    check(run.returncode == 0, "tskivo %s exits 0" % " ".join(extra))
    return run


def fetch_and_decode(tag, workdir):
    reader = NntpReader(port=PORT)
    # INN may need a moment to add the last articles to its overview.
    wanted = []
    for _ in range(50):
        wanted = [o for o in reader.overview(GROUP) if o[1].startswith("E2E " + tag)]
        if wanted:
            break
        time.sleep(0.1)
    articles = os.path.join(workdir, "articles-" + tag)
    os.makedirs(articles)
    for number, subject, message_id in wanted:
        with open(os.path.join(articles, "%06d" % number), "wb") as f:
            f.write(reader.article(message_id))
    reader.close()
    out = os.path.join(workdir, "out-" + tag)
    os.makedirs(out)
    files = sorted(os.path.join(articles, n) for n in os.listdir(articles))
    if files:
        subprocess.run(["uudeview", "-i", "-o", "-n", "-q", "-p", out + "/"] + files,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return [w[1] for w in wanted], out


def download_nzb(nzb, workdir, repair=False, repaired_needed=True):
    """nzbget in standalone mode: downloads what the NZB lists, then exits;
    with `repair`, it checks and repairs with the posted PAR2 files."""
    dl = os.path.join(workdir, "nzbget")
    options = {"OutputMode": "log", "MainDir": dl, "DestDir": os.path.join(dl, "dst"),
               "InterDir": os.path.join(dl, "inter"), "TempDir": os.path.join(dl, "tmp"),
               "QueueDir": os.path.join(dl, "queue"), "NzbDir": os.path.join(dl, "nzb"),
               "LogFile": os.path.join(dl, "log.txt"), "WebDir": "", "ConfigTemplate": "",
               "Server1.Host": "127.0.0.1", "Server1.Port": str(PORT), "Server1.Connections": "2",
               "Server1.Active": "yes", "ParCheck": "auto" if repair else "manual", "ParRepair": "yes",
               "Unpack": "no"}
    cmd = ["nzbget", "-n"]
    for key, value in options.items():
        cmd += ["-o", "%s=%s" % (key, value)]
    run = subprocess.run(cmd + [nzb], capture_output=True, text=True, timeout=300)
    check(run.returncode == 0 and "completely downloaded" in run.stdout, "nzbget downloads the NZB")
    if run.returncode != 0 or "completely downloaded" not in run.stdout:
        print(run.returncode, run.stdout[-3000:], run.stderr[-2000:])
    name = os.path.splitext(os.path.basename(nzb))[0]
    if repair and repaired_needed:
        repaired = "repaired successfully" in run.stdout.lower() or "successfully repaired" in run.stdout.lower()
        check(repaired, "nzbget repaired the download with the PAR2 files")
        if not repaired:
            print(run.stdout[-3000:])
    return os.path.join(dl, "dst", name)


def compare(root, out, label):
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if not d.startswith(".")]
        for name in filenames:
            source = os.path.join(dirpath, name)
            decoded = os.path.join(out, name)
            same = os.path.exists(decoded) and open(source, "rb").read() == open(decoded, "rb").read()
            check(same, "%s: %s decodes to the original bytes" % (label, os.path.relpath(source, root)))


def random_tree(work, folder, sizes):
    """A folder of files of random bytes, by name and size."""
    tree = os.path.join(work, folder)
    os.makedirs(tree)
    for name, size in sizes.items():
        with open(os.path.join(tree, name), "wb") as f:
            f.write(os.urandom(size))
    return tree


def runner(tree, tag, *options):
    """tskivo posting the *.bin files of a tree to the local INN."""
    return [os.path.join(BIN, "tskivo"), "Tester <tester@example.org>", "E2E " + tag, tree, GROUP, "127.0.0.1", "",
            "*.bin", "/port=%d" % PORT] + list(options)


def par2_repair(work, tag):
    """A folder posted with /par2=10, one of its articles cancelled on the
    server: nzbget downloads it through the NZB and repairs it with the
    posted PAR2 files, byte for byte."""
    tree = random_tree(work, "par2-tree", {"photo.bin": 400000, "notes.bin": 90000})
    nzb = os.path.join(work, "par2.nzb")
    run = subprocess.run(runner(tree, tag, "/maxlines=300", "/par2=10", "/nzb=" + nzb),
                         capture_output=True, text=True, timeout=300)
    check(run.returncode == 0 and "PAR2: " in run.stdout + run.stderr, "tskivo posts the folder with its PAR2 files")
    text = open(nzb, encoding="utf-8").read()
    check(".vol" in text and "par2-tree.par2" in text, "the NZB lists the recovery files")
    # Cancel the second article of photo.bin on the server.
    start = text.index('photo.bin')
    victim = text[start:].split('number="2">', 1)[1].split("</segment>", 1)[0]
    cancel = subprocess.run(["su", "news", "-s", "/bin/sh", "-c",
                             "/usr/lib/news/bin/ctlinnd cancel '<%s>'" % victim], capture_output=True, text=True)
    check(cancel.returncode == 0, "an article of photo.bin is cancelled on the server")
    out = download_nzb(nzb, os.path.join(work, "par2-dl"), repair=True)
    compare(tree, out, "PAR2-repaired nzbget")
    leftovers = [n for n in os.listdir(tree) if n.endswith(".par2")]
    check(not leftovers, "no recovery file was made among the posted files")


def resume_after_kills(work, tag, connections=1):
    """A slow posting killed twice (SIGKILL) and resumed: nzbget gets every
    file whole, the post check finds every article, and no more articles
    are posted twice than were in flight at the kills (one a connection)."""
    tree = random_tree(work, "resume-tree-%d" % connections, {"one.bin": 150000, "two.bin": 100000})
    nzb = os.path.join(work, "resume-%d.nzb" % connections)
    base = runner(tree, tag, "/maxlines=200", "/nzb=" + nzb, "/conn=%d" % connections)
    kills = 0
    for extra, seconds in ((["/maxbw=20"], 3), (["/maxbw=20", "/resume"], 4)):
        run = subprocess.Popen(base + extra, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        if run.poll() is None:
            run.kill()
            kills += 1
        run.wait()
    final = subprocess.run(base + ["/resume", "/check"], capture_output=True, text=True, timeout=300)
    check(final.returncode == 0, "the resumed posting finishes (%d connections)" % connections)
    check("Post check: " in final.stderr and " 0 missing" in final.stderr, "the post check finds every article")
    if final.returncode != 0 or " 0 missing" not in final.stderr:
        print(final.stdout, final.stderr)
    check(kills == 2, "the posting was killed twice")
    compare(tree, download_nzb(nzb, os.path.join(work, "resumed-%d" % connections)), "resumed nzbget")
    reader = NntpReader(port=PORT)
    subjects = []
    for _ in range(50):
        subjects = [o[1] for o in reader.overview(GROUP) if o[1].startswith("E2E " + tag)]
        if len(subjects) >= 10:
            break
        time.sleep(0.1)
    reader.close()
    twice = len(subjects) - len(set(subjects))
    check(len(set(subjects)) == 10 and twice <= kills * connections,
          "every part posted, %d posted twice (at most %d in flight per kill)" % (twice, connections))


def tree_comes_back_whole(work, tag):
    """A tree whose folders hold files of one name (CD1/cover01.jpg and
    CD2/cover01.jpg, different pictures), with contact sheets and PAR2,
    over four connections with the check: nzbget downloads it from the
    tree's NZB without a failed repair, and every file, every folder's
    sheet included, comes back byte for byte (a folder's files under their
    path, "CD1/cover01.jpg", which nzbget stores as CD1_cover01.jpg)."""
    tree = os.path.join(work, "cds")
    for folder, size in (("CD1", ("800", "600")), ("CD2", ("640", "480"))):
        os.makedirs(os.path.join(tree, folder))
        subprocess.run([os.path.join(BIN, "make_pictures"), os.path.join(tree, folder), "1", *size, "cover"], check=True)
    subprocess.run([os.path.join(BIN, "make_pictures"), tree, "1", "700", "500"], check=True)
    os.makedirs(os.path.join(tree, "CD1", "extra"))
    subprocess.run([os.path.join(BIN, "make_pictures"), os.path.join(tree, "CD1", "extra"), "1", "300", "200", "scan"],
                   check=True)
    nzb = os.path.join(work, "cds.nzb")
    run = subprocess.run([os.path.join(BIN, "tskivo"), "Tester <tester@example.org>", "E2E " + tag, tree, GROUP,
                          "127.0.0.1", "", "*.jpg", "/port=%d" % PORT, "/maxlines=300", "/ics", "/par2=10",
                          "/conn=4", "/check", "/checkdelay=1", "/nzb=" + nzb],
                         capture_output=True, text=True, timeout=600)
    check(run.returncode == 0, "tskivo posts the tree of same-named files")
    if run.returncode:
        print(run.stdout, run.stderr)
    out = download_nzb(nzb, os.path.join(work, "cds-download"), repair=True, repaired_needed=False)
    log = open(os.path.join(work, "cds-download", "nzbget", "log.txt"), encoding="utf-8", errors="replace").read()
    check("Repair failed" not in log and "appears twice" not in log, "nzbget keeps every file apart, no failed repair")
    for dirpath, _, filenames in os.walk(tree):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), tree)
            got = os.path.join(out, rel.replace(os.sep, "_"))
            if not os.path.exists(got):
                got = os.path.join(out, name)  # a name no other folder has is stored bare
            same = os.path.exists(got) and open(os.path.join(dirpath, name), "rb").read() == open(got, "rb").read()
            check(same, "tree: %s comes back as %s" % (rel, os.path.basename(got)))
    sheets = [n for n in os.listdir(out) if "!contact-sheet" in n]
    check(len(sheets) == 4, "every folder's contact sheet arrives (%s)" % ", ".join(sorted(sheets)))
    # The flat download back into its tree, by the NZB file.
    restored = subprocess.run([os.path.join(BIN, "tskivo"), "--restore", nzb, out], capture_output=True, text=True,
                              timeout=60)
    print(restored.stdout, restored.stderr)
    check(restored.returncode == 0, "tskivo --restore puts every file of the NZB in its folder")
    for dirpath, _, filenames in os.walk(tree):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), tree)
            got = os.path.join(out, rel)
            same = os.path.exists(got) and open(os.path.join(dirpath, name), "rb").read() == open(got, "rb").read()
            check(same, "restored: %s is back in its folder" % rel)
    check(os.path.exists(os.path.join(out, "CD1", "CD1.par2")), "a folder's recovery set goes with it")


def private_posting(work, tag):
    """/obfuscate with PAR2: no article on the server shows a real file or
    folder name, the subject or the poster; nzbget downloads the NZB and
    every file comes back under its real name, byte for byte."""
    tree = random_tree(work, "Secret Holiday", {"Rome day one.bin": 250000, "Rome day two.bin": 120000})
    nzb = os.path.join(work, "private.nzb")
    run = subprocess.run(runner(tree, tag, "/maxlines=300", "/par2=10", "/obfuscate", "/nzb=" + nzb),
                         capture_output=True, text=True, timeout=300)
    check(run.returncode == 0, "tskivo posts privately")
    text = open(nzb, encoding="utf-8").read()
    ids = re.findall(r"<segment [^>]*>([^<]+)</segment>", text)
    reader = NntpReader(port=PORT)
    shown = []
    for message_id in ids:
        article = reader.article("<%s>" % message_id)
        head, _, body = article.partition(b"\r\n\r\n")
        words = head + b"\n" + body.split(b"\r\n", 1)[0]
        shown += [w for w in (b"Rome", b"Secret", b"Holiday", b"tester", b"E2E", tag.encode(), b".par2")
                  if w in words]
    reader.close()
    check(len(ids) > 5 and not shown, "no real name on the server (%d articles; %s)" % (len(ids), shown))
    compare(tree, download_nzb(nzb, os.path.join(work, "private-dl")), "private nzbget")


def archived_posting(work, tag):
    """/archive with a password, private and with PAR2: no article shows a
    real name; the NZB's head holds the password, and nzbget (as a server,
    picking the NZB up from its folder, which is how it reads the password)
    downloads, unpacks and gives back every file byte for byte."""
    tree = random_tree(work, "Secret Album", {"Beach photo.bin": 1500000, "Night photo.bin": 800000})
    nzb = os.path.join(work, "album.nzb")
    run = subprocess.run(runner(tree, tag, "/maxlines=300", "/par2=10", "/obfuscate", "/archive", "/volume=1",
                                "/password=open sesame", "/nzb=" + nzb), capture_output=True, text=True, timeout=300)
    check(run.returncode == 0, "tskivo posts an archive")
    if run.returncode != 0:
        print(run.stdout[-3000:], run.stderr[-2000:])
    text = open(nzb, encoding="utf-8").read()
    check('<meta type="password">open sesame</meta>' in text, "the NZB's head holds the password")
    check(len(re.findall(r'\.7z\.00\d', text)) >= 3, "the archive is posted in volumes")
    ids = re.findall(r"<segment [^>]*>([^<]+)</segment>", text)
    reader = NntpReader(port=PORT)
    shown = []
    for message_id in ids:
        article = reader.article("<%s>" % message_id)
        head, _, body = article.partition(b"\r\n\r\n")
        # Names anywhere (the archive's own names are encrypted too); the
        # three letters of the subject's lead only where text is, as the
        # encrypted bytes hold any three letters now and then.
        shown += [w for w in (b"Beach", b"Night", b"photo", b"Secret", b"Album", b"tester", tag.encode())
                  if w in article]
        shown += [b"E2E"] if b"E2E" in head + b"\n" + body.split(b"\r\n", 1)[0] else []
    reader.close()
    check(len(ids) > 20 and not shown, "no article names anything (%d articles; %s)" % (len(ids), shown))
    dl = os.path.join(work, "album-dl")
    os.makedirs(os.path.join(dl, "nzb"))
    shutil.copy(nzb, os.path.join(dl, "nzb"))
    options = {"OutputMode": "log", "MainDir": dl, "DestDir": os.path.join(dl, "dst"),
               "InterDir": os.path.join(dl, "inter"), "TempDir": os.path.join(dl, "tmp"),
               "QueueDir": os.path.join(dl, "queue"), "NzbDir": os.path.join(dl, "nzb"),
               "LogFile": os.path.join(dl, "log.txt"), "WebDir": "", "ConfigTemplate": "",
               "Server1.Host": "127.0.0.1", "Server1.Port": str(PORT), "Server1.Connections": "2",
               "Server1.Active": "yes", "ParCheck": "auto", "Unpack": "yes",
               "SevenZipCmd": shutil.which("7zz") or shutil.which("7z") or "7z",
               "ControlIP": "127.0.0.1", "ControlPort": "16791", "NzbDirInterval": "1", "NzbDirFileAge": "1"}
    cmd = ["nzbget", "-n"]
    for key, value in options.items():
        cmd += ["-o", "%s=%s" % (key, value)]
    server = subprocess.Popen(cmd + ["-s"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    out = os.path.join(dl, "dst", "album")
    deadline = time.time() + 120
    while time.time() < deadline and server.poll() is None:
        if os.path.exists(os.path.join(out, "Night photo.bin")) and not os.path.exists(os.path.join(out, "_unpack")):
            break
        time.sleep(0.5)
    subprocess.run(cmd + ["-Q"], capture_output=True, timeout=30)
    said = server.communicate(timeout=60)[0]
    check("Unpack for album successful" in said, "nzbget unpacks with the NZB's password")
    if "Unpack for album successful" not in said:
        print(said[-3000:])
    compare(tree, out, "archive nzbget")
    volumes = [n for n in os.listdir(os.environ["TMPDIR"]) if n.startswith("tskivo-volumes")]
    check(not volumes, "the volumes are removed once the posting is complete (%s)" % volumes)


def releases_each(work, tag):
    """/each: a release per subfolder, an NZB file each that lists only its
    own files; nzbget downloads each whole."""
    tree = os.path.join(work, "releases")
    random_tree(work, os.path.join("releases", "Day one"), {"a1.bin": 90000, "a2.bin": 3000})
    random_tree(work, os.path.join("releases", "Day two"), {"b1.bin": 120000})
    nzbs = os.path.join(work, "release-nzbs")
    os.makedirs(nzbs)
    run = subprocess.run(runner(tree, tag, "/maxlines=300", "/each", "/nzbdir=" + nzbs), capture_output=True,
                         text=True, timeout=300)
    check(run.returncode == 0, "tskivo posts each subfolder as a release")
    for day, own, other in (("Day one", "a1.bin", "b1.bin"), ("Day two", "b1.bin", "a1.bin")):
        nzb = os.path.join(nzbs, day + ".nzb")
        text = open(nzb, encoding="utf-8").read() if os.path.exists(nzb) else ""
        check(own in text and other not in text, "%s.nzb lists its own files only" % day)
        compare(os.path.join(tree, day), download_nzb(nzb, os.path.join(work, "each-" + day)), day + " nzbget")


def main():
    work = tempfile.mkdtemp(prefix="tskivo-e2e-")
    # The runners' private folders too: a runner killed with SIGKILL cannot
    # remove its own.
    os.environ["TMPDIR"] = os.path.join(work, "tmp")
    os.mkdir(os.environ["TMPDIR"])
    try:
        tree = os.path.join(work, "tree")
        make_tree(tree)
        tag = uuid.uuid4().hex[:10]

        nzb = os.path.join(work, "posted.nzb")
        post(tree, tag + "y", ["/ics", "/nzb=" + nzb, "/conn=4"])
        subjects, out = fetch_and_decode(tag + "y", work)
        compare(tree, out, "yEnc")
        compare(tree, download_nzb(nzb, work), "nzbget")
        check(any('"!contact-sheet-01.jpg"' in s for s in subjects), "a contact sheet was posted")
        leftovers = [n for _, _, fs in os.walk(tree) for n in fs if n.startswith("!contact-sheet")]
        check(not leftovers, "contact sheets were deleted after posting")
        check(any(s.startswith("E2E %sy .\\gc\\a\\ " % tag) for s in subjects), "folder labels in subjects")
        check(any("yEnc \"big.bin\" (1/" in s for s in subjects), "multi-part file subject")
        check(not any("secret.bin" in s for s in subjects), "dot folders are not posted")

        post(tree, tag + "u", ["/uuencode", "/nfl"])
        subjects, out = fetch_and_decode(tag + "u", work)
        compare(tree, out, "uuencode")
        check(any(s.startswith("E2E %su - 'gc\\a' " % tag) for s in subjects), "non-folder-like labels")
        resume_after_kills(work, tag + "r")
        resume_after_kills(work, tag + "m", 4)
        tree_comes_back_whole(work, tag + "t")
        par2_repair(work, tag + "p")
        private_posting(work, tag + "o")
        archived_posting(work, tag + "z")
        releases_each(work, tag + "e")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
