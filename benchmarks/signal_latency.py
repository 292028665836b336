"""How soon a signal stops a long call in the main thread, and what letting
it costs a hash that is not stopped.

Latency: a helper thread sends SIGINT (default handler: KeyboardInterrupt),
or SIGALRM with a handler that raises, a given time into hashpw, checkpw and
kdf (one with a 256 MiB salt among them); the time from the signal to the
exception leaving the call is printed, the worst of three.

Cost: a cost-12 hash in the main thread while another thread runs Python
code, with a Python-handled timer firing every millisecond against none, and
without it against the same hash in a worker thread; medians of interleaved
runs, each ratio beside its target.

    python benchmarks/signal_latency.py [--quick]
"""

import os
import signal
import statistics
import sys
import threading
import time

import quorlix


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm


def latency(call, delay, sig):
    sent = []

    def fire():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), sig)

    sender = threading.Thread(target=fire)
    sender.start()
    try:
        call()
    except (KeyboardInterrupt, Alarm):
        stopped = time.perf_counter()
    else:
        raise SystemExit("the call finished before the signal stopped it")
    finally:
        sender.join()
    return (stopped - sent[0]) * 1e3


def latency_rows(quick):
    stored = quorlix.hashpw(b"pw", quorlix.gensalt(4)).replace(b"$04$", b"$16$", 1)
    big_salt = bytes(256 << 20)
    calls = {
        "hashpw cost 16": lambda: quorlix.hashpw(b"pw", quorlix.gensalt(16)),
        "checkpw cost 16": lambda: quorlix.checkpw(b"pw", stored),
        "kdf 64 bytes, 2000 rounds": lambda: quorlix.kdf(b"pw", b"salt", 64, 2000),
        "kdf 512 bytes, 256 MiB salt": lambda: quorlix.kdf(b"pw", big_salt, 512, 1, True),
    }
    tries = 1 if quick else 3
    for name, call in calls.items():
        # Off the 20 ms rhythm of the caller's checks, which starts with the
        # call: a signal at a whole multiple would be seen at once.
        for delay in (0.031, 0.311):
            sigint = max(latency(call, delay, signal.SIGINT) for _ in range(tries))
            alarm = max(latency(call, delay, signal.SIGALRM) for _ in range(tries))
            print(
                f"{name:28} signal {delay * 1e3:3.0f} ms in: SIGINT {sigint:5.1f} ms, "
                f"raising SIGALRM handler {alarm:5.1f} ms"
            )


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def in_worker(call):
    took = []
    worker = threading.Thread(target=lambda: took.append(timed(call)))
    worker.start()
    worker.join()
    return took[0]


def with_timer(call):
    signal.signal(signal.SIGALRM, lambda signum, frame: None)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        return timed(call)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, raise_alarm)


def cost_rows(quick):
    setting = quorlix.gensalt(12)

    def call():
        return quorlix.hashpw(b"pw", setting)

    stop = False

    def busy():
        while not stop:
            pass

    spinner = threading.Thread(target=busy)
    spinner.start()
    sides = {"main": lambda: timed(call), "timer": lambda: with_timer(call), "worker": lambda: in_worker(call)}
    times = {name: [] for name in sides}
    try:
        for _ in range(3 if quick else 9):
            for name, side in sides.items():
                times[name].append(side())
    finally:
        stop = True
        spinner.join()
    median = {name: statistics.median(t) for name, t in times.items()}
    rows = [
        ("main thread, 1 ms timer / no timer", median["timer"] / median["main"], 1.05, "timer", "main"),
        ("main thread / worker thread", median["main"] / median["worker"], 1.02, "main", "worker"),
    ]
    print("\nhashpw cost 12 beside a busy Python thread (median of interleaved runs)")
    for label, ratio, target, a, b in rows:
        met = "yes" if ratio <= target else "NO"
        print(
            f"{label:36} {ratio:6.3f}  target <= {target}  met: {met}  "
            f"({median[a] * 1e3:.1f} ms vs {median[b] * 1e3:.1f} ms)"
        )


def main():
    quick = "--quick" in sys.argv
    signal.signal(signal.SIGALRM, raise_alarm)
    # A shell starts a background job with SIGINT ignored, which Python keeps.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    latency_rows(quick)
    cost_rows(quick)


if __name__ == "__main__":
    main()
