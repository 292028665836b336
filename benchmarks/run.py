"""quorlix benchmark suite.

Measures quorlix against the C library's crypt(3) and OpenSSH on this machine,
in one run, with interleaved repetitions, and prints each ratio beside its
target. Writes a Markdown table (results.md) and, when matplotlib is
installed, a plot (results.png) into build/benchmarks/ (--out changes that);
the copies beside this file are the reference run that docs/benchmarks.md shows.

Needs quorlix installed (pip install .), the C library's libcrypt with bcrypt
support, and for the OpenSSH comparison ssh-keygen. Run it on an otherwise
idle machine: the load average is printed before and after.

The rows marked "plain round" time the plain C++ Blowfish round, the one every
processor but x86-64 runs: the script builds quorlix with the asm left out
(QUORLIX_ASM=OFF) into build/benchmarks/plain, again whenever the sources
change, and times it in a worker process (plain_worker.py) interleaved with
the rest. --no-plain leaves those rows out.

Two rows time hashpw against crypt(3) on PyPy 3.11 and on CPython 3.14, in
the Debian unstable root that scripts/sid-root.sh makes (root only): quorlix
is built there by each interpreter into build/benchmarks/sid-*, again
whenever the sources change, and each interpreter times both calls in a
worker of its own, interleaved with the rest. Their target is this run's own
ratio, on the interpreter running this script, within 2%. --no-sid leaves
them out.

    python benchmarks/run.py            # the full suite, a few minutes
    python benchmarks/run.py --quick    # fewer repetitions, smaller costs
"""

import argparse
import ctypes
import ctypes.util
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

try:
    import quorlix
except ImportError:
    sys.exit("quorlix is not installed: run `pip install .` in the source tree first")

HERE = Path(__file__).resolve().parent


