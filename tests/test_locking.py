"""The locked call within one process: the calls it makes on the lock, what
it returns and raises, the wait warning, and Lockable's own lock methods."""

import gc
import logging
import sys
import threading

import pytest

import quelbrin.async_.synchronize as synchronize
from quelbrin.async_.synchronize import Lockable, locked


class RecordingLock:
    """Stands in for a lock; `free` is what a non-blocking acquire answers."""

    def __init__(self, log, free=True, release_error=None):
        self.log, self.free, self.release_error = log, free, release_error

    def acquire(self, *args, **kwargs):
        self.log.append(("acquire", args, kwargs))
        return self.free if kwargs == {"block": False} else True

    def release(self, *args, **kwargs):
        self.log.append(("release", args, kwargs))
        if self.release_error:
            raise self.release_error


class RecordingLogger:
    def __init__(self, log):
        self.log = log

    def warning(self, *args, **kwargs):
        self.log.append(("warning", args, kwargs))


class Worker(Lockable):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.calls = []

    def __str__(self):
        return "<worker>"

    @Lockable.locked
    def work(self, *args, **kwargs):
        """Does the work."""
        self.calls.append((args, kwargs))
        if "error" in kwargs:
            raise kwargs["error"]
        return args, kwargs

    @Lockable.locked
    def nested(self):
        return self.work(1)


@pytest.fixture
def log(monkeypatch):
    entries = []
    monkeypatch.setattr(synchronize, "logger", RecordingLogger(entries))
    return entries


@pytest.mark.parametrize("free", [True, False])
def test_sequence_of_lock_calls(log, free):
    worker = Worker(lock=lambda: RecordingLock(log, free))
    kwargs = {"b": 2}
    assert worker.work(1, **kwargs) == ((1,), {"b": 2})
    wait = [("warning", ("Waiting for lock on <worker>",), {}), ("acquire", (), {})] if not free else []
    assert log == [("acquire", (), {"block": False}), *wait, ("release", (), {})]
    assert worker.calls == [((1,), {"b": 2})]


def test_method_error_passes_through_after_release(log):
    worker = Worker(lock=lambda: RecordingLock(log))
    with pytest.raises(ValueError, match="boom"):
        worker.work(error=ValueError("boom"))
    assert log[-1] == ("release", (), {})


@pytest.mark.parametrize("method_fails", [True, False])
def test_release_error_wins_and_chains_method_error(log, method_fails):
    worker = Worker(lock=lambda: RecordingLock(log, release_error=AssertionError("not held")))
    kwargs = {"error": ValueError("boom")} if method_fails else {}
    with pytest.raises(AssertionError, match="not held") as caught:
        worker.work(**kwargs)
    assert caught.value.__context__ is kwargs.get("error")


@pytest.mark.parametrize("bad", ["acquire", "str", "truth"])
def test_failure_before_the_call_skips_method_and_release(monkeypatch, log, bad):
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError

    class Lock(RecordingLock):
        def acquire(self, *args, **kwargs):
            if bad == "acquire":
                raise OSError
            return Falsy() if bad == "truth" else False

    if bad == "str":
        monkeypatch.setattr(Worker, "__str__", lambda self: 1 / 0)
    worker = Worker(lock=lambda: Lock(log))
    with pytest.raises((OSError, ZeroDivisionError)):
        worker.work()
    assert worker.calls == [] and ("release", (), {}) not in log


def test_method_that_replaces_the_lock_releases_the_one_it_acquired():
    class Reinit(Lockable):
        @Lockable.locked
        def reset(self):
            first = self.__lock__
            self.__init__()
            return first

    obj = Reinit()
    first = obj.reset()
    assert first is not obj.__lock__
    assert first.acquire(False) and obj.__lock__.acquire(False)


def test_missing_lock_raises_without_calling():
    class Forgetful(Worker):
        def __init__(self):
            self.calls = []

    class Plain:
        method = Lockable.locked(lambda self: pytest.fail("called"))

    for obj in [Forgetful(), Plain()]:
        with pytest.raises(AttributeError, match="__lock__"):
            obj.work() if isinstance(obj, Worker) else obj.method()
        assert not hasattr(obj, "__lock__")


