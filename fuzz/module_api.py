"""Calls the module's four functions with arbitrary argument types, counts,
keywords and values, under atheris.

Only the documented outcomes may come out: a result of the promised shape,
or TypeError, ValueError or OverflowError with one of the module's messages
(or the interpreter's, for conversions), a UserWarning turned into an error,
or an exception that the harness's own __index__ raised. SystemError,
PanicException or any other exception is a finding, and so is a crash.

Run by fuzz/run.sh, which preloads atheris's sanitizer runtime so the
instrumented extension reports its coverage:
    fuzz/run.sh 60 module_api
"""

import re
import sys
import warnings

import atheris

with atheris.instrument_imports():
    import _quorlix

try:
    import numpy
except ImportError:  # the numpy-bool path is then left out
    numpy = None

PARAMS = {
    "gensalt": ("rounds", "prefix"),
    "hashpw": ("password", "salt"),
    "checkpw": ("password", "hashed_password"),
    "kdf": ("password", "salt", "desired_key_bytes", "rounds", "ignore_few_rounds"),
}
NAMES = sorted(PARAMS)

VALUE_ERRORS = {
    "Supported prefixes are b'2a' or b'2b'",
    "Invalid rounds",
    "Invalid salt",
    "password cannot be longer than 72 bytes, truncate manually if necessary (e.g. my_password[:72])",
    "password and salt must not be empty",
    "desired_key_bytes must be 1-512",
    "rounds must be 1 or more",
}
OVERFLOW_ERRORS = {
    "out of range integral type conversion attempted",
    "can't convert negative int to unsigned",
    "int too big to convert",
    "Python int too large to convert to C long",
}
TYPE_ERROR = re.compile(
    r"argument '\w+': .+"
    r"|(gensalt|hashpw|checkpw|kdf)\(\) (takes .+ positional arguments? but \d+ were given"
    r"|missing \d+ required positional arguments?: .+"
    r"|got multiple values for argument '\w+'"
    r"|got an unexpected keyword argument '.*')",
    re.S,
)
SETTING = re.compile(rb"\$2[ab]\$(0[4-9]|[12][0-9]|3[01])\$[./A-Za-z0-9]{21}[.Oeu]")
HASH = re.compile(rb"\$2[abxy]\$(0[4-9]|[12][0-9]|3[01])\$[./A-Za-z0-9]{21}[.Oeu][./A-Za-z0-9]{30}[.CGKOSWaeimquy26]")
ALPHABET = b"./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"

# Dearer calls are skipped: the code paths are the same at any cost, and the
# fuzzer must not mistake a slow hash for a hang.
MAX_COST = 5
MAX_KDF_BLOCKS = 4


class HarnessError(TypeError):
    """Raised by the harness's own __index__; must come out unchanged."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise HarnessError("from __index__")


class ReentrantIndex:
    """Calls into the module from inside a conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        _quorlix.gensalt(4)
        return self.value


class NonIntIndex:
    def __index__(self):
        return "12"


class BytesSub(bytes):
    pass


class Key(str):
    """A keyword name that cannot be rendered."""

    def __str__(self):
        raise RuntimeError("no str")


class Unprintable:
    def __str__(self):
        raise RuntimeError("no str")


KEYWORDS = [
    *sorted({p for ps in PARAMS.values() for p in ps}),
    *("pepper", "", "\udcff", "r\u00e9", "Rounds", Key("pepper"), Key("rounds")),
]


def setting_bytes(fdp):
    """Something close to a setting string, so the parser is reached deeply."""
    version = fdp.PickValueInList([b"2a", b"2b", b"2x", b"2y", b"2c", b"2", b"3b", b"2bb"])
    cost = fdp.PickValueInList([b"04", b"4", b"+4", b"05", b"004", b"3", b"32", b"-4", b"+", b"99999999999", b"x"])
    salt = bytes(ALPHABET[b % 64] for b in fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 24)))
    tail = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    dollars = [fdp.PickValueInList([b"$", b"$$", b""]) for _ in range(3)]
    return dollars[0] + version + dollars[1] + cost + dollars[2] + salt + tail


