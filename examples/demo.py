"""A tour of quelbrin.async_: parallel calls in forked children and fork-safe locks."""

import logging
import os
import threading
import time
import traceback

from quelbrin.async_.tandemix import ChildLabor, Pcall, multiprocessing
from quelbrin.trevask.steps import Steps


def square(x, scale=1):
    return os.getpid(), x * x * scale


def slow_square(x):
    time.sleep(0.3 * (3 - x))  # later instances finish first
    return x * x


def parse_port(text):
    return int(text)


def nap(seconds):
    time.sleep(seconds)
    return seconds


class DemoTestCase:
    """Looks like a running test case to the worker's step search."""

    def __init__(self):
        self.steps = Steps()
        self.parameters = type("Parameters", (), {"internal": {"steps": self.steps}})()

    def run_worker_by_hand(self):
        queue = multiprocessing.SimpleQueue()
        child = ChildLabor(index=2, queue=queue, target=lambda: f"offset seen by the child: {self.steps.offset}")
        child.start()
        record = queue.get()
        child.join()
        return record


def worker_by_hand():
    print("== A ChildLabor started by hand ==")
    index, success, result = DemoTestCase().run_worker_by_hand()
    print(f"record: index={index} success={success} result={result!r}")


def parallel_call_in_order():
    print("\n== A parallel call: one child per argument set, results in instance order ==")
    results = Pcall.pcall(square, iargs=[(1,), (2,), (3,)], scale=[1, 10, 100], timeout=10)
    for pid, value in results:
        print(f"  child pid {pid} returned {value}")
    print("  finishing in reverse order changes nothing:", Pcall.pcall(slow_square, iargs=[(0,), (1,), (2,)]))


def failing_child():
    print("\n== A failing child: its exception is raised in the parent, child traceback attached ==")
    try:
        Pcall.pcall(parse_port, iargs=[("8080",), ("eighty",)])
    except ValueError as error:
        print("".join(traceback.format_exception(error)).rstrip())


def time_out():
    print("\n== A time-out: children still running are terminated, TimeoutError is raised ==")
    started = time.monotonic()
    try:
        Pcall.pcall(nap, iargs=[(0.1,), (30,)], timeout=1)
    except TimeoutError as error:
        print(f"  TimeoutError after {time.monotonic() - started:.2f} s: {error}")


def locking_demo(processes=4, threads=4, rounds=250):
    """Forked processes and their threads add to one shared counter through a
    locked method; the lock shared across the fork keeps every update."""
    from quelbrin.async_.synchronize import Lockable, multiprocessing as fork_context

    class Counter(Lockable):
        def __init__(self):
            super().__init__()  # makes the lock, before any fork
            self.shared = fork_context.Value("i", 0, lock=False)  # no lock of its own

        def add_one(self):
            current = self.shared.value
            time.sleep(0)  # gives other threads and processes a chance to interleave
            self.shared.value = current + 1

        locked_add_one = Lockable.locked(add_one)

    def run(method_name):
        counter = Counter()
        add = getattr(counter, method_name)

        def in_child():
            workers = [threading.Thread(target=lambda: [add() for _ in range(rounds)]) for _ in range(threads)]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()

        children = [fork_context.Process(target=in_child) for _ in range(processes)]
        for child in children:
            child.start()
        for child in children:
            child.join()
        return counter.shared.value

    print("\n== Fork-safe locks: processes and threads share one counter ==")
    expected = processes * threads * rounds
    # Every contended call logs a wait warning; thousands of them would hide the result.
    synchronize_logger = logging.getLogger("quelbrin.async_.synchronize")
    level = synchronize_logger.level
    synchronize_logger.setLevel(logging.ERROR)
    try:
        unlocked, locked = run("add_one"), run("locked_add_one")
    finally:
        synchronize_logger.setLevel(level)
    print(f"{processes} processes x {threads} threads x {rounds} increments = {expected}")
    print(f"  without the lock: {unlocked} ({expected - unlocked} updates lost)")
    print(f"  with the lock:    {locked} ({'exact' if locked == expected else 'WRONG'})")


def main():
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    worker_by_hand()
    parallel_call_in_order()
    failing_child()
    time_out()
    locking_demo()


if __name__ == "__main__":
    main()
