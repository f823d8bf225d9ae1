#!/usr/bin/env python3
"""Writes the RECORD of the installed module: each file the installation put into the site
folder with its SHA-256 and size, then RECORD itself without either, in the format Python's
"Recording installed projects" gives. pip reads it to tell which files belong to corvane.

    write_record.py <site folder> <dist-info folder> <installed file>...

Paths are relative to the site folder. Run after the files are installed (and stripped):
the hashes are those of the files as they lie there.
"""
import base64
import csv
import hashlib
import pathlib
import sys


def digest(path):
    raw = hashlib.sha256(path.read_bytes()).digest()
    return "sha256=" + base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii")


def main():
    site = pathlib.Path(sys.argv[1])
    record = pathlib.PurePosixPath(sys.argv[2]) / "RECORD"
    rows = [[name, digest(site / name), (site / name).stat().st_size] for name in sys.argv[3:]]
    rows.append([str(record), "", ""])
    path = site / record
    with path.open("w", encoding="utf-8", newline="") as out:
        csv.writer(out, lineterminator="\n").writerows(rows)
    path.chmod(0o644)


if __name__ == "__main__":
    main()
