"""The quorlix command line, end to end through real processes."""

import base64
import os
import re
import resource
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from _quorlix import checkpw, gensalt, hashpw, kdf

import quorlix
from conftest import SANITIZED, crypt3, run_python

if sys.platform != "win32":
    import pty
# Terminals, POSIX signals and /dev files that Windows has not.
POSIX = pytest.mark.skipif(sys.platform == "win32", reason="POSIX terminals, signals or /dev files")

SCRIPT = [str(Path(sys.executable).with_name("quorlix"))]
if not os.access(SCRIPT[0], os.X_OK):
    SCRIPT = [shutil.which("quorlix") or "quorlix"]
MODULE = [sys.executable, "-m", "quorlix"]
ENTRIES = pytest.mark.parametrize("entry", [SCRIPT, MODULE], ids=["script", "module"])

HASH_RE = re.compile(rb"\$2[ab]\$\d\d\$[./A-Za-z0-9]{53}")
SALT = "$2b$04$" + "C" * 21 + "."
HASH = hashpw(b"pw", SALT.encode()).decode()


def run(*args, stdin=b"", entry=SCRIPT, **kwargs):
    """Runs the command; stdin is bytes to pipe in, or a subprocess constant."""
    io = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    return subprocess.run([*entry, *args], capture_output=True, timeout=60, **io, **kwargs)


def one_line(stream: bytes) -> str:
    text = stream.decode()
    assert text.endswith("\n") and text.count("\n") == 1, text
    return text[:-1]


@ENTRIES
@pytest.mark.parametrize("line", [b"correct horse\n", b"correct horse\r\n", b"correct horse"])
def test_hash_then_check_through_a_pipe(entry, line):
    made = run("hash", "--rounds", "4", stdin=line, entry=entry)
    assert made.returncode == 0, made.stderr
    hashed = made.stdout.rstrip(b"\n")
    assert made.stdout.endswith(b"\n") and HASH_RE.fullmatch(hashed)
    assert hashed.startswith(b"$2b$04$")
    assert checkpw(b"correct horse", hashed)

    good = run("check", hashed.decode(), stdin=line, entry=entry)
    assert (good.returncode, good.stdout, good.stderr) == (0, b"password matches\n", b"")
    bad = run("check", hashed.decode(), stdin=b"correct horse!\n", entry=entry)
    assert (bad.returncode, bad.stdout, bad.stderr) == (1, b"password does not match\n", b"")


@pytest.mark.parametrize(
    "piped, password",
    [
        (b"first\nsecond\n", b"first"),  # one line only
        (b"\xff\xfe caf\xc3\xa9\n", b"\xff\xfe caf\xc3\xa9"),  # bytes as given, not decoded
        (b"\n", b""),  # an empty line is an empty password
        (b"a\x00b\n", b"a\x00b"),
        (b"x" * 72 + b"\n", b"x" * 72),
    ],
)
def test_hash_reads_the_line_as_bytes(piped, password):
    made = run("hash", "--rounds", "4", "--prefix", "2a", stdin=piped)
    assert made.returncode == 0, made.stderr
    hashed = made.stdout.strip()
    assert hashed.startswith(b"$2a$04$")
    assert checkpw(password, hashed)


@pytest.mark.parametrize("version", ["2a", "2b", "2x", "2y"])
def test_check_accepts_every_version(version):
    stored = hashpw(b"pw", f"${version}$04${'C' * 21}.".encode()).decode()
    assert run("check", stored, stdin=b"pw\n").returncode == 0
    assert run("check", stored, stdin=b"pW\n").returncode == 1


@pytest.mark.parametrize("rounds, warned", [(16, True), (50, False)])
def test_kdf_prints_the_key_in_hex(tmp_path, rounds, warned):
    salt = bytes(range(16))
    salt_file = tmp_path / "salt"
    salt_file.write_bytes(salt)
    expected = kdf(b"open sesame", salt, 48, rounds, ignore_few_rounds=True).hex()
    for source in (["--salt-hex", salt.hex()], ["--salt-file", str(salt_file)]):
        done = run("kdf", *source, "--length", "48", "--rounds", str(rounds), stdin=b"open sesame\n")
        assert done.returncode == 0, done.stderr
        assert done.stdout.decode() == expected + "\n"
        if warned:
            assert (
                one_line(done.stderr)
                == f"quorlix kdf: warning: {rounds} rounds are few; 50 or more are advised for new keys"
            )
        else:
            assert done.stderr == b""


