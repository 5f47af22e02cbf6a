import logging
import multiprocessing
import os
import signal

import pytest


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
