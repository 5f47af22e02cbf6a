import fcntl
import logging
import multiprocessing
import os
import pathlib
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


# Tests run beside others: `make test` runs the suites of all interpreters at
# once, and pytest-xdist (`-n`) runs one suite in several processes.  A test
# marked `serial` asserts on wall-clock time, which the others' load would
# distort: it runs only while no other test runs.  Every test holds a shared
# lock while it runs, a serial test an exclusive one, and a serial test holds
# a turnstile while it waits, so that no test starts meanwhile and starves
# it.  The locks are POSIX record locks, which the children that a test forks
# do not inherit.  Their files are in QUELBRIN_TEST_LOCKS, a directory shared
# by the suites that run together, or else in the directory of an xdist
# session, shared by its workers.
IN_XDIST_WORKER = "PYTEST_XDIST_WORKER" in os.environ


def pytest_configure(config):
    if IN_XDIST_WORKER:
        # The worker talks to the runner through a thread of its own, so every
        # fork would warn that the process has threads: the forks the tests
        # make are what they test, and their children never use that thread.
        config.addinivalue_line(
            "filterwarnings", r"ignore:This process \(pid=\d+\) is multi-threaded, use of fork\(\):DeprecationWarning")


def pytest_collection_modifyitems(items):
    if os.environ.get("QUELBRIN_TEST_LOCKS") or IN_XDIST_WORKER:
        # The serial tests run first: the suites start together, so each one
        # waits for a short serial test of the other, not for a long test.
        items.sort(key=lambda item: item.get_closest_marker("serial") is None)


def lock_directory(tmp_path_factory):
    if os.environ.get("QUELBRIN_TEST_LOCKS"):
        return pathlib.Path(os.environ["QUELBRIN_TEST_LOCKS"])
    if IN_XDIST_WORKER:
        # Every worker's base directory lies in the one directory of the session.
        return tmp_path_factory.getbasetemp().parent
    return None


@pytest.fixture(autouse=True)
def alone_when_serial(request, tmp_path_factory):
    directory = lock_directory(tmp_path_factory)
    if directory is None:
        yield
        return
    serial = request.node.get_closest_marker("serial") is not None
    with open(directory / "turnstile.lock", "a+") as turnstile, open(directory / "tests.lock", "a+") as running:
        fcntl.lockf(turnstile, fcntl.LOCK_EX)
        try:
            fcntl.lockf(running, fcntl.LOCK_EX if serial else fcntl.LOCK_SH)
        finally:
            fcntl.lockf(turnstile, fcntl.LOCK_UN)
        yield


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
