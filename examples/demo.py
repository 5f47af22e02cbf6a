"""A tour of quelbrin.async_: parallel calls in forked children and fork-safe locks."""

import logging
import os
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


def main():
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    worker_by_hand()
    parallel_call_in_order()
    failing_child()
    time_out()


if __name__ == "__main__":
    main()