def calibration(*args):
    done = run("calibrate", *args)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    assert re.fullmatch(
        r"throughput per core at cost \d+: [\d.]+ hashes/s one at a time, [\d.]+ in \d+ lanes .*", lines.pop()
    )
    timed = [re.fullmatch(r"cost +(\d+): +([\d.]+) ms(  over target)?", line) for line in lines[1:-1]]
    assert all(timed), lines
    rows = [(int(m[1]), float(m[2]), bool(m[3])) for m in timed]
    assert [cost for cost, _, _ in rows] == list(range(4, 4 + len(rows)))
    return rows, lines[-1]


def test_calibrate_recommends_the_highest_cost_within_the_target():
    rows, verdict = calibration("--target-ms", "20")
    *within, last = rows
    # Times print to 0.1 ms: 20.04 ms is over the target and prints as 20.0.
    assert last[2] and last[1] >= 20, "stops at the first cost over the target"
    assert all(not over and ms <= 20 for _, ms, over in within)
    if within:
        assert verdict.startswith(f"recommended cost: {within[-1][0]} (about ")
    else:
        assert verdict.startswith("recommended cost: 4 (the minimum")


def test_calibrate_stops_at_max_cost():
    rows, verdict = calibration("--target-ms", "1e9", "--max-cost", "6")
    assert [(cost, over) for cost, _, over in rows] == [(4, False), (5, False), (6, False)]
    assert verdict.startswith("recommended cost: 6 (the --max-cost limit; about ")


def test_calibrate_when_even_the_minimum_is_too_slow():
    rows, verdict = calibration("--target-ms", "0.000001")
    assert [(cost, over) for cost, _, over in rows] == [(4, True)]
    assert verdict == "recommended cost: 4 (the minimum; it already takes longer than 1e-06 ms)"


