"""What help() and inspect show a user: the real parameters and docstrings of
every public member, bound or not, and of the user's own locked methods."""

import inspect
import io
import pydoc
import sys

import pytest

import quelbrin.async_.synchronize as synchronize
import quelbrin.async_.tandemix as tandemix
from quelbrin.async_.synchronize import Lockable, LockableMeta, locked
from quelbrin.async_.tandemix import ChildLabor, Pcall


def help_text(obj):
    """What help(obj) prints, through the interactive helper itself."""
    output = io.StringIO()
    pydoc.Helper(input=io.StringIO(), output=output).help(obj)
    # Plain text: pydoc emboldens names with backspaces on a terminal only.
    return pydoc.plain(output.getvalue())


def help_signature(name, parameters, margin=" |  "):
    """How help() prints name(parameters) inside a class (after `margin`).

    From 3.13 on, pydoc breaks a signature wider than 80 columns into one
    parameter a line; 3.12 keeps every signature on one line.
    """
    flat = f"{name}({parameters})"
    if sys.version_info < (3, 13) or len(flat) <= 80:
        return flat
    *leading, last = parameters.split(", ")
    lines = [f"{name}(", *[f"    {parameter}," for parameter in leading], f"    {last}", ")"]
    return f"\n{margin}".join(lines)


# 3.13's pydoc no longer names the class a class method is bound to.
CLASS_METHOD_OWNER = " from builtins.type" if sys.version_info < (3, 13) else ""

PCALL_PARAMETERS = "targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs"


def pcall_instance():
    return Pcall(print)


def worker_instance():
    return ChildLabor(index=0, queue=None, target=print)


SIGNATURES = [
    ("Pcall", lambda: Pcall, f"({PCALL_PARAMETERS})"),
    ("Pcall.pcall on the class", lambda: Pcall.pcall, "(*args, **kwargs)"),
    ("Pcall.pcall on an instance", lambda: pcall_instance().pcall, "(*args, **kwargs)"),
    ("Pcall.pids getter", lambda: Pcall.pids.fget, "(self)"),
    ("Pcall.livings getter", lambda: Pcall.livings.fget, "(self)"),
    ("bound Pcall.__init__", lambda: pcall_instance().__init__, f"({PCALL_PARAMETERS})"),
    ("bound Pcall.start", lambda: pcall_instance().start, "()"),
    ("bound Pcall.join", lambda: pcall_instance().join, "()"),
    ("bound Pcall.terminate", lambda: pcall_instance().terminate, "()"),
    ("bound Pcall.kill", lambda: pcall_instance().kill, "()"),
    ("bound Pcall._build_arguments", lambda: pcall_instance()._build_arguments, "()"),
    ("ChildLabor", lambda: ChildLabor, "(index, queue, *args, **kwargs)"),
    ("bound ChildLabor.run", lambda: worker_instance().run, "()"),
    ("bound ChildLabor._get_steps", lambda: worker_instance()._get_steps, "()"),
    ("Lockable.acquire", lambda: Lockable.acquire, "(self, block=True, timeout=None)"),
    ("bound Lockable.acquire", lambda: Lockable().acquire, "(block=True, timeout=None)"),
    ("Lockable.release", lambda: Lockable.release, "(self)"),
    ("bound Lockable.release", lambda: Lockable().release, "()"),
    ("Lockable.locked on the class", lambda: Lockable.locked, "(method)"),
    ("Lockable.locked on an instance", lambda: Lockable().locked, "(method)"),
    ("locked", lambda: locked, "(method)"),
    ("LockableMeta", lambda: LockableMeta, "(name, bases, attrs)"),
    ("LockableMeta.__new__", lambda: LockableMeta.__new__, "(cls, name, bases, attrs)"),
    ("LockableMeta.ignore", lambda: LockableMeta.ignore, "(obj)"),
]


@pytest.mark.parametrize("get, expected", [case[1:] for case in SIGNATURES], ids=[case[0] for case in SIGNATURES])
def test_signature_shows_the_real_parameters(get, expected):
    assert str(inspect.signature(get())) == expected


@pytest.mark.parametrize("get, expected", [
    (lambda: Lockable, "(*, lock={default!r})"),
    (lambda: Lockable.__init__, "(self, *, lock={default!r})"),
    (lambda: Lockable().__init__, "(*, lock={default!r})"),
], ids=["Lockable", "Lockable.__init__", "bound Lockable.__init__"])
def test_lockable_signature_shows_the_keyword_only_lock_factory(get, expected):
    # The default is the fork context's RLock factory, read once at import.
    signature = inspect.signature(get())
    assert str(signature) == expected.format(default=synchronize.multiprocessing.RLock)
    assert signature.parameters["lock"].kind is inspect.Parameter.KEYWORD_ONLY


