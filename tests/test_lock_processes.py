"""Exclusion between a process and the children forked after the lock was
made, and many processes and threads counting through locked methods."""

import logging
import threading
import time

import pytest

from quelbrin.async_.synchronize import Lockable, LockableMeta, locked, multiprocessing as fork_context


@pytest.mark.serial
def test_forked_child_holding_the_lock_excludes_the_parent():
    owner = Lockable()
    holding, done = fork_context.Event(), fork_context.Event()
    child = fork_context.Process(target=lambda: (owner.acquire(), holding.set(), done.wait(30), owner.release()))
    child.start()
    try:
        assert holding.wait(30)
        started = time.monotonic()
        assert owner.acquire(False) is False and time.monotonic() - started < 0.05
        started = time.monotonic()
        assert owner.acquire(True, 0.1) is False and 0.09 <= time.monotonic() - started < 1.0
    finally:
        done.set()
        child.join(30)
    assert child.exitcode == 0 and owner.acquire(True, 5) is True


def increment(self):
    current = self.shared.value
    time.sleep(0)  # invites a switch between the read and the write
    self.shared.value = current + 1


@pytest.mark.parametrize("processes, threads, rounds", [(4, 4, 150), (8, 4, 5000)], ids=["interleaved", "load"])
@pytest.mark.parametrize("counter_class", [
    type("LockableCounter", (Lockable,), {"increment": Lockable.locked(increment)}),
    type("DecoratedCounter", (), {"increment": locked(increment)}),
    LockableMeta("MetaCounter", (), {"increment": increment}),
])
def test_processes_and_threads_lose_no_update(caplog, counter_class, processes, threads, rounds):
    caplog.set_level(logging.ERROR, logger="quelbrin.async_.synchronize")  # contention is expected here
    counter = counter_class()
    counter.shared = fork_context.Value("i", 0, lock=False)
    counter.increment()  # the lock must exist before the fork to be shared

    def count():
        workers = [threading.Thread(target=lambda: [counter.increment() for _ in range(rounds)])
                   for _ in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    children = [fork_context.Process(target=count) for _ in range(processes)]
    for child in children:
        child.start()
    for child in children:
        child.join(120)
    assert [child.exitcode for child in children] == [0] * processes
    assert counter.shared.value == 1 + processes * threads * rounds