BAD_INPUT = [
    # (arguments, standard input, what the message says)
    (["check", "not-a-hash"], subprocess.DEVNULL, "quorlix check: error: argument HASH: not a bcrypt hash"),
    (["check", HASH[:-1]], b"pw\n", "argument HASH: not a bcrypt hash"),
    (["check", HASH + "x"], b"pw\n", "argument HASH: not a bcrypt hash"),
    (["check", "$2c" + HASH[3:]], b"pw\n", "argument HASH: not a bcrypt hash"),
    (["check", HASH[:28] + "D" + HASH[29:]], b"pw\n", "argument HASH: not a bcrypt hash"),
    (["check", HASH.replace("$04$", "$03$")], b"pw\n", "argument HASH: cost 03 is out of range 4-31"),
    (["check", HASH.replace("$04$", "$32$")], b"pw\n", "argument HASH: cost 32 is out of range 4-31"),
    (
        ["check", HASH],
        b"x" * 73 + b"\n",
        "quorlix check: error: the password is 73 bytes long, and bcrypt uses at most 72; for a hash made by "
        "a tool that cuts it there (mkpasswd, htpasswd), add --truncate",
    ),
    (
        ["hash"],
        "é".encode() * 40 + b"\n",
        "quorlix hash: error: the password is 80 bytes long, and bcrypt uses at most 72; choose a shorter one",
    ),
    (["hash"], b"", "quorlix hash: error: no password on standard input"),
    (["check", HASH], subprocess.DEVNULL, "quorlix check: error: no password on standard input"),
    (["hash", "--rounds", "3"], b"pw\n", "quorlix hash: error: argument --rounds: 3 is out of range 4-31"),
    (["hash", "--rounds", "32"], b"pw\n", "argument --rounds: 32 is out of range 4-31"),
    (["hash", "--rounds", "twelve"], b"pw\n", "argument --rounds: 'twelve' is not a whole number"),
    (["hash", "--prefix", "2y"], b"pw\n", "argument --prefix: invalid choice: '2y'"),
    (["hash", "--bogus"], b"pw\n", "unrecognized arguments: --bogus"),
    (["kdf", "--salt-hex", "", "--length", "32", "--rounds", "50"], b"pw\n", "argument --salt-hex: the salt is empty"),
    (
        ["kdf", "--salt-hex", "abc", "--length", "32", "--rounds", "50"],
        b"pw\n",
        "argument --salt-hex: not a hexadecimal string",
    ),
    (
        ["kdf", "--salt-file", "{missing}", "--length", "32", "--rounds", "50"],
        b"pw\n",
        "quorlix kdf: error: cannot read salt file '{missing}': No such file or directory",
    ),
    (
        ["kdf", "--salt-file", "{dir}", "--length", "32", "--rounds", "50"],
        b"pw\n",
        "cannot read salt file '{dir}': Is a directory",
    ),
    (["kdf", "--salt-file", "{empty}", "--length", "32", "--rounds", "50"], b"pw\n", "salt file '{empty}' is empty"),
    (
        ["kdf", "--salt-hex", "00", "--salt-file", "{empty}", "--length", "32", "--rounds", "50"],
        b"pw\n",
        "argument --salt-file: not allowed with argument --salt-hex",
    ),
    (["kdf", "--length", "32", "--rounds", "50"], b"pw\n", "one of the arguments --salt-hex --salt-file is required"),
    (["kdf", "--salt-hex", "00", "--rounds", "50"], b"pw\n", "the following arguments are required: --length"),
    (
        ["kdf", "--salt-hex", "00", "--length", "0", "--rounds", "50"],
        b"pw\n",
        "argument --length: 0 is out of range 1-512",
    ),
    (
        ["kdf", "--salt-hex", "00", "--length", "513", "--rounds", "50"],
        b"pw\n",
        "argument --length: 513 is out of range",
    ),
    (
        ["kdf", "--salt-hex", "00", "--length", "32", "--rounds", "0"],
        b"pw\n",
        "argument --rounds: 0 is out of range 1-4294967295",
    ),
    (
        ["kdf", "--salt-hex", "00", "--length", "32", "--rounds", "4294967296"],
        b"pw\n",
        "argument --rounds: 4294967296 is out",
    ),
    (
        ["kdf", "--salt-hex", "00", "--length", "32", "--rounds", "50"],
        b"\n",
        "quorlix kdf: error: the passphrase is empty; bcrypt_pbkdf needs at least one byte",
    ),
    (
        ["hash", "--password-file", "{missing}"],
        b"pw\n",
        "quorlix hash: error: cannot read password file '{missing}': No such file or directory",
    ),
    (["check", HASH, "--password-file", "{empty}"], b"pw\n", "quorlix check: error: password file '{empty}' is empty"),
    (
        ["kdf", "--salt-hex", "00", "--length", "8", "--rounds", "50", "--password-file", "{dir}"],
        b"pw\n",
        "Is a directory",
    ),
    (["hash", "--password-file", "-"], b"", "quorlix hash: error: no password on standard input"),
    (["hash", "--password-file"], b"pw\n", "argument --password-file: expected one argument"),
    (["hash", "--truncate"], b"pw\n", "unrecognized arguments: --truncate"),
    (
        ["kdf", "--salt-hex", "00", "--length", "8", "--rounds", "50", "--format", "octal"],
        b"pw\n",
        "argument --format: invalid choice: 'octal'",
    ),
    (["calibrate", "--target-ms", "0"], b"", "argument --target-ms: 0 is not a positive number of milliseconds"),
    (["calibrate", "--target-ms", "nan"], b"", "argument --target-ms: nan is not a positive number"),
    (["calibrate", "--target-ms", "fast"], b"", "argument --target-ms: 'fast' is not a number"),
    (["calibrate", "--max-cost", "32"], b"", "argument --max-cost: 32 is out of range 4-31"),
    ([], b"", "quorlix: error: the following arguments are required: COMMAND"),
    (["frobnicate"], b"", "argument COMMAND: invalid choice: 'frobnicate'"),
]


@pytest.mark.parametrize("args, stdin, message", BAD_INPUT)
def test_bad_input_is_one_line_and_status_2(tmp_path, args, stdin, message):
    paths = {"missing": tmp_path / "missing", "dir": tmp_path, "empty": tmp_path / "empty"}
    paths["empty"].write_bytes(b"")
    args = [a.format(**paths) for a in args]
    done = run(*args, stdin=stdin)
    line = one_line(done.stderr)
    assert message.format(**paths) in line
    assert line.startswith("quorlix")
    assert (done.returncode, done.stdout) == (2, b"")


KDF_ZERO_SALT = ["kdf", "--salt-file", "/dev/zero", "--length", "8", "--rounds", "50"]


