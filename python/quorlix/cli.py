"""The ``quorlix`` command: hash, check, kdf and calibrate from a shell.

Passwords never come from the command line, where other users could read
them in the process list; where they come from, and the exit statuses
(EXIT_STATUSES below), are told by ``quorlix --help``. Each failure is one
line on standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import base64
import functools
import getpass
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NoReturn

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

if sys.platform != "win32":
    import termios

from . import _DEFAULT_COST as DEFAULT_COST
from . import _FEW_KDF_ROUNDS as FEW_KDF_ROUNDS
from . import _HASH_RE, __version__, checkpw, gensalt, hashpw, hashpw_many, kdf
from . import _MAX_COST as MAX_COST
from . import _MAX_KDF_ROUNDS as MAX_KDF_ROUNDS
from . import _MAX_KEY_BYTES as MAX_KEY_BYTES
from . import _MAX_PASSWORD_BYTES as MAX_PASSWORD_BYTES
from . import _MIN_COST as MIN_COST
from ._batch import LANES

EXIT_OK = 0
EXIT_NO_MATCH = 1
EXIT_BAD_INPUT = 2
EXIT_SOFTWARE = 70  # EX_SOFTWARE of sysexits.h
EXIT_OUTPUT_FAILED = 74  # EX_IOERR of sysexits.h
EXIT_INTERRUPTED = 130

# What each status means, told once: every --help shows it.
EXIT_STATUSES = (
    (EXIT_OK, "success (check: the password matches)"),
    (EXIT_NO_MATCH, "when it does not match"),
    (EXIT_BAD_INPUT, "bad input or usage"),
    (EXIT_SOFTWARE, "an internal error"),
    (EXIT_OUTPUT_FAILED, "the result could not be written (standard output closed or full, or its reader gone)"),
    (EXIT_INTERRUPTED, "interrupted"),
)

SAFE_COST = 10  # below it a stolen hash falls to guessing too quickly
# The most read of a password line, a passphrase or a salt file: far more
# than can be valid, enough to tell a password's real length and to let
# check --truncate cut a long one, and a terminal's own line limit.
INPUT_BOUND = 4096


class BadInput(Exception):
    """A problem with what the user gave; its text is the whole report."""


class OutputFailed(Exception):
    """The result could not be written; its text says why."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block: scripts read stderr too.
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message}\n")

    def print_help(self, file: SupportsWrite[str] | None = None) -> None:
        # argparse would drop a failed write of the help without a word.
        if file is None:
            emit(self.format_help())
        else:
            super().print_help(file)


