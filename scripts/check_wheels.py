#!/usr/bin/env python3
"""Checks Linux wheels against the glibc they claim, from the module itself
rather than from the tag, and prints one table row per wheel:

    check_wheels.py [--glibc 2.17] WHEEL...

For each wheel: the file name must carry the tag manylinux_<glibc> for the
wheel's processor, `auditwheel show` must find it meets that policy or an
older one, and every extension
module in it must be built for that processor, import no glibc symbol
version newer than the floor, need no shared library but the C library's
and libgcc_s (the unwinder that glibc itself loads to end threads), and
export nothing but its PyInit function. Reads ELF files with readelf, which
knows every processor."""

import argparse
import re
import subprocess
import sys
import tempfile
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

# e_machine as readelf names it, for each wheel processor.
MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
SYSTEM_LIBRARIES = re.compile(
    r"^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-.*\.so\.\d|libgcc_s\.so\.1)$"
)
VERSIONED = re.compile(r"@(GLIBC|GCC)_([0-9.]+)")


def version_key(v: str) -> tuple[int, ...]:
    return tuple(int(p) for p in v.split("."))


@dataclass
class Module:
    name: str
    machine: str = ""
    needed: list[str] = field(default_factory=list)
    glibc: set[str] = field(default_factory=set)
    gcc: set[str] = field(default_factory=set)
    exported: list[str] = field(default_factory=list)


def readelf(*args: str) -> str:
    return subprocess.run(["readelf", "-W", *args], check=True, capture_output=True, text=True).stdout


def inspect(path: Path, name: str) -> Module:
    m = Module(name)
    header = readelf("-h", str(path))
    m.machine = re.search(r"Machine:\s+(.*)", header).group(1).strip()  # type: ignore[union-attr]
    m.needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", readelf("-d", str(path)))
    for line in readelf("--dyn-syms", str(path)).splitlines():
        cols = line.split()
        if len(cols) < 8 or not cols[0].endswith(":"):
            continue
        symbol = cols[7]
        if cols[6] == "UND":
            for lib, version in VERSIONED.findall(symbol):
                (m.glibc if lib == "GLIBC" else m.gcc).add(version)
        elif cols[4] in ("GLOBAL", "WEAK") and cols[3] in ("FUNC", "OBJECT"):
            m.exported.append(symbol.split("@")[0])
    return m


def auditwheel_policy(wheel: Path) -> str:
    shown = subprocess.run(["auditwheel", "show", str(wheel)], check=True, capture_output=True, text=True).stdout
    found = re.search(r'platform tag:\s+"([^"]+)"', " ".join(shown.split()))
    return found.group(1) if found else "(none)"


def check(wheel: Path, floor: str) -> tuple[list[str], str]:
    """Returns the faults found and the table row."""
    faults = []
    arch = next((a for a in MACHINES if wheel.name.endswith(f"_{a}.whl")), None)
    if arch is None:
        return [f"{wheel.name}: not a wheel for {' or '.join(MACHINES)}"], ""
    expected = f"manylinux_{floor.replace('.', '_')}_{arch}"
    if expected not in wheel.name[:-4].split("-")[-1].split("."):
        faults.append(f"{wheel.name}: the file name does not carry {expected}")
    # auditwheel names the oldest policy the wheel meets.
    policy = auditwheel_policy(wheel)
    met = re.fullmatch(rf"manylinux_(\d+)_(\d+)_{arch}", policy)
    if not met or version_key(f"{met[1]}.{met[2]}") > version_key(floor):
        faults.append(f"{wheel.name}: auditwheel calls it {policy}, not {expected} or older")

    modules = []
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            if name.endswith(".so") or ".so." in name:
                modules.append(inspect(Path(z.extract(name, tmp)), name))
    if not modules:
        faults.append(f"{wheel.name}: holds no extension module")
    for m in modules:
        where = f"{wheel.name}: {m.name}"
        if m.machine != MACHINES[arch]:
            faults.append(f"{where}: built for {m.machine}")
        newer = sorted(v for v in m.glibc if version_key(v) > version_key(floor))
        if newer:
            faults.append(f"{where}: needs GLIBC_{', GLIBC_'.join(newer)}")
        foreign = [lib for lib in m.needed if not SYSTEM_LIBRARIES.match(lib)]
        if foreign:
            faults.append(f"{where}: needs {', '.join(foreign)}")
        if m.name.rsplit("/", 1)[-1].startswith("_quorlix.") and m.exported != ["PyInit__quorlix"]:
            faults.append(f"{where}: exports {', '.join(m.exported) or 'nothing'}")

    def versions(prefix: str, vs: set[str]) -> str:
        return ", ".join(prefix + v for v in sorted(vs, key=version_key)) or "-"

    glibc = set().union(*(m.glibc for m in modules))
    gcc = set().union(*(m.gcc for m in modules))
    needed = sorted(set().union(*(m.needed for m in modules)))
    size = f"{wheel.stat().st_size / 1024:.0f} KiB"
    cells = [wheel.name, policy, size, versions("GLIBC_", glibc), versions("GCC_", gcc), ", ".join(needed)]
    return faults, "| " + " | ".join(cells) + " |"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--glibc", default="2.17", help="the oldest glibc the wheels must load on")
    parser.add_argument("wheels", nargs="+", type=Path)
    args = parser.parse_args()
    print("| wheel | auditwheel policy | size | glibc versions | libgcc_s versions | needs |")
    print("|---|---|---|---|---|---|")
    faults = []
    for wheel in args.wheels:
        found, row = check(wheel, args.glibc)
        faults += found
        if row:
            print(row)
    for f in faults:
        print("FAULT:", f, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
