"""A call keeps its arguments alive while it runs, whoever else lets them go.

A caller need not hold a reference to what it passes: functools.partial
passes the items of its own argument tuple, and another thread, or an
argument's own __index__, can replace that tuple while the call runs. Each
case runs in a child interpreter: the fault is a crash or an answer
computed from freed memory.
"""

from string import Template

import pytest

from conftest import run_python

# Another thread replaces the partial's arguments while the call computes
# without the lock, then fills the freed memory with objects of its size.
THREADED = Template("""
import functools, os, threading, time, _quorlix as q, quorlix
wrong = 0
for attempt in range(4):
    $prepare
    p = functools.partial($function, *args)
    del args
    out, calling = [], threading.Event()
    t = threading.Thread(target=lambda: (calling.set(), out.append(p())))
    t.start()
    calling.wait()
    time.sleep(0.01)
    p.__setstate__(($function, (), {}, None))
    churn = [os.urandom($size) for _ in range(20000)]
    t.join()
    wrong += out != [expected]
print("wrong", wrong)
""")


@pytest.mark.parametrize(
    "function, prepare, size",
    [
        ("q.hashpw", "s = q.gensalt(10); args = (os.urandom(40), s); expected = q.hashpw(args[0], s)", 40),
        # The stored hash is read again after the computation.
        ("q.checkpw", "pw = os.urandom(40); args = (pw, q.hashpw(pw, q.gensalt(10))); expected = True", 60),
        # A large salt has a mapping of its own, given back when freed; the
        # derivation reads it for every group of blocks.
        ("q.kdf", "args = (b'pw', bytes(range(256)) * 4096, 512, 8, True); expected = q.kdf(*args)", 100),
        # The lists' items are read without the lock, the stored hashes after.
        (
            "quorlix.checkpw_many",
            "pw = [os.urandom(40)] * 5; args = (pw, quorlix.hashpw_many(pw, [q.gensalt(10)] * 5)); "
            "expected = [True] * 5",
            60,
        ),
    ],
    ids=["hashpw", "checkpw", "kdf", "checkpw_many"],
)
def test_arguments_replaced_by_another_thread(function, prepare, size):
    r = run_python(THREADED.substitute(function=function, prepare=prepare, size=size))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["wrong", "0"]


# An integer argument's __index__ replaces the partial's arguments before
# the later conversions and the computation read the earlier ones; an
# object of the same size then takes the freed memory.
INDEX = Template("""
import functools, _quorlix as q
def big():  # a new object each time
    return bytes(range(256)) * 4096
class Evil:
    def __index__(self):
        global taken
        p.__setstate__((q.gensalt, (), {}, None))
        taken = bytes([122, 122])
        return $value
p = functools.partial($call)
result = p()
print($check)
""")


@pytest.mark.parametrize(
    "call, value, check",
    [
        ("q.kdf, big(), big()[::-1], Evil(), 2, True", "64", "result == q.kdf(big(), big()[::-1], 64, 2, True)"),
        ("q.kdf, big(), big()[::-1], 64, Evil(), True", "2", "result == q.kdf(big(), big()[::-1], 64, 2, True)"),
        # rounds is converted before prefix.
        ("q.gensalt, Evil(), bytes([50, 98])", "5", "result[:7] == b'$2b$05$'"),
    ],
    ids=["kdf-desired_key_bytes", "kdf-rounds", "gensalt-rounds"],
)
def test_arguments_dropped_by_a_later_conversion(call, value, check):
    r = run_python(INDEX.substitute(call=call, value=value, check=check))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True"]
