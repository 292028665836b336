import threading
import time

from _quorlix import checkpw, gensalt, hashpw

from conftest import run_python


def test_other_threads_run_while_hashing():
    setting = gensalt(12)
    done = threading.Event()
    result = {}

    def hash_it():
        start = time.perf_counter()
        result["hash"] = hashpw(b"pw", setting)
        result["seconds"] = time.perf_counter() - start
        done.set()

    gaps = []
    worker = threading.Thread(target=hash_it)
    worker.start()  # a gap of its own where threads start slowly (free-threaded builds under load)
    last = time.perf_counter()
    while not done.is_set():
        time.sleep(0.001)
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    worker.join()
    assert checkpw(b"pw", result["hash"])
    # Holding the lock for the whole hash would stall this loop for all of it.
    assert len(gaps) > 20
    assert max(gaps) < result["seconds"] / 4, (max(gaps), result["seconds"])


def test_concurrent_hashes_match_serial_ones():
    settings = [gensalt(5) for _ in range(8)]
    passwords = [b"pw%d" % i for i in range(8)]
    serial = [hashpw(p, s) for p, s in zip(passwords, settings, strict=False)]
    results = [None] * 8

    def work(i):
        results[i] = hashpw(passwords[i], settings[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == serial


DAEMONS_AT_EXIT = """
import threading, _quorlix
s = _quorlix.gensalt(4)
h = _quorlix.hashpw(b"pw", s)
calls = [
    (_quorlix.hashpw, (b"pw", s)),
    (_quorlix.checkpw, (b"pw", h)),
    (_quorlix.kdf, (b"pw", b"salt", 48, 2, True)),
]
for fn, args in calls * 2:
    threading.Thread(target=fn, args=args, daemon=True).start()
"""


def test_daemon_threads_still_hashing_at_exit():
    # The interpreter ends such threads while they take the lock back.
    for _ in range(12):
        r = run_python(DAEMONS_AT_EXIT)
        assert (r.returncode, r.stderr) == (0, "")
