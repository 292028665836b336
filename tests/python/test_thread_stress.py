"""Thirty-two threads mixing all four functions, the batch ones and a shared
pool for several seconds, starting
with a race for the module's first import and with another thread
re-running the module's initialisation throughout, must give what the same
calls give one at a time, and must finish: a deadlock trips the deadline."""

import json

from conftest import run_python

SECONDS = 4
DEADLINE = 120

SCRIPT = """
import faulthandler, importlib, json, random, sys, threading, time

# A deadlock prints every thread's stack and ends the process.
faulthandler.dump_traceback_later({deadline}, exit=True)

THREADS = 32
ALPHABET = b"./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
assert "_quorlix" not in sys.modules

start = threading.Barrier(THREADS + 1)
running = threading.Event()
records = [[] for _ in range(THREADS)]
failures = []
modules = []
pools, pool_lock = [], threading.Lock()


def pool():
    with pool_lock:
        if not pools:
            import quorlix
            pools.append(quorlix.Pool(4))
        return pools[0]


def setting(rng):
    version = rng.choice([b"2a", b"2b", b"2x", b"2y"])
    salt = bytes(rng.choice(ALPHABET) for _ in range(21)) + rng.choice(b".Oeu").to_bytes(1, "big")
    return b"$" + version + b"$04$" + salt


def worker(i):
    try:
        start.wait()
        import _quorlix as q  # every thread races for the first import
        import quorlix

        modules.append(q)
        running.set()
        rng = random.Random(i)
        mine = records[i]
        end = time.monotonic() + {seconds}
        while time.monotonic() < end:
            op = rng.randrange(6)
            pw = rng.randbytes(rng.randrange(0, 73))
            if op == 0:
                mine.append(("gensalt", q.gensalt(4, rng.choice([b"2a", b"2b"])).decode()))
            elif op == 1:
                s = setting(rng)
                mine.append(("hashpw", pw.hex(), s.decode(), q.hashpw(pw, s).decode()))
            elif op == 2:
                hashed = q.hashpw(pw, setting(rng))
                guess = pw if rng.random() < 0.5 else rng.randbytes(rng.randrange(0, 73))
                mine.append(("checkpw", guess.hex(), hashed.decode(), q.checkpw(guess, hashed)))
            elif op == 4:
                pws, ss = [rng.randbytes(rng.randrange(0, 73)) for _ in range(3)], [setting(rng) for _ in range(3)]
                for p, s, h in zip(pws, ss, quorlix.hashpw_many(pws, ss)):
                    mine.append(("hashpw", p.hex(), s.decode(), h.decode()))
            elif op == 5:
                hashed = q.hashpw(pw, setting(rng))
                mine.append(("checkpw", pw.hex(), hashed.decode(), pool().checkpw(pw, hashed)))
            else:
                salt = rng.randbytes(rng.randrange(1, 40))
                n = rng.randrange(1, 65)
                mine.append(("kdf", pw.hex() or "00", salt.hex(), n, q.kdf(pw or b"\\0", salt, n, 1, True).hex()))
    except BaseException as e:
        failures.append(repr(e))


def reimporter():
    # Runs the module's initialisation again and again while the others hash.
    running.wait()
    first = sys.modules["_quorlix"]
    while any(t.is_alive() for t in workers):
        del sys.modules["_quorlix"]
        again = importlib.import_module("_quorlix")
        # PyPy makes a new module object over the first one's contents.
        if again is not first and not (sys.implementation.name == "pypy" and again.hashpw is first.hashpw):
            failures.append("a new module object on re-import")
        time.sleep(0.002)


workers = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for t in workers:
    t.start()
again = threading.Thread(target=reimporter)
again.start()
start.wait()
for t in workers:
    t.join()
again.join()

import _quorlix as q

mismatches = 0
salts = []
counts = {{}}
for rec in (r for mine in records for r in mine):
    counts[rec[0]] = counts.get(rec[0], 0) + 1
    if rec[0] == "gensalt":
        salts.append(rec[1])
        mismatches += q.hashpw(b"x", rec[1].encode())[:29] != rec[1].encode()
    elif rec[0] == "hashpw":
        mismatches += q.hashpw(bytes.fromhex(rec[1]), rec[2].encode()).decode() != rec[3]
    elif rec[0] == "checkpw":
        mismatches += q.checkpw(bytes.fromhex(rec[1]), rec[2].encode()) != rec[3]
    else:
        mismatches += q.kdf(bytes.fromhex(rec[1]), bytes.fromhex(rec[2]), rec[3], 1, True).hex() != rec[4]
print(json.dumps({{
    "failures": failures,
    "mismatches": mismatches,
    "counts": counts,
    "distinct_salts": len(set(salts)) == len(salts),
    # On PyPy a re-import is a new module object over the same contents.
    "one_module": all(m is q or (sys.implementation.name == "pypy" and m.hashpw is q.hashpw) for m in modules),
    "threads_that_ran": sum(1 for mine in records if mine),
}}))
"""


def test_mixed_threads_match_serial_results():
    r = run_python(SCRIPT.format(seconds=SECONDS, deadline=DEADLINE), timeout=DEADLINE + 60)
    assert r.returncode == 0, r.stderr[-4000:]
    out = json.loads(r.stdout)
    assert out["failures"] == []
    assert out["mismatches"] == 0
    assert out["distinct_salts"] and out["one_module"]
    assert out["threads_that_ran"] == 32
    # Every function ran, and often enough to have overlapped.
    assert set(out["counts"]) == {"gensalt", "hashpw", "checkpw", "kdf"}
    assert min(out["counts"].values()) >= 20, out["counts"]
