"""hashpw against crypt(3), timed in many fresh processes per build.

A ratio here moves by about two per cent from one process to the next, so a
single run of run.py can land either side of a target. This times hashpw
and the C library's crypt(3) alternately, seven times each, in a fresh
process, for each virtual environment given in turn (one build of quorlix
each: say the default and a QUORLIX_ASM=OFF one), and prints each build's
median ratio over all its processes.

    python benchmarks/fresh_processes.py [--processes 6] [--cost 12] VENV...
"""

import argparse
import statistics
import subprocess
from pathlib import Path

ONE_PROCESS = r"""
import ctypes, ctypes.util, statistics, sys, time
import quorlix
crypt = ctypes.CDLL(ctypes.util.find_library("crypt") or "libcrypt.so.1").crypt
crypt.restype, crypt.argtypes = ctypes.c_char_p, [ctypes.c_char_p, ctypes.c_char_p]
setting, password = quorlix.gensalt(int(sys.argv[1])), b"correct horse battery staple"
assert quorlix.hashpw(password, setting) == crypt(password, setting)
ours, theirs = [], []
for _ in range(7):
    start = time.perf_counter(); quorlix.hashpw(password, setting); ours.append(time.perf_counter() - start)
    start = time.perf_counter(); crypt(password, setting); theirs.append(time.perf_counter() - start)
print(statistics.median(ours) / statistics.median(theirs))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--processes", type=int, default=6)
    ap.add_argument("--cost", type=int, default=12)
    ap.add_argument("venvs", nargs="+", type=Path)
    args = ap.parse_args()
    ratios = {venv: [] for venv in args.venvs}
    for _ in range(args.processes):
        for venv in args.venvs:
            done = subprocess.run(
                [venv / "bin" / "python", "-c", ONE_PROCESS, str(args.cost)],
                capture_output=True,
                text=True,
                check=True,
            )
            ratios[venv].append(float(done.stdout))
    for venv, found in ratios.items():
        print(
            f"{venv}: hashpw cost {args.cost} / crypt(3) median {statistics.median(found):.3f} "
            f"({min(found):.3f} to {max(found):.3f}, {len(found)} processes)"
        )


if __name__ == "__main__":
    main()
