"""The parallel-call module's namespace, classes and once-per-process import."""

import inspect
import logging
import multiprocessing
import subprocess
import sys
import textwrap

import pytest

import quelbrin.async_.tandemix as tandemix
from quelbrin.async_.exceptions import ExceptionWithTraceback
from quelbrin.log import managed_handlers


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_namespace_binds_the_module_globals_in_order():
    # In a fresh interpreter: tests here rebind module globals, which moves them.
    result = run_python("""
        import quelbrin.async_.tandemix as tandemix
        print(" ".join(vars(tandemix)))
        print(tandemix.__doc__)
    """)
    names, doc = result.stdout.splitlines()
    standard = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
    assert names.split() == standard + [
        "os", "time", "signal", "logging", "inspect", "itertools", "functools", "namedtuple",
        "ExceptionWithTraceback", "managed_handlers", "multiprocessing", "__pcall_infra__", "logger",
        "ChildWork", "ChildLabor", "Pcall", "__test__",
    ]
    assert doc == "None"


def test_module_globals_hold_what_their_names_say():
    import collections, functools, itertools, os, signal, time

    assert tandemix.os is os and tandemix.time is time and tandemix.signal is signal
    assert tandemix.logging is logging and tandemix.inspect is inspect
    assert tandemix.itertools is itertools and tandemix.functools is functools
    assert tandemix.namedtuple is collections.namedtuple
    assert tandemix.ExceptionWithTraceback is ExceptionWithTraceback
    assert tandemix.managed_handlers is managed_handlers
    assert tandemix.multiprocessing is not multiprocessing
    assert tandemix.multiprocessing.get_start_method() == "fork"
    assert tandemix.__pcall_infra__ is True
    assert tandemix.logger is logging.getLogger("quelbrin.async_.tandemix")
    assert tandemix.ChildWork._fields == ("target", "args", "kwargs")
    assert tandemix.ChildWork.__name__ == "ChildWork"
    assert tandemix.__test__ == {}


def test_child_labor_is_a_fork_process_class():
    cls = tandemix.ChildLabor
    assert cls.__bases__ == (tandemix.multiprocessing.Process,)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__) == ("quelbrin.async_.tandemix", "ChildLabor")
    assert cls.__doc__ == (
        "ChildLabor Class\n\n"
        "    Worker class, subclassing from multiprocessing.Process under 'fork' context.\n"
        "    The customizations in this class is designed purely for it to be called\n"
        "    under p-call.\n    "
    )
    own = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert own == ["__init__", "_get_steps", "run"]


