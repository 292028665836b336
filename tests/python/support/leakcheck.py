"""Calls one module function the same way many times in a fresh interpreter
and reports what grew.

    python leakcheck.py CASE CALLS

Prints one JSON object: the growth of resident memory over all calls and over
the second half alone, of the interpreter's allocated blocks, of the C heap
in use (mallinfo2), and the reference counts of every argument object before
and after. Baselines are taken after a warm-up, so caches, interned names and
the once-only cells are already filled, and after gc.collect(). PyPy counts
neither blocks nor references: those figures are 0 and empty there.
"""

import array
import ctypes
import gc
import json
import os
import sys
import time
import warnings

import _quorlix

PW = b"correct horse battery staple"
SALT22 = b"CCCCCCCCCCCCCCCCCCCCC."
SETTING = b"$2b$04$" + SALT22
HASH = b"$2b$04$CCCCCCCCCCCCCCCCCCCCC.0uP/2zHIr81tVya45gVnDFLBmqu9l4W"
KDF_SALT = b"NaCl and pepper"

# getrandom shim modes (support/getrandom_shim.c).
FAIL_EIO = 3


class HarnessError(TypeError):
    """Raised by an argument's __index__; must come out unchanged."""


class RaisingIndex:
    def __index__(self):
        raise HarnessError("from __index__")


class PanicIndex:
    """An __index__ that raises a PanicException from an earlier panic."""

    def __init__(self, cls):
        self.cls = cls

    def __index__(self):
        raise self.cls("came back through Python")


def panic_class():
    """The PanicException class, from one failed getrandom."""
    fault = shim_fault()
    fault.value = FAIL_EIO
    try:
        _quorlix.gensalt(4)
    except BaseException as e:  # PanicException derives from BaseException
        return type(e)
    finally:
        fault.value = 0
    raise AssertionError("getrandom failure did not panic")


def shim_fault():
    shim = ctypes.CDLL(os.environ["QUORLIX_SHIM"])
    return ctypes.c_int.in_dll(shim, "quorlix_fault")


def numpy_true():
    import numpy

    return numpy.bool_(True)


