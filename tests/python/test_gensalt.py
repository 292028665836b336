import os
import re

import pytest
from _quorlix import gensalt

from conftest import run_python

ALPHABET = b"./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
SETTING = re.compile(rb"\$(2[ab])\$(\d\d)\$([./A-Za-z0-9]{21}[.Oeu])")


def test_default_setting():
    s = gensalt()
    assert isinstance(s, bytes) and len(s) == 29
    assert s.startswith(b"$2b$12$")
    assert SETTING.fullmatch(s)


@pytest.mark.parametrize(
    "args, kwargs, version, cost",
    [
        ((4,), {}, b"2b", b"04"),
        ((31,), {}, b"2b", b"31"),
        ((), {"prefix": b"2a"}, b"2a", b"12"),
        ((), {"prefix": None}, b"2b", b"12"),
        ((9, b"2a"), {}, b"2a", b"09"),
        ((), {"prefix": b"2b", "rounds": 10}, b"2b", b"10"),
    ],
)
def test_fields(args, kwargs, version, cost):
    m = SETTING.fullmatch(gensalt(*args, **kwargs))
    assert m and m.group(1) == version and m.group(2) == cost


class BytesSub(bytes):
    pass


def test_bytes_subclass_prefix_is_accepted():
    assert gensalt(4, BytesSub(b"2a")).startswith(b"$2a$04$")


