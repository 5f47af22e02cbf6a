"""The generic decorator `locked`, which makes the lock on first use, and the
metaclass `LockableMeta`, which applies it to a class body's public functions."""

import inspect
import threading

import pytest

import quelbrin.async_.synchronize as synchronize
from quelbrin.async_.synchronize import Lockable, LockableMeta, locked

RLockType = type(synchronize.multiprocessing.RLock())


class ThreadLock:
    """A lock with the calling convention of the fork context's RLock."""

    def __init__(self):
        self._lock = threading.RLock()

    def acquire(self, block=True, timeout=None):
        return self._lock.acquire(block, -1 if timeout is None else timeout)

    def release(self):
        self._lock.release()


def is_wrapper(obj, function):
    return not inspect.isfunction(obj) and getattr(obj, "__wrapped__", None) is function


def test_locked_makes_the_lock_on_first_call_and_keeps_it():
    class Plain:
        @locked
        def lock_seen(self):
            return self.__lock__

    plain = Plain()
    assert not hasattr(plain, "__lock__")
    first = plain.lock_seen()
    assert type(first) is RLockType and plain.__lock__ is first
    assert plain.lock_seen() is first and first.acquire(False)


def test_locked_uses_the_lock_of_a_lockable():
    class Both(Lockable):
        get = locked(lambda self: self.__lock__)

    both = Both()
    lock = both.__lock__
    assert both.get() is lock


def test_locked_reads_the_context_at_each_creation(monkeypatch):
    made = []

    class Context:
        def RLock(self):
            made.append(ThreadLock())
            return made[-1]

    monkeypatch.setattr(synchronize, "multiprocessing", Context())
    get = locked(lambda self: self.__lock__)
    obj = type("Obj", (), {})()
    assert get(obj) is made[0] and get(obj) is made[0] and len(made) == 1


def test_simultaneous_first_calls_share_one_lock(monkeypatch):
    # Both threads find no lock and make one at the same time; the second to
    # store must give way, or the two calls would not exclude each other.
    both_making = threading.Barrier(2, timeout=10)
    acquired = []

    class WatchedLock(ThreadLock):
        def acquire(self, block=True, timeout=None):
            acquired.append(self)
            return super().acquire(block, timeout)

    class SlowContext:
        def RLock(self):
            lock = WatchedLock()
            both_making.wait()
            return lock

    monkeypatch.setattr(synchronize, "multiprocessing", SlowContext())
    shared = type("Shared", (), {"use": locked(lambda self: None)})()
    threads = [threading.Thread(target=shared.use) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert len(acquired) == 2 and acquired[0] is acquired[1] is shared.__lock__


@pytest.mark.parametrize("failure", ["read", "store"])
def test_lazy_creation_failures_propagate(failure):
    class Odd:
        __slots__ = ()
        if failure == "read":
            __lock__ = property(lambda self: 1 / 0)
        method = locked(lambda self: pytest.fail("called"))

    with pytest.raises(ZeroDivisionError if failure == "read" else AttributeError):
        Odd().method()


def test_metaclass_wraps_only_public_plain_functions():
    def public(self):
        return "public"

    def marked(self):
        return "marked"

    def _private(self):
        pass

    def __init__(self):
        pass

    static, prop = staticmethod(public), property(public)
    body = {"public": public, "_private": _private, "__init__": __init__, "CONSTANT": 3, "static": static,
            "prop": prop, "marked": LockableMeta.ignore(marked), "builtin": len, "Nested": type("Nested", (), {})}
    original = dict(body)
    cls = LockableMeta("Made", (), body)

    assert type(cls) is LockableMeta and cls.__name__ == "Made"
    assert list(body) == list(original)
    assert is_wrapper(body["public"], public) and vars(cls)["public"] is body["public"]
    assert all(body[k] is original[k] for k in original if k != "public")
    assert not hasattr(marked, "_LockedMeta_ignore")
    assert cls().public() == "public" and cls().marked() == "marked"


def test_class_statement_with_lockable_base_and_hand_decorated_method():
    class Service(Lockable, metaclass=LockableMeta):
        @locked
        def once(self):
            return self.__lock__

        def plain(self):
            return "plain"

    service = Service()
    assert inspect.isfunction(Service.once.__wrapped__)
    assert service.once() is service.__lock__ and service.plain() == "plain"


def test_marker_under_a_private_name_stays_and_is_consumed_once():
    def helper(self):
        pass

    LockableMeta.ignore(helper)
    LockableMeta("Private", (), {"_helper": helper})
    assert helper._LockedMeta_ignore is True
    first = LockableMeta("First", (), {"helper": helper})
    second = LockableMeta("Second", (), {"helper": helper})
    assert vars(first)["helper"] is helper and is_wrapper(vars(second)["helper"], helper)


def test_subclass_wraps_its_own_functions_only():
    class Base(metaclass=LockableMeta):
        def inherited(self):
            pass

    class Child(Base):
        def own(self):
            pass

    assert type(Child) is LockableMeta
    assert "inherited" not in vars(Child) and Child.inherited is vars(Base)["inherited"]
    assert is_wrapper(vars(Child)["own"], Child.own.__wrapped__)


def test_new_delegates_to_the_next_new_in_the_mro():
    seen = []

    class Recorder(type):
        def __new__(cls, name, bases, attrs):
            seen.append((cls, name, dict(attrs)))
            return super().__new__(cls, name, bases, attrs)

    class Meta(LockableMeta, Recorder):
        pass

    made = Meta("Made", (), {"f": lambda self: None})
    assert type(made) is Meta and seen[0][:2] == (Meta, "Made") and not inspect.isfunction(seen[0][2]["f"])


def test_metaclass_reads_its_helpers_from_the_module(monkeypatch):
    monkeypatch.setattr(synchronize, "locked", lambda function: "replaced")
    assert vars(LockableMeta("Made", (), {"f": lambda self: None}))["f"] == "replaced"


class RefusesAttributes:
    __slots__ = ()


class BadItems(dict):
    def items(self):
        return [("ok", 1), (1, 2, 3)]


@pytest.mark.parametrize("call, error, message", [
    (lambda: LockableMeta.ignore(RefusesAttributes()), AttributeError, "_LockedMeta_ignore"),
    (lambda: LockableMeta.ignore(), TypeError, r"LockableMeta.ignore\(\) missing 1 required"),
    (lambda: LockableMeta("X", (), None), AttributeError, "items"),
    (lambda: LockableMeta("X", (), {1: len}), AttributeError, "startswith"),
    (lambda: LockableMeta("X", (), BadItems()), ValueError, r"too many values to unpack \(expected 2\)"),
    (lambda: LockableMeta.__new__(LockableMeta, "X", ()), TypeError, "missing 1 required positional argument: "
                                                                     "'attrs'"),
    (lambda: LockableMeta.__new__(int, "X", (), {}), TypeError, "super"),
    (lambda: LockableMeta("X", (), {}, extra=1), TypeError, "unexpected keyword argument 'extra'"),
])
def test_bad_inputs_raise(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_namespace_growing_during_the_scan_raises(monkeypatch):
    body = {"f": lambda self: None}
    monkeypatch.setattr(synchronize, "locked", lambda function: body.setdefault("g", function))
    with pytest.raises(RuntimeError, match="changed size"):
        LockableMeta("X", (), body)