# name: (function, args, kwargs, outcome). The outcome is "ok" for a success
# path, or the exception class that every call must raise. Builders that need
# the shim or numpy run only for their own case.
CASES = {
    # gensalt
    "gensalt ok": lambda: ("gensalt", (), {}, "ok"),
    "gensalt ok 2a": lambda: ("gensalt", (5, b"2a"), {}, "ok"),
    "gensalt bad prefix": lambda: ("gensalt", (12, b"2c"), {}, ValueError),
    "gensalt invalid rounds": lambda: ("gensalt", (3,), {}, ValueError),
    "gensalt rounds overflow": lambda: ("gensalt", (70000,), {}, OverflowError),
    "gensalt rounds negative": lambda: ("gensalt", (-1,), {}, OverflowError),
    "gensalt rounds float": lambda: ("gensalt", (12.0,), {}, TypeError),
    "gensalt rounds None": lambda: ("gensalt", (None,), {}, TypeError),
    "gensalt rounds index raises": lambda: ("gensalt", (RaisingIndex(),), {}, HarnessError),
    "gensalt prefix str": lambda: ("gensalt", (12, "2b"), {}, TypeError),
    "gensalt too many": lambda: ("gensalt", (12, b"2b", 3), {}, TypeError),
    "gensalt unexpected keyword": lambda: ("gensalt", (), {"pepper": 1}, TypeError),
    "gensalt unencodable keyword": lambda: ("gensalt", (), {"\udcff": 1}, TypeError),
    "gensalt multiple values": lambda: ("gensalt", (12,), {"rounds": 12}, TypeError),
    "gensalt getrandom fails": lambda: ("gensalt", (4,), {}, "panic:getrandom"),
    "gensalt resumed panic": lambda: ("gensalt", (PanicIndex(panic_class()),), {}, "panic"),
    # hashpw
    "hashpw ok": lambda: ("hashpw", (PW, SETTING), {}, "ok"),
    "hashpw ok keywords": lambda: ("hashpw", (), {"salt": HASH, "password": PW}, "ok"),
    "hashpw too long": lambda: ("hashpw", (b"x" * 73, SETTING), {}, ValueError),
    "hashpw missing one": lambda: ("hashpw", (PW,), {}, TypeError),
    "hashpw missing both": lambda: ("hashpw", (), {}, TypeError),
    "hashpw password str": lambda: ("hashpw", ("pw", SETTING), {}, TypeError),
    "hashpw salt bytearray": lambda: ("hashpw", (PW, bytearray(SETTING)), {}, TypeError),
    "hashpw salt pieces": lambda: ("hashpw", (PW, b"$2b$04$"), {}, ValueError),
    "hashpw salt version": lambda: ("hashpw", (PW, b"$2c$04$" + SALT22), {}, ValueError),
    "hashpw salt cost text": lambda: ("hashpw", (PW, b"$2b$x4$" + SALT22), {}, ValueError),
    "hashpw salt symbol": lambda: ("hashpw", (PW, b"$2b$04$*" + SALT22[1:]), {}, ValueError),
    "hashpw salt last symbol": lambda: ("hashpw", (PW, b"$2b$04$" + SALT22[:21] + b"C"), {}, ValueError),
    "hashpw cost 3": lambda: ("hashpw", (PW, b"$2b$03$" + SALT22), {}, ValueError),
    "hashpw cost 32": lambda: ("hashpw", (PW, b"$2b$32$" + SALT22), {}, ValueError),
    # checkpw
    "checkpw true": lambda: ("checkpw", (PW, HASH), {}, "ok"),
    "checkpw false": lambda: ("checkpw", (b"wrong", HASH), {}, "ok"),
    "checkpw too long": lambda: ("checkpw", (b"x" * 73, HASH), {}, ValueError),
    "checkpw invalid salt": lambda: ("checkpw", (PW, HASH[:28]), {}, ValueError),
    "checkpw cost 3": lambda: ("checkpw", (PW, HASH.replace(b"$04$", b"$03$")), {}, ValueError),
    "checkpw hashed None": lambda: ("checkpw", (PW, None), {}, TypeError),
    "checkpw too many": lambda: ("checkpw", (PW, HASH, HASH), {}, TypeError),
    # kdf
    "kdf ok": lambda: ("kdf", (PW, KDF_SALT, 1, 1, True), {}, "ok"),
    "kdf ok warned": lambda: ("kdf", (PW, KDF_SALT, 1, 1), {}, "ok:warnings-ignored"),
    "kdf ok numpy bool": lambda: ("kdf", (PW, KDF_SALT, 1, 1, numpy_true()), {}, "ok"),
    "kdf ok heap scratch": lambda: ("kdf", (PW, KDF_SALT, 257, 1, True), {}, "ok"),
    "kdf empty password": lambda: ("kdf", (b"", KDF_SALT, 16, 1, True), {}, ValueError),
    "kdf key length 513": lambda: ("kdf", (PW, KDF_SALT, 513, 1, True), {}, ValueError),
    "kdf rounds 0": lambda: ("kdf", (PW, KDF_SALT, 16, 0), {}, ValueError),
    "kdf warning as error": lambda: ("kdf", (PW, KDF_SALT, 16, 1), {}, UserWarning),
    "kdf length negative": lambda: ("kdf", (PW, KDF_SALT, -1, 1), {}, OverflowError),
    "kdf length 2**64": lambda: ("kdf", (PW, KDF_SALT, 2**64, 1), {}, OverflowError),
    "kdf length float": lambda: ("kdf", (PW, KDF_SALT, 16.0, 1), {}, TypeError),
    "kdf length index raises": lambda: ("kdf", (PW, KDF_SALT, RaisingIndex(), 1), {}, HarnessError),
    "kdf rounds 2**32": lambda: ("kdf", (PW, KDF_SALT, 16, 2**32), {}, OverflowError),
    "kdf ignore int": lambda: ("kdf", (PW, KDF_SALT, 16, 1, 1), {}, TypeError),
    "kdf numpy bool then empty": lambda: ("kdf", (PW, b"", 16, 1, numpy_true()), {}, ValueError),
    "kdf missing": lambda: ("kdf", (PW,), {}, TypeError),
    "kdf resumed panic": lambda: ("kdf", (PW, KDF_SALT, PanicIndex(panic_class()), 1), {}, "panic"),
}


PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    # Plain descriptors: a file object would leave references behind.
    fd = os.open("/proc/self/statm", os.O_RDONLY)
    try:
        return int(os.read(fd, 200).split()[1]) * PAGE
    finally:
        os.close(fd)


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


MALLINFO2 = ctypes.CDLL(None).mallinfo2
MALLINFO2.restype = MallInfo2


def heap_in_use():
    """Bytes the C allocator has handed out and not had back."""
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


RSS, BLOCKS, HEAP = range(3)


def snapshot():
    gc.collect()
    # Raw numbers again: a small int kept here would move that int's count.
    blocks = sys.getallocatedblocks() if hasattr(sys, "getallocatedblocks") else 0
    return array.array("q", (rss_bytes(), blocks, heap_in_use()))


def make_loop(fn, args, kwargs, outcome):
    if isinstance(outcome, str):

        def loop(n):
            for _ in range(n):
                fn(*args, **kwargs)

    else:

        def loop(n):
            for _ in range(n):
                try:
                    fn(*args, **kwargs)
                except outcome:
                    pass
                else:
                    raise AssertionError(f"expected {outcome.__name__}")

    return loop


def main():
    name, calls = sys.argv[1], int(sys.argv[2])
    func, args, kwargs, outcome = CASES[name]()
    fn = getattr(_quorlix, func)

    if outcome == "ok:warnings-ignored":
        warnings.simplefilter("ignore")
    elif outcome is UserWarning:
        warnings.simplefilter("error")
    if outcome == "panic:getrandom":
        shim_fault().value = FAIL_EIO
    if isinstance(outcome, str) and outcome.startswith("panic"):
        try:
            fn(*args, **kwargs)
        except BaseException as e:
            outcome = type(e)
        assert outcome.__name__ == "PanicException", outcome
        # Each panic is reported on stderr; keep the run's output readable.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)

    loop = make_loop(fn, args, kwargs, outcome)
    # PyPy's JIT and the heap its collector keeps settle over a whole run's
    # worth of calls; CPython's caches fill within a few.
    loop(calls if sys.implementation.name == "pypy" else max(1, min(2000, calls // 10)))
    watched = list(args) + list(kwargs.values())

    def refcounts():
        # Kept as raw numbers: a list of small ints would itself hold
        # references to the small-int arguments it counts.
        return array.array("q", (sys.getrefcount(o) for o in watched if hasattr(sys, "getrefcount")))

    start = snapshot()
    refs_before = refcounts()
    t0 = time.perf_counter()
    loop(calls // 2)
    half = snapshot()
    loop(calls - calls // 2)
    seconds = time.perf_counter() - t0
    refs_after = refcounts()
    end = snapshot()

    print(
        json.dumps(
            {
                "calls": calls,
                "seconds": seconds,
                "rss_growth": end[RSS] - start[RSS],
                "rss_growth_second_half": end[RSS] - half[RSS],
                "blocks_growth": end[BLOCKS] - start[BLOCKS],
                "heap_growth": end[HEAP] - start[HEAP],
                "refs_before": refs_before.tolist(),
                "refs_after": refs_after.tolist(),
            }
        )
    )


if __name__ == "__main__":
    main()
