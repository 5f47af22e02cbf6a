"""Module globals rebound to objects that break the protocol the module
expects, and user objects that break theirs: each use raises what Python
code doing the same would raise, and never takes the interpreter down."""

import subprocess
import sys
import textwrap

CASES = textwrap.dedent(
    """
    import types
    import quelbrin.async_.synchronize as synchronize
    from quelbrin.async_.synchronize import Lockable, LockableMeta, locked

    class NotCallable:
        pass

    def method(self):
        return 1

    class Refusing:
        def __getattr__(self, name):
            raise LookupError(name)

    class Busy:
        def acquire(self, **kwargs):
            return False

        def release(self):
            pass

    class Holder:
        pass

    def holder_with(lock):
        holder = Holder()
        holder.__lock__ = lock
        return holder

    def items_of(entries):
        return type("Namespace", (dict,), {"items": lambda self: entries})()

    cases = {
        "functools without wraps": ("functools", types.SimpleNamespace(), lambda: locked(method)),
        "wraps not callable": ("functools", types.SimpleNamespace(wraps=lambda m: NotCallable()),
                               lambda: locked(method)),
        "context without RLock": ("multiprocessing", Refusing(), lambda: locked(method)(Holder())),
        "RLock not callable": ("multiprocessing", types.SimpleNamespace(RLock=NotCallable()),
                               lambda: locked(method)(Holder())),
        "inspect refusing": ("inspect", Refusing(), lambda: LockableMeta("X", (), {"f": method})),
        "isfunction not callable": ("inspect", types.SimpleNamespace(isfunction=5),
                                    lambda: LockableMeta("X", (), {"f": method})),
        "locked not callable": ("locked", NotCallable(), lambda: LockableMeta("X", (), {"f": method})),
        "logger refusing": ("logger", Refusing(), lambda: Lockable.locked(method)(holder_with(Busy()))),
        "warning not callable": ("logger", types.SimpleNamespace(warning=5),
                                 lambda: Lockable.locked(method)(holder_with(Busy()))),
        "acquire not callable": (None, None,
                                 lambda: Lockable.locked(method)(holder_with(types.SimpleNamespace(acquire=5)))),
        "items not iterable": (None, None, lambda: LockableMeta("X", (), items_of(5))),
        "items yielding non-pairs": (None, None, lambda: LockableMeta("X", (), items_of([5]))),
        "items yielding triples": (None, None, lambda: LockableMeta("X", (), items_of([(1, 2, 3)]))),
        "iterator whose next is not callable": (
            None, None, lambda: LockableMeta("X", (), items_of(type("I", (), {"__iter__": lambda s: s,
                                                                             "__next__": 5})()))),
    }
    for label, (name, value, call) in cases.items():
        saved = getattr(synchronize, name) if name else None
        if name:
            setattr(synchronize, name, value)
        try:
            call()
            print(label, "-> no error")
        except Exception as error:
            print(label, "->", type(error).__name__)
        finally:
            if name:
                setattr(synchronize, name, saved)
    """
)

EXPECTED = {
    "functools without wraps": "AttributeError",
    "wraps not callable": "TypeError",
    "context without RLock": "LookupError",
    "RLock not callable": "TypeError",
    "inspect refusing": "LookupError",
    "isfunction not callable": "TypeError",
    "locked not callable": "TypeError",
    "logger refusing": "LookupError",
    "warning not callable": "TypeError",
    "acquire not callable": "TypeError",
    "items not iterable": "TypeError",
    "items yielding non-pairs": "TypeError",
    "items yielding triples": "ValueError",
    "iterator whose next is not callable": "TypeError",
}


def test_broken_protocols_raise_and_never_crash():
    run = subprocess.run([sys.executable, "-c", CASES], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    seen = dict(line.split(" -> ") for line in run.stdout.splitlines())
    assert seen == EXPECTED
