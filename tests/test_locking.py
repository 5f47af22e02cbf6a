"""The locked call within one process: the calls it makes on the lock, what
it returns and raises, the wait warning, and Lockable's lock methods."""

import gc
import logging
import sys
import threading

import pytest

import quelbrin.async_.synchronize as synchronize
from quelbrin.async_.synchronize import Lockable, locked


class RecordingLock:
    def __init__(self, log, free=True, release_error=None):
        self.log, self.free, self.release_error = log, free, release_error

    def acquire(self, *args, **kwargs):
        self.log.append(("acquire", args, kwargs))
        return self.free if kwargs == {"block": False} else True

    def release(self, *args, **kwargs):
        self.log.append(("release", args, kwargs))
        if self.release_error:
            raise self.release_error


class Worker(Lockable):
    def __str__(self):
        return "<worker>"

    @Lockable.locked
    def work(self, *args, **kwargs):
        if "error" in kwargs:
            raise kwargs["error"]
        return args, kwargs

    @Lockable.locked
    def nested(self):
        return self.work(1)


@pytest.fixture
def log(monkeypatch):
    entries = []
    logger = type("Logger", (), {"warning": lambda self, *a, **k: entries.append(("warning", a, k))})()
    monkeypatch.setattr(synchronize, "logger", logger)
    return entries


@pytest.mark.parametrize("free", [True, False])
def test_sequence_of_lock_calls(log, free):
    worker = Worker(lock=lambda: RecordingLock(log, free))
    assert worker.work(1, b=2) == ((1,), {"b": 2}) and Worker.work(self=worker, b=2) == ((), {"b": 2})
    wait = [] if free else [("warning", ("Waiting for lock on <worker>",), {}), ("acquire", (), {})]
    assert log == [("acquire", (), {"block": False}), *wait, ("release", (), {})] * 2


@pytest.mark.parametrize("method_error", [None, ValueError("boom")])
@pytest.mark.parametrize("release_error", [None, AssertionError("not held")])
def test_errors_of_method_and_release(log, method_error, release_error):
    worker = Worker(lock=lambda: RecordingLock(log, release_error=release_error))
    kwargs = {"error": method_error} if method_error else {}
    if not (method_error or release_error):
        assert worker.work() == ((), {}) and log[-1] == ("release", (), {})
        return
    with pytest.raises(Exception) as caught:
        worker.work(**kwargs)
    assert caught.value is (release_error or method_error) and log[-1] == ("release", (), {})
    if release_error:
        assert caught.value.__context__ is method_error


@pytest.mark.parametrize("bad", ["acquire", "str", "truth"])
def test_failure_before_the_call_skips_method_and_release(monkeypatch, log, bad):
    class Lock(RecordingLock):
        def acquire(self, *args, **kwargs):
            return {"acquire": lambda: 1 / 0, "truth": lambda: type("F", (), {"__bool__": lambda s: 1 / 0})(),
                    "str": lambda: False}[bad]()

    monkeypatch.setattr(Worker, "__str__", lambda self: 1 / 0)
    monkeypatch.setattr(Worker, "work", Lockable.locked(lambda self: pytest.fail("called")))
    with pytest.raises(ZeroDivisionError):
        Worker(lock=lambda: Lock(log)).work()
    assert log == []


def test_the_lock_is_read_afresh_for_each_step(log):
    class Rebinding(Lockable):
        @Lockable.locked
        def rebind(self, replacement):
            self.__lock__ = replacement

    first, second = [], []
    obj = Rebinding(lock=lambda: RecordingLock(first))
    obj.rebind(RecordingLock(second))
    assert first == [("acquire", (), {"block": False})]
    assert second == [("release", (), {})]


def test_missing_lock_raises_without_calling():
    class Forgetful(Lockable):
        def __init__(self):
            pass

    for obj in [Forgetful(), type("Plain", (), {})()]:
        with pytest.raises(AttributeError, match="__lock__"):
            Lockable.locked(lambda self: pytest.fail("called"))(obj)
        assert not hasattr(obj, "__lock__")


