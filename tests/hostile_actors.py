"""Objects that record what is done to them, and break on request.

Every actor is made from a recipe (nested tuples of plain values), so that the
same actor can be made afresh for each of the two modules under comparison.
What an actor sees goes into JOURNAL as small tuples of plain values.
"""

import functools

JOURNAL = []

# The object a rebinding actor rebinds attributes on (set by the scenario).
STAGE = {}


def note(*event):
    JOURNAL.append(event)


class Broken(ArithmeticError):
    """What a faulty actor raises: an error of the Exception family no module catches."""


class Fatal(BaseException):
    """A fault outside the Exception family: nothing may swallow it."""


def fault(label, where, kind):
    if kind == "fatal":
        raise Fatal(f"{label} {where}")
    raise Broken(f"{label} {where}")


class Items:
    """A collection of `items` whose protocol methods record and may misbehave.

    faults: a frozenset of names such as "len", "len-negative", "iter",
    "iter-not-iterator", "iter-halfway", "iter-grows", "iter-shrinks",
    "getitem", "bool", "bool-nonsense", "repr", "getattr", "rebind".
    """

    def __init__(self, label, items, faults=(), rebind=None):
        self._label = label
        self._items = list(items)
        self._faults = frozenset(faults)
        self._rebind = rebind

    def _rebind_stage(self, where):
        if self._rebind is not None and self._rebind[0] == where:
            _, name, value = self._rebind
            self._rebind = None
            note("rebind", self._label, name)
            setattr(STAGE["holder"], name, value)

    def __len__(self):
        note("len", self._label)
        self._rebind_stage("len")
        if "len" in self._faults:
            fault(self._label, "len", "plain")
        if "len-negative" in self._faults:
            return -1
        if "len-text" in self._faults:
            return "1"
        if "len-huge" in self._faults:
            return 2**70
        if "len-index" in self._faults:
            return Text(self._label + ".len", (), len(self._items))
        return len(self._items)

    def __iter__(self):
        note("iter", self._label)
        self._rebind_stage("iter")
        if "iter" in self._faults:
            fault(self._label, "iter", "plain")
        if "iter-fatal" in self._faults:
            fault(self._label, "iter", "fatal")
        if "iter-not-iterator" in self._faults:
            return 5
        return self._walk()

    def _walk(self):
        k = 0
        while k < len(self._items):
            if "iter-halfway" in self._faults and k == 1:
                fault(self._label, "next", "plain")
            note("next", self._label, k)
            item = self._items[k]
            if "iter-grows" in self._faults and len(self._items) < 6:
                self._items.append(item)
            if "iter-shrinks" in self._faults and self._items:
                self._items.pop()
            yield item
            k += 1

    def __getitem__(self, index):
        note("getitem", self._label, repr(index))
        self._rebind_stage("getitem")
        if "getitem" in self._faults:
            fault(self._label, "getitem", "plain")
        return self._items[index]

    def __bool__(self):
        note("bool", self._label)
        if "bool" in self._faults:
            fault(self._label, "bool", "plain")
        if "bool-nonsense" in self._faults:
            return 2
        return bool(self._items)

    def __repr__(self):
        note("repr", self._label)
        if "repr" in self._faults:
            fault(self._label, "repr", "plain")
        return f"<{self._label}>"

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        note("getattr", self._label, name)
        if "getattr" in self._faults:
            fault(self._label, f"getattr {name}", "plain")
        raise AttributeError(f"{self._label} has no {name}")


class Mapping:
    """A mapping of `pairs` (keys may be anything) that records and may misbehave.

    faults: "keys", "keys-nonsense", "keys-duplicate", "getitem", "getitem-key",
    "copy-list", "copy-self", "update".
    """

    def __init__(self, label, pairs, faults=()):
        self._label = label
        self._pairs = list(pairs)
        self._faults = frozenset(faults)

    def keys(self):
        note("keys", self._label)
        if "keys" in self._faults:
            fault(self._label, "keys", "plain")
        if "keys-nonsense" in self._faults:
            return 7
        keys = [key for key, _ in self._pairs]
        if "keys-duplicate" in self._faults and keys:
            keys.append(keys[0])
        return keys

    def __getitem__(self, key):
        note("getitem", self._label, repr(key))
        if "getitem" in self._faults:
            fault(self._label, "getitem", "plain")
        if "getitem-key" in self._faults:
            raise KeyError(key)
        for candidate, value in self._pairs:
            if candidate == key:
                return value
        raise KeyError(key)

    def __setitem__(self, key, value):
        note("setitem", self._label, repr(key))
        self._pairs.append((key, value))

    def copy(self):
        note("copy", self._label)
        if "copy-list" in self._faults:
            return [1]
        if "copy-self" in self._faults:
            return self
        return dict(self._pairs)

    def update(self, other):
        note("update", self._label)
        if "update" in self._faults:
            fault(self._label, "update", "plain")

    def __repr__(self):
        return f"<{self._label}>"


