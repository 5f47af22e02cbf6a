"""The parallel-call module behaves as the same code written in Python would.

Each group pins a point where a native shortcut would be visible: the
interpreter's own messages for star arguments, imports that go through
builtins.__import__, globals read at each use, attributes read afresh, and
the recursion limit.
"""

import builtins
import functools
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

import python_rendering.tandemix as rendered_tandemix
import quelbrin.async_.tandemix as tandemix


def target(*args, **kwargs):
    return args, kwargs


def raised(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the comparison is the point
        return type(error), str(error)
    return None


class KeysRaise(dict):
    def keys(self):
        raise LookupError("keys")

    def __iter__(self):  # takes the mapping off the dict fast path
        raise LookupError("iter")


class GetitemRaises:
    def keys(self):
        return ["a"]

    def __getitem__(self, key):
        raise ArithmeticError("getitem")


class GetitemKeyError:
    def keys(self):
        return ["a"]

    def __getitem__(self, key):
        raise KeyError(key)


class OverridingDict(dict):
    """A dict subclass whose own methods the fast path ignores."""

    def keys(self):
        return ["ignored"]

    def __getitem__(self, key):
        return "overridden"


class OwnIteration(dict):
    def __iter__(self):
        return iter(["a"])

    def __getitem__(self, key):
        return "read through __getitem__"


def half_way():
    yield 1
    raise ArithmeticError("half way")


STAR_CASES = {
    "** a list": ((), [1]),
    "** an int": ((), 5),
    "** non-string keys": ((), {1: 2}),
    "** keys() raises": ((), KeysRaise(a=1)),
    "** __getitem__ raises": ((), GetitemRaises()),
    "** __getitem__ raises KeyError": ((), GetitemKeyError()),
    "** a dict subclass with its own keys()": ((), OverridingDict(a=1)),
    "** a dict subclass with its own __iter__": ((), OwnIteration(a=1)),
    "* an int": (5, {}),
    "* None": (None, {}),
    "* a generator raising half-way": (half_way(), {}),
    "both bad: ** wins": (5, [1]),
    "* a list": ([1, 2], {"k": 3}),
}


class TestWorkerStarArguments:
    """run() calls its target as `self._target(*self._args, **self._kwargs)`."""

    @pytest.mark.parametrize("args, kwargs", STAR_CASES.values(), ids=STAR_CASES.keys())
    def test_as_the_interpreter_calls(self, args, kwargs, monkeypatch, recording_queue):
        # Generators are used up: one for each side of the comparison.
        fresh = (lambda value: half_way() if hasattr(value, "gi_frame") else value)
        expected = raised(lambda: target(*fresh(args), **kwargs))

        monkeypatch.setattr(tandemix, "ExceptionWithTraceback", lambda error: error)
        monkeypatch.setattr(tandemix, "logger", SimpleNamespace(exception=lambda text: None))
        child = tandemix.ChildLabor(index=0, queue=recording_queue, target=target)
        child._args = fresh(args)
        child._kwargs = kwargs
        child.run()
        [(index, success, result)] = recording_queue.items
        if expected is None:
            assert success is True and result == target(*fresh(args), **kwargs)
        else:
            assert (success, type(result), str(result)) == (False, *expected)


ARGUMENT_SETS = {
    "repeated key": {"index": 1, "target": target},
    "repeated key before a non-string key": {"queue": 1, 2: 3},
    "non-string key": {2: 3},
    "not a mapping": [("target", target)],
    "dict subclass with its own keys()": OverridingDict(target=target),
    "mapping whose __getitem__ raises": GetitemRaises(),
    "unknown keyword": {"unknown": 1},
    "as _build_arguments makes it": {"target": target, "args": (1,), "kwargs": {"k": 2}},
    "its keys in another order": {"args": (1,), "target": target, "kwargs": {}},
    "an unknown third key": {"target": target, "args": (), "colour": 1},
    "a fourth key": {"target": target, "args": (), "kwargs": {}, "name": "fourth"},
    "a dict subclass with its own __iter__ and __getitem__": type("OwnItems", (dict,), {
        "__iter__": lambda self: iter(list(dict.keys(self))),
        "__getitem__": lambda self, key: {"target": print, "args": (1,), "kwargs": {"k": 1}}[key],
    })(target=target, args=(), kwargs={}),
    "a self key, queue missing": {"self": 0, "index": 1},
}


@pytest.mark.parametrize("argument_set", ARGUMENT_SETS.values(), ids=ARGUMENT_SETS.keys())
def test_children_are_made_as_childlabor_index_queue_star_star_argument_set(argument_set):
    queue = SimpleNamespace()
    made = []
    expected = raised(lambda: made.append(tandemix.ChildLabor(index=0, queue=queue, **argument_set)))

    class Call(tandemix.Pcall):
        def _build_arguments(self):
            return [argument_set]

    outcome = raised(lambda: made.append(Call(target)._processes[0]))
    assert outcome == expected
    if expected is None:  # read as the interpreter's `**` reads the set
        direct, built = made
        assert built._target is direct._target
        assert (built._args, built._kwargs) == (direct._args, direct._kwargs)
        assert built.name == argument_set.get("name", built.name)


def test_a_replaced_childlabor_gets_the_keywords_in_the_order_of_the_call(monkeypatch):
    seen = []
    monkeypatch.setattr(tandemix, "ChildLabor", lambda **keywords: seen.append(list(keywords.items())))
    queue = SimpleNamespace()
    call = tandemix.Pcall.__new__(tandemix.Pcall)
    monkeypatch.setattr(tandemix.multiprocessing, "SimpleQueue", lambda: queue)
    tandemix.Pcall.__init__(call, target, iargs=[(1,)], ckwargs={"k": 2})
    assert seen == [[("index", 0), ("queue", queue), ("target", target), ("args", (1,)), ("kwargs", {"k": 2})]]


CHILD_LABOR_CALLS = {
    "keywords as Pcall passes them": ((), {"index": 1, "queue": None, "target": target, "args": (2,)}),
    "index and queue only": ((), {"index": 1, "queue": None}),
    "positional index and queue": ((1, None), {"target": target}),
    "index twice": ((1,), {"index": 1, "queue": None}),
    "queue missing": ((), {"index": 1, "target": target}),
    "self by keyword": ((), {"self": 0, "index": 1, "queue": None}),
    "self by keyword, queue missing": ((), {"self": 0, "index": 1}),
    "a keyword for neither": ((), {"index": 1, "queue": None, "colour": "red"}),
    "more keywords than are passed on at once": (
        (), {"index": 1, "queue": None, **{f"k{i}": i for i in range(12)}}),
    "a non-ASCII keyword": ((), {"index": 1, "queue": None, "tärget": target}),
}


@pytest.mark.parametrize("args, kwargs", CHILD_LABOR_CALLS.values(), ids=CHILD_LABOR_CALLS.keys())
def test_childlabor_binds_its_arguments_as_python_would(args, kwargs):
    from python_rendering import tandemix as rendered

    def made(module):
        outcome = raised(lambda: made.children.append(module.ChildLabor(*args, **kwargs)))
        if outcome is None:
            child = made.children[-1]
            return child._index, child._queue, child._target, child._args, child._kwargs, child._work
        return outcome

    made.children = []
    assert made(tandemix) == made(rendered)


class TestGlobalsAndImports:
    def test_a_global_that_breaks_its_protocol_raises_as_python_would(self, monkeypatch):
        monkeypatch.setattr(tandemix, "itertools", SimpleNamespace(repeat=lambda value: [value]))
        with pytest.raises(TypeError, match="'list' object is not an iterator"):
            tandemix.Pcall(target)

    def test_a_missing_global_names_itself(self, monkeypatch):
        monkeypatch.delattr(tandemix, "itertools")
        with pytest.raises(NameError) as error:
            tandemix.Pcall(target)
        assert error.value.name == "itertools"

    def test_the_worker_imports_through_builtins_import(self, monkeypatch, recording_queue):
        seen = []
        real_import = builtins.__import__

        def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
            seen.append((name, fromlist, level, locals))
            return real_import(name, globals, locals, fromlist, level)

        monkeypatch.setattr(builtins, "__import__", recording_import)
        tandemix.ChildLabor(index=0, queue=recording_queue, target=target).run()
        assert seen[:2] == [
            ("quelbrin.trevask.steps", ("Steps",), 0, None),
            ("quelbrin.trevask.signals", ("TerminateStepSignal",), 0, None),
        ]

    def test_a_refusing_import_stops_the_worker_before_its_target(self, monkeypatch, recording_queue):
        def refusing_import(name, *args):
            raise ModuleNotFoundError(f"no module named {name!r}")

        monkeypatch.setattr(builtins, "__import__", refusing_import)
        with pytest.raises(ModuleNotFoundError, match="quelbrin.trevask.steps"):
            tandemix.ChildLabor(index=0, queue=recording_queue, target=target).run()
        assert recording_queue.items == []

    def test_the_module_body_imports_through_builtins_import_and_names_childwork(self):
        script = textwrap.dedent("""
            import builtins, collections
            seen, calls = [], []
            real_import, real_namedtuple = builtins.__import__, collections.namedtuple
            def recording_import(name, *args):
                if not args:
                    seen.append((name,))
                elif args[0] and args[0].get("__name__") == "quelbrin.async_.tandemix":
                    globals, locals, fromlist, level = args
                    seen.append((name, fromlist, level, locals is globals))
                return real_import(name, *args)
            def recording_namedtuple(*args, **kwargs):
                if args[:1] == ("ChildWork",):
                    calls.append((args, kwargs))
                return real_namedtuple(*args, **kwargs)
            builtins.__import__ = recording_import
            collections.namedtuple = recording_namedtuple
            from quelbrin.async_ import tandemix
            print(seen)
            print(calls)
            print(tandemix.ChildWork.__module__)
        """)
        output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
        seen, calls, module = output.splitlines()
        assert seen == repr([
            ("os", None, 0, True), ("time", None, 0, True), ("signal", None, 0, True),
            ("logging", None, 0, True), ("inspect", None, 0, True), ("itertools", None, 0, True),
            ("functools", None, 0, True), ("collections", ("namedtuple",), 0, True),
            ("exceptions", ("ExceptionWithTraceback",), 1, True), ("quelbrin.log", ("managed_handlers",), 0, True),
            ("multiprocessing",),
        ])
        assert calls == repr([(("ChildWork", ["target", "args", "kwargs"]), {})])
        assert module == "quelbrin.async_.tandemix"

    def test_the_class_method_carries_the_function_s_names_as_classmethod_does(self):
        wrapper = vars(tandemix.Pcall)["pcall"]
        function = wrapper.__func__
        assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
            function.__name__, function.__qualname__, function.__module__, function.__doc__)
        assert wrapper.__wrapped__ is function


