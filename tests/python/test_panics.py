"""PanicException: raised for internal failures, resumed when it comes back."""

import pytest

from conftest import run_python

PRELUDE = """
import ctypes, sys, threading
import _quorlix
shim = ctypes.CDLL({shim!r})
fault = ctypes.c_int.in_dll(shim, "quorlix_fault")

def panic_class():
    fault.value = 3  # EIO
    try:
        _quorlix.gensalt(4)
    except BaseException as e:
        return type(e)
    finally:
        fault.value = 0
"""

RESUME_LINES = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\nPython stack trace below:\n"
)


def run_with_shim(shim, body):
    r = run_python(PRELUDE.format(shim=str(shim)) + body, env={"LD_PRELOAD": str(shim)})
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines(), r.stderr


def test_panic_exception_class(getrandom_shim):
    out, _ = run_with_shim(
        getrandom_shim,
        """
cls = panic_class()
print(cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__ == (BaseException,))
print(bool(cls.__doc__ and "BaseException" in cls.__doc__))
print(hasattr(_quorlix, cls.__name__))
try:
    try:
        fault.value = 3
        _quorlix.gensalt(4)
    except Exception:
        print("caught as Exception")
except cls as e:
    print("args", len(e.args))
finally:
    fault.value = 0
print(panic_class() is cls)
""",
    )
    assert out == [
        "pyo3_runtime PanicException PanicException True",
        "True",
        "False",
        "args 1",
        "True",
    ]


# Each integer conversion that can fetch a PanicException from Python code:
# the 16-bit and 32-bit ones through PyLong_AsLong, the 64-bit one through
# PyNumber_Index.
@pytest.mark.parametrize(
    "call",
    [
        "_quorlix.gensalt(Evil())",
        "_quorlix.kdf(b'pw', b'salt', 8, Evil(), True)",
        "_quorlix.kdf(b'pw', b'salt', Evil(), 1, True)",
    ],
)
def test_resumed_panic_prints_and_raises_again(getrandom_shim, call):
    out, err = run_with_shim(
        getrandom_shim,
        """
cls = panic_class()
raised = []
class Evil:
    def __index__(self):
        raised.append(cls("boom"))
        raise raised[-1]
for attempt in range(2):
    try:
        CALL
    except cls as e:
        print("resumed", e.args, type(e) is cls, e is not raised[-1])
print(_quorlix.gensalt(4)[:7], len(_quorlix.kdf(b"pw", b"salt", 8, 1, True)))
""".replace("CALL", call),
    )
    # A new PanicException each time, and the interpreter carries on.
    assert out == ["resumed ('boom',) True True"] * 2 + ["b'$2b$04$' 8"]
    assert err.count(RESUME_LINES) == 2
    tail = err[err.index(RESUME_LINES) + len(RESUME_LINES) :]
    assert tail.startswith("Traceback (most recent call last):")
    assert "pyo3_runtime.PanicException: boom" in tail


def test_resumed_panic_without_str(getrandom_shim):
    out, err = run_with_shim(
        getrandom_shim,
        """
cls = panic_class()
class NoStr:
    def __str__(self):
        raise RuntimeError("no")
class Evil:
    def __index__(self):
        raise cls(NoStr())
try:
    _quorlix.gensalt(Evil())
except cls as e:
    print("resumed", e.args)
""",
    )
    assert out == ["resumed ('Unwrapped panic from Python code',)"]
    assert RESUME_LINES in err


def test_concurrent_panics_share_one_class(getrandom_shim):
    out, _ = run_with_shim(
        getrandom_shim,
        """
fault.value = 3
classes = []
barrier = threading.Barrier(4)
def worker():
    barrier.wait()
    try:
        _quorlix.gensalt(4)
    except BaseException as e:
        classes.append(type(e))
threads = [threading.Thread(target=worker) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
fault.value = 0
print(len(classes), len(set(classes)), classes[0].__name__)
""",
    )
    assert out == ["4 1 PanicException"]


# A signal handler raising PanicException during a long computation: the
# panic is resumed inside the computation and unwinds through it.
def test_panic_from_a_signal_handler_unwinds_the_computation(getrandom_shim):
    out, err = run_with_shim(
        getrandom_shim,
        """
import signal
cls = panic_class()
def boom(signum, frame):
    raise cls("from a handler")
signal.signal(signal.SIGALRM, boom)
for call in (
    lambda: _quorlix.hashpw(b"pw", b"$2b$17$" + b"C" * 21 + b"."),
    lambda: _quorlix.kdf(b"pw", b"salt", 128, 5000, True),
):
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        call()
    except cls as e:
        print("resumed", e.args)
print(_quorlix.gensalt(4)[:7], len(_quorlix.kdf(b"pw", b"salt", 8, 1, True)))
""",
    )
    assert out == ["resumed ('from a handler',)"] * 2 + ["b'$2b$04$' 8"]
    assert err.count(RESUME_LINES) == 2
