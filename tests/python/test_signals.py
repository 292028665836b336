"""Signals during a long hash: Ctrl-C works in the main thread.

Each case runs in a child interpreter with its own signal handlers. The LONG
calls take seconds here, so one that is not stopped shows as a latency far
beyond the limit; the others take about half a second.
"""

import signal
import subprocess
import sys
import sysconfig
from string import Template

import pytest

from conftest import SUPPORT, run_python

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals: SIGALRM, setitimer, fork")

PRELUDE = """
import ctypes, os, signal, threading, time
import _quorlix as q, quorlix

crypt = ctypes.CDLL("libcrypt.so.1").crypt
crypt.restype = ctypes.c_char_p
crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
libc, sigaction_buf = ctypes.CDLL(None), ctypes.create_string_buffer(1024)

def c_handler(signum):  # what the kernel calls: the first word of struct sigaction
    libc.sigaction(signum, None, sigaction_buf)
    return sigaction_buf.raw[:8]

class Alarm(Exception):
    pass

def alarm(signum, frame):
    raise Alarm

signal.signal(signal.SIGALRM, alarm)

def send_later(signum, seconds):
    # Timed from when start() returns, which a loaded machine can delay.
    sent, started = [], threading.Event()
    def send():
        started.wait()
        time.sleep(seconds)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signum)
    threading.Thread(target=send, daemon=True).start()
    started.set()
    return sent

SETTING = b"$2b$13$" + b"C" * 21 + b"."
LONG = {
    "hashpw": lambda: q.hashpw(b"pw", b"$2b$17$" + b"C" * 21 + b"."),
    "checkpw": lambda: q.checkpw(b"pw", b"$2b$17$" + b"C" * 21 + b"." + b"D" * 31),
    "kdf": lambda: q.kdf(b"pw", b"salt", 64, 5000, True),
    "hashpw_many": lambda: quorlix.hashpw_many([b"pw"] * 3, [b"$2b$17$" + b"C" * 21 + b"."] * 3),
}
def short(function):
    # A call of about half a second, and its right answer: crypt(3)'s for
    # bcrypt, a run without signals for kdf.
    if function == "kdf":
        call = lambda: q.kdf(b"pw", b"salt", 64, 150, True)
        return call, call()
    stored = crypt(b"pw", SETTING)
    if function == "hashpw":
        return (lambda: q.hashpw(b"pw", SETTING)), stored
    if function == "hashpw_many":
        return (lambda: quorlix.hashpw_many([b"pw", b"pw"], [SETTING, SETTING])), [stored, stored]
    return (lambda: q.checkpw(b"pw", stored)), True

def interrupted(function, expected, sent):
    try:
        LONG[function]()
        return "returned"
    except expected:
        return "late" if time.monotonic() - sent[0] > 0.5 else "in time"
"""

# Ctrl-C, and a handler of the program's own that raises; the module works
# as before afterwards.
RAISING = Template("""
sent = send_later(signal.$signal, 0.3)
print(interrupted("$$function", $exception, sent))
setting = q.gensalt(5)
print(q.hashpw(b"after", setting) == crypt(b"after", setting))
""")

CASES = {
    "SIGINT": RAISING.substitute(signal="SIGINT", exception="KeyboardInterrupt"),
    "SIGALRM": RAISING.substitute(signal="SIGALRM", exception="Alarm"),
    # Handlers that return run during the computation (every 50 ms of about
    # half a second; once, as the call returns, were they left until then),
    # and it goes on to the right answer.
    "returning": """
ran = []
signal.signal(signal.SIGALRM, lambda signum, frame: ran.append(time.monotonic()))
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
call, expected = short("$function")
result = call()
end = time.monotonic()
signal.setitimer(signal.ITIMER_REAL, 0)
print("in time" if sum(t < end for t in ran) >= 3 else "late")
print(result == expected)
""",
    # Interrupted in a computation of its own, the main thread leaves the
    # worker's alone. (Not in Thread.join: on CPython 3.11 interrupting that
    # marks the thread stopped.)
    "worker": """
call, expected = short("$function")
result, done = [], threading.Event()
threading.Thread(target=lambda: (result.append(call()), done.set())).start()
sent = send_later(signal.SIGINT, 0.1)
print(interrupted("$function", KeyboardInterrupt, sent), done.is_set())
done.wait()
print(result == [expected])
""",
}


