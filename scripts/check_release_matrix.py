#!/usr/bin/env python3
"""Checks the release matrix that this machine cannot run: each row of
.github/workflows/wheels.yml, with the CIBW_BUILD it sets (which replaces
the build list of [tool.cibuildwheel] in pyproject.toml), must select
exactly the CPython versions the project supports on its system, and every
build that pyproject.toml derives must belong to a row. Needs cibuildwheel
and PyYAML."""

import os
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import Any

import yaml  # type: ignore[import-untyped]

ROOT = Path(__file__).resolve().parents[1]
PYTHONS = ["cp311", "cp312", "cp313"]
# Windows wheels are tested on the oldest and the newest only.
PYTHONS_WINDOWS = [PYTHONS[0], PYTHONS[-1]]
RUNNERS = {"ubuntu-": "linux", "macos-": "macos", "windows-": "windows"}
PLATFORMS = [
    ("linux", "x86_64"),
    ("linux", "aarch64"),
    ("macos", "x86_64"),
    ("macos", "arm64"),
    ("windows", "AMD64"),
    ("windows", "ARM64"),
]


def identifiers(platform: str, arch: str, build: str | None = None) -> list[str]:
    """The builds cibuildwheel derives; with CIBW_BUILD set to build, as a
    row of the workflow sets it, which replaces the list in pyproject.toml."""
    env = dict(os.environ)
    env.pop("CIBW_BUILD", None)
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
    return done.stdout.split()


def platform_of(runner: str) -> str:
    return next(p for prefix, p in RUNNERS.items() if runner.startswith(prefix))


def main() -> int:
    workflow: dict[str, Any] = yaml.safe_load((ROOT / ".github/workflows/wheels.yml").read_text())
    rows = workflow["jobs"]["wheels"]["strategy"]["matrix"]["include"]
    builds = [i for p, a in PLATFORMS for i in identifiers(p, a)]
    faults = []
    covered: set[str] = set()
    for row in rows:
        chosen = sorted(identifiers(platform_of(row["os"]), "all", row["build"]))
        covered.update(chosen)
        print(f"{row['name']:18} {row['os']:17} {' '.join(chosen)}")
        wanted = PYTHONS_WINDOWS if "-win" in row["build"] else PYTHONS
        if sorted(b.split("-")[0] for b in chosen) != wanted:
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
