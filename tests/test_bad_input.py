"""Wrong calls and hostile objects raise exceptions; nothing crashes the interpreter."""

import itertools
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest
from hypothesis import given, settings, strategies as st

import quelbrin.async_.tandemix as tandemix
from quelbrin.async_.synchronize import Lockable, LockableMeta, locked


class Hostile:
    """An object whose protocol methods raise, one at a time."""

    def __init__(self, broken):
        self.broken = broken

    def __len__(self):
        if self.broken == "len":
            raise ArithmeticError("len")
        return 1

    def __iter__(self):
        if self.broken == "iter":
            raise ArithmeticError("iter")
        return iter([()])

    def __getitem__(self, index):
        if self.broken == "getitem":
            raise ArithmeticError("getitem")
        return ()

    def __getattr__(self, name):
        raise ArithmeticError(f"getattr {name}")

    def __eq__(self, other):
        raise ArithmeticError("eq")

    __hash__ = object.__hash__


def target(*args, **kwargs):
    return args, kwargs


class TestParallelCallInputs:
    @pytest.mark.parametrize("kwargs", [
        {"targets": Hostile("len")},
        {"targets": target, "iargs": Hostile("iter")},
        {"targets": target, "ikwargs": Hostile("iter")},
        {"targets": target, "x": Hostile("iter")},
        {"targets": target, "cargs": Hostile("iter")},
        {"targets": target, "ckwargs": Hostile("copy")},
        {"targets": target, "iargs": [Hostile("iter")]},
    ], ids=["targets len", "iargs iter", "ikwargs iter", "varkwargs iter", "cargs iter", "ckwargs copy",
            "iargs item iter"])
    def test_hostile_objects_raise_their_own_error(self, kwargs):
        with pytest.raises(ArithmeticError):
            tandemix.Pcall(**kwargs)

    @pytest.mark.parametrize("length, error", [(-1, ValueError), (2**70, OverflowError), ("1", TypeError)])
    def test_lengths_that_are_not_lengths(self, length, error):
        class Odd(list):
            def __len__(self):
                return length

        with pytest.raises(error):
            tandemix.Pcall(Odd([target]))

    def test_non_callable_targets_fail_in_the_child_and_raise_in_the_parent(self):
        with pytest.raises(TypeError, match="'int' object is not callable"):
            tandemix.Pcall.pcall([1])

    def test_hostile_queue_entries_are_refused_not_trusted(self):
        instance = tandemix.Pcall(target, iargs=[(), ()])
        instance._processes.clear()
        instance._entries = [(0, True)]
        with pytest.raises(ValueError):
            instance.join()

    def test_a_reported_status_that_cannot_be_compared(self):
        instance = tandemix.Pcall(target)
        instance._processes.clear()
        instance._processes.append(SimpleNamespace(is_alive=lambda: False, join=lambda: None, pid=1, exitcode=0))
        instance._entries = [(0, Hostile("eq"), "result")]
        with pytest.raises(ArithmeticError, match="eq"):
            instance.join()

    def test_a_child_index_that_is_not_a_number_fails_before_the_target(self, recording_queue):
        from quelbrin.trevask.steps import Steps

        class Case:
            parameters = SimpleNamespace(internal={"steps": Steps()})

            def run(self, child):
                child.run()

        child = tandemix.ChildLabor(index="not a number", queue=recording_queue, target=target)
        with pytest.raises(ValueError):
            Case().run(child)
        assert recording_queue.items == []

    def test_members_called_on_the_wrong_kind_of_object(self):
        with pytest.raises(AttributeError):
            tandemix.Pcall.join(object())
        with pytest.raises(AttributeError):
            tandemix.Pcall.pids.fget(None)
        with pytest.raises(TypeError):
            tandemix.ChildLabor.__init__(object(), 0, None)


class TestLockInputs:
    @pytest.mark.parametrize("lock", [5, object(), None], ids=["int", "object", "None"])
    def test_a_lock_that_is_not_a_lock(self, lock):
        class Holder:
            pass

        holder = Holder()
        holder.__lock__ = lock
        with pytest.raises(AttributeError):
            Lockable.locked(lambda self: None)(holder)
        with pytest.raises(AttributeError):
            locked(lambda self: None)(holder)
        with pytest.raises(AttributeError):
            Lockable.acquire(holder)

    def test_a_lock_whose_answer_cannot_be_tested(self):
        class Undecided:
            def __bool__(self):
                raise ArithmeticError("no answer")

        class Lock:
            def acquire(self, **kwargs):
                return Undecided()

            def release(self):
                pytest.fail("nothing was acquired")

        with pytest.raises(ArithmeticError):
            Lockable.locked(lambda self: None)(Lockable(lock=Lock))

    @pytest.mark.parametrize("call", [
        lambda: Lockable(lambda: None, lock=object),
        lambda: Lockable.locked(),
        lambda: Lockable.locked(1, 2),
        lambda: locked(),
        lambda: LockableMeta.ignore(),
        lambda: Lockable().acquire(True, 1, 2),
        lambda: Lockable().release(1),
        lambda: LockableMeta("X", ()),
    ])
    def test_wrong_argument_counts(self, call):
        with pytest.raises(TypeError):
            call()

    @pytest.mark.parametrize("attrs, error", [(None, AttributeError), ({1: lambda self: 0}, AttributeError)])
    def test_metaclass_with_a_bad_namespace(self, attrs, error):
        with pytest.raises(error):
            LockableMeta("X", (), attrs)

    def test_metaclass_with_bad_bases_fails_in_type(self):
        with pytest.raises(TypeError):
            LockableMeta("X", 5, {})


