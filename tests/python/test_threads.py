import threading
import time

from _quorlix import checkpw, gensalt, hashpw


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
    last = time.perf_counter()
    worker.start()
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
    serial = [hashpw(p, s) for p, s in zip(passwords, settings)]
    results = [None] * 8

    def work(i):
        results[i] = hashpw(passwords[i], settings[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == serial