class TestReadsAfresh:
    def test_an_attribute_rebound_while_building_is_seen_by_later_instances(self):
        class Rebinding(tuple):
            """An instance argument whose iteration rebinds the common arguments."""

            def __iter__(self):
                call.cargs = ("rebound",)
                return super().__iter__()

        call = tandemix.Pcall.__new__(tandemix.Pcall)
        call.targets, call.cargs, call.iargs = target, ("first",), [Rebinding([1]), (2,)]
        call.ckwargs, call.ikwargs, call.varkwargs = {}, [], {}
        assert [s["args"] for s in call._build_arguments()] == [("first", 1), ("rebound", 2)]

    def test_the_process_list_is_read_for_each_append_before_the_child_is_made(self, monkeypatch):
        class Call(tandemix.Pcall):
            def _build_arguments(self):
                return [{"target": target}, {"target": target}]

        class RecordingList(list):
            def append(self, item):
                super().append(("appended by its own method", item))

        lists = []
        later = RecordingList()

        def child_labor(**keywords):
            # Making a child rebinds the list; the append was already bound
            # to the list read before.
            lists.append(instance._processes)
            instance._processes = later
            return keywords["index"]

        monkeypatch.setattr(tandemix, "ChildLabor", child_labor)
        instance = Call.__new__(Call)
        Call.__init__(instance, target)
        assert lists[0] == [0] and later == [("appended by its own method", 1)]

    def test_the_logger_method_is_read_before_the_message_is_made(self, monkeypatch, recording_queue):
        events = []

        class Logger:
            def __getattr__(self, name):
                events.append(f"logger.{name}")
                return lambda text: events.append("logged")

        class Text:
            def __str__(self):
                events.append("message")
                return "text"

        def failing():
            raise ValueError("x")

        monkeypatch.setattr(tandemix, "logger", Logger())
        child = tandemix.ChildLabor(index=Text(), queue=recording_queue, target=failing)
        events.clear()
        child.run()
        assert events[:3] == ["logger.exception", "message", "logged"]


