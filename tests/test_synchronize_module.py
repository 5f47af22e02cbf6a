"""What importing quelbrin.async_.synchronize binds, and that it happens once."""

import importlib
import inspect
import logging
import multiprocessing

import quelbrin.async_.synchronize as synchronize
from quelbrin.async_.synchronize import Lockable, LockableMeta


def test_namespace_and_classes():
    assert [n for n in vars(synchronize) if not n.startswith("__")] + ["__test__"] == [
        "inspect", "logging", "functools", "multiprocessing", "logger", "Lockable", "locked", "LockableMeta",
        "__test__"]
    assert synchronize.multiprocessing is multiprocessing.get_context("fork") and synchronize.__test__ == {}
    assert synchronize.logger is logging.getLogger("quelbrin.async_.synchronize")
    assert (Lockable.__bases__, LockableMeta.__bases__) == ((object,), (type,))
    assert [k for k in vars(Lockable) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")] == [
        "__init__", "acquire", "release", "locked"]
    assert [type(vars(LockableMeta)[k]) for k in ("ignore", "__new__")] == [staticmethod, staticmethod]
    assert isinstance(vars(Lockable)["locked"], staticmethod)
    assert str(inspect.signature(Lockable.acquire)) == "(self, block=True, timeout=None)"
    assert Lockable.__init__.__kwdefaults__ == {"lock": synchronize.multiprocessing.RLock}
    assert importlib.reload(synchronize) is synchronize and synchronize.Lockable is Lockable