@pytest.mark.parametrize("function", ["hashpw", "checkpw", "kdf", "hashpw_many"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_main_thread_computation_handles_signals(case, function):
    r = run_python(PRELUDE + Template(CASES[case]).substitute(function=function))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["in", "time"] + (["False"] if case == "worker" else []) + ["True"]


# A handler that hashes in turn, then installs another one: the new one
# runs too. The kernel calls the program's own handlers throughout.
HANDLERS_CHANGE = """
inner, during, sent = [], [], []
def first(signum, frame):
    during.append(c_handler(signal.SIGINT))
    inner.append(q.hashpw(b"inner", SETTING))
    signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    sent.append(time.monotonic() + 0.2)

signal.signal(signal.SIGALRM, first)
before = {s: c_handler(s) for s in (signal.SIGINT, signal.SIGALRM, signal.SIGTERM)}
signal.setitimer(signal.ITIMER_REAL, 0.1)
print(interrupted("hashpw", Alarm, sent))
print(inner == [crypt(b"inner", SETTING)], during[0] == before[signal.SIGINT])
print({s: c_handler(s) for s in before} == before)
"""


def test_handlers_that_hash_or_change_meanwhile():
    r = run_python(PRELUDE + HANDLERS_CHANGE)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["in", "time", "True", "True", "True"]


# Others' handlers stay as they are: a handler that chains to the previous
# one, installed while a hash watches (from a Python handler, or from another
# thread), then its signal; a C handler ticking every millisecond, which has
# no Python handler and must not be touched. And a child forked during a
# hash starts with its parent's handlers and restores its own.
OTHERS = {
    "chain from handler": """
signal.signal(signal.SIGUSR1, lambda s, f: None)
signal.signal(signal.SIGALRM, lambda s, f: register())
signal.setitimer(signal.ITIMER_REAL, 0.1)
usr1_later(0.3)
print(q.hashpw(b"pw", SETTING) == crypt(b"pw", SETTING))
""",
    "chain from thread": """
signal.signal(signal.SIGUSR1, lambda s, f: None)
later(0.2, register)
q.hashpw(b"pw", SETTING)
usr1_later(0.2)
print(q.hashpw(b"pw", SETTING) == crypt(b"pw", SETTING))
""",
    "C handler": """
libc.sigaction.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p]
libc.sigaction(signal.SIGPROF, ctypes.cast(libc.getpid, ctypes.c_void_p).value.to_bytes(8, "little") + bytes(256), None)
signal.setitimer(signal.ITIMER_PROF, 0.001, 0.001)
before, during = c_handler(signal.SIGPROF), []
later(0.2, lambda: during.append(c_handler(signal.SIGPROF)))
q.hashpw(b"pw", SETTING)
print(during == [before])
""",
    "fork": """
before, children = c_handler(signal.SIGINT), []
def fork():
    if (pid := os.fork()) == 0:
        start = c_handler(signal.SIGINT)
        q.hashpw(b"pw", SETTING)
        os._exit(0 if start == c_handler(signal.SIGINT) == before else 3)
    children.append(os.waitpid(pid, 0)[1])
forker = later(0.2, fork)
q.hashpw(b"pw", SETTING)
forker.join()
print(children == [0])
""",
}


# faulthandler's dump of all threads reads their states from the signal
# handler and crashes when one of them exits meanwhile: only the main
# thread gets the signal and dumps itself.
OTHERS_PRELUDE = """
import faulthandler
sink = open(os.devnull, "w")
def later(seconds, f):
    (thread := threading.Thread(target=lambda: (time.sleep(seconds), f()))).start()
    return thread
def register():
    faulthandler.register(signal.SIGUSR1, chain=True, file=sink, all_threads=False)
def usr1_later(seconds):
    later(seconds, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1))
"""


@pytest.mark.parametrize("case", sorted(OTHERS))
def test_others_handlers_stay(case):
    r = run_python(PRELUDE + OTHERS_PRELUDE + OTHERS[case])
    assert (r.returncode, r.stdout) == (0, "True\n"), r.stderr


# Nothing of the process's signal handling changes, and no handler's
# exception is lost, however the first call comes.
FIRST_CALLS = {
    # Due when the call starts: the C library's kill only notes it, and map
    # calls on without running Python code in between.
    "due exception": """
import functools, operator
signal.signal(signal.SIGUSR1, lambda s, f: int("due"))
calls = [functools.partial(libc.kill, os.getpid(), signal.SIGUSR1), functools.partial(q.hashpw, b"pw", SETTING)]
try:
    list(map(operator.call, calls))
except ValueError as e:
    print(e.args == ("invalid literal for int() with base 10: 'due'",))
""",
    # Before threading is imported.
    "raw thread": """
import _thread, _quorlix
done = _thread.allocate_lock()
done.acquire()
_thread.start_new_thread(lambda: (_quorlix.hashpw(b"pw", _quorlix.gensalt(4)), done.release()), ())
done.acquire()
PRELUDE
print(True)
""",
    "storm": """
every = {s: c_handler(s) for s in range(1, signal.NSIG)}
ran = []
def storm(signum, frame):
    if len(ran) == 2000:
        raise ValueError("storm")
    ran.append(1)
signal.signal(signal.SIGUSR2, storm)
every[signal.SIGUSR2] = c_handler(signal.SIGUSR2)
def send():
    while True:
        os.kill(os.getpid(), signal.SIGUSR2)
        time.sleep(2e-5)
threading.Thread(target=send, daemon=True).start()
try:
    LONG["hashpw"]()
except ValueError as e:
    print(e.args == ("storm",), {s: c_handler(s) for s in every} == every)
signal.signal(signal.SIGUSR2, signal.SIG_IGN)
""",
    "fork from worker": """
def child():
    q.hashpw(b"pw", SETTING)
    if os.fork() == 0:
        print(interrupted("hashpw", KeyboardInterrupt, send_later(signal.SIGINT, 0.3)) == "in time", flush=True)
        os._exit(0)
(worker := threading.Thread(target=child)).start()
worker.join()
os.wait()
""",
    "siginterrupt meanwhile": """
signal.signal(signal.SIGUSR1, lambda s, f: None)
libc.sigaction.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p]
def raw():  # handler, the kernel's mask and the flags of glibc's struct sigaction
    libc.sigaction(signal.SIGUSR1, None, sigaction_buf)
    return sigaction_buf.raw[:16] + sigaction_buf.raw[136:140]
during = []
def change():
    time.sleep(0.1)
    signal.siginterrupt(signal.SIGUSR1, False)
    during.append(raw())
threading.Thread(target=change).start()
q.hashpw(b"pw", SETTING)
print(during == [raw()])
""",
}


@pytest.mark.parametrize("case", sorted(FIRST_CALLS))
def test_first_call_changes_nothing(case):
    # The first call, or the first in the main thread; afterwards a long hash
    # there still stops on Ctrl-C.
    after = 'print(interrupted("hashpw", KeyboardInterrupt, send_later(signal.SIGINT, 0.3)) == "in time")'
    code = FIRST_CALLS[case]
    r = run_python((code.replace("PRELUDE", PRELUDE) if "PRELUDE" in code else PRELUDE + code) + after)
    assert r.returncode == 0, r.stderr
    assert set(r.stdout.split()) == {"True"}, r.stdout


def build_embed_host(tmp_path):
    libdir, host = sysconfig.get_config_var("LIBDIR"), tmp_path / "host"
    flags = [f"-I{sysconfig.get_config_var('INCLUDEPY')}", f"-L{libdir}", f"-Wl,-rpath,{libdir}"]
    libpython = f"-lpython{sysconfig.get_config_var('LDVERSION')}"
    subprocess.run(["cc", *flags, "-o", host, SUPPORT / "embed_host.c", libpython, "-lpthread"], check=True)
    return host


EMBEDDED = pytest.mark.skipif(not sysconfig.get_config_var("Py_ENABLE_SHARED"), reason="needs a shared libpython")


@EMBEDDED
def test_host_without_signal_handlers_keeps_its_sigint(tmp_path):
    # Python installed no handler: after a hash, SIGINT still ends the host.
    # No `import signal` here: from 3.13 importing it installs the handler.
    code = f"""
import os, _quorlix
_quorlix.hashpw(b"pw", b"$2b$13$" + b"C" * 21 + b".")
os.kill(os.getpid(), {int(signal.SIGINT)})
"""
    host = build_embed_host(tmp_path)
    r = subprocess.run([host, sys.executable, code, "no-signal-handlers"], capture_output=True, timeout=120)
    assert r.returncode == -signal.SIGINT, r.stderr


@EMBEDDED
def test_interpreter_started_in_another_thread(tmp_path):
    host = build_embed_host(tmp_path)
    code = PRELUDE + 'print(interrupted("hashpw", KeyboardInterrupt, send_later(signal.SIGINT, 0.3)))'
    r = subprocess.run([host, sys.executable, code], capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout) == (0, "in time\n"), r.stderr
