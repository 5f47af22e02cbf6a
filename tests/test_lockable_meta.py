"""The decorator `locked`, which makes the lock on first use, and the
metaclass `LockableMeta`, which applies it to a class body's public functions."""

import inspect
import threading

import pytest

import quelbrin.async_.synchronize as synchronize
from quelbrin.async_.synchronize import Lockable, LockableMeta, locked


class ThreadLock:
    """A lock with the calling convention of the fork context's RLock."""

    def __init__(self, acquired):
        self._lock, self._acquired = threading.RLock(), acquired

    def acquire(self, block=True, timeout=None):
        self._acquired.append(self)
        return self._lock.acquire(block, -1 if timeout is None else timeout)

    def release(self):
        self._lock.release()


def is_wrapper(obj, function):
    return not inspect.isfunction(obj) and getattr(obj, "__wrapped__", None) is function


def test_locked_makes_the_lock_once_and_uses_an_existing_one():
    get_lock = locked(lambda self: self.__lock__)
    plain, lockable = type("Plain", (), {})(), Lockable()
    existing = lockable.__lock__
    first = get_lock(plain)
    assert type(first) is type(existing) and get_lock(plain) is first is plain.__lock__
    assert get_lock(lockable) is existing


def test_simultaneous_first_calls_share_one_lock(monkeypatch):
    # Both threads find no lock and make one at the same time; the second to
    # store must give way, or the two calls would not exclude each other.
    both_making, acquired = threading.Barrier(2, timeout=10), []

    class SlowContext:
        def RLock(self):
            lock = ThreadLock(acquired)
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


def test_metaclass_wraps_only_public_plain_functions():
    def public(self):
        return "public"

    def marked(self):
        return "marked"

    body = {"public": public, "_private": lambda self: 0, "__init__": lambda self: None, "CONSTANT": 3,
            "static": staticmethod(public), "prop": property(public), "marked": LockableMeta.ignore(marked),
            "by_hand": locked(public)}
    original = dict(body)
    cls = LockableMeta("Made", (), body)
    assert type(cls) is LockableMeta and cls.__name__ == "Made" and list(body) == list(original)
    assert is_wrapper(body["public"], public) and vars(cls)["public"] is body["public"]
    assert all(body[k] is original[k] for k in original if k != "public")
    assert not hasattr(marked, "_LockedMeta_ignore")
    assert cls().public() == "public" and cls().marked() == "marked"


def test_marker_is_kept_under_private_names_and_consumed_once():
    def helper(self):
        pass

    LockableMeta.ignore(helper)
    LockableMeta("Private", (), {"_helper": helper})
    assert helper._LockedMeta_ignore is True
    first, second = (LockableMeta(name, (), {"helper": helper}) for name in ("First", "Second"))
    assert vars(first)["helper"] is helper and is_wrapper(vars(second)["helper"], helper)


def test_subclasses_and_cooperating_metaclasses():
    seen = []

    class Recorder(type):
        def __new__(cls, name, bases, attrs):
            seen.append(dict(attrs))
            return super().__new__(cls, name, bases, attrs)

    class Meta(LockableMeta, Recorder):
        pass

    class Base(Lockable, metaclass=Meta):
        def inherited(self):
            return self.__lock__

    class Child(Base):
        def own(self):
            pass

    assert type(Child) is Meta and "inherited" not in vars(Child)
    assert is_wrapper(seen[1]["own"], Child.own.__wrapped__) and Child().inherited()


class BadItems(dict):
    def items(self):
        return [("ok", 1), (1, 2, 3)]


@pytest.mark.parametrize("call, error, message", [
    (lambda: LockableMeta.ignore(object()), AttributeError, "_LockedMeta_ignore"),
    (lambda: LockableMeta("X", (), None), AttributeError, "items"),
    (lambda: LockableMeta("X", (), {1: len}), AttributeError, "startswith"),
    (lambda: LockableMeta("X", (), BadItems()), ValueError, r"too many values to unpack \(expected 2\)"),
    (lambda: LockableMeta.__new__(LockableMeta, "X", ()), TypeError, "missing 1 required positional argument"),
    (lambda: LockableMeta.__new__(int, "X", (), {}), TypeError, "super"),
    (lambda: locked(lambda self: 0)(type("Slots", (), {"__slots__": ()})()), AttributeError, "__lock__"),
])
def test_bad_inputs_raise(call, error, message):
    with pytest.raises(error, match=message):
        call()