@pytest.mark.parametrize(
    "args",
    [["hash", "--password-file", "/dev/zero"], ["check", HASH], ["check", HASH, "--truncate"], [*KDF_ZERO_SALT]],
)
def test_endless_input_is_refused(args):
    # Memory runs out at once for an unbounded read; the sanitizer's runtime needs terabytes of address space.
    limit = None if SANITIZED else lambda: resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))
    with open("/dev/zero", "rb") as zero:
        done = run(*args, stdin=zero, preexec_fn=limit)
    assert (done.returncode, "is over 4096 bytes long, more than quorlix reads" in one_line(done.stderr)) == (2, True)


def test_internal_failure_is_status_70_not_a_traceback(getrandom_shim):
    code = f"""
        import ctypes, sys, quorlix.cli
        ctypes.c_int.in_dll(ctypes.CDLL({str(getrandom_shim)!r}), "quorlix_fault").value = 3  # EIO
        sys.exit(quorlix.cli.main(["calibrate"]))
    """
    done = run_python(code, env={"LD_PRELOAD": str(getrandom_shim)})
    assert (done.returncode, "Traceback" in done.stderr) == (70, False)
    (line,) = done.stderr.splitlines()
    assert line.startswith("quorlix calibrate: internal error: PanicException('called `Result")


def test_closed_standard_input_is_bad_input():
    done = run("hash", stdin=None, preexec_fn=lambda: os.close(0))
    assert one_line(done.stderr) == "quorlix hash: error: no password: standard input is closed"
    assert done.returncode == 2


@pytest.mark.parametrize(
    "command, options",
    [
        (
            [],
            ["hash", "check", "kdf", "calibrate", "--version", "2 bad input", "74 the result could not be written"],
        ),
        (["hash"], ["--rounds N", "--prefix {2a,2b}", "default: 12", "default: 2b", "--password-file PATH"]),
        (["check"], ["HASH", "1 when it does not", "--truncate", "--password-file PATH"]),
        (
            ["kdf"],
            [
                "--salt-hex HEX",
                "--salt-file FILE",
                "--length N",
                "--rounds N",
                "--format {hex,base64,raw}",
                "default: hex",
                "--password-file PATH",
            ],
        ),
        (["calibrate"], ["--target-ms MS", "--max-cost N", "default: 250"]),
    ],
)
def test_help(command, options):
    done = run(*command, "--help")
    assert done.returncode == 0 and done.stderr == b""
    text = " ".join(done.stdout.decode().split())  # undo argparse's line wrapping
    assert text.startswith(" ".join(["usage: quorlix", *command]) + " ")
    for option in options:
        assert option in text


@ENTRIES
def test_version(entry):
    done = run("--version", entry=entry)
    assert (done.returncode, done.stdout) == (0, f"quorlix {quorlix.__version__}\n".encode())


def test_module_entry_names_itself_in_messages():
    done = run("hash", "--rounds", "99", entry=MODULE)
    assert one_line(done.stderr).startswith("python -m quorlix hash: error: argument --rounds")


