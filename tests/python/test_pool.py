"""quorlix.Pool: concurrent calls run in lanes, and each caller gets its own outcome."""

import asyncio
import threading

import pytest

import quorlix
from conftest import run_python

SETTING = quorlix.gensalt(4)


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as e:
        return type(e), str(e)


def test_a_hundred_threads_each_get_their_own_outcome():
    cases = [
        (b"pw%d" % i, [SETTING, quorlix.hashpw(b"pw%d" % i, SETTING), b"bad", b"x" * 80][i % 4]) for i in range(100)
    ]
    expected = [outcome(quorlix.hashpw if i % 4 == 0 else quorlix.checkpw, *c) for i, c in enumerate(cases)]
    got = [None] * len(cases)
    with quorlix.Pool(2) as pool:
        start = threading.Barrier(len(cases))

        def call(i):
            start.wait()
            got[i] = outcome(pool.hashpw if i % 4 == 0 else pool.checkpw, *cases[i])

        threads = [threading.Thread(target=call, args=(i,)) for i in range(len(cases))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert got == expected


def test_asyncio_awaiters_and_a_cancelled_one():
    stored = quorlix.hashpw(b"pw", quorlix.gensalt(8))

    async def main(pool):
        calls = [asyncio.ensure_future(pool.checkpw_async(b"pw" if i % 2 else b"no", stored)) for i in range(64)]
        calls[5].cancel()
        return await asyncio.gather(*calls, return_exceptions=True)

    with quorlix.Pool(2) as pool:
        results = asyncio.run(main(pool))
    assert isinstance(results.pop(5), asyncio.CancelledError)
    assert results == [bool(i % 2) for i in range(64) if i != 5]


@pytest.mark.parametrize("cancel_pending", [False, True])
def test_close_while_busy(cancel_pending):
    pool = quorlix.Pool(1)
    setting = quorlix.gensalt(9)
    futures = [pool._submit(b"pw", setting, False) for _ in range(9)]  # one worker: most of them wait
    pool.close(cancel_pending=cancel_pending)
    got = [outcome(f.result) for f in futures]
    hashed, refused = quorlix.hashpw(b"pw", setting), (RuntimeError, "the pool was closed before this call ran")
    assert (
        got.count(hashed) + got.count(refused) == 9
        and (got.count(refused) >= 9 - quorlix._batch.LANES) == cancel_pending
    )
    assert outcome(pool.checkpw, b"pw", hashed) == (RuntimeError, "the pool is closed")


def test_a_forked_child_has_a_pool_of_its_own():
    r = run_python("""
        import os, quorlix
        pool = quorlix.Pool(1)
        stored = pool.hashpw(b"pw", quorlix.gensalt(4))
        if os.fork() == 0:
            os._exit(0 if pool.checkpw(b"pw", stored) else 1)
        print(os.waitstatus_to_exitcode(os.wait()[1]), pool.checkpw(b"pw", stored))
    """)
    assert r.stdout.split() == ["0", "True"], r.stderr