def test_deep_and_cyclic_structures_do_not_overflow_the_stack():
    # Run in a child interpreter: a stack overflow would kill it, not the test run.
    code = textwrap.dedent("""
        from types import SimpleNamespace
        import quelbrin.async_.tandemix as tandemix
        from quelbrin.async_.synchronize import locked

        class Step:
            pass

        cyclic = Step()
        cyclic.steps = [cyclic]
        deep = Step(); deep.steps = []
        for _ in range(100000):
            outer = Step(); outer.steps = [deep]; deep = outer

        class Case:
            def __init__(self, steps):
                self.parameters = SimpleNamespace(internal={"steps": steps})
            def search(self):
                return tandemix.ChildLabor(index=0, queue=None)._get_steps()

        assert Case(cyclic).search() is None
        assert Case(deep).search() is None

        class Recursive:
            @locked
            def down(self, n):
                return self.down(n + 1)
        try:
            Recursive().down(0)
        except RecursionError:
            print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


# --- random argument shapes against an independent rendering ---------------

DEFAULT_CKWARGS = tandemix.Pcall.__init__.__defaults__[3]


def f():
    pass


def g():
    pass


def reference_construction(targets, timeout=None, cargs=(), iargs=(), ckwargs=DEFAULT_CKWARGS, ikwargs=(),
                           **varkwargs):
    """Construction written out in plain Python: the argument sets, or the error."""
    iargs, ikwargs = list(iargs), list(ikwargs)
    varkwargs = {name: list(values) for name, values in varkwargs.items()}
    if callable(targets):
        lengths = [len(iargs), len(ikwargs)] + [len(v) for v in varkwargs.values()]
        nonzero = [n for n in lengths if n]
        count = min(nonzero) if nonzero else 1
        source = itertools.repeat(targets)
    else:
        lengths = [len(targets), len(iargs), len(ikwargs)] + [len(v) for v in varkwargs.values()]
        count = min(n for n in lengths if n)
        source = iter(targets)
    sets = []
    for i in range(count):
        args = tuple(cargs)
        if iargs:
            args = args + tuple(iargs[i])
        kwargs = ckwargs.copy()
        if ikwargs:
            kwargs.update(ikwargs[i])
        for name, values in varkwargs.items():
            kwargs[name] = values[i]
        sets.append({"target": next(source), "args": args, "kwargs": kwargs})
    children = [tandemix.ChildLabor(index=index, queue=None, **s) for index, s in enumerate(sets)]
    return [{"target": c._target, "args": c._args, "kwargs": c._kwargs} for c in children]


# Values are described by recipes and made afresh for each side, since some
# (generators) can be used only once.
leaf = st.one_of(
    st.none(), st.integers(-2, 3), st.sampled_from(["", "ab", "xyz"]), st.just(("callable", f)),
    st.just(("callable", g)),
)
recipe = st.recursive(
    leaf,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3).map(lambda items: ("list", items)),
        st.lists(inner, max_size=3).map(lambda items: ("tuple", items)),
        st.lists(inner, max_size=3).map(lambda items: ("generator", items)),
        st.dictionaries(st.sampled_from("abc"), inner, max_size=2).map(lambda items: ("dict", items)),
    ),
    max_leaves=8,
)


def make(value):
    if isinstance(value, tuple):
        kind, content = value
        if kind == "callable":
            return content
        if kind == "dict":
            return {key: make(item) for key, item in content.items()}
        items = [make(item) for item in content]
        return {"list": list, "tuple": tuple, "generator": lambda xs: (x for x in xs)}[kind](items)
    return value


def comparable(value):
    """Argument sets with one-shot objects replaced by what they are."""
    if isinstance(value, (list, tuple)):
        return type(value)(comparable(item) for item in value)
    if isinstance(value, dict):
        return {key: comparable(item) for key, item in value.items()}
    if type(value).__name__ == "generator":
        return "<generator>"
    return value


def outcome(construct, arguments, keywords):
    try:
        sets = construct(*[make(a) for a in arguments], **{k: make(v) for k, v in keywords.items()})
    except Exception as error:
        return type(error), str(error)
    return comparable([(s["target"], s["args"], s["kwargs"]) for s in sets])


def native_construction(*args, **kwargs):
    instance = tandemix.Pcall(*args, **kwargs)
    instance._queue.close()
    return [{"target": c._target, "args": c._args, "kwargs": c._kwargs} for c in instance._processes]


@settings(max_examples=300, deadline=None)
@given(
    arguments=st.lists(recipe, min_size=1, max_size=6),
    keywords=st.dictionaries(st.sampled_from(["x", "y"]), recipe, max_size=2),
)
def test_random_argument_shapes_match_an_independent_rendering(arguments, keywords):
    expected = outcome(reference_construction, arguments, keywords)
    actual = outcome(native_construction, arguments, keywords)
    assert actual == expected