class RecordingDict(dict):
    """A dict subclass whose overridden methods record (and may misbehave)."""

    faults = frozenset()
    label = "dict"

    def keys(self):
        note("keys", self.label)
        return super().keys()

    def __iter__(self):
        note("iter", self.label)
        if "iter" in self.faults:
            fault(self.label, "iter", "plain")
        return super().__iter__()

    def __getitem__(self, key):
        note("getitem", self.label, repr(key))
        if "getitem" in self.faults:
            fault(self.label, "getitem", "plain")
        return super().__getitem__(key)

    def copy(self):
        note("copy", self.label)
        return type(self)(self)

    def update(self, *args, **kwargs):
        note("update", self.label)
        return super().update(*args, **kwargs)

    def items(self):
        note("items", self.label)
        if "items" in self.faults:
            fault(self.label, "items", "plain")
        if "items-nonsense" in self.faults:
            return [5]
        if "items-short" in self.faults:
            return [(key,) for key in super().keys()]
        return super().items()

    def __setitem__(self, key, value):
        note("setitem", self.label, repr(key))
        if "setitem" in self.faults:
            fault(self.label, "setitem", "plain")
        return super().__setitem__(key, value)


def recording_dict(label, pairs, faults=()):
    cls = type("RecordingDict", (RecordingDict,), {"label": label, "faults": frozenset(faults)})
    return cls(pairs)


class Target:
    """A callable target: records its calls, and its `__name__` is hostile on request.

    faults: "raise", "fatal", "terminate", "interrupt", "name-missing",
    "name-raises", "name-text-raises".
    """

    def __init__(self, label, faults=()):
        self._label = label
        self._faults = frozenset(faults)

    def __call__(self, *args, **kwargs):
        note("call", self._label, len(args), tuple(kwargs))
        if "raise" in self._faults:
            raise ValueError(f"{self._label} failed")
        if "fatal" in self._faults:
            raise Fatal(f"{self._label} fatal")
        if "terminate" in self._faults:
            from quelbrin.trevask.signals import TerminateStepSignal
            raise TerminateStepSignal(f"{self._label} ends the step")
        if "interrupt" in self._faults:
            raise KeyboardInterrupt(self._label)
        return (self._label, len(args), tuple(sorted(kwargs)))

    def __getattr__(self, name):
        if name != "__name__":
            raise AttributeError(name)
        note("getattr", self._label, name)
        if "name-missing" in self._faults:
            raise AttributeError(name)
        if "name-raises" in self._faults:
            fault(self._label, "__name__", "plain")
        if "name-text-raises" in self._faults:
            return Text(self._label + ".__name__", ("str",))
        return self._label

    def __repr__(self):
        return f"<{self._label}>"


class Text:
    """An object standing where a text is made: its str(), int(), index() record.

    faults: "str", "str-nonsense", "int", "int-nonsense".
    """

    def __init__(self, label, faults=(), number=3):
        self._label = label
        self._faults = frozenset(faults)
        self._number = number

    def __str__(self):
        note("str", self._label)
        if "str" in self._faults:
            fault(self._label, "str", "plain")
        if "str-nonsense" in self._faults:
            return 5
        return self._label

    __repr__ = __str__

    def __int__(self):
        note("int", self._label)
        if "int" in self._faults:
            fault(self._label, "int", "plain")
        if "int-nonsense" in self._faults:
            return "3"
        return self._number

    def __index__(self):
        note("index", self._label)
        if "index" in self._faults:
            fault(self._label, "index", "plain")
        return self._number


class Recorder:
    """A callable standing in for a class or function: records its calls, returns a token or raises."""

    def __init__(self, label, returns=None, faults=()):
        self._label = label
        self._returns = returns
        self._faults = frozenset(faults)

    def __call__(self, *args, **kwargs):
        note("call", self._label, len(args), tuple(kwargs))
        if "raise" in self._faults:
            fault(self._label, "call", "plain")
        if self._returns == "args":
            return (self._label, args, kwargs)
        return self._returns

    def __repr__(self):
        return f"<{self._label}>"


class Namespace:
    """Stands in for a module: records every attribute read."""

    def __init__(self, label, **attributes):
        object.__setattr__(self, "_label", label)
        for name, value in attributes.items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        if not name.startswith("__"):
            note("getattr", object.__getattribute__(self, "_label"), name)
        return object.__getattribute__(self, name)


