"""The locked call reads `self.__lock__`, `acquire` and `release` as Python
would, whatever changes between calls: every call site remembers where it
found them, and each of these changes must be seen on the very next call."""

import multiprocessing
import multiprocessing.synchronize
import sys
import types

import pytest

from quelbrin.async_.synchronize import Lockable, LockableMeta, locked

fork = multiprocessing.get_context("fork")
WARM_UP = 5  # calls before the change, so that every site has learnt


class InstanceMethodLock:
    """Keeps `acquire` and `release` as instance attributes, as the fork
    context's RLock does, and records each call under its own label."""

    def __init__(self, log, label):
        self.acquire = lambda **kwargs: log.append((label, "acquire")) or True
        self.release = lambda: log.append((label, "release"))


def make_class(decorator, body=None, base=object):
    """A class with one method `work`, locked through `decorator`."""
    namespace = dict(body or {})
    if decorator is LockableMeta:
        namespace["work"] = lambda self, *args: args
        return LockableMeta("Meta", (base,), namespace)
    namespace["work"] = decorator(lambda self, *args: args)
    return type("Work", (base,), namespace)


WAYS = [Lockable.locked, locked, LockableMeta]
way_ids = ["Lockable.locked", "locked", "LockableMeta"]


@pytest.fixture(params=WAYS, ids=way_ids)
def way(request):
    return request.param


def labels(log):
    return [label for label, _ in log]


def holds(lock):
    return lock._semlock._is_mine()


class TestTheInstanceLock:
    def test_rebinding_it_between_calls(self, way):
        log = []
        obj = make_class(way)()
        obj.__lock__ = InstanceMethodLock(log, "first")
        for _ in range(WARM_UP):
            obj.work()
        obj.__lock__ = InstanceMethodLock(log, "second")
        obj.work()
        assert labels(log[-2:]) == ["second", "second"]

    def test_rebinding_one_real_lock_for_another(self, way):
        cls = make_class(way, {"check": lambda self, lock: holds(lock)})
        cls.held = cls.work if way is LockableMeta else way(lambda self, lock: holds(lock))
        obj = cls()
        first, second = fork.RLock(), fork.RLock()
        obj.__lock__ = first
        for _ in range(WARM_UP):
            assert obj.held(first)
        obj.__lock__ = second
        assert obj.held(second) and not holds(first) and not holds(second)

    def test_deleting_it(self, way):
        obj = make_class(way)()
        obj.__lock__ = fork.RLock()
        for _ in range(WARM_UP):
            obj.work()
        del obj.__lock__
        if way is Lockable.locked:
            with pytest.raises(AttributeError, match="__lock__"):
                obj.work()
        else:
            obj.work()
            assert isinstance(obj.__lock__, multiprocessing.synchronize.RLock)

    def test_one_site_for_instances_of_several_classes(self, way):
        wrapper = way(lambda self: self.__lock__) if way is not LockableMeta else locked(lambda self: self.__lock__)
        classes = [type(f"C{i}", (), {"get": wrapper}) for i in range(3)]
        objects = [cls() for cls in classes for _ in range(2)]
        for obj in objects:
            obj.__lock__ = fork.RLock()
        for _ in range(WARM_UP):
            for obj in objects:
                assert obj.get() is obj.__dict__["__lock__"]

    def test_more_classes_than_a_site_remembers(self, way):
        # Six classes through one site, each instance keeping its lock at
        # another index: the site's entries are reused in turn, one of them
        # while learning nothing (the instance's __dict__ is materialised),
        # and the last class is modified just before its instance is called,
        # so that nothing has given it a new version tag yet.
        decorator = locked if way is LockableMeta else way
        wrapper = decorator(lambda self: self.__lock__)
        objects = []
        for i in range(6):
            obj = type(f"C{i}", (), {})()
            for k in range(i):
                setattr(obj, f"a{k}", k)
            obj.__lock__ = fork.RLock()
            objects.append(obj)
        for obj in objects[:4]:
            assert wrapper(obj) is obj.__lock__
        vars(objects[4])
        assert wrapper(objects[4]) is objects[4].__lock__
        type(objects[5]).modified = True
        assert wrapper(objects[5]) is objects[5].__dict__["__lock__"]
        for obj in objects:
            assert wrapper(obj) is obj.__dict__["__lock__"]

    @pytest.mark.parametrize("replace", ["combined", "assigned"])
    def test_a_materialised_instance_dict(self, way, replace):
        # A key that is not a string turns the instance's attributes into an
        # ordinary dict, and so does assigning __dict__: the values the site
        # once read from are no longer in use.
        log = []
        obj = make_class(way)()
        obj.__lock__ = InstanceMethodLock(log, "first")
        for _ in range(WARM_UP):
            obj.work()
        if replace == "combined":
            vars(obj)[1] = "not a name"
            vars(obj)["__lock__"] = InstanceMethodLock(log, "second")
        else:
            obj.__dict__ = {"__lock__": InstanceMethodLock(log, "second")}
        obj.work()
        assert labels(log[-2:]) == ["second", "second"]


