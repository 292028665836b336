"""How long a signal takes to stop a long call in the main thread.

A helper thread sends SIGINT (default handler: KeyboardInterrupt), or
SIGALRM with a handler that raises, a given time into hashpw, checkpw and
kdf; the time from the signal to the exception leaving the call is printed,
the worst of three. Calls that have run less than 50 ms when the signal
comes handle it at the 50 ms mark.

    python benchmarks/signal_latency.py
"""

import os
import signal
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


def main():
    signal.signal(signal.SIGALRM, raise_alarm)
    # A shell starts a background job with SIGINT ignored, which Python keeps.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    stored = quorlix.hashpw(b"pw", quorlix.gensalt(4)).replace(b"$04$", b"$16$", 1)
    calls = {
        "hashpw cost 16": lambda: quorlix.hashpw(b"pw", quorlix.gensalt(16)),
        "checkpw cost 16": lambda: quorlix.checkpw(b"pw", stored),
        "kdf 64 bytes, 2000 rounds": lambda: quorlix.kdf(b"pw", b"salt", 64, 2000),
    }
    for name, call in calls.items():
        for delay in (0.02, 0.3):
            sigint = max(latency(call, delay, signal.SIGINT) for _ in range(3))
            alarm = max(latency(call, delay, signal.SIGALRM) for _ in range(3))
            print(
                f"{name:26} signal {delay * 1e3:3.0f} ms in: SIGINT {sigint:5.1f} ms, "
                f"raising SIGALRM handler {alarm:5.1f} ms"
            )


if __name__ == "__main__":
    main()