def value(fdp):
    kind = fdp.ConsumeIntInRange(0, 19)
    if kind == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 80))
    if kind == 1:
        return setting_bytes(fdp)
    if kind == 2:
        return fdp.ConsumeIntInRange(-3, 80)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 10))
    if kind == 4:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 20))
    if kind == 5:
        return None
    if kind == 6:
        return fdp.ConsumeBool()
    if kind == 7:
        return fdp.ConsumeRegularFloat()
    if kind == 8:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 30)))
    if kind == 9:
        return BytesSub(setting_bytes(fdp) if fdp.ConsumeBool() else fdp.ConsumeBytes(10))
    if kind == 10:
        return Index(fdp.ConsumeIntInRange(-2, 600) if fdp.ConsumeBool() else fdp.ConsumeInt(9))
    if kind == 11:
        return RaisingIndex()
    if kind == 12:
        return numpy.bool_(fdp.ConsumeBool()) if numpy is not None else True
    if kind == 13:
        return fdp.PickValueInList([b"2a", b"2b", b"2y", b"", b"$2b"])
    if kind == 14:
        return memoryview(fdp.ConsumeBytes(8))
    if kind == 15:
        return Unprintable()
    if kind == 16:
        return [fdp.ConsumeBytes(4)]
    if kind == 17:
        return ReentrantIndex(fdp.ConsumeIntInRange(-1, 40))
    if kind == 18:
        return NonIntIndex()
    return fdp.PickValueInList([object(), 1.5, 2**64, -(2**63), 2**32, 65536, 0])


def as_int(v):
    """What the module's integer conversion would see, or None."""
    if isinstance(v, int):
        return int(v)
    if isinstance(v, (Index, ReentrantIndex)) and isinstance(v.value, int):
        return v.value
    return None


def cost_of(setting):
    if not isinstance(setting, bytes):
        return None
    pieces = [p for p in setting.split(b"$") if p]
    if len(pieces) != 3:
        return None
    digits = pieces[1][1:] if pieces[1][:1] == b"+" else pieces[1]
    return int(digits) if digits.isdigit() and digits.isascii() else None


def too_dear(name, args, kwargs):
    bound = dict(zip(PARAMS[name], args, strict=False))
    for k, v in kwargs.items():
        bound.setdefault(k, v)
    if name in ("hashpw", "checkpw"):
        cost = cost_of(bound.get("salt", bound.get("hashed_password")))
        return cost is not None and MAX_COST < cost <= 31
    if name == "kdf":
        n, rounds = as_int(bound.get("desired_key_bytes")), as_int(bound.get("rounds"))
        if n is None or rounds is None or not (1 <= n <= 512) or rounds < 1:
            return False
        return rounds * ((n + 31) // 32) > MAX_KDF_BLOCKS
    return False


def check_result(name, args, kwargs, result):
    if name == "gensalt":
        assert type(result) is bytes and SETTING.fullmatch(result), result
    elif name == "hashpw":
        assert type(result) is bytes and HASH.fullmatch(result), result
    elif name == "checkpw":
        assert result is True or result is False, result
    else:
        bound = dict(zip(PARAMS[name], args, strict=False), **kwargs)
        assert type(result) is bytes and len(result) == as_int(bound["desired_key_bytes"]), result


def check_error(e):
    if isinstance(e, HarnessError):
        return
    kind = type(e)
    text = str(e)
    if kind is ValueError:
        assert text in VALUE_ERRORS, text
    elif kind is OverflowError:
        assert text in OVERFLOW_ERRORS, text
    elif kind is TypeError:
        assert TYPE_ERROR.fullmatch(text), text
    elif kind is UserWarning:
        assert text.startswith("Warning: quorlix.kdf() called with only "), text
    else:
        raise e


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    name = fdp.PickValueInList(NAMES)
    args = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        kwargs[fdp.PickValueInList(KEYWORDS)] = value(fdp)
    if too_dear(name, args, kwargs):
        return
    warnings.simplefilter("error" if fdp.ConsumeBool() else "ignore", UserWarning)
    try:
        result = getattr(_quorlix, name)(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, UserWarning) as e:
        check_error(e)
    else:
        check_result(name, args, kwargs, result)


if __name__ == "__main__":
    # An unprintable keyword is reported through the unraisable hook; that
    # is expected, and would flood the log.
    sys.unraisablehook = lambda unraisable: None
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