class _Version(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        emit(f"quorlix {__version__}\n")
        parser.exit()


def _int_in(low: int, high: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is out of range {low}-{high}")
        return value

    return convert


def _positive_ms(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of milliseconds")
    return value


def _hash_arg(text: str) -> bytes:
    # Anything checkpw could never accept is reported up front, before the
    # user is asked for a password.
    hashed = text.encode("utf-8", "surrogateescape")
    match = _HASH_RE.fullmatch(hashed)
    if match is None:
        raise argparse.ArgumentTypeError(
            "not a bcrypt hash (expected $2b$, a two-digit cost, $ and 53 characters of ./A-Za-z0-9)"
        )
    cost = match[1].decode()
    if not MIN_COST <= int(cost) <= MAX_COST:
        raise argparse.ArgumentTypeError(f"cost {cost} is out of range {MIN_COST}-{MAX_COST}")
    return hashed


def _hex_salt(text: str) -> bytes:
    try:
        salt = bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a hexadecimal string") from None
    if not salt:
        raise argparse.ArgumentTypeError("the salt is empty")
    return salt


def _line(read: Callable[[int], bytes]) -> bytes | None:
    """The first line that read(n) gives, without its line ending; None when
    there is none. Reads at most INPUT_BOUND bytes and a line ending: a
    longer line comes back cut, but still longer than INPUT_BOUND."""
    line = b""
    while len(line) < INPUT_BOUND + 2 and not line.endswith(b"\n"):
        chunk = read(INPUT_BOUND + 2 - len(line))
        if not chunk:
            break
        line += chunk
    if not line:
        return None
    if line.endswith(b"\n"):
        line = line[:-1]
        if line.endswith(b"\r"):
            line = line[:-1]
    return line


def _from_stdin() -> bytes:
    if sys.stdin is None:
        raise BadInput("no password: standard input is closed")
    try:
        line = _line(sys.stdin.buffer.readline)
    except OSError as exc:
        raise BadInput(f"cannot read standard input: {exc.strerror}") from None
    if line is None:
        raise BadInput("no password on standard input")
    return line


def _from_file(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            line = _line(f.readline)
    except OSError as exc:
        raise BadInput(f"cannot read password file {path!r}: {exc.strerror}") from None
    if line is None:
        raise BadInput(f"password file {path!r} is empty")
    return line


def _write_to(fd: int, text: str) -> None:
    try:
        os.write(fd, text.encode())
    except OSError:
        pass  # a prompt that cannot be shown does not stop the reading


def _ask(prompt: str) -> bytes | None:
    """One line typed at the terminal without echo, as the very bytes typed,
    whatever the locale; None at the end of input (Ctrl-D)."""
    if sys.platform == "win32":  # no termios: the console gives text
        try:
            typed = getpass.getpass(prompt)
        except EOFError:
            return None
        # Join the UTF-16 halves of a character that the console hands over apart.
        return typed.encode("utf-16-le", "surrogatepass").decode("utf-16-le").encode()
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
        tty, out = fd, fd
    except OSError:  # no controlling terminal: standard input is the one
        fd, tty, out = -1, 0, 2
    try:
        saved = termios.tcgetattr(tty)
        quiet = [*saved[:3], saved[3] & ~termios.ECHO, *saved[4:]]
        termios.tcsetattr(tty, termios.TCSAFLUSH, quiet)
        try:
            _write_to(out, prompt)
            line = _line(functools.partial(os.read, tty))
        finally:
            # TCSAFLUSH also drops what was typed past the line.
            termios.tcsetattr(tty, termios.TCSAFLUSH, saved)
        # The line end typed was not echoed. After Ctrl-C, main ends the line.
        _write_to(out, "\n")
        return line
    except (OSError, termios.error) as exc:
        raise BadInput(f"cannot read the terminal: {exc.args[-1]}") from None
    finally:
        if fd >= 0:
            os.close(fd)


def _typed(what: str, confirm: bool) -> bytes:
    prompts = [f"{what}: ", f"Repeat {what.lower()}: "] if confirm else [f"{what}: "]
    entries = []
    for prompt in prompts:
        entry = _ask(prompt)
        if entry is None:
            raise BadInput(f"no {what.lower()} entered")
        entries.append(entry)
    if entries[-1] != entries[0]:
        raise BadInput("the two entries do not match")
    return entries[0]


def read_password(what: str, confirm: bool = False, path: str | None = None) -> bytes:
    """The password as bytes: the first line of the file at path, else typed
    at a terminal (asked twice with confirm), else one line of standard
    input; path "-" names standard input."""
    if path is not None and path != "-":
        line = _from_file(path)
    elif sys.stdin is not None and sys.stdin.isatty():
        line = _typed(what, confirm)
    else:
        line = _from_stdin()
    if len(line) > INPUT_BOUND:
        raise BadInput(f"the {what.lower()} is over {INPUT_BOUND} bytes long, more than quorlix reads")
    return line


def _say(line: str) -> None:
    """Writes one line to standard error; a closed stderr is not a failure
    of the command."""
    try:
        if sys.stderr is not None:
            print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def emit(result: str | bytes) -> None:
    """Writes part of the result to standard output, at once.

    Writing it is what the command is for, so a closed stream, a full disk
    or a reader that went away is a failure of the command, never ignored.
    """
    out = sys.stdout
    if out is None:
        raise OutputFailed("standard output is closed")
    try:
        if isinstance(result, bytes):
            out.flush()
            out.buffer.write(result)
            out.buffer.flush()
        else:
            out.write(result)
            out.flush()
    except OSError as exc:
        raise OutputFailed(exc.strerror or str(exc)) from None


def _too_long(password: bytes, advice: str) -> BadInput:
    return BadInput(
        f"the password is {len(password)} bytes long, and bcrypt uses at most {MAX_PASSWORD_BYTES}; {advice}"
    )


def _run_hash(args: argparse.Namespace) -> int:
    password = read_password("Password", confirm=True, path=args.password_file)
    if len(password) > MAX_PASSWORD_BYTES:
        raise _too_long(password, "choose a shorter one")
    hashed = hashpw(password, gensalt(args.rounds, args.prefix.encode("ascii")))
    emit(hashed.decode("ascii") + "\n")
    return EXIT_OK


def _run_check(args: argparse.Namespace) -> int:
    password = read_password("Password", path=args.password_file)
    if args.truncate:
        # As crypt(3) takes it, behind mkpasswd and htpasswd: a C string.
        password = password.split(b"\0", 1)[0][:MAX_PASSWORD_BYTES]
    elif len(password) > MAX_PASSWORD_BYTES:
        raise _too_long(password, "for a hash made by a tool that cuts it there (mkpasswd, htpasswd), add --truncate")
    matches = checkpw(password, args.hash)
    emit("password matches\n" if matches else "password does not match\n")
    return EXIT_OK if matches else EXIT_NO_MATCH


def _run_kdf(args: argparse.Namespace) -> int:
    salt: bytes
    if args.salt_file is not None:
        try:
            with open(args.salt_file, "rb") as f:
                salt = f.read(INPUT_BOUND + 1)
        except OSError as exc:
            raise BadInput(f"cannot read salt file {args.salt_file!r}: {exc.strerror}") from None
        if not salt:
            raise BadInput(f"salt file {args.salt_file!r} is empty")
        if len(salt) > INPUT_BOUND:
            raise BadInput(f"salt file {args.salt_file!r} is over {INPUT_BOUND} bytes long, more than quorlix reads")
    else:
        salt = args.salt_hex
    if args.rounds < FEW_KDF_ROUNDS:
        _say(
            f"{args.parser.prog}: warning: {args.rounds} rounds are few; "
            f"{FEW_KDF_ROUNDS} or more are advised for new keys"
        )
    if args.format == "raw" and sys.stdout is not None and sys.stdout.isatty():
        raise BadInput("will not write the raw key to a terminal; redirect standard output, or use --format hex")
    password = read_password("Passphrase", path=args.password_file)
    if not password:
        raise BadInput("the passphrase is empty; bcrypt_pbkdf needs at least one byte")
    key = kdf(password, salt, args.length, args.rounds, ignore_few_rounds=True)
    if args.format == "raw":
        emit(key)
    elif args.format == "base64":
        emit(base64.b64encode(key).decode("ascii") + "\n")
    else:
        emit(key.hex() + "\n")
    return EXIT_OK


def _time_cost(cost: int, lanes: int = 1) -> float:
    """Seconds hashing `lanes` passwords at once takes at this cost (hashpw
    for one, hashpw_many for more): the best of a few quick runs."""
    salt = gensalt(cost)
    best = math.inf
    spent = 0.0
    for _ in range(3):
        start = time.perf_counter()
        if lanes == 1:
            hashpw(b"calibration password", salt)
        else:
            hashpw_many([b"calibration password"] * lanes, [salt] * lanes)
        took = time.perf_counter() - start
        best = min(best, took)
        spent += took
        if spent > 0.05:  # slow runs are timed once; their jitter is small
            break
    return best


def _run_calibrate(args: argparse.Namespace) -> int:
    target = args.target_ms
    emit(f"timing hashpw against a target of {target:g} ms\n")
    chosen: tuple[int, float] | None = None  # highest cost within the target
    over = False
    for cost in range(MIN_COST, args.max_cost + 1):
        ms = _time_cost(cost) * 1000
        over = ms > target
        emit(f"cost {cost:2d}: {ms:10.1f} ms{'  over target' if over else ''}\n")
        if over:
            break
        chosen = (cost, ms)
    if chosen is None:
        recommended = MIN_COST
        emit(f"recommended cost: {MIN_COST} (the minimum; it already takes longer than {target:g} ms)\n")
    else:
        recommended = chosen[0]
        why = "the --max-cost limit; about" if not over else "about"
        emit(f"recommended cost: {recommended} ({why} {chosen[1]:.1f} ms per hash)\n")
    one = 1 / _time_cost(recommended)
    many = LANES / _time_cost(recommended, LANES)
    emit(
        f"throughput per core at cost {recommended}: {one:.1f} hashes/s one at a time, "
        f"{many:.1f} in {LANES} lanes (quorlix.hashpw_many, quorlix.Pool)\n"
    )
    if recommended < SAFE_COST:
        _say(
            f"{args.parser.prog}: warning: cost {recommended} is too cheap for stored passwords; "
            f"use {SAFE_COST} or more there, and lower costs only in tests"
        )
    return EXIT_OK


def _password_file_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--password-file",
        metavar="PATH",
        help="read the password from the first line of PATH instead, without a prompt (/dev/fd/N for an "
        "open file descriptor; - for standard input, which at a terminal asks as without this option)",
    )


# Every --help ends with it.
EPILOG = (
    "Passwords are typed without echo at a terminal, taken as the very bytes typed (where there is no "
    "termios, as on Windows, as the typed text in UTF-8); otherwise they are read as one line of standard "
    f"input, or as the first line of --password-file. quorlix reads at most {INPUT_BOUND} bytes of a password "
    "line or a salt file. Exit status: " + ", ".join(f"{status} {meaning}" for status, meaning in EXIT_STATUSES) + "."
)


def build_parser(prog: str = "quorlix") -> argparse.ArgumentParser:
    """The parser; each subcommand's namespace carries its run function and parser."""
    parser = _Parser(
        prog=prog,
        description="bcrypt password hashing and bcrypt_pbkdf key derivation.",
        epilog=EPILOG,
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    p = commands.add_parser(
        "hash",
        help="hash a password and print the bcrypt hash string",
        description="Hash a password under a fresh random salt and print the 60-character hash string. "
        "Every byte of the password counts, a NUL byte too.",
        epilog=EPILOG,
    )
    p.add_argument(
        "--rounds",
        type=_int_in(MIN_COST, MAX_COST),
        default=DEFAULT_COST,
        metavar="N",
        help=f"cost: 2**N rounds of the key schedule, {MIN_COST} to {MAX_COST} (default: %(default)s)",
    )
    p.add_argument(
        "--prefix",
        choices=("2a", "2b"),
        default="2b",
        help="version written into the hash (default: %(default)s)",
    )
    _password_file_option(p)
    p.set_defaults(run=_run_hash, parser=p)

    p = commands.add_parser(
        "check",
        help="check a password against a bcrypt hash string",
        description="Check a password against a hash string.",
        epilog=EPILOG,
    )
    p.add_argument("hash", metavar="HASH", type=_hash_arg, help="the stored hash, e.g. $2b$12$...")
    p.add_argument(
        "--truncate",
        action="store_true",
        help="take the password as mkpasswd and htpasswd hash it (through crypt(3)): up to its first NUL "
        f"byte, and of that the first {MAX_PASSWORD_BYTES} bytes (without it, a NUL counts as any byte, and a "
        f"password over {MAX_PASSWORD_BYTES} bytes is an error)",
    )
    _password_file_option(p)
    p.set_defaults(run=_run_check, parser=p)

    p = commands.add_parser(
        "kdf",
        help="derive a key with bcrypt_pbkdf and print it",
        description="Derive key material from a passphrase and a salt with bcrypt_pbkdf "
        "(as OpenSSH does for its key files) and print it.",
        epilog=EPILOG,
    )
    salt = p.add_mutually_exclusive_group(required=True)
    salt.add_argument("--salt-hex", metavar="HEX", type=_hex_salt, help="the salt, in hexadecimal")
    salt.add_argument("--salt-file", metavar="FILE", help="read the salt's raw bytes from FILE")
    p.add_argument(
        "--length",
        required=True,
        type=_int_in(1, MAX_KEY_BYTES),
        metavar="N",
        help=f"bytes of key to derive, 1 to {MAX_KEY_BYTES}",
    )
    p.add_argument(
        "--rounds",
        required=True,
        type=_int_in(1, MAX_KDF_ROUNDS),
        metavar="N",
        help=f"rounds; the work grows linearly with them ({FEW_KDF_ROUNDS} or more advised)",
    )
    p.add_argument(
        "--format",
        choices=("hex", "base64", "raw"),
        default="hex",
        help="hex or base64 on one line, or the raw bytes alone, never to a terminal (default: %(default)s)",
    )
    _password_file_option(p)
    p.set_defaults(run=_run_kdf, parser=p)

    p = commands.add_parser(
        "calibrate",
        help="time hashing at rising costs and recommend one",
        description=f"Time hashpw on this machine at costs {MIN_COST}, {MIN_COST + 1}, ... until one takes longer "
        "than the target, and recommend the highest cost that stays within it.",
        epilog=EPILOG,
    )
    p.add_argument(
        "--target-ms",
        type=_positive_ms,
        default=250.0,
        metavar="MS",
        help="longest acceptable time for one hash, in milliseconds (default: %(default)g)",
    )
    p.add_argument(
        "--max-cost",
        type=_int_in(MIN_COST, MAX_COST),
        default=MAX_COST,
        metavar="N",
        help="highest cost to try (default: %(default)s)",
    )
    p.set_defaults(run=_run_calibrate, parser=p)
    return parser


def _end_interrupted_line() -> None:
    """Leaves the shell's prompt on a line of its own after Ctrl-C."""
    try:
        if sys.stderr is not None and sys.stderr.isatty():
            _say("")
    except ValueError:
        pass  # closed: nothing was shown there


def _discard_output() -> None:
    """Points standard output at /dev/null, so that the interpreter's last
    flush of what could not be written neither fails nor reports it again."""
    try:
        if sys.stdout is not None:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None, prog: str = "quorlix") -> int:
    """Runs the command line on argv (default: sys.argv[1:]) and returns the
    exit status. Ctrl-C stops even a long hash at once: the module raises
    KeyboardInterrupt out of it."""
    name = prog
    try:
        parser = build_parser(prog)
        args = parser.parse_args(argv)
        name = args.parser.prog
        emit("")  # no result can be written: say so before asking for a password
        run: Callable[[argparse.Namespace], int] = args.run
        return run(args)
    except BadInput as exc:
        _say(f"{name}: error: {exc}")
        return EXIT_BAD_INPUT
    except OutputFailed as exc:
        _say(f"{name}: error: cannot write the result: {exc}")
        _discard_output()
        return EXIT_OUTPUT_FAILED
    except KeyboardInterrupt:
        _end_interrupted_line()
        return EXIT_INTERRUPTED
    except SystemExit:
        raise  # argparse's own end, after --help or --version
    except BaseException as exc:  # PanicException too, which is no Exception
        # Anything else would leave as a traceback with status 1, which check uses for "no match".
        _say(f"{name}: internal error: {exc!r}")
        return EXIT_SOFTWARE
