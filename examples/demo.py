"""A tour of quelbrin.async_: parallel calls in forked children and fork-safe locks."""

import logging
import threading
import time


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
    locking_demo()


if __name__ == "__main__":
    main()