@POSIX
def test_interrupt_ends_quietly_with_130():
    # Interrupted between short hashes, or as one ends: repeat to catch a crash in that window.
    for _ in range(10):
        proc = subprocess.Popen(
            [*SCRIPT, "calibrate", "--target-ms", "1e9"], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        try:
            assert proc.stdout.readline().startswith(b"timing hashpw")
            assert proc.stdout.readline().startswith(b"cost  4:")
            proc.send_signal(signal.SIGINT)
            _out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
        assert (proc.returncode, err) == (130, b"")


@POSIX
@pytest.mark.thread_unsafe(reason="gives its child a second to start, while the copies' children hash on every core")
@pytest.mark.parametrize(
    "args",
    [
        ["hash", "--rounds", "24"],
        ["check", "$2b$24$" + "C" * 21 + "." + "A" * 30 + "O"],
        ["kdf", "--salt-hex", "00", "--length", "32", "--rounds", "4000000000"],
    ],
    ids=["hash", "check", "kdf"],
)
def test_interrupt_does_not_wait_for_a_long_hash(tmp_path, args):
    # Each of these computes for minutes; Ctrl-C must not wait for the end.
    (tmp_path / "password").write_bytes(b"pw\n")
    with open(tmp_path / "password", "rb") as stdin:
        proc = subprocess.Popen([*SCRIPT, *args], stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        time.sleep(1.0)  # started, read the password and began the computation
        assert proc.poll() is None
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert (proc.returncode, out, err) == (130, b"", b"")


def test_reader_leaving_midway_is_an_output_failure():
    proc = subprocess.Popen(
        [*SCRIPT, "calibrate", "--target-ms", "1e9", "--max-cost", "12"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        proc.stdout.readline()
        proc.stdout.close()  # like `| head -1`
        err = proc.stderr.read()
        proc.wait(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == EXIT_OUTPUT_FAILED
    assert one_line(err) == "quorlix calibrate: error: cannot write the result: Broken pipe"


#################################################
### Results that cannot be written: status 74 ###
#################################################
EXIT_OUTPUT_FAILED = 74


def closed_stdout():
    return {"stdout": None, "preexec_fn": lambda: os.close(1)}, "standard output is closed"


def full_disk():
    return {"stdout": open("/dev/full", "wb")}, "No space left on device"


def reader_gone():
    # A pipe whose reading end is closed before the command writes, as in
    # `quorlix check "$H" | (exec 0<&-; ...)`.
    r, w = os.pipe()
    os.close(r)
    return {"stdout": os.fdopen(w, "wb")}, "Broken pipe"


@POSIX
@pytest.mark.parametrize("sink", [closed_stdout, full_disk, reader_gone], ids=["closed", "dev-full", "pipe-closed"])
@pytest.mark.parametrize(
    "args, stdin",
    [
        (["hash", "--rounds", "4"], b"pw\n"),
        (["check", HASH], b"pw\n"),  # a match
        (["check", HASH], b"px\n"),  # no match
        (["kdf", "--salt-hex", "00", "--length", "8", "--rounds", "50"], b"pw\n"),
        (["kdf", "--salt-hex", "00", "--length", "8", "--rounds", "50", "--format", "raw"], b"pw\n"),
        (["calibrate", "--max-cost", "4"], b""),
        (["--version"], b""),
        (["kdf", "--help"], b""),
    ],
    ids=["hash", "check-match", "check-no-match", "kdf", "kdf-raw", "calibrate", "version", "help"],
)
@pytest.mark.parametrize("buffered", [True, False], ids=["buffered", "unbuffered"])
def test_unwritable_result_is_a_failure_of_its_own(sink, args, stdin, buffered):
    where, reason = sink()
    out = where["stdout"]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"
    try:
        done = subprocess.run([*SCRIPT, *args], input=stdin, stderr=subprocess.PIPE, timeout=60, env=env, **where)
    finally:
        if out is not None:
            out.close()
    # The options that end parsing name the command itself.
    name = "quorlix" if {"--version", "--help"} & set(args) else f"quorlix {args[0]}"
    assert one_line(done.stderr) == f"{name}: error: cannot write the result: {reason}"
    assert done.returncode == EXIT_OUTPUT_FAILED


@POSIX
def test_closed_output_is_reported_before_the_password_is_read():
    done = run("check", HASH, stdin=subprocess.DEVNULL, stdout=None, preexec_fn=lambda: os.close(1))
    assert one_line(done.stderr) == "quorlix check: error: cannot write the result: standard output is closed"
    assert done.returncode == EXIT_OUTPUT_FAILED


def on_terminal(args, replies, timeout=30.0, env=None):
    """Runs the command on a new pseudo-terminal, answering each prompt in
    turn; returns the exit status and everything the terminal showed."""
    pid, fd = pty.fork()
    if pid == 0:  # the child: the terminal is its controlling terminal
        try:
            os.execve(SCRIPT[0], [*SCRIPT, *args], os.environ | (env or {}))
        finally:
            os._exit(127)
    shown = b""
    deadline = time.monotonic() + timeout
    pending = list(replies)
    try:
        while True:
            if pending and pending[0][0] in shown:
                prompt, reply = pending.pop(0)
                shown = shown.replace(prompt, b"<" + prompt + b">", 1)  # answered
                os.write(fd, reply)
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, f"no output within {timeout} s; so far {shown!r}"
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # EIO: the child has gone and closed the terminal
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    assert not pending, f"never prompted for {pending}; terminal showed {shown!r}"
    return os.waitstatus_to_exitcode(status), shown


@POSIX
def test_terminal_hash_prompts_twice_without_echo():
    status, shown = on_terminal(
        ["hash", "--rounds", "4"],
        [(b"Password: ", b"tr0ub4dor\n"), (b"Repeat password: ", b"tr0ub4dor\n")],
    )
    assert status == 0, shown
    assert b"tr0ub4dor" not in shown
    (hashed,) = HASH_RE.findall(shown)
    assert checkpw(b"tr0ub4dor", hashed)


@POSIX
def test_terminal_check_and_mismatched_repeat():
    status, shown = on_terminal(["check", HASH], [(b"Password: ", b"pw\n")])
    assert (status, shown.count(b"password matches")) == (0, 1)
    status, shown = on_terminal(["hash"], [(b"Password: ", b"one\n"), (b"Repeat password: ", b"two\n")])
    assert status == 2
    assert b"quorlix hash: error: the two entries do not match" in shown
    status, shown = on_terminal([*KDF, "--format", "raw"], [])
    assert (status, b"quorlix kdf: error: will not write the raw key to a terminal" in shown) == (2, True)


@POSIX
def test_terminal_ctrl_c_at_the_prompt():
    status, shown = on_terminal(["check", HASH], [(b"Password: ", b"\x03")])
    assert status == 130
    assert b"Traceback" not in shown and b"KeyboardInterrupt" not in shown


##############################################
### Passwords from files, cuts and formats ###
##############################################
KDF = ["kdf", "--salt-hex", "0011", "--length", "16", "--rounds", "50"]


@POSIX
@pytest.mark.parametrize("command", ["hash", "check", "kdf"])
@pytest.mark.parametrize("source", ["path", "dash", "descriptor"])
def test_password_file(tmp_path, command, source):
    password = b"s3cret \xff"
    content = password + b"\r\nsecond line\n"
    args = {"hash": ["hash", "--rounds", "4"], "check": ["check", hashpw(password, SALT.encode()).decode()], "kdf": KDF}
    stdin, extra = b"decoy\n", {}  # standard input is not read unless named
    if source == "path":
        (tmp_path / "pw").write_bytes(content)
        named = str(tmp_path / "pw")
    elif source == "dash":
        stdin, named = content, "-"
    else:  # like mkpasswd -P FD: an inherited descriptor
        r, w = os.pipe()
        os.write(w, content)
        os.close(w)
        named, extra = f"/dev/fd/{r}", {"pass_fds": (r,)}
    try:
        done = run(*args[command], "--password-file", named, stdin=stdin, **extra)
    finally:
        if extra:
            os.close(r)
    assert done.returncode == 0, done.stderr
    result = one_line(done.stdout)
    if command == "hash":
        assert checkpw(password, result.encode())
    elif command == "check":
        assert result == "password matches"
    else:
        assert result == kdf(password, bytes.fromhex("0011"), 16, 50).hex()


@POSIX
def test_password_file_at_a_terminal_asks_nothing(tmp_path):
    (tmp_path / "pw").write_bytes(b"from the file\n")
    status, shown = on_terminal(["hash", "--rounds", "4", "--password-file", str(tmp_path / "pw")], [])
    assert status == 0, shown
    assert b"assword" not in shown
    (hashed,) = HASH_RE.findall(shown)
    assert checkpw(b"from the file", hashed)


@pytest.mark.parametrize(
    "env, typed, options",
    [
        ({"LC_ALL": "C.UTF-8"}, b"caf\xe9", []),  # not UTF-8
        ({"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}, "café".encode(), []),  # not ASCII
        ({}, b"s3cr3t", ["--password-file", "-"]),
    ],
)
def test_terminal_gives_the_typed_bytes_unseen(env, typed, options):
    stored = hashpw(typed, SALT.encode()).decode()
    status, shown = on_terminal(["check", stored, *options], [(b"Password: ", typed + b"\n")], env=env)
    assert (status, b"password matches" in shown, typed in shown) == (0, True, False), shown


def crypt(password):  # the C library's bcrypt at cost 4, which mkpasswd and htpasswd call
    return crypt3(password, b"$2b$04$" + gensalt(4)[7:]).decode()


LONG = bytes(range(33, 127)) + b"!"  # 95 bytes


@pytest.mark.parametrize(
    "typed, options, status",
    [
        (LONG, ["--truncate"], 0),
        (LONG[:72], ["--truncate"], 0),
        (LONG[:72] + b"another tail", ["--truncate"], 0),
        (b"?" + LONG[1:], ["--truncate"], 1),
        (LONG[:71], ["--truncate"], 1),
        (LONG, [], 2),
        (LONG[:72], [], 0),
    ],
    ids=["whole", "first-72", "other-tail", "wrong", "71", "refused-without", "72-without"],
)
def test_check_truncate_reads_hashes_of_tools_that_cut(typed, options, status):
    stored = crypt(LONG)  # of which crypt(3) uses the first 72 bytes
    done = run("check", stored, *options, stdin=typed + b"\n")
    assert done.returncode == status, done.stderr
    if status == 2:
        assert "the password is 95 bytes long" in one_line(done.stderr)
    else:
        assert done.stderr == b""


def test_check_truncate_ends_the_password_at_a_nul_as_crypt_does():
    stored = crypt(b"ab\0cd")
    assert [run("check", stored, *cut, stdin=b"ab\0cd\n").returncode for cut in (["--truncate"], [])] == [0, 1]


@pytest.mark.parametrize("length", [1, 17, 48, 512])
@pytest.mark.parametrize(
    "options, encode",
    [
        ([], lambda key: key.hex().encode() + b"\n"),
        (["--format", "hex"], lambda key: key.hex().encode() + b"\n"),
        (["--format", "base64"], lambda key: base64.b64encode(key) + b"\n"),
        (["--format", "raw"], lambda key: key),
    ],
    ids=["default", "hex", "base64", "raw"],
)
def test_kdf_formats(length, options, encode):
    salt = bytes(range(16))
    done = run("kdf", "--salt-hex", salt.hex(), "--length", str(length), "--rounds", "8", *options, stdin=b"pw\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == encode(kdf(b"pw", salt, length, 8, ignore_few_rounds=True))


@pytest.mark.parametrize(
    "args, warned",
    [
        (["--target-ms", "1e9", "--max-cost", "9"], True),
        (["--target-ms", "1e9", "--max-cost", "10"], False),
        (["--target-ms", "0.000001"], True),  # the minimum
        (["--target-ms", "5"], None),  # depends on the machine
    ],
)
def test_calibrate_says_when_the_cost_is_too_cheap(args, warned):
    done = run("calibrate", *args)
    assert done.returncode == 0, done.stderr
    cost = int(re.search(r"^recommended cost: (\d+) ", done.stdout.decode(), re.M)[1])
    assert warned is None or warned is (cost < 10)
    if cost < 10:
        assert one_line(done.stderr) == (
            f"quorlix calibrate: warning: cost {cost} is too cheap for stored passwords; "
            "use 10 or more there, and lower costs only in tests"
        )
    else:
        assert done.stderr == b""


##################################
### Ctrl-D on a real terminal ###
##################################
def screen_after(command, steps, socket, timeout=20.0):
    """Runs the command in a tmux window of its own server; at each step
    waits for the text to show, then types the keys. Returns the screen's
    lines once the command has ended."""

    def tmux(*args):
        done = subprocess.run(["tmux", "-S", str(socket), "-f", "/dev/null", *args], capture_output=True, text=True)
        assert done.returncode == 0, (args, done.stderr)
        return done.stdout

    def screen():
        return [line.rstrip() for line in tmux("capture-pane", "-p").splitlines()]

    def wait_for(text):
        deadline = time.monotonic() + timeout
        while not any(text in line for line in screen()):
            assert time.monotonic() < deadline, f"no {text!r} on the screen: {screen()}"
            time.sleep(0.05)

    shell = shlex.join([*SCRIPT, *command]) + '; echo "status=$?"; sleep 60'
    tmux("new-session", "-d", "-x", "150", "-y", "12", shell)
    try:
        for text, keys in steps:
            wait_for(text)
            tmux("send-keys", *keys)
        wait_for("status=")
        lines = screen()
    finally:
        subprocess.run(["tmux", "-S", str(socket), "kill-server"], capture_output=True)
    while lines and not lines[-1]:
        lines.pop()
    return lines


@POSIX
@pytest.mark.parametrize(
    "command, steps, shown",
    [
        (["check", HASH], [("Password:", ["C-d"])], ["Password:", "quorlix check: error: no password entered"]),
        (
            ["hash"],
            [("Password:", ["abc", "Enter"]), ("Repeat password:", ["C-d"])],
            ["Password:", "Repeat password:", "quorlix hash: error: no password entered"],
        ),
        (KDF, [("Passphrase:", ["C-d"])], ["Passphrase:", "quorlix kdf: error: no passphrase entered"]),
    ],
    ids=["check", "hash-repeat", "kdf"],
)
def test_ctrl_d_at_the_prompt_leaves_the_error_on_its_own_line(tmp_path, command, steps, shown):
    assert screen_after(command, steps, tmp_path / "tmux") == [*shown, "status=2"]