class TestTheInstancesClass:
    """Changes to the class (or a base) after the first calls."""

    @pytest.mark.parametrize("on_base", [False, True], ids=["class", "base"])
    def test_gaining_a_lock_property(self, way, on_base):
        log = []
        base = type("Base", (), {})
        cls = make_class(way, base=base)
        obj = cls()
        obj.__lock__ = InstanceMethodLock(log, "instance")
        for _ in range(WARM_UP):
            obj.work()
        shared = InstanceMethodLock(log, "property")
        setattr(base if on_base else cls, "__lock__", property(lambda self: shared))
        obj.work()
        assert labels(log[-2:]) == ["property", "property"]

    def test_gaining_getattribute(self, way):
        log, reads = [], []
        cls = make_class(way)
        obj = cls()
        obj.__lock__ = InstanceMethodLock(log, "instance")
        for _ in range(WARM_UP):
            obj.work()

        def __getattribute__(self, name):
            reads.append(name)
            return object.__getattribute__(self, name)

        cls.__getattribute__ = __getattribute__
        obj.work()
        assert reads.count("__lock__") == (2 if way is Lockable.locked else 3)

    def test_changing_the_instances_class(self, way):
        log = []
        cls = make_class(way)
        obj = cls()
        obj.__lock__ = InstanceMethodLock(log, "instance")
        for _ in range(WARM_UP):
            obj.work()
        shared = InstanceMethodLock(log, "other class")
        obj.__class__ = type("Other", (cls,), {"__lock__": property(lambda self: shared)})
        obj.work()
        assert labels(log[-2:]) == ["other class", "other class"]


class TestTheLocksMethods:
    def test_replacing_acquire_on_the_lock_instance(self, way):
        obj = make_class(way)()
        lock = obj.__lock__ = fork.RLock()
        for _ in range(WARM_UP):
            obj.work()
        calls = []
        original = lock.acquire
        lock.acquire = lambda *args, **kwargs: calls.append(kwargs) or original(*args, **kwargs)
        obj.work()
        assert calls == [{"block": False}] and not holds(lock)
        del lock.acquire
        with pytest.raises(AttributeError, match="acquire"):
            obj.work()

    def test_methods_of_another_semaphore(self, way):
        # The same C methods bound to another semaphore: that one is used.
        cls = make_class(way)
        cls.check = locked(lambda self, other: (holds(self.__lock__), holds(other)))
        obj = cls()
        lock, other = fork.RLock(), fork.RLock()
        obj.__lock__ = lock
        for _ in range(WARM_UP):
            assert obj.check(other) == (True, False)
        lock.acquire, lock.release = other.acquire, other.release
        assert obj.check(other) == (False, True)
        assert not holds(other) and not holds(lock)

    def test_other_builtin_methods_on_the_lock_instance(self, way, caplog):
        # Builtins of another kind, bound to a dict: called as what they are.
        obj = make_class(way)()
        lock = obj.__lock__ = fork.RLock()
        for _ in range(WARM_UP):
            obj.work()
        calls = {}
        lock.acquire, lock.release = calls.update, calls.copy
        assert obj.work(1) == (1,)
        assert calls == {"block": False} and not holds(lock)
        assert "Waiting for lock" in caplog.text  # update() returns None: not acquired

    @pytest.mark.parametrize("method", ["acquire", "release"])
    def test_the_locks_class_gaining_a_property(self, way, method):
        class Subclass(multiprocessing.synchronize.RLock):
            pass

        obj = make_class(way)()
        lock = obj.__lock__ = Subclass(ctx=fork)
        for _ in range(WARM_UP):
            obj.work()
        calls = []
        original = getattr(lock, method)
        setattr(Subclass, method, property(lambda self: lambda *a, **k: calls.append(k) or original(*a, **k)))
        obj.work()
        assert len(calls) == 1 and not holds(lock)

    def test_fakes_with_class_methods_and_namespaces(self, way):
        log = []

        class ClassMethods:
            def acquire(self, **kwargs):
                log.append(("class", "acquire"))
                return True

            def release(self):
                log.append(("class", "release"))

        semaphore = fork.RLock()._semlock
        fakes = [
            ClassMethods(),
            types.SimpleNamespace(acquire=lambda **k: log.append(("namespace", "acquire")) or True,
                                  release=lambda: log.append(("namespace", "release"))),
            types.SimpleNamespace(acquire=semaphore.acquire, release=semaphore.release),
        ]
        cls = make_class(way)
        cls.owned = locked(lambda self: semaphore._is_mine())
        obj = cls()
        for fake in fakes * 2:
            obj.__lock__ = fake
            for _ in range(WARM_UP):
                obj.work()
        assert obj.owned() and not semaphore._is_mine()
        ClassMethods.acquire = lambda self, **kwargs: log.append(("replaced", "acquire")) or True
        obj.__lock__ = fakes[0]
        obj.work()
        assert log[-2:] == [("replaced", "acquire"), ("class", "release")]