def test_pcall_is_a_plain_class_with_members_in_order():
    cls = tandemix.Pcall
    assert cls.__bases__ == (object,) and type(cls) is type
    assert (cls.__module__, cls.__qualname__) == ("quelbrin.async_.tandemix", "Pcall")
    own = [name for name in vars(cls) if name not in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__")]
    assert own == ["pcall", "__init__", "pids", "start", "join", "terminate", "kill", "livings", "_build_arguments"]
    assert isinstance(vars(cls)["pcall"], classmethod)
    assert isinstance(vars(cls)["pids"], property) and isinstance(vars(cls)["livings"], property)


def test_pcall_docstring_is_exact_line_by_line():
    lines = tandemix.Pcall.__doc__.split("\n")
    assert len(lines) == 33
    assert lines[0] == "Pcall class" and lines[1] == ""
    assert lines[2] == "    allows users to perform and control parallel calls (to an extend) using"
    assert lines[6:8] == ["", ""]
    assert lines[8:10] == ["    Arguments", "    ---------"]
    assert lines[14] == " " * 28 + "each instance. Each item should be also a tuple/list"
    assert lines[18:21] == [" " * 40 + "value is a list of values corresponding",
                            " " * 40 + "to that key-value argument of an", " " * 40 + "instance."]
    assert lines[22] == "    Rules:"
    assert lines[28] == " " * 15 + "combined together, whichever is shorter."
    assert lines[30] == "        3. the order of results list is the same as the child process order"
    assert lines[31:] == ["", "    "]


MEMBERS = [
    ("ChildLabor", "__init__", "(self, index, queue, *args, **kwargs)", "built-in init"),
    ("ChildLabor", "_get_steps", "(self)", "\n        Attempt to retrieve testcase steps"),
    ("ChildLabor", "run", "(self)", "ChildLabor.run"),
    ("Pcall", "__init__", "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)", None),
    ("Pcall", "start", "(self)", "start\n\n        starts all child worker processes\n        "),
    ("Pcall", "join", "(self)", "join\n\n        blocks the current process until timeout is reached, or if all childs"),
    ("Pcall", "terminate", "(self)", "terminate\n\n        terminates all child processes.\n\n        Note\n        ----\n"
                                     "            this might take a split second before it taking effect\n        "),
    ("Pcall", "kill", "(self)", "kill\n\n        kill (SIGKILL) all child processes.\n        "),
    ("Pcall", "_build_arguments", "(self)", "internal: building arguments\n\n        this api performs the dirt work"),
]


@pytest.mark.parametrize("owner, name, signature, doc", MEMBERS, ids=[f"{o}.{n}" for o, n, *_ in MEMBERS])
def test_methods_carry_names_signatures_and_docstrings(owner, name, signature, doc):
    function = vars(getattr(tandemix, owner))[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"{owner}.{name}"
    assert function.__module__ == "quelbrin.async_.tandemix"
    assert str(inspect.signature(function)) == signature
    if doc is None:
        assert function.__doc__ is None
    else:
        assert function.__doc__.startswith(doc)
        assert not function.__doc__.strip(" ").endswith("\n\n")


def test_properties_and_class_method_carry_their_getters():
    pids, livings = tandemix.Pcall.pids, tandemix.Pcall.livings
    assert pids.fget.__qualname__ == "Pcall.pids" and pids.fset is None
    assert pids.__doc__ == "pids (property)\n\n        list of pids after it's all started\n        "
    assert livings.fget.__qualname__ == "Pcall.livings" and livings.fset is None
    assert livings.__doc__.startswith("property: livings\n\n        returns the list of all processes")
    pcall = vars(tandemix.Pcall)["pcall"].__func__
    assert pcall.__qualname__ == "Pcall.pcall"
    assert str(inspect.signature(pcall)) == "(cls, *args, **kwargs)"
    assert pcall.__doc__.startswith("pcall classmethod\n\n        Classmethod to allow short-cut calling of Pcall.")


def test_read_only_properties_refuse_assignment():
    instance = tandemix.Pcall(print)
    with pytest.raises(AttributeError):
        instance.pids = ()
    with pytest.raises(AttributeError):
        instance.livings = ()


def test_pcall_receives_the_class_it_was_called_on():
    seen = []

    class Recording(tandemix.Pcall):
        def __init__(self, *args, **kwargs):
            seen.append(type(self))
            raise LookupError("stop after construction")

    for receiver in (Recording, Recording.__new__(Recording)):
        with pytest.raises(LookupError):
            receiver.pcall(print)
    assert seen == [Recording, Recording]


def test_default_ckwargs_is_one_shared_dict():
    defaults = tandemix.Pcall.__init__.__defaults__
    assert defaults == (None, (), (), {}, ())
    assert tandemix.Pcall.__init__.__defaults__[3] is defaults[3]
    assert tandemix.Pcall.__init__.__kwdefaults__ is None
    first, second = tandemix.Pcall(print), tandemix.Pcall(print)
    assert first.ckwargs is second.ckwargs is defaults[3]


def test_import_is_once_per_process_and_reload_keeps_the_module():
    result = run_python("""
        import importlib, sys
        import quelbrin.async_.tandemix as first
        marker = first.Pcall
        assert importlib.reload(first) is first and first.Pcall is marker
        del sys.modules["quelbrin.async_.tandemix"]
        import quelbrin.async_.tandemix as second
        assert second is first and second.Pcall is marker
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_executing_into_another_module_object_is_refused():
    result = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("quelbrin.async_.tandemix")
        early = importlib.util.module_from_spec(spec)
        late = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(late)
        try:
            spec.loader.exec_module(early)
        except RuntimeError as error:
            print(error)
    """)
    assert result.stdout.strip() == (
        "Module 'tandemix' has already been imported. Re-initialisation is not supported."
    ), result.stderr


def test_failed_initialisation_can_be_retried_cleanly():
    result = run_python("""
        import sys
        import quelbrin.log
        saved = sys.modules.pop("quelbrin.log")
        sys.modules["quelbrin.log"] = None   # the import of managed_handlers fails
        try:
            import quelbrin.async_.tandemix
        except ImportError as error:
            print("failed:", type(error).__name__)
        sys.modules["quelbrin.log"] = saved
        import quelbrin.async_.tandemix as tandemix
        print(sorted(n for n in vars(tandemix) if n in ("Pcall", "ChildLabor", "__test__")))
    """)
    assert result.stdout.splitlines() == ["failed: ModuleNotFoundError", "['ChildLabor', 'Pcall', '__test__']"], result.stderr


def test_an_initialisation_retried_after_running_out_of_memory_part_way_leaves_nothing_unset():
    # One allocation fails in each attempt, a little later each time, through
    # the making of the module's names and constants; a retry must make the
    # whole set, which join() then uses.
    result = run_python("""
        import _imp, importlib.util, _testcapi
        import quelbrin.log.managed_handlers, quelbrin.async_.exceptions

        spec = importlib.util.find_spec("quelbrin.async_.tandemix")
        fail_one, restore = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
        create, execute = _imp.create_dynamic, _imp.exec_dynamic
        failures = 0
        for start in range(120):
            fail_one(start, start + 1)
            try:
                execute(create(spec))
            except Exception:
                failures += 1
            finally:
                restore()
        import quelbrin.async_.tandemix as tandemix
        print(failures, tandemix.Pcall.pcall(len, iargs=[("ab",), ("abc",)]))
    """)
    failures, results = result.stdout.split(" ", 1)
    assert int(failures) > 60 and results.strip() == "(2, 3)", result.stderr


def test_a_second_interpreter_is_refused():
    result = run_python("""
        import _testcapi
        import quelbrin.async_.tandemix
        status = _testcapi.run_in_subinterp("import quelbrin.async_.tandemix")
        print("status", status)
    """)
    assert "status -1" in result.stdout
    assert ("Interpreter change detected - this module can only be loaded into one interpreter per process."
            in result.stderr)