class TestDictsAsPythonUsesThem:
    """Argument building uses its dicts through the same operations as the
    Python code, so a dict subclass or a dict changed on the way behaves the
    same."""

    @pytest.mark.parametrize("module", [tandemix, rendered_tandemix], ids=["native", "rendering"])
    def test_update_asks_a_dict_subclass_for_its_keys(self, module):
        seen = []

        class Watched(dict):
            @property
            def keys(self):
                seen.append("keys")
                return super().keys

        instance = module.Pcall(target, ikwargs=[Watched(a=1)])
        assert [s["kwargs"] for s in instance._build_arguments()] == [{"a": 1}]
        assert seen == ["keys", "keys"]  # construction built them once already

    @pytest.mark.parametrize("module", [tandemix, rendered_tandemix], ids=["native", "rendering"])
    def test_a_keyword_list_that_adds_a_keyword_while_counted_stops_the_count(self, module):
        instance = module.Pcall(target, v=[1])
        varkwargs = {}

        class Growing(list):
            def __len__(self):
                varkwargs["added"] = [2]
                return list.__len__(self)

        varkwargs["v"] = Growing([1])
        instance.varkwargs = varkwargs
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            instance._build_arguments()


class Step:
    def __init__(self, steps):
        self.steps = steps


class TestStepSearchDepth:
    class FakeTestCase:
        def __init__(self, steps):
            self.parameters = SimpleNamespace(internal={"steps": steps})

        def search(self):
            return tandemix.ChildLabor(index=0, queue=None, target=target)._get_steps()

    def tree(self, depth):
        leaf = Step([])
        node = leaf
        for _ in range(depth):
            node = Step([node])
        return node, leaf

    def test_a_deep_tree_is_found_when_the_recursion_limit_allows(self):
        root, leaf = self.tree(3000)
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(10_000)
        try:
            assert self.FakeTestCase(root).search() is leaf
        finally:
            sys.setrecursionlimit(limit)

    def test_a_lowered_limit_cuts_the_search_as_for_a_python_helper(self):
        root, leaf = self.tree(3000)
        assert sys.getrecursionlimit() < 3000
        assert self.FakeTestCase(root).search() is None
        shallow, shallow_leaf = self.tree(50)
        assert self.FakeTestCase(shallow).search() is shallow_leaf