def test_contention_warns_once_and_reentry_never(caplog):
    worker = Worker()
    inside, leave = threading.Event(), threading.Event()
    holder = threading.Thread(target=Lockable.locked(lambda self: (inside.set(), leave.wait(10))), args=(worker,))
    waiter = threading.Thread(target=worker.work)
    with caplog.at_level(logging.DEBUG, logger="quelbrin.async_.synchronize"):
        assert worker.nested() == ((1,), {}) and caplog.records == []
        holder.start()
        inside.wait(10)
        waiter.start()
        waiter.join(0.3)
        assert waiter.is_alive()
        leave.set()
        waiter.join(10)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("quelbrin.async_.synchronize", logging.WARNING, "Waiting for lock on <worker>")]


def test_lockable_lock_methods(log):
    obj = Lockable(lock=lambda *a, **k: log.append((a, k)) or RecordingLock(log))
    assert obj.acquire() is True and obj.acquire(False, 3) is True and obj.release() is None
    assert log == [((), {}), ("acquire", (), {"block": True, "timeout": None}),
                   ("acquire", (), {"block": False, "timeout": 3}), ("release", (), {})]
    real = Lockable()
    assert real.__lock__ is not Lockable().__lock__
    assert real.acquire() and real.acquire() and real.release() is None and real.release() is None
    with pytest.raises(AssertionError):
        real.release()


@pytest.mark.parametrize("call, message", [
    (lambda: Lockable(lambda: None), r"Lockable.__init__\(\) takes 1 positional argument but 2 were given"),
    (lambda: Lockable().acquire(True, 1, 2), r"takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: Lockable().release(block=1), "unexpected keyword argument 'block'"),
    (lambda: locked(), r"locked\(\) missing 1 required positional argument: 'method'"),
    (lambda: Worker.work(), r"Lockable.locked.<locals>._wrapped\(\) missing 1 required positional argument"),
    (lambda: Worker().work(self=1), "got multiple values for argument 'self'"),
])
def test_bad_arguments_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_recursion_and_repeated_calls_neither_crash_nor_leak():
    worker = Worker()
    deep = Lockable.locked(lambda self: deep(self))
    with pytest.raises(RecursionError):
        deep(worker)

    def cycle():
        worker.work(1, b=2)
        Worker.work(self=worker, b=2)
        with pytest.raises(ValueError):
            worker.work(error=ValueError())

    for _ in range(100):
        cycle()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        cycle()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
    probe = threading.Thread(target=lambda: setattr(worker, "free", worker.acquire(False)))
    probe.start()
    probe.join()
    assert worker.free


@pytest.mark.parametrize("decorator, hasattr_read", [(Lockable.locked, []), (locked, ["read __lock__"])],
                         ids=["Lockable.locked", "locked"])
def test_each_step_reads_what_python_reads_in_its_order(monkeypatch, decorator, hasattr_read):
    # `if not self.__lock__.acquire(block=False): logger.warning("..." % str(self))`
    # and so on: each step reads `__lock__` afresh, and the logger and its
    # method are read before the message is formatted.
    events = []

    class Logger:
        def __getattribute__(self, name):
            events.append(f"read logger.{name}")
            return lambda message: events.append(f"warning {message!r}")

    class Lock:
        def acquire(self, **kwargs):
            events.append(f"acquire {kwargs}")
            return False

        def release(self):
            events.append("release")

    class Watched:
        def __getattribute__(self, name):
            if name == "__lock__":
                events.append("read __lock__")
            return object.__getattribute__(self, name)

        def __str__(self):
            events.append("str(self)")
            return "<watched>"

    monkeypatch.setattr(synchronize, "logger", Logger())
    obj = Watched()
    obj.__lock__ = Lock()
    decorator(lambda self: events.append("method"))(obj)
    assert events == [*hasattr_read, "read __lock__", "acquire {'block': False}", "read logger.warning", "str(self)",
                      "warning 'Waiting for lock on <watched>'", "read __lock__", "acquire {}", "method",
                      "read __lock__", "release"]
