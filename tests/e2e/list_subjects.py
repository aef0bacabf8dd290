"""Prints the subjects in GROUP that start with PREFIX, one a line; with
--first-article, then a line "--article--" and the first such article as the
server gives it back (dot-stuffing undone).

usage: list_subjects.py GROUP PREFIX [--first-article]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nntp_client import NntpReader  # noqa: E402

group, prefix = sys.argv[1], sys.argv[2]
reader = NntpReader()
found = [o for o in reader.overview(group) if o[1].startswith(prefix)]
for _, subject, _ in found:
    print(subject)
if found and "--first-article" in sys.argv[3:]:
    print("--article--")
    sys.stdout.flush()
    sys.stdout.buffer.write(reader.article(found[0][2]))
reader.close()
