#!/usr/bin/env python3
"""Checks the release matrix that this machine cannot run: each row of
.github/workflows/wheels.yml must select, among the builds that cibuildwheel
derives from [tool.cibuildwheel] in pyproject.toml, exactly the interpreter
versions the project supports on its system (every CPython, and PyPy where
there is a PyPy for it: not on musl), and every such build must belong to a
row. Needs cibuildwheel and PyYAML."""

import fnmatch
import re
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import Any

import yaml  # type: ignore[import-untyped]

ROOT = Path(__file__).resolve().parents[1]
CPYTHONS = ["cp311", "cp312", "cp313", "cp314", "cp315"]
PYPYS = ["pp311"]
# Windows wheels are tested on the oldest and the newest CPython only.
CPYTHONS_WINDOWS = [CPYTHONS[0], CPYTHONS[-1]]
PLATFORMS = [
    ("linux", "x86_64"),
    ("linux", "aarch64"),
    ("macos", "x86_64"),
    ("macos", "arm64"),
    ("windows", "AMD64"),
    ("windows", "ARM64"),
]


def identifiers(platform: str, arch: str) -> list[str]:
    done = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform, "--archs", arch],
        cwd=ROOT,
        check=True,
        capture_output=True,
        text=True,
    )
    # A build this machine could not even cross-compile is only noted as
    # selected (PyPy for macOS arm64 on x86-64).
    return done.stdout.split() + re.findall(r"Note: (\S+) was selected, but can't be built", done.stderr)


def main() -> int:
    workflow: dict[str, Any] = yaml.safe_load((ROOT / ".github/workflows/wheels.yml").read_text())
    rows = workflow["jobs"]["wheels"]["strategy"]["matrix"]["include"]
    builds = [i for p, a in PLATFORMS for i in identifiers(p, a)]
    faults = []
    covered: set[str] = set()
    for row in rows:
        chosen = sorted(fnmatch.filter(builds, row["build"]))
        covered.update(chosen)
        print(f"{row['name']:18} {row['os']:17} {' '.join(chosen)}")
        if "-win" in row["build"]:
            expected = CPYTHONS_WINDOWS
        else:
            expected = CPYTHONS + ([] if "musllinux" in row["build"] else PYPYS)
        if sorted(b.split("-")[0] for b in chosen) != sorted(expected):
            faults.append(f"{row['name']}: builds {chosen or 'nothing'}")
    faults += [f"{b}: in no row of the workflow" for b in builds if b not in covered]
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    if "{project}/tests/python" not in config["test-command"]:
        faults.append("cibuildwheel runs no test suite against the wheels")
    for f in faults:
        print("FAULT:", f, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
