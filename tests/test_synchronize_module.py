"""Import-time behaviour of quelbrin.async_.synchronize: the namespace it
binds, the classes it makes, and its once-per-process initialisation."""

import ctypes
import functools
import importlib
import inspect
import logging
import multiprocessing
import subprocess
import sys
import textwrap
import types

import pytest

import quelbrin.async_.synchronize as synchronize


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_namespace_binds_names_in_order():
    names = [name for name in vars(synchronize) if not name.startswith("__") or name == "__test__"]
    assert names == ["inspect", "logging", "functools", "multiprocessing", "logger",
                     "Lockable", "locked", "LockableMeta", "__test__"]
    assert synchronize.inspect is inspect and synchronize.functools is functools
    assert synchronize.multiprocessing is multiprocessing.get_context("fork")
    assert synchronize.logger is logging.getLogger("quelbrin.async_.synchronize")
    assert synchronize.__test__ == {} and synchronize.__doc__ is None


def test_classes_look_like_python_classes():
    Lockable, LockableMeta = synchronize.Lockable, synchronize.LockableMeta
    assert Lockable.__bases__ == (object,) and type(Lockable) is type
    assert LockableMeta.__bases__ == (type,) and type(LockableMeta) is type
    assert [k for k in vars(Lockable) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")] == [
        "__init__", "acquire", "release", "locked"]
    assert [k for k in vars(LockableMeta) if k not in ("__module__", "__doc__")] == ["ignore", "__new__"]
    assert isinstance(vars(Lockable)["locked"], staticmethod)
    assert isinstance(vars(LockableMeta)["ignore"], staticmethod)
    assert isinstance(vars(LockableMeta)["__new__"], staticmethod)
    for obj, qualname in [(Lockable, "Lockable"), (Lockable.acquire, "Lockable.acquire"),
                          (Lockable.locked, "Lockable.locked"), (synchronize.locked, "locked"),
                          (LockableMeta, "LockableMeta"), (LockableMeta.ignore, "LockableMeta.ignore")]:
        assert obj.__qualname__ == qualname
        assert obj.__module__ == "quelbrin.async_.synchronize"


def test_signatures_and_defaults():
    sig = inspect.signature
    assert str(sig(synchronize.Lockable.acquire)) == "(self, block=True, timeout=None)"
    assert str(sig(synchronize.Lockable.release)) == "(self)"
    assert str(sig(synchronize.locked)) == "(method)"
    assert str(sig(synchronize.LockableMeta.__new__)) == "(cls, name, bases, attrs)"
    # The default lock factory is the one of import time, even if the module's
    # context is rebound later.
    assert synchronize.Lockable.__init__.__kwdefaults__ == {"lock": synchronize.multiprocessing.RLock}


@pytest.mark.parametrize("obj, title, section", [
    ("Lockable", "Lockable", "Note"),
    ("Lockable.__init__", "__init__", "Arguments"),
    ("Lockable.acquire", "acquire", "Returns"),
    ("Lockable.release", "release", None),
    ("Lockable.locked", "locked decorator", "Returns"),
    ("locked", "lock decorator", "Note"),
    ("LockableMeta", "LockableMeta", "Note"),
    ("LockableMeta.ignore", "ignore", "Arguments"),
    ("LockableMeta.__new__", "Metaclass __new__", "Arguments"),
])
def test_docstring_layout(obj, title, section):
    doc = functools.reduce(getattr, obj.split("."), synchronize).__doc__
    lines = doc.splitlines()
    assert lines[0] == title and lines[1] == "" and lines[2].startswith("    ")
    if section:
        index = lines.index("    " + section)
        assert lines[index + 1] == "    " + "-" * len(section)


def test_quoted_sentences_are_exact():
    assert "user shall explicitly call this class' __init__ using super()" in synchronize.Lockable.__doc__
    assert ("user shall use this class's lock() method instead of the generic one decorating the methods "
            "that needs to be locked/unlocked") in synchronize.Lockable.__doc__
    assert "if the user doesn't make any lock() api calls before forking, all locks fail." in \
        synchronize.LockableMeta.__doc__


def test_reload_keeps_the_module_and_its_classes():
    lockable = synchronize.Lockable
    assert importlib.reload(synchronize) is synchronize
    assert synchronize.Lockable is lockable


def test_executing_into_another_module_object_is_refused():
    ctypes.pythonapi.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    ctypes.pythonapi.PyModule_GetDef.argtypes = [ctypes.py_object]
    ctypes.pythonapi.PyModule_GetDef.restype = ctypes.c_void_p
    module_def = ctypes.pythonapi.PyModule_GetDef(synchronize)
    with pytest.raises(RuntimeError, match="^Module 'synchronize' has already been imported. "
                                           "Re-initialisation is not supported.$"):
        ctypes.pythonapi.PyModule_ExecDef(types.ModuleType("synchronize"), module_def)


def test_second_interpreter_is_refused():
    result = run_python("""
        import _testcapi, quelbrin.async_.synchronize
        assert _testcapi.run_in_subinterp("import quelbrin.async_.synchronize") == -1
    """)
    assert result.returncode == 0, result.stderr
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in result.stderr


def test_failed_import_can_be_retried():
    result = run_python("""
        import multiprocessing
        real = multiprocessing.get_context
        def no_fork(method):
            raise ValueError("cannot find context for 'fork'")
        multiprocessing.get_context = no_fork
        try:
            import quelbrin.async_.synchronize
        except ValueError as error:
            print("failed:", error)
        multiprocessing.get_context = real
        import quelbrin.async_.synchronize as synchronize
        assert synchronize.multiprocessing is real("fork")
        print("retried:", synchronize.Lockable().acquire())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed: cannot find context for 'fork'", "retried: True"]