class RecordingLogger:
    """Stands in for `logger`: records which method is read and what text it gets."""

    def __init__(self, faults=()):
        self._faults = frozenset(faults)

    def __getattr__(self, name):
        note("getattr", "logger", name)
        if "getattr" in self._faults:
            fault("logger", f"getattr {name}", "plain")

        def log(message, *args, **kwargs):
            note("log", name, message)
            if "log" in self._faults:
                fault("logger", name, "plain")

        return log


class Queue:
    """Stands in for a result queue: records each put."""

    def __init__(self, faults=()):
        self.items = []
        self._faults = frozenset(faults)

    def __getattr__(self, name):
        note("getattr", "queue", name)
        raise AttributeError(name)

    def put(self, item):
        note("put", "queue")
        if "put" in self._faults:
            fault("queue", "put", "plain")
        self.items.append(item)

    def __repr__(self):
        return "<queue>"


def watched(cls, label, names):
    """A subclass of `cls` whose reads and writes of `names` are recorded."""

    def __getattribute__(self, name):
        if name in names:
            note("read", label, name)
        return super(subclass, self).__getattribute__(name)

    def __setattr__(self, name, value):
        if name in names:
            note("write", label, name)
        super(subclass, self).__setattr__(name, value)

    subclass = type(cls.__name__, (cls,), {"__getattribute__": __getattribute__, "__setattr__": __setattr__})
    return subclass


def nested_partial(func, levels):
    for _ in range(levels):
        func = functools.partial(func)
    return func


class Node:
    """A step container: its `steps` reads record, and break on request.

    faults: "missing", "raise", "fatal"; `steps` is what the attribute holds.
    """

    def __init__(self, label, steps, faults=()):
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_steps", steps)
        object.__setattr__(self, "_faults", frozenset(faults))

    def __getattribute__(self, name):
        if name == "steps":
            label = object.__getattribute__(self, "_label")
            faults = object.__getattribute__(self, "_faults")
            note("getattr", label, "steps")
            if "missing" in faults:
                raise AttributeError("steps")
            if "raise" in faults:
                fault(label, "steps", "plain")
            if "fatal" in faults:
                fault(label, "steps", "fatal")
            return object.__getattribute__(self, "_steps")
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        note("setattr", object.__getattribute__(self, "_label"), name, repr(value))
        object.__setattr__(self, name, value)

    def __repr__(self):
        return f"<{object.__getattribute__(self, '_label')}>"


def make_function(label, faults=()):
    """A plain Python function that records its calls."""

    def method(self, *args, **kwargs):
        note("method", label, len(args), tuple(kwargs))
        if "raise" in faults:
            raise ValueError(f"{label} failed")
        if "fatal" in faults:
            raise Fatal(f"{label} fatal")
        return label

    method.__name__ = method.__qualname__ = label
    return method


class Lock:
    """Stands in for a lock: records acquire and release, misbehaves on request.

    faults: "busy" (the first try fails), "undecided" (the answer's truth
    raises), "acquire", "release", "no-release".
    """

    def __init__(self, label, faults=()):
        self._label = label
        self._faults = frozenset(faults)
        self._tries = 0

    def acquire(self, *args, **kwargs):
        note("acquire", self._label, args, tuple(sorted(kwargs.items())))
        if "acquire" in self._faults:
            fault(self._label, "acquire", "plain")
        if "undecided" in self._faults:
            return Items(self._label + ".answer", [], ("bool",))
        self._tries += 1
        return not ("busy" in self._faults and self._tries == 1)

    def __getattr__(self, name):
        if name == "release" and "no-release" not in self._faults:
            return self._release
        raise AttributeError(f"{self._label} has no {name}")

    def _release(self):
        note("release", self._label)
        if "release" in self._faults:
            fault(self._label, "release", "plain")

    def __repr__(self):
        return f"<{self._label}>"


class EqKey:
    """A key that collides with "a" and whose comparison raises."""

    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        note("eq", "key")
        fault("key", "eq", "plain")

    def __repr__(self):
        return "<key>"


class RecordingList(list):
    """A list subclass whose overridden reading methods record."""

    label = "list"

    def __len__(self):
        note("len", self.label)
        return super().__len__()

    def __iter__(self):
        note("iter", self.label)
        return super().__iter__()

    def __getitem__(self, index):
        note("getitem", self.label, repr(index))
        return super().__getitem__(index)

    def __bool__(self):
        note("bool", self.label)
        return super().__len__() > 0


class RecordingTuple(tuple):
    """A tuple subclass whose iteration records (and yields its items reversed)."""

    def __iter__(self):
        note("iter", "tuple")
        return iter(list(super().__iter__())[::-1])
