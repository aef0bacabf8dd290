"""Prints the subjects in GROUP that start with PREFIX, one a line.

usage: list_subjects.py GROUP PREFIX [PORT]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nntp_client import NntpReader  # noqa: E402

group, prefix = sys.argv[1], sys.argv[2]
port = int(sys.argv[3]) if len(sys.argv) > 3 else 119
reader = NntpReader(port=port)
for _, subject, _ in reader.overview(group):
    if subject.startswith(prefix):
        print(subject)
reader.close()
