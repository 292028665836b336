"""A pool of hashing threads that runs concurrent calls of one cost in lanes."""

from __future__ import annotations

import asyncio
import hmac
import os
import threading
import weakref
from collections import deque
from concurrent.futures import Future
from typing import Any

from quorlix import _batch

_CLOSED = "the pool is closed"
_CLOSED_BEFORE_RUN = "the pool was closed before this call ran"


def _usable_cores() -> int:
    if hasattr(os, "process_cpu_count"):  # 3.13 and later
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


class _Call:
    """One queued call: its arguments, its cost and where its result goes."""

    __slots__ = ("cost", "future", "password", "setting", "verify")

    def __init__(self, password: bytes, setting: bytes, cost: int, verify: bool) -> None:
        self.password = password
        self.setting = setting
        self.cost = cost
        self.verify = verify  # checkpw: compare with setting, the stored hash
        self.future: Future[Any] = Future()


class Pool:
    """Threads that hash for any number of callers, batching their calls.

    checkpw() and hashpw() take the arguments and give the results of the
    module's functions, blocking the calling thread; checkpw_async() and
    hashpw_async() are the same for asyncio, never blocking the event loop.
    Arguments are checked in the caller, so a bad one raises there at once.
    A worker thread that is idle takes a call at once; while all are busy,
    calls wait, and a worker that becomes free takes up to LANES waiting
    calls of the cost of the oldest one and computes them side by side,
    which costs it little more than one. Each caller gets its own result or
    exception.

    workers is the number of threads, by default the cores this process may
    use. close(), or leaving a with block, lets queued calls finish (or, with
    cancel_pending=True, fails them with RuntimeError) and refuses new ones.
    In a child forked from the process, the pool starts afresh.
    """

    def __init__(self, workers: int | None = None) -> None:
        if workers is None:
            workers = _usable_cores()
        if not isinstance(workers, int) or isinstance(workers, bool):
            raise TypeError(f"workers must be an int or None, not {type(workers).__name__}")
        if workers < 1:
            raise ValueError("workers must be at least 1")
        self._max_workers = workers
        self._start()
        _POOLS.add(self)

    def _start(self) -> None:
        # Every field but the lock is read and written with the lock held only.
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)
        self._queue: deque[_Call] = deque()
        self._threads: list[threading.Thread] = []
        self._idle = 0
        self._closed = False

    # The public calls.

    def checkpw(self, password: bytes, hashed_password: bytes) -> bool:
        """quorlix.checkpw(password, hashed_password), computed by the pool."""
        return bool(self._wait(self._submit(password, hashed_password, True)))

    def hashpw(self, password: bytes, salt: bytes) -> bytes:
        """quorlix.hashpw(password, salt), computed by the pool."""
        return bytes(self._wait(self._submit(password, salt, False)))

    async def checkpw_async(self, password: bytes, hashed_password: bytes) -> bool:
        """checkpw() for asyncio: awaiting it does not block the event loop."""
        return bool(await asyncio.wrap_future(self._submit(password, hashed_password, True)))

    async def hashpw_async(self, password: bytes, salt: bytes) -> bytes:
        """hashpw() for asyncio: awaiting it does not block the event loop."""
        return bytes(await asyncio.wrap_future(self._submit(password, salt, False)))

    def close(self, cancel_pending: bool = False) -> None:
        """Refuses new calls, lets the queued ones finish (or fails them with
        RuntimeError when cancel_pending is true) and waits for the workers."""
        with self._lock:
            self._closed = True
            if cancel_pending:
                while self._queue:
                    call = self._queue.popleft()
                    if call.future.set_running_or_notify_cancel():
                        call.future.set_exception(RuntimeError(_CLOSED_BEFORE_RUN))
            self._wake.notify_all()
            threads = list(self._threads)
        for t in threads:
            if t is not threading.current_thread():
                t.join()

    def __enter__(self) -> Pool:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # Queueing.

    def _submit(self, password: bytes, setting: bytes, verify: bool) -> Future[Any]:
        # The module's own checks, with its messages, before anything queues.
        if verify:
            cost = _batch._checkpw_cost(password, setting)
        else:
            cost = _batch._hashpw_cost(password, setting)
        call = _Call(password, setting, cost, verify)
        with self._lock:
            if self._closed:
                raise RuntimeError(_CLOSED)
            self._queue.append(call)
            if self._idle > 0:
                self._wake.notify()
            elif len(self._threads) < self._max_workers:
                self._spawn()
        return call.future

    @staticmethod
    def _wait(future: Future[Any]) -> Any:
        try:
            return future.result()
        except BaseException:
            # Ctrl-C while waiting, say: a call not yet taken is dropped.
            future.cancel()
            raise

    def _spawn(self) -> None:
        # Daemon threads: a pool left open does not hold up the exit, and
        # while the exit waits for other threads, it still serves them.
        t = threading.Thread(target=self._work, name=f"quorlix-pool-{len(self._threads)}", daemon=True)
        self._threads.append(t)
        t.start()

    def _take(self) -> list[_Call] | None:
        """Up to LANES queued calls of the oldest one's cost, None to stop."""
        with self._lock:
            while not self._queue:
                if self._closed:
                    return None
                self._idle += 1
                self._wake.wait()
                self._idle -= 1
            cost = self._queue[0].cost
            batch: list[_Call] = []
            rest: deque[_Call] = deque()
            while self._queue and len(batch) < _batch.LANES:
                call = self._queue.popleft()
                if call.cost != cost:
                    rest.append(call)
                elif call.future.set_running_or_notify_cancel():
                    batch.append(call)
            rest.extend(self._queue)
            self._queue = rest
            return batch

    # The workers.

    def _work(self) -> None:
        while (batch := self._take()) is not None:
            if batch:
                _run(batch)


def _run(batch: list[_Call]) -> None:
    try:
        hashes = _batch.hashpw_many([c.password for c in batch], [c.setting for c in batch])
    except BaseException as exc:  # the callers see what stopped the batch
        for c in batch:
            c.future.set_exception(exc)
        return
    for c, hashed in zip(batch, hashes, strict=True):
        # checkpw's comparison: lengths first, then every byte.
        c.future.set_result(hmac.compare_digest(hashed, c.setting) if c.verify else hashed)


# A child forked from the process has none of the pool's threads; each pool
# starts afresh there, its queued calls belonging to threads it lacks too.
# Any thread may add to it (one set operation); only the forked child, which
# has a single thread, iterates it.
_POOLS: weakref.WeakSet[Pool] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for pool in list(_POOLS):
        pool._start()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
