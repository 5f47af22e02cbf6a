"""What importing quelbrin.async_.synchronize binds, and that it happens once."""

import importlib
import inspect
import logging
import multiprocessing
import subprocess
import sys

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



def test_static_methods_carry_the_functions_names_as_in_a_class_body():
    for owner, name in [(Lockable, "locked"), (LockableMeta, "ignore")]:
        static = vars(owner)[name]
        function = static.__func__
        assert (static.__name__, static.__qualname__, static.__module__, static.__doc__) == (
            function.__name__, f"{owner.__name__}.{name}", "quelbrin.async_.synchronize", function.__doc__)
    # type() wraps a __new__ without copying anything, and so is this one.
    assert not hasattr(vars(LockableMeta)["__new__"], "__name__")


def test_metaclass_called_directly_names_this_module_and_leaves_the_namespace_alone():
    def method(self):
        return 1

    attrs = {"method": method}
    made = LockableMeta("Made", (), attrs)
    assert made.__module__ == "quelbrin.async_.synchronize" and list(attrs) == ["method"]
    assert attrs["method"].__wrapped__ is method and made().method() == 1
    assert LockableMeta("Named", (), {"__module__": "elsewhere"}).__module__ == "elsewhere"

    class Stated(metaclass=LockableMeta):
        pass

    assert Stated.__module__ == __name__


def test_import_without_builtins_import_fails_as_an_import_statement_does():
    # The module body's import statements go through builtins.__import__;
    # without it the first one fails as `import inspect` in a module body would.
    program = (
        "import builtins, importlib, sys\n"
        "import inspect, logging, functools, multiprocessing, quelbrin.async_\n"
        "saved = builtins.__import__\n"
        "del builtins.__import__\n"
        "try:\n"
        "    importlib.import_module('quelbrin.async_.synchronize')\n"
        "except ImportError as error:\n"
        "    builtins.__import__ = saved\n"
        "    print(type(error).__name__, error)\n"
    )
    output = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert output.stdout == "ImportError __import__ not found\n", output.stderr
