#!/usr/bin/env python3
"""Checks the release matrix that this machine cannot run: each row of
.github/workflows/wheels.yml, with the CIBW_BUILD it sets (which replaces
the build list of [tool.cibuildwheel] in pyproject.toml), must select
exactly the interpreter versions the project supports on its system (every
CPython, and PyPy where there is a PyPy for it: not on musl; in a row marked
free-threaded, every free-threaded CPython), and every
build that pyproject.toml derives must belong to a row. Needs cibuildwheel
and PyYAML."""

import os
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
CPYTHONS_FREE_THREADED = ["cp314t", "cp315t"]
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
RUNNERS = {"ubuntu-": "linux", "macos-": "macos", "windows-": "windows"}


def identifiers(platform: str, arch: str, build: str | None = None) -> list[str]:
    """The builds cibuildwheel derives; with CIBW_BUILD set to build, as a
    row of the workflow sets it."""
    env = {k: v for k, v in os.environ.items() if k != "CIBW_BUILD"}
    if build is not None:
        env["CIBW_BUILD"] = build
    done = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform, "--archs", arch],
        cwd=ROOT,
        check=True,
        capture_output=True,
        text=True,
        env=env,
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
        platform = next(p for prefix, p in RUNNERS.items() if row["os"].startswith(prefix))
        chosen = sorted(identifiers(platform, "all", row["build"]))
        covered.update(chosen)
        print(f"{row['name']:18} {row['os']:17} {' '.join(chosen)}")
        if row.get("free-threaded"):
            expected = CPYTHONS_FREE_THREADED
        elif "-win" in row["build"]:
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
