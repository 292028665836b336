#!/usr/bin/env python3
"""Writes the module-definition file of an import library for python3.dll
from the interpreter names that the module's objects import (their
undefined __imp_ symbols, one a line on standard input), and fails if one of
them is not in the stable ABI of the given version: python3.dll exports only
those. Needs abi3info.

    llvm-nm -u OBJECTS | python3_def.py 3.11 > python3.def
"""

import sys

import abi3info  # type: ignore[import-not-found]
from abi3info.models import PyVersion  # type: ignore[import-not-found]


def main() -> int:
    version = PyVersion.parse_dotted(sys.argv[1])
    stable = {
        s.name: item
        for table in (abi3info.FUNCTIONS, abi3info.DATAS)
        for s, item in table.items()
        if item.added <= version and (item.ifdef is None or item.ifdef.windows)
    }
    imported = {w[len("__imp_") :] for line in sys.stdin for w in line.split() if w.startswith("__imp_")}
    names = sorted(n for n in imported if n.startswith(("Py", "_Py")))
    outside = [n for n in names if n not in stable]
    for n in outside:
        print(f"{n}: not in the stable ABI of {version}", file=sys.stderr)
    print("LIBRARY python3.dll\nEXPORTS")
    for n in names:
        print(f"  {n}{' DATA' if isinstance(stable.get(n), abi3info.models.Data) else ''}")
    return 1 if outside or not names else 0


if __name__ == "__main__":
    sys.exit(main())