# LockableMeta called directly names the class after its own module, as
# type.__new__ does when a __new__ written in Python calls it: the name is
# there while the class's creation hooks run, and what they set stays.
import python_rendering.synchronize as rendered  # noqa: E402

METACLASSES = pytest.mark.parametrize("meta", [LockableMeta, rendered.LockableMeta], ids=["native", "python"])


def creation_hooks(seen, attrs, sets_module=None):
    """A base whose __init_subclass__ and a value whose __set_name__ record what
    they see; `sets_module` names the hook that then sets __module__."""

    class Probe:
        def __set_name__(self, owner, name):
            seen.append(("__set_name__", owner.__module__, "__module__" in attrs))
            if sets_module == "__set_name__":
                owner.__module__ = "set by __set_name__"

    class Base:
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            seen.append(("__init_subclass__", cls.__module__, "__module__" in attrs))
            if sets_module == "__init_subclass__":
                cls.__module__ = "set by __init_subclass__"

    return Base, Probe()


class Namespace(dict):
    """A dict subclass that type.__new__ copies as it copies a dict."""


class OwnIteration(dict):
    """A dict subclass that type.__new__ copies through keys() and [key]."""

    def __iter__(self):
        return super().__iter__()


@METACLASSES
@pytest.mark.parametrize("sets_module", [None, "__set_name__", "__init_subclass__"])
@pytest.mark.parametrize("container", [dict, Namespace])
def test_direct_call_names_the_class_while_it_is_made_and_keeps_what_hooks_set(meta, sets_module, container):
    seen, attrs = [], container()
    base, probe = creation_hooks(seen, attrs, sets_module)
    attrs.update(probe=probe, method=lambda self: 1)
    made = meta("Made", (base,), attrs)

    module = meta.__module__
    after_set_name = "set by __set_name__" if sets_module == "__set_name__" else module
    assert seen == [("__set_name__", module, False), ("__init_subclass__", after_set_name, False)]
    assert made.__module__ == (f"set by {sets_module}" if sets_module else module)
    # The caller's namespace keeps its keys; the class dict has __module__
    # where type.__new__ puts it, after the namespace's own keys.
    assert list(attrs) == ["probe", "method"]
    assert list(vars(made))[:3] == ["probe", "method", "__module__"]


def test_direct_call_gives_the_class_dict_of_the_python_rendering():
    def made_by(meta):
        return meta("Made", (), {"__doc__": "text", "__qualname__": "Outer.Made", "value": 1, "__slots__": ("a",)})

    native, python = made_by(LockableMeta), made_by(rendered.LockableMeta)
    assert list(vars(native)) == list(vars(python))
    assert (native.__module__, native.__qualname__) == ("quelbrin.async_.synchronize", "Outer.Made")


@METACLASSES
def test_direct_call_reads_the_module_name_at_each_call(meta, monkeypatch):
    module = inspect.getmodule(meta)
    monkeypatch.setattr(module, "__name__", "renamed")
    assert meta("Made", (), {}).__module__ == "renamed"
    assert meta("Named", (), {"__module__": "own"}).__module__ == "own"


@METACLASSES
def test_failed_direct_call_leaves_the_namespace_as_it_was(meta):
    class Refuses:
        def __init_subclass__(cls):
            raise LookupError("refused")

    def method(self):
        pass

    attrs = {"method": method}
    with pytest.raises(LookupError, match="refused"):
        meta("Made", (Refuses,), attrs)
    assert list(attrs) == ["method"] and attrs["method"].__wrapped__ is method


@METACLASSES
@pytest.mark.parametrize("sets_module", [None, "__init_subclass__"])
def test_direct_call_with_a_namespace_that_iterates_its_own_way(meta, sets_module):
    # Only the hooks of such a class may see another module name while it is
    # made; the name it ends with is the rendering's.
    seen, attrs = [], OwnIteration()
    base, probe = creation_hooks(seen, attrs, sets_module)
    attrs.update(method=lambda self: 1)
    made = meta("Made", (base,), attrs)
    assert made.__module__ == (f"set by {sets_module}" if sets_module else meta.__module__)
    assert list(attrs) == ["method"] and list(vars(made))[:2] == ["method", "__module__"]