@pytest.mark.parametrize(
    "args, kwargs, exc, msg",
    [
        ((3,), {}, ValueError, "Invalid rounds"),
        ((32,), {}, ValueError, "Invalid rounds"),
        ((0,), {}, ValueError, "Invalid rounds"),
        ((True,), {}, ValueError, "Invalid rounds"),
        ((65535,), {}, ValueError, "Invalid rounds"),
        ((), {"prefix": b"2y"}, ValueError, "Supported prefixes are b'2a' or b'2b'"),
        ((), {"prefix": b"2x"}, ValueError, "Supported prefixes are b'2a' or b'2b'"),
        ((), {"prefix": b"$2b"}, ValueError, "Supported prefixes are b'2a' or b'2b'"),
        ((), {"prefix": b"2"}, ValueError, "Supported prefixes are b'2a' or b'2b'"),
        ((), {"prefix": b""}, ValueError, "Supported prefixes are b'2a' or b'2b'"),
        ((3, b"2c"), {}, ValueError, "Supported prefixes are b'2a' or b'2b'"),
        ((70000,), {}, OverflowError, "out of range integral type conversion attempted"),
        ((-1,), {}, OverflowError, "out of range integral type conversion attempted"),
        ((2**63,), {}, OverflowError, "Python int too large to convert to C long"),
        ((None,), {}, TypeError, "argument 'rounds': 'NoneType' object cannot be interpreted as an integer"),
        ((12.0,), {}, TypeError, "argument 'rounds': 'float' object cannot be interpreted as an integer"),
        ((12, "2b"), {}, TypeError, "argument 'prefix': 'str' object cannot be converted to 'PyBytes'"),
        (
            (12, bytearray(b"2b")),
            {},
            TypeError,
            "argument 'prefix': 'bytearray' object cannot be converted to 'PyBytes'",
        ),
        # rounds is converted first
        ((12.0, "2b"), {}, TypeError, "argument 'rounds': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_rejections(args, kwargs, exc, msg):
    with pytest.raises(exc) as info:
        gensalt(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == msg


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_index_objects_are_integers():
    assert gensalt(Index(5)).startswith(b"$2b$05$")
    with pytest.raises(OverflowError):
        gensalt(Index(-5))


def test_salts_differ_and_use_the_alphabet():
    salts = {gensalt(4) for _ in range(200)}
    assert len(salts) == 200
    for s in salts:
        assert all(c in ALPHABET for c in s[7:])
        assert s[-1:] in (b".", b"O", b"e", b"u")


FAULT_SCRIPT = """
import ctypes, re, sys
import _quorlix
{prelude}
shim = ctypes.CDLL({shim!r})
fault = ctypes.c_int.in_dll(shim, "quorlix_fault")
calls = ctypes.c_int.in_dll(shim, "quorlix_calls")
fault.value = {mode}
try:
    s = _quorlix.gensalt(4)
    print("ok", calls.value, s.decode())
except BaseException as e:
    print("raised", calls.value, type(e).__module__, type(e).__qualname__, repr(e.args))
fault.value = 0
s = _quorlix.gensalt(4)
assert re.fullmatch(rb"\\$2b\\$04\\$[./A-Za-z0-9]{{22}}", s), s
print("after", s.decode())
"""

EINTR_ONCE, SHORT_READS, FAIL_EIO, ERRNO_ZERO, RETURN_ZERO, TOO_MANY, NO_SYSCALL, REFUSED = range(1, 9)
# /dev as an empty file system, in a mount namespace of the child's own.
HIDE_DEVICES = """
libc = ctypes.CDLL(None, use_errno=True)
MS_REC, MS_PRIVATE, CLONE_NEWNS = 0x4000, 0x40000, 0x20000
if libc.unshare(CLONE_NEWNS) or libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None):
    print("no private mount namespace here (in a chroot, / is no mount):", ctypes.get_errno(), file=sys.stderr)
    sys.exit(77)  # the test skips
if libc.mount(b"none", b"/dev", b"tmpfs", 0, None):
    sys.exit("no tmpfs: " + str(ctypes.get_errno()))
"""
UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def run_fault(shim, mode, prelude=""):
    """gensalt(4) with the shim in mode: (outcome line without the count, stderr)."""
    r = run_python(FAULT_SCRIPT.format(shim=str(shim), mode=mode, prelude=prelude), env={"LD_PRELOAD": str(shim)})
    if r.returncode == 77:
        pytest.skip(r.stderr.strip())
    assert r.returncode == 0, r.stderr
    first, after = r.stdout.strip().splitlines()
    assert after.startswith("after $2b$04$")
    status, calls, rest = first.split(" ", 2)
    # Whatever the outcome, it must come from the shim's fault: the module
    # asked the system for random bytes the way the shim intercepts.
    assert int(calls) >= 1, "the random source did not go through the shim"
    return status, int(calls), rest, r.stderr


@pytest.mark.parametrize("mode, min_calls", [(EINTR_ONCE, 2), (SHORT_READS, 6)])
def test_getrandom_interruptions_still_give_a_salt(getrandom_shim, mode, min_calls):
    status, calls, salt, _ = run_fault(getrandom_shim, mode)
    assert status == "ok"
    assert calls >= min_calls
    assert SETTING.fullmatch(salt.encode())


@pytest.mark.parametrize(
    "mode, needles",
    [
        (FAIL_EIO, ["os_error: 5", "Input/output error"]),
        (ERRNO_ZERO, ["65537", "errno: did not return a positive value"]),
        (RETURN_ZERO, ["65538", "unexpected situation"]),
        (TOO_MANY, ["65538", "unexpected situation"]),
    ],
)
def test_getrandom_failure_is_a_panic(getrandom_shim, mode, needles):
    status, _, rest, stderr = run_fault(getrandom_shim, mode)
    assert status == "raised"
    assert rest.startswith("pyo3_runtime PanicException ")
    (msg,) = eval(rest.split(" ", 2)[2])
    assert msg.startswith(UNWRAP)
    for n in needles:
        assert n in msg
    assert stderr == ""  # the exception is the whole report


# Where the system call is missing or refused, the device gives the bytes;
# where that fails too, its error is the panic's.
@pytest.mark.parametrize("mode", [NO_SYSCALL, REFUSED])
@pytest.mark.parametrize("device", [True, False], ids=["device", "no device"])
def test_missing_getrandom_falls_back_to_dev_urandom(getrandom_shim, mode, device):
    if not device and os.geteuid() != 0:
        pytest.skip("hides /dev in a mount namespace, which needs root")
    status, _, rest, _ = run_fault(getrandom_shim, mode, prelude="" if device else HIDE_DEVICES)
    if device:
        assert (status, bool(SETTING.fullmatch(rest.encode()))) == ("ok", True)
    else:
        assert status == "raised" and 'os_error: 2, description: "No such file or directory"' in rest, rest
