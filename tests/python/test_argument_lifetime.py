"""A call keeps its arguments alive while it runs, whoever else lets them go.

A caller need not hold a reference to what it passes: functools.partial
passes the items of its own argument tuple, and another thread, or an
argument's own __index__, can replace that tuple while the call runs. Each
case runs in a child interpreter, since the fault it guards against is a
crash or an answer computed from freed memory.
"""

from string import Template

import pytest

from conftest import run_python

# Another thread replaces the partial's arguments while the call computes
# without the lock, then fills the freed memory with other objects of the
# same size. `prepare` sets `args` (the call's arguments, each the only
# reference) and `expected` (the right answer for them).
THREADED = Template("""
import functools, os, threading, time, _quorlix as q
wrong = 0
for attempt in range($rounds):
    $prepare
    p = functools.partial($function, *args)
    del args
    out, calling = [], threading.Event()
    t = threading.Thread(target=lambda: (calling.set(), out.append(p())))
    t.start()
    calling.wait()
    time.sleep(0.01)
    p.__setstate__(($function, $replacement, {}, None))
    churn = [os.urandom($size) for _ in range(20000)]
    t.join()
    wrong += out != [expected]
print("wrong", wrong)
""")

THREADED_CASES = {
    "hashpw": dict(
        function="q.hashpw",
        prepare="salt = q.gensalt(10); args = (os.urandom(40), salt); expected = q.hashpw(bytes(args[0]), salt)",
        replacement="(b'x', b'y')",
        size="40",
        rounds="5",
    ),
    # The stored hash is read again after the computation, for the comparison.
    "checkpw": dict(
        function="q.checkpw",
        prepare="pw = os.urandom(40); args = (pw, q.hashpw(pw, q.gensalt(10))); expected = True",
        replacement="(b'x', b'y')",
        size="60",
        rounds="5",
    ),
    # A large salt lives in its own mapping, given back to the system when
    # freed; the key derivation reads it for every group of output blocks.
    "kdf": dict(
        function="q.kdf",
        prepare=(
            "salt = bytes(range(256)) * 4096; expected = q.kdf(b'pw', salt, 512, 8, True); "
            "args = (b'pw', salt, 512, 8, True); del salt"
        ),
        replacement="(b'pw', b'x')",
        size="100",
        rounds="3",
    ),
}


@pytest.mark.parametrize("function", sorted(THREADED_CASES))
def test_arguments_replaced_by_another_thread(function):
    r = run_python(THREADED.substitute(THREADED_CASES[function]))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["wrong", "0"]


# An integer argument's __index__ replaces the partial's arguments before
# the later conversions and the computation read the earlier ones; the
# freed memory is then taken by an object of the same size.
INDEX = Template("""
import functools, _quorlix as q
class Evil:
    def __index__(self):
        global taken
        p.__setstate__(($function, (), {}, None))
        taken = $filler
        return $value
$call
""")

BIG_PASSWORD = "bytes(range(256)) * 4096"
BIG_SALT = "bytes(range(255, -1, -1)) * 4096"
KDF_EXPECTED = f"q.kdf({BIG_PASSWORD}, {BIG_SALT}, 64, 2, True).hex()"


@pytest.mark.parametrize(
    "function, value, filler, call, expected",
    [
        # desired_key_bytes, then rounds: both bytes arguments come first.
        (
            "q.kdf",
            "64",
            "b''",
            f"p = functools.partial(q.kdf, {BIG_PASSWORD}, {BIG_SALT}, Evil(), 2, True)\nprint(p().hex())",
            KDF_EXPECTED,
        ),
        (
            "q.kdf",
            "2",
            "b''",
            f"p = functools.partial(q.kdf, {BIG_PASSWORD}, {BIG_SALT}, 64, Evil(), True)\nprint(p().hex())",
            KDF_EXPECTED,
        ),
        # rounds is converted before prefix.
        (
            "q.gensalt",
            "5",
            "bytes([122, 122])",
            "p = functools.partial(q.gensalt, Evil(), bytes([50, 98]))\nprint(p()[:7].decode())",
            "'$2b$05$'",
        ),
    ],
    ids=["kdf-desired_key_bytes", "kdf-rounds", "gensalt-rounds"],
)
def test_arguments_dropped_by_a_later_conversion(function, value, filler, call, expected):
    code = INDEX.substitute(function=function, value=value, filler=filler, call=call)
    r = run_python(code + f"\nprint({expected})")
    assert r.returncode == 0, r.stderr
    got, want = r.stdout.split()
    assert got == want