DOCSTRINGS = [
    (lambda: pcall_instance().pcall, "pcall classmethod"),
    (lambda: pcall_instance().join, "join"),
    (lambda: pcall_instance().kill, "kill"),
    (lambda: Pcall.pids, "pids (property)"),
    (lambda: Pcall.livings, "property: livings"),
    (lambda: worker_instance().run, "ChildLabor.run"),
    (lambda: Lockable().acquire, "acquire"),
    (lambda: Lockable().release, "release"),
    (lambda: Lockable.locked, "locked decorator"),
    (lambda: locked, "lock decorator"),
    (lambda: LockableMeta.ignore, "ignore"),
    (lambda: LockableMeta.__new__, "Metaclass __new__"),
]


@pytest.mark.parametrize("get, title", DOCSTRINGS, ids=[title for _, title in DOCSTRINGS])
def test_getdoc_gives_the_docstring_through_binding(get, title):
    doc = inspect.getdoc(get())
    assert doc.split("\n")[:2] == [title, ""]
    assert not doc.endswith(" "), "trailing indentation is cleaned like a Python docstring's"


class TestHelp:
    def test_help_on_pcall_shows_construction_members_and_docstrings(self):
        text = help_text(Pcall)
        assert (f"class Pcall(builtins.object)\n |  {help_signature('Pcall', PCALL_PARAMETERS)}\n |\n"
                " |  Pcall class\n") in text
        assert " |  Arguments\n |  ---------\n |      targets (list/callable):" in text
        for heading, entry in [
            ("Methods defined here:", help_signature("__init__", f"self, {PCALL_PARAMETERS}")),
            ("Methods defined here:", "join(self)\n |      join\n |\n |      blocks the current process"),
            ("Methods defined here:", "terminate(self)\n |      terminate\n |\n |      terminates all child processes."),
            ("Class methods defined here:", f"pcall(*args, **kwargs){CLASS_METHOD_OWNER}\n |      pcall classmethod"),
            ("Readonly properties defined here:", "livings\n |      property: livings\n"),
            ("Readonly properties defined here:", "pids\n |      pids (property)\n"),
        ]:
            assert heading in text and entry in text
            assert text.index(heading) < text.index(entry)
        assert "_build_arguments" not in text, "help() leaves private members out"

    def test_help_on_lockable_shows_its_lock_factory_methods_and_decorator(self):
        text = help_text(Lockable)
        factory = repr(synchronize.multiprocessing.RLock)
        assert f"class Lockable(builtins.object)\n |  {help_signature('Lockable', f'*, lock={factory}')}\n" in text
        assert " |  - user shall explicitly call this class' __init__ using super()" in text
        assert "acquire(self, block=True, timeout=None)\n |      acquire\n" in text
        assert "release(self)\n |      release\n" in text
        assert text.index("Static methods defined here:") < text.index("locked(method)\n |      locked decorator")

    def test_help_on_lockable_meta_and_locked(self):
        text = help_text(LockableMeta)
        assert "class LockableMeta(builtins.type)\n |  LockableMeta(name, bases, attrs)" in text
        assert "__new__(cls, name, bases, attrs)\n |      Metaclass __new__" in text
        assert "ignore(obj)\n |      ignore" in text
        assert "locked(method)\n    lock decorator\n" in help_text(locked)

    @pytest.mark.parametrize("module, classes", [
        (tandemix, ["class ChildLabor(multiprocessing.context.ForkProcess)", "class ChildWork(builtins.tuple)",
                    "class Pcall(builtins.object)"]),
        (synchronize, ["class Lockable(builtins.object)", "class LockableMeta(builtins.type)"]),
    ], ids=["tandemix", "synchronize"])
    def test_help_on_the_modules_lists_their_classes(self, module, classes):
        text = help_text(module)
        assert f"NAME\n    {module.__name__}\n" in text
        for heading in classes:
            assert heading in text


class Account(Lockable):
    @Lockable.locked
    def deposit(self, amount, *, note=""):
        """Adds money to the account."""


class Counter:
    @locked
    def bump(self, by=1):
        """Counts up."""


class Registry(metaclass=LockableMeta):
    def add(self, key, value=None):
        """Registers a value."""

    @LockableMeta.ignore
    def size(self):
        """Counts the entries without waiting for the lock."""


@pytest.mark.parametrize("owner, name, parameters, doc", [
    (Account, "deposit", "(amount, *, note='')", "Adds money to the account."),
    (Counter, "bump", "(by=1)", "Counts up."),
    (Registry, "add", "(key, value=None)", "Registers a value."),
    (Registry, "size", "()", "Counts the entries without waiting for the lock."),
], ids=["Lockable.locked", "locked", "LockableMeta", "LockableMeta.ignore"])
def test_locked_methods_keep_their_own_signature_and_docstring(owner, name, parameters, doc):
    bound = getattr(owner(), name)
    assert str(inspect.signature(bound)) == parameters
    assert inspect.getdoc(bound) == doc
    inner = parameters[1:-1]
    entry = f"{name}(self{', ' + inner if inner else ''})\n |      {doc}\n"
    assert entry in help_text(owner)