def test_contention_between_threads_warns_once(caplog):
    worker = Worker()
    inside, leave = threading.Event(), threading.Event()

    @Lockable.locked
    def hold(self):
        inside.set()
        leave.wait(10)

    holder = threading.Thread(target=hold, args=(worker,))
    holder.start()
    inside.wait(10)
    waiter = threading.Thread(target=worker.work, args=(7,))
    with caplog.at_level(logging.WARNING, logger="quelbrin.async_.synchronize"):
        waiter.start()
        waiter.join(0.3)
        assert waiter.is_alive() and worker.calls == []
        leave.set()
        holder.join(10)
        waiter.join(10)
    assert worker.calls == [((7,), {})]
    assert [(r.name, r.levelno, r.getMessage(), r.args) for r in caplog.records] == [
        ("quelbrin.async_.synchronize", logging.WARNING, "Waiting for lock on <worker>", ())]


def test_reentry_on_one_thread_neither_waits_nor_warns(caplog):
    worker = Worker()
    with caplog.at_level(logging.DEBUG, logger="quelbrin.async_.synchronize"):
        assert worker.nested() == ((1,), {})
        assert worker.acquire() and worker.work(2) == ((2,), {})
        worker.release()
    assert caplog.records == []
    assert worker.acquire(False)


def test_recursion_limit_raises_and_frees_the_lock():
    class Deep(Lockable):
        @Lockable.locked
        def down(self):
            return self.down()

    deep = Deep()
    with pytest.raises(RecursionError):
        deep.down()
    probe = threading.Thread(target=lambda: setattr(deep, "free", deep.acquire(False)))
    probe.start()
    probe.join()
    assert deep.free


def test_lockable_lock_methods():
    made, log = [], []
    obj = Lockable(lock=lambda *a, **k: made.append((a, k)) or RecordingLock(log))
    assert made == [((), {})]
    assert obj.acquire() is True and obj.acquire(False, 3) is True and obj.release() is None
    assert log == [("acquire", (), {"block": True, "timeout": None}),
                   ("acquire", (), {"block": False, "timeout": 3}), ("release", (), {})]

    real = Lockable()
    assert real.__lock__ is not Lockable().__lock__
    assert type(real.__lock__) is type(synchronize.multiprocessing.RLock())
    assert real.acquire() and real.acquire() and real.release() is None and real.release() is None
    with pytest.raises(AssertionError):
        real.release()


@pytest.mark.parametrize("call, message", [
    (lambda: Lockable(lambda: None), r"Lockable.__init__\(\) takes 1 positional argument but 2 were given"),
    (lambda: Lockable(lok=None), "unexpected keyword argument 'lok'"),
    (lambda: Lockable().acquire(True, 1, 2), r"takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: Lockable().acquire(wait=1), "unexpected keyword argument 'wait'"),
    (lambda: Lockable().release(1), r"Lockable.release\(\) takes 1 positional argument but 2 were given"),
    (lambda: Lockable.locked(), r"Lockable.locked\(\) missing 1 required positional argument: 'method'"),
    (lambda: Lockable.locked(1, 2), "takes 1 positional argument but 2 were given"),
    (lambda: locked(), r"locked\(\) missing 1 required positional argument: 'method'"),
    (lambda: Worker.work(), r"Lockable.locked.<locals>._wrapped\(\) missing 1 required positional argument: "
                            "'self'"),
    (lambda: Worker().work(self=1), "got multiple values for argument 'self'"),
])
def test_bad_arguments_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_self_by_keyword_reaches_the_method():
    worker = Worker()
    assert Worker.work(self=worker, a=1) == ((), {"a": 1})


def test_locked_calls_do_not_leak():
    worker = Worker(lock=lambda: RecordingLock([]))

    def cycle():
        worker.__lock__.log.clear()
        worker.calls.clear()
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