class TestLocksThatAreNotPlainAttributes:
    """Reads that run code run it on every call, as often as Python would."""

    def test_lock_as_a_property(self, way):
        reads = []
        lock = fork.RLock()
        cls = make_class(way, {"__lock__": property(lambda self: reads.append(1) or lock)})
        obj = cls()
        for _ in range(WARM_UP):
            obj.work()
        assert len(reads) == WARM_UP * (2 if way is Lockable.locked else 3)

    def test_lock_from_getattr(self, way):
        reads = []
        lock = fork.RLock()

        def __getattr__(self, name):
            reads.append(name)
            if name == "__lock__":
                return lock
            raise AttributeError(name)

        obj = make_class(way, {"__getattr__": __getattr__})()
        for _ in range(WARM_UP):
            obj.work()
        assert reads == ["__lock__"] * WARM_UP * (2 if way is Lockable.locked else 3)

    def test_lock_in_a_slot(self, way):
        cls = make_class(way, {"__slots__": ("__lock__",)})
        obj = cls()
        if way is Lockable.locked:
            obj.__lock__ = fork.RLock()
        for _ in range(WARM_UP):
            obj.work()
        replacement = fork.RLock()
        obj.__lock__ = replacement
        cls.held = (locked if way is LockableMeta else way)(lambda self: holds(replacement))
        assert obj.held()
        del obj.__lock__
        if way is Lockable.locked:
            with pytest.raises(AttributeError):
                obj.work()
        else:
            obj.work()
            assert obj.__lock__ is not replacement


def test_an_error_at_the_recursion_limit_never_leaves_the_lock_held():
    obj = type("Deep", (), {})()
    lock = obj.__lock__ = fork.RLock()

    @locked
    def deeper(self, depth):
        return deeper(self, depth + 1)

    limit = sys.getrecursionlimit()
    try:
        for new_limit in range(60, 90):
            sys.setrecursionlimit(new_limit)
            with pytest.raises(RecursionError):
                deeper(obj, 0)
            assert lock._semlock._count() == 0
    finally:
        sys.setrecursionlimit(limit)


@pytest.mark.parametrize("base", [dict, int, Exception, list], ids=lambda base: base.__name__)
def test_instances_of_builtin_subclasses(base):
    # Their attributes live where the builtin puts them, not always in
    # inline values; each call must still find the lock the instance holds.
    cls = type("Sub", (base,), {"get": locked(lambda self: self.__lock__)})
    objects = [cls(), cls()]
    for _ in range(WARM_UP):
        for obj in objects:
            assert obj.get() is obj.get() is vars(obj)["__lock__"]
    assert objects[0].get() is not objects[1].get()
