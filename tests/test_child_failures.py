"""Whatever goes wrong in a child, join() raises a clear error naming it.

Each case runs three children with the faulty one in the middle: join() must
raise for instance 1 (never report success), return within the time limit,
and leave no child running.
"""

import ctypes
import faulthandler
import os
import signal
import threading
import time

import pytest

import quelbrin.async_.tandemix as tandemix
from quelbrin.async_.exceptions import UnpicklableChildError
from quelbrin.trevask.signals import TerminateStepSignal, TrevaskStepFailedSignal


class NeedsTwoArguments(Exception):
    """Pickles, but cannot be rebuilt from its args alone."""

    def __init__(self, first, second):
        super().__init__(first)
        self.second = second


class RefusesPickling(Exception):
    def __reduce__(self):
        raise TypeError("not today")


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text for you")


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Under AddressSanitizer a segmentation fault is reported and turned into an abort.
SEGFAULT_EXIT = -signal.SIGABRT if sanitizer_loaded() else -signal.SIGSEGV


def raises():
    raise ValueError("plain failure")


def exits():
    os._exit(7)


def killed():
    os.kill(os.getpid(), signal.SIGKILL)


def segfaults():
    faulthandler.disable()  # the inherited handler would print a dump of the stack
    ctypes.string_at(0)


def returns_unpicklable():
    return threading.Lock()


def raises_unpicklable():
    raise ValueError(threading.Lock())


def raises_refusing_pickling():
    raise RefusesPickling("refused")


def raises_not_unpicklable():
    raise NeedsTwoArguments("first", "second")


def raises_unprintable():
    raise UnprintableError()


def interrupted():
    raise KeyboardInterrupt


def exits_by_system_exit():
    raise SystemExit(3)


def terminates_step():
    raise TerminateStepSignal("halt")


def run_with_fault(fault):
    instance = tandemix.Pcall([lambda: "before", fault, lambda: "after"], timeout=60)
    instance.start()
    started = time.monotonic()
    with pytest.raises(BaseException) as caught:
        instance.join()
    assert time.monotonic() - started < 30
    assert instance.results is None
    assert instance.livings == ()
    return instance, caught.value


def missing_report(instance, exitcode):
    pid = instance._processes[1].pid
    return f"Child process-1 (pid {pid}) ended with exit code {exitcode} without reporting a result."


@pytest.mark.parametrize("fault, exitcode", [
    (exits, 7),
    (killed, -signal.SIGKILL),
    (segfaults, SEGFAULT_EXIT),
    (returns_unpicklable, 1),
    (interrupted, 1),
    (exits_by_system_exit, 3),
], ids=["os._exit", "SIGKILL", "SIGSEGV", "unpicklable result", "KeyboardInterrupt", "SystemExit"])
def test_children_that_end_without_reporting(fault, exitcode):
    instance, error = run_with_fault(fault)
    assert type(error) is RuntimeError
    assert str(error) == missing_report(instance, exitcode)


def test_a_raised_exception_arrives_as_itself():
    _, error = run_with_fault(raises)
    assert type(error) is ValueError and error.args == ("plain failure",)
    assert "in raises" in str(error.__cause__)


@pytest.mark.parametrize("fault, original", [
    (raises_unpicklable, "builtins.ValueError"),
    (raises_refusing_pickling, "test_child_failures.RefusesPickling"),
    (raises_not_unpicklable, "test_child_failures.NeedsTwoArguments"),
], ids=["cannot be pickled", "refuses pickling", "cannot be unpickled"])
def test_exceptions_that_cannot_cross_arrive_as_a_substitute(fault, original):
    _, error = run_with_fault(fault)
    assert isinstance(error, UnpicklableChildError) and isinstance(error, RuntimeError)
    assert str(error).startswith(original + ": ")
    assert f"in {fault.__name__}" in str(error)


def test_an_exception_without_text_still_arrives():
    _, error = run_with_fault(raises_unprintable)
    assert type(error) is UnprintableError


def test_step_termination_arrives_as_step_failure():
    _, error = run_with_fault(terminates_step)
    assert type(error) is TrevaskStepFailedSignal
    assert isinstance(error.args[0], TerminateStepSignal)


@pytest.mark.serial
def test_a_child_ignoring_termination_is_still_stoppable_by_kill():
    def stubborn():
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        time.sleep(60)

    instance = tandemix.Pcall([stubborn], timeout=0.3)
    instance.start()
    with pytest.raises(TimeoutError):
        instance.join()
    assert len(instance.livings) == 1
    instance.kill()
    instance._processes[0].join(10)
    assert instance._processes[0].exitcode == -signal.SIGKILL