##############
### Timing ###
##############
def once(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def interleaved(fns, reps):
    """Median seconds of each callable, run alternately so drift hits all alike.

    A Remote call reports the seconds measured in the process that ran it."""
    samples = [[] for _ in fns]
    for _ in range(reps):
        for i, fn in enumerate(fns):
            samples[i].append(fn() if isinstance(fn, Remote) else once(fn))
    return [statistics.median(s) for s in samples]


def libcrypt():
    name = ctypes.util.find_library("crypt") or "libcrypt.so.1"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        sys.exit(f"cannot load the C library's crypt(3) ({name}): install libcrypt")
    lib.crypt.restype = ctypes.c_char_p
    lib.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    return lib.crypt


#############################
### The plain C++ round ###
#############################
PLAIN = HERE.parent / "build" / "benchmarks" / "plain"
PLAIN_SOURCES = ("crypto", "src", "python", "CMakeLists.txt", "pyproject.toml")


def source_digest(root):
    digest = hashlib.sha256()
    for top in PLAIN_SOURCES:
        path = root / top
        files = sorted(path.rglob("*")) if path.is_dir() else [path]
        for f in files:
            if f.is_file() and "__pycache__" not in f.parts:
                digest.update(str(f.relative_to(root)).encode() + b"\0" + f.read_bytes())
    return digest.hexdigest()


def build_plain_round():
    """The directory quorlix is built into with the asm left out, or None if the build fails."""
    root = HERE.parent
    stamp = PLAIN / ".source-digest"
    digest = source_digest(root)
    if stamp.is_file() and stamp.read_text() == digest:
        return PLAIN
    print("building quorlix with the plain C++ round (QUORLIX_ASM=OFF) into build/benchmarks/plain", flush=True)
    cmd = [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--upgrade", "--target", str(PLAIN)]
    cmd += ["-C", "cmake.define.QUORLIX_ASM=OFF", "-C", f"build-dir={PLAIN.parent / 'plain-build'}", str(root)]
    if subprocess.run(cmd).returncode != 0:
        print("that build failed: no plain-round rows\n", flush=True)
        return None
    stamp.write_text(digest)
    return PLAIN


class Remote:
    """One call in the worker; calling it returns the seconds the worker measured."""

    def __init__(self, worker, request):
        self.worker, self.request = worker, request

    def __call__(self):
        return self.worker.ask(self.request)[0]


class PlainWorker:
    """A build of quorlix (by default the plain-round one), loaded in a process
    of its own, by default of this interpreter."""

    def __init__(self, directory, python=(sys.executable,)):
        cmd = [*python, str(HERE / "plain_worker.py"), str(directory)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=HERE.parent)

    def ask(self, request):
        self.proc.stdin.write(request + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            sys.exit(f"the plain-round worker ended on: {request}")
        seconds, result = line.split()
        return float(seconds), result

    def hashpw(self, password, setting):
        return Remote(self, f"hashpw {password.hex()} {setting.decode()}")

    def crypt(self, password, setting):
        return Remote(self, f"crypt {password.hex()} {setting.decode()}")

    def kdf(self, password, salt, length, rounds):
        return Remote(self, f"kdf {password.hex()} {salt.hex()} {length} {rounds}")

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


#############################################
### PyPy and CPython 3.14 (Debian unstable) ###
#############################################
SID_ROOT = Path(os.environ.get("QUORLIX_SID_ROOT", "/var/cache/quorlix/sid"))
SID_RUN = [str(HERE.parent / "scripts" / "sid-root.sh"), "run"]
SID_PYTHONS = {"PyPy 3.11": "pypy3", "CPython 3.14": "python3.14"}


def sid_workers():
    """(name, worker) for each interpreter of the root that could build quorlix."""
    if os.geteuid() != 0 or not (SID_ROOT / ".packages").is_file():
        print("no Debian unstable root (scripts/sid-root.sh make, as root): no PyPy and 3.14 rows\n", flush=True)
        return []
    root, out = HERE.parent, HERE.parent / "build" / "benchmarks"
    workers = []
    for name, python in SID_PYTHONS.items():
        venv, target = out / f"sid-venv-{python}", out / f"sid-{python}"
        stamp, digest = target / ".source-digest", source_digest(root)
        if not (stamp.is_file() and stamp.read_text() == digest):
            print(f"building quorlix for {name} into build/benchmarks/sid-{python}", flush=True)
            pip = [str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-deps", "--upgrade"]
            pip += ["--target", str(target), "-C", f"build-dir={out / f'sid-build-{python}'}", str(root)]
            made = subprocess.run([*SID_RUN, python, "-m", "venv", str(venv)], cwd=root).returncode == 0
            if not made or subprocess.run(SID_RUN + pip, cwd=root).returncode != 0:
                print(f"that build failed: no {name} row\n", flush=True)
                continue
            stamp.write_text(digest)
        workers.append((name, PlainWorker(target, [*SID_RUN, python])))
    return workers


##################
### The checks ###
##################
class Report:
    def __init__(self):
        self.rows = []

    def add(self, name, ratio, target, detail, lower_is_better=True):
        met = ratio <= target if lower_is_better else ratio >= target
        sign = "<=" if lower_is_better else ">="
        self.rows.append((name, f"{ratio:.3f}", f"{sign} {target}", "yes" if met else "NO", detail))
        print(
            f"{name:<58} {ratio:7.3f}  target {sign} {target:<5} {'met' if met else 'NOT MET'}  ({detail})", flush=True
        )

    def markdown(self):
        lines = ["| measurement | ratio | target | met | detail |", "|---|---|---|---|---|"]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(lines)


def bench_hashpw(crypt, cost, reps, plain=None, others=()):
    """Median seconds of quorlix's hashpw, crypt(3)'s, given the worker the plain
    round's, and each other interpreter's hashpw and crypt(3), in that order."""
    setting = quorlix.gensalt(cost)
    pw = b"correct horse battery staple"
    want = crypt(pw, setting)
    assert quorlix.hashpw(pw, setting) == want
    fns = [lambda: quorlix.hashpw(pw, setting), lambda: crypt(pw, setting)]
    if plain:
        assert plain.ask(plain.hashpw(pw, setting).request)[1].encode() == want
        fns.append(plain.hashpw(pw, setting))
    for other in others:
        for call in (other.hashpw(pw, setting), other.crypt(pw, setting)):
            assert other.ask(call.request)[1].encode() == want
            fns.append(call)
    return interleaved(fns, reps)


def bench_kdf_blocks(report, rounds, reps, plain=None):
    """Keys of several PBKDF2 blocks against their blocks computed in turn."""
    pw, salt = b"passphrase", os.urandom(16)
    lengths = (32, 48, 128)
    fns = [lambda n=n: quorlix.kdf(pw, salt, n, rounds, True) for n in lengths]
    if plain:
        for n in lengths:
            assert plain.ask(plain.kdf(pw, salt, n, rounds).request)[1] == quorlix.kdf(pw, salt, n, rounds, True).hex()
        fns += [plain.kdf(pw, salt, n, rounds) for n in lengths]
    times = interleaved(fns, reps)
    report_blocks(report, rounds, *times[:3])
    if plain:
        report_blocks(report, rounds, *times[3:], ", plain round")


def report_blocks(report, rounds, one, two, four, which=""):
    report.add(
        f"kdf 48 bytes / two 32-byte blocks in turn{which}",
        two / (2 * one),
        0.6,
        f"rounds {rounds}: {two * 1e3:.1f} ms vs 2 x {one * 1e3:.1f} ms",
    )
    report.add(
        f"kdf 128 bytes / four 32-byte blocks in turn{which}",
        four / (4 * one),
        0.6,
        f"rounds {rounds}: {four * 1e3:.1f} ms vs 4 x {one * 1e3:.1f} ms",
    )


def bench_kdf_lengths(rounds, reps, lengths):
    """(length, seconds) of kdf for the plot, beyond the lengths OpenSSH uses."""
    pw, salt = b"passphrase", os.urandom(16)
    times = interleaved([lambda n=n: quorlix.kdf(pw, salt, n, rounds, True) for n in lengths], reps)
    return list(zip(lengths, times, strict=False))


def openssh_key(tmp, rounds, cipher="aes256-ctr"):
    path = Path(tmp) / f"key_{cipher}_{rounds}"
    subprocess.run(
        [
            "ssh-keygen",
            "-q",
            "-t",
            "ed25519",
            "-N",
            "bench pass",
            "-a",
            str(rounds),
            "-Z",
            cipher,
            "-C",
            "",
            "-f",
            str(path),
        ],
        check=True,
    )
    return path


def ssh_salt(path):
    import base64
    import struct

    lines = path.read_text().strip().splitlines()
    blob = base64.b64decode("".join(lines[1:-1]))
    at = len(b"openssh-key-v1\x00")

    def string():
        nonlocal at
        (n,) = struct.unpack(">I", blob[at : at + 4])
        at += 4 + n
        return blob[at - n : at]

    string(), string()
    opts = string()
    (n,) = struct.unpack(">I", opts[:4])
    return opts[4 : 4 + n]


KEY_BYTES = {"aes128-ctr": 32, "aes192-ctr": 40, "aes256-ctr": 48, "chacha20-poly1305@openssh.com": 64}


def bench_openssh(report, rounds, reps, tmp):
    points = []
    for cipher, length in KEY_BYTES.items():
        path = openssh_key(tmp, rounds, cipher)
        salt = ssh_salt(path)
        cmd = ["ssh-keygen", "-y", "-P", "bench pass", "-f", str(path)]
        ours, theirs = interleaved(
            [
                lambda salt=salt, length=length: quorlix.kdf(b"bench pass", salt, length, rounds, True),
                lambda cmd=cmd: subprocess.run(cmd, check=True, capture_output=True),
            ],
            reps,
        )
        points.append((length, ours, theirs))
        if cipher == "aes256-ctr":
            report.add(
                "kdf 48 bytes / OpenSSH (ssh-keygen -y)",
                ours / theirs,
                0.6,
                f"rounds {rounds}: {ours * 1e3:.1f} ms vs {theirs * 1e3:.1f} ms",
            )
    return points


def bench_threads(report, cost, reps):
    setting = quorlix.gensalt(cost)
    n = os.cpu_count() or 1
    per_thread = 4

    def batch():
        for _ in range(per_thread):
            quorlix.hashpw(b"pw", setting)

    def threaded():
        ts = [threading.Thread(target=batch) for _ in range(n)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    single, multi = interleaved([batch, threaded], reps)
    speedup = (n * single) / multi
    report.add(
        f"{n} threads / one thread, throughput",
        speedup / n,
        0.95,
        f"{speedup:.2f}x with {n} threads at cost {cost}",
        lower_is_better=False,
    )


def bench_gensalt(report, reps):
    calls = 20000
    best = min(once(lambda: [quorlix.gensalt() for _ in range(calls)]) for _ in range(reps))
    micro = best / calls * 1e6
    report.add("gensalt() microseconds per call", micro, 1.5, f"best of {reps} x {calls} calls")


########################
### The whole suite ###
########################
def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer repetitions and smaller workloads")
    ap.add_argument("--reps", type=int, default=None, help="interleaved repetitions (default 7, quick 5)")
    ap.add_argument("--no-plot", action="store_true", help="skip the PNG plot")
    ap.add_argument("--no-plain", action="store_true", help="leave out the rows of the plain C++ round")
    ap.add_argument("--no-sid", action="store_true", help="leave out the rows of PyPy and CPython 3.14")
    ap.add_argument(
        "--out",
        type=Path,
        default=HERE.parent / "build" / "benchmarks",
        help="where results.md and results.png go (default build/benchmarks)",
    )
    args = ap.parse_args()
    reps = args.reps or (5 if args.quick else 7)

    crypt = libcrypt()
    report = Report()
    machine = f"{platform.machine()}, {os.cpu_count()} cores, {cpu_model()}, Python {platform.python_version()}"
    print(f"quorlix {quorlix.__version__} on {machine}", flush=True)
    load_before = load_average()
    print(f"load average {load_before} (1, 5, 15 min); other work on the machine skews the ratios\n", flush=True)
    plain_dir = None if args.no_plain else build_plain_round()
    plain = PlainWorker(plain_dir) if plain_dir else None
    others = [] if args.no_sid else sid_workers()

    cost_hi = 10 if args.quick else 12
    ours, theirs, *rest = bench_hashpw(crypt, cost_hi, reps, plain, [w for _, w in others])
    plain_hi, rest = rest[: bool(plain)], rest[bool(plain) :]
    report.add(
        f"hashpw cost {cost_hi} / crypt(3)", ours / theirs, 0.97, f"{ours * 1e3:.1f} ms vs {theirs * 1e3:.1f} ms"
    )
    for (name, worker), o, t in zip(others, rest[::2], rest[1::2], strict=True):
        report.add(
            f"hashpw cost {cost_hi} / crypt(3), {name}",
            o / t,
            round(ours / theirs * 1.02, 3),
            f"{o * 1e3:.1f} ms vs {t * 1e3:.1f} ms; Python {platform.python_version()}: {ours / theirs:.3f}",
        )
        worker.close()
    if plain_hi:
        report.add(
            f"hashpw cost {cost_hi} / crypt(3), plain round",
            plain_hi[0] / theirs,
            0.97,
            f"{plain_hi[0] * 1e3:.1f} ms vs {theirs * 1e3:.1f} ms",
        )
    ours4, theirs4 = bench_hashpw(crypt, 4, reps * 20)
    report.add("hashpw cost 4 / crypt(3)", ours4 / theirs4, 1.02, f"{ours4 * 1e6:.0f} us vs {theirs4 * 1e6:.0f} us")

    kdf_rounds = 16 if args.quick else 64
    bench_kdf_blocks(report, kdf_rounds, reps, plain)
    if plain:
        plain.close()
    curve_kdf = []
    if shutil.which("ssh-keygen"):
        with tempfile.TemporaryDirectory() as tmp:
            curve_kdf = bench_openssh(report, kdf_rounds, reps, tmp)
    else:
        print("ssh-keygen not found: no comparison with OpenSSH", flush=True)
    curve_kdf_long = bench_kdf_lengths(kdf_rounds, max(3, reps - 2), (96, 128, 256, 512))
    bench_threads(report, 8 if args.quick else 10, reps)
    bench_gensalt(report, reps)

    curve_cost = []
    for cost in range(4, cost_hi + 1):
        o, t = bench_hashpw(crypt, cost, max(3, reps - 2))
        curve_cost.append((cost, o, t))

    load = f"load average {load_before} before, {load_average()} after"
    md = f"Machine: {machine}; {load}\n\n" + report.markdown() + "\n"
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.md").write_text(md)
    print("\n" + md)
    if not args.no_plot:
        plot(curve_cost, curve_kdf, curve_kdf_long, kdf_rounds, machine, args.out)


def load_average():
    try:
        return ", ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def plot(curve_cost, curve_kdf, curve_kdf_long, kdf_rounds, machine, out):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
    costs = [c for c, _, _ in curve_cost]
    a.semilogy(costs, [o * 1e3 for _, o, _ in curve_cost], "o-", label="quorlix hashpw")
    a.semilogy(costs, [t * 1e3 for _, _, t in curve_cost], "s--", label="crypt(3)")
    a.set_xlabel("bcrypt cost")
    a.set_ylabel("milliseconds")
    a.set_title("hashpw time against cost")
    a.legend()
    ours = sorted([(n, o) for n, o, _ in curve_kdf] + curve_kdf_long)
    b.plot([n for n, _ in ours], [o * 1e3 for _, o in ours], "o-", label="quorlix kdf")
    if curve_kdf:
        b.plot([n for n, _, _ in curve_kdf], [t * 1e3 for _, _, t in curve_kdf], "s--", label="OpenSSH ssh-keygen -y")
    b.set_xscale("log", base=2)
    b.set_xticks([32, 64, 128, 256, 512], ["32", "64", "128", "256", "512"])
    b.set_xlabel("key bytes")
    b.set_ylabel("milliseconds")
    b.set_title(f"bcrypt_pbkdf, {kdf_rounds} rounds")
    b.set_ylim(bottom=0)
    b.legend()
    fig.suptitle(machine, fontsize=8)
    fig.tight_layout()
    fig.savefig(out / "results.png", dpi=110)
    print(f"plot written to {out / 'results.png'}")


if __name__ == "__main__":
    sys.exit(main())
