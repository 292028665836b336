#!/usr/bin/env python3
"""Reads memcheck's XML output and fails on any error or definite leak with
a frame in the module. The interpreter's own reports (it keeps some memory
until exit, and reads some of its memory in ways memcheck distrusts) are
counted but do not fail the run.

    valgrind_report.py MEMCHECK.xml
"""

import collections
import sys
import xml.etree.ElementTree as ET
from collections.abc import Iterator

MODULE = "_quorlix"
# Leaks of these kinds are memory still pointed to at exit, not lost.
NOT_LOST = {"Leak_StillReachable", "Leak_PossiblyLost", "Leak_IndirectlyLost"}


Frame = tuple[str, str, str | None, str | None]


def frames(error: ET.Element) -> Iterator[Frame]:
    for f in error.iter("frame"):
        yield f.findtext("fn") or "???", f.findtext("obj") or "", f.findtext("file"), f.findtext("line")


def main(path: str) -> int:
    root = ET.parse(path).getroot()
    ours: list[ET.Element] = []
    theirs: collections.Counter[str | None] = collections.Counter()
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind in NOT_LOST:
            continue
        if any(MODULE in obj for _, obj, _, _ in frames(error)):
            ours.append(error)
        else:
            theirs[kind] += 1
    print(f"memcheck: {len(ours)} reports in the module, {sum(theirs.values())} elsewhere {dict(theirs)}")
    for error in ours:
        what = error.findtext("kind")
        text = error.findtext("what") or error.findtext("xwhat/text") or ""
        print(f"\n{what}: {text}")
        for fn, obj, file, line in frames(error):
            where = f"{file}:{line}" if file else obj
            print(f"    {fn} ({where})")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
