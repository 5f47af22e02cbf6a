"""Load: many updates through one lock, many children, large results."""

import logging
import threading

import pytest

import quelbrin.async_.tandemix as tandemix
from quelbrin.async_.synchronize import Lockable, LockableMeta, locked
from quelbrin.async_.synchronize import multiprocessing as fork_context

PROCESSES, THREADS, CALLS = 8, 4, 5000


@pytest.fixture
def quiet_lock_warnings():
    """Contended calls warn once each; tens of thousands of warnings would only slow the run."""
    logger = logging.getLogger("quelbrin.async_.synchronize")
    level = logger.level
    logger.setLevel(logging.ERROR)
    yield
    logger.setLevel(level)


class ByBaseClass(Lockable):
    def __init__(self):
        super().__init__()
        self.shared = fork_context.Value("q", 0, lock=False)

    @Lockable.locked
    def add(self):
        self.shared.value += 1


class ByDecorator:
    def __init__(self):
        self.shared = fork_context.Value("q", 0, lock=False)
        self.add()  # makes the lock before any fork
        self.shared.value = 0

    @locked
    def add(self):
        self.shared.value += 1


class ByMetaclass(metaclass=LockableMeta):
    def __init__(self):
        self.shared = fork_context.Value("q", 0, lock=False)
        self.add()
        self.shared.value = 0

    def add(self):
        self.shared.value += 1


@pytest.mark.parametrize("counter_class", [ByBaseClass, ByDecorator, ByMetaclass])
def test_no_update_is_lost_across_processes_and_threads(counter_class, quiet_lock_warnings):
    counter = counter_class()

    def hammer():
        for _ in range(CALLS):
            counter.add()

    def in_child():
        workers = [threading.Thread(target=hammer) for _ in range(THREADS)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    children = [fork_context.Process(target=in_child) for _ in range(PROCESSES)]
    for child in children:
        child.start()
    for child in children:
        child.join(120)
    assert [child.exitcode for child in children] == [0] * PROCESSES
    assert counter.shared.value == PROCESSES * THREADS * CALLS


def identity(value):
    return value


def test_two_hundred_children_return_in_order():
    count = 200
    assert tandemix.Pcall.pcall(identity, iargs=[(i,) for i in range(count)], timeout=120) == tuple(range(count))


def ten_megabytes(tag):
    return tag * (10 * 1024 * 1024)


def test_large_results_are_drained_while_children_run():
    # Each result is far larger than a pipe holds: a child can only finish
    # once the parent has read its entry.
    results = tandemix.Pcall.pcall(ten_megabytes, iargs=[(b"a",), (b"b",), (b"c",)], timeout=120)
    assert [(len(r), r[:1]) for r in results] == [(10 * 1024 * 1024, b"a"), (10 * 1024 * 1024, b"b"),
                                                 (10 * 1024 * 1024, b"c")]
