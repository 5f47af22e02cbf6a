import logging
import multiprocessing
import os
import signal

import pytest


def _under_valgrind():
    """True when this process runs under valgrind (set by make valgrind, or seen in the process map)."""
    if os.environ.get("QUELBRIN_UNDER_VALGRIND"):
        return True
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            return "vgpreload" in maps.read()
    except OSError:
        return False


UNDER_VALGRIND = _under_valgrind()


@pytest.fixture(scope="session")
def time_scale():
    """How much longer than natively anything takes here: a test multiplies its
    time limits by it, and its deadlines for children that must not finish yet.
    Under memcheck, forking and starting a child takes seconds."""
    return 30.0 if UNDER_VALGRIND else 1.0


@pytest.fixture(autouse=True)
def no_child_left_running():
    """Every test must leave no child process behind; stragglers are killed."""
    yield
    leftovers = multiprocessing.active_children()
    for child in leftovers:
        try:
            os.kill(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.join(5)
    assert not leftovers, f"test left children running: {leftovers}"


class RecordingQueue:
    """Stands in for a result queue: keeps what is put, in order."""

    def __init__(self):
        self.items = []

    def put(self, item):
        self.items.append(item)


@pytest.fixture
def recording_queue():
    return RecordingQueue()


@pytest.fixture
def tandemix_records(caplog):
    """Log records of the parallel-call module, from WARNING up."""
    caplog.set_level(logging.WARNING, logger="quelbrin.async_.tandemix")

    def records():
        return [r for r in caplog.records if r.name == "quelbrin.async_.tandemix"]

    return records
