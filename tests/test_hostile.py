"""The hunt: hostile objects through the public surface, native against plain Python.

Each case is a recipe.  The same actors are made from it twice, once for the
native modules and once for their plain-Python rendering
(tests/python_rendering), the operation is run on each side in a forked child
(a crash or a hang is reported, it does not take the run down), and the two
outcomes must agree: the same result, or an exception of the same type with
the same message, and the same sequence of what the actors saw.
"""

import faulthandler
import functools
import inspect
import itertools
import os
import pickle
import re
import select
import signal
import time
import types

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import hostile_actors as actors
from hostile_actors import (Items, Lock, Mapping, Namespace, Node, Queue, Recorder, RecordingLogger, Target, Text,
                            make_function, nested_partial, note, recording_dict, watched)
import python_rendering.synchronize as rendered_synchronize
import python_rendering.tandemix as rendered_tandemix
import quelbrin.async_.synchronize as native_synchronize
import quelbrin.async_.tandemix as native_tandemix
from quelbrin.trevask.steps import Steps

# The classes are kept apart from the modules, whose globals a case may rebind.
SIDES = {
    "native": types.SimpleNamespace(name="native", tandemix=native_tandemix, synchronize=native_synchronize,
                                    ChildLabor=native_tandemix.ChildLabor, Pcall=native_tandemix.Pcall),
    "rendering": types.SimpleNamespace(name="rendering", tandemix=rendered_tandemix,
                                       synchronize=rendered_synchronize,
                                       ChildLabor=rendered_tandemix.ChildLabor, Pcall=rendered_tandemix.Pcall),
}

# Under the address sanitizer every fork costs several times more: fewer examples keep the hunt
# inside a minute there too.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
HUNT = settings(max_examples=int(os.environ.get("HUNT_EXAMPLES", "25" if UNDER_SANITIZER else "60")), deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

CASE_TIME_LIMIT = float(os.environ.get("HUNT_CASE_LIMIT", "30"))


# --- running one side in a child ---------------------------------------------

def isolated(run):
    """What `run()` returns, computed in a forked child: ("done", value), ("crash", signal) or ("hang",)."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        faulthandler.disable()  # a crash is reported by the parent, not dumped here
        try:
            payload = pickle.dumps(("done", run()))
        except BaseException as error:  # a fault of the harness itself, reported as such
            payload = pickle.dumps(("harness", f"{type(error).__name__}: {error}"))
        with os.fdopen(writer, "wb") as pipe:
            pipe.write(payload)
        os._exit(0)
    os.close(writer)
    chunks = []
    deadline = time.monotonic() + CASE_TIME_LIMIT
    with os.fdopen(reader, "rb") as pipe:
        while True:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([pipe], [], [], max(remaining, 0))
            if not ready:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                return ("hang",)
            chunk = os.read(pipe.fileno(), 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    status = reap(pid, deadline)
    if status is None:
        return ("hang",)
    if os.WIFSIGNALED(status):
        return ("crash", signal.Signals(os.WTERMSIG(status)).name)
    if not chunks:
        return ("crash", f"exit status {os.WEXITSTATUS(status)}")
    return pickle.loads(b"".join(chunks))


def reap(pid, deadline):
    """The child's exit status; it is killed if it outlives the deadline (None then)."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.001)


def compare(scenario, journal=True):
    """Runs `scenario(side)` on both sides and checks that they agree."""

    def run(side):
        actors.JOURNAL.clear()
        actors.STAGE.clear()
        try:
            outcome = ("returned", scenario(side))
        except BaseException as error:
            outcome = ("raised", error)
        return describe(outcome, side), list(actors.JOURNAL)

    expected = isolated(lambda: run(SIDES["rendering"]))
    assert expected[0] == "done", f"the rendering itself failed: {expected}"
    actual = isolated(lambda: run(SIDES["native"]))
    assert actual[0] == "done", f"native: {actual}; the rendering gives {expected[1][0]}"
    (expected_outcome, expected_journal), (actual_outcome, actual_journal) = expected[1], actual[1]
    assert actual_outcome == expected_outcome
    if journal:
        assert actual_journal == expected_journal


# --- describing outcomes in plain, comparable values -------------------------

RENDERED_NAMES = [("python_rendering.tandemix", "quelbrin.async_.tandemix"),
                  ("python_rendering.synchronize", "quelbrin.async_.synchronize")]


def text(message):
    for rendered, native in RENDERED_NAMES:
        message = message.replace(rendered, native)
    return re.sub(r"0x[0-9a-f]+", "0x?", message)


def describe(value, side, depth=0):
    if depth > 8:
        return "..."
    again = functools.partial(describe, side=side, depth=depth + 1)
    kind = type(value)
    if kind is str:
        return text(value)
    if value is None or kind in (bool, int, float, bytes):
        return value
    if isinstance(value, BaseException):
        context = value.__context__
        return ("exception", kind.__name__, text(str(value)), getattr(value, "name", None) if kind is NameError
                else None, type(context).__name__ if context is not None else None)
    if isinstance(value, (Items, Mapping, Target, Text, Recorder, Lock)):
        return ("actor", value._label)
    if isinstance(value, Node):
        return ("actor", object.__getattribute__(value, "_label"))
    if isinstance(value, (Queue, Namespace, RecordingLogger)):
        return ("actor", kind.__name__)
    if kind in (tuple, list):
        return (kind.__name__, [again(item) for item in value])
    if isinstance(value, (tuple, list)):
        walk = tuple.__iter__ if isinstance(value, tuple) else list.__iter__
        return (kind.__name__, [again(item) for item in walk(value)])
    if isinstance(value, dict):
        return ("dict", kind.__name__, [(again(k), again(v)) for k, v in dict.items(value)])
    if isinstance(value, side.ChildLabor):
        fields = {name: object.__getattribute__(value, name)
                  for name in ("_index", "_queue", "_target", "_args", "_kwargs", "_work")
                  if name in object.__getattribute__(value, "__dict__")}
        return ("ChildLabor", [(name, again(field)) for name, field in fields.items()])
    if isinstance(value, side.Pcall):
        state = object.__getattribute__(value, "__dict__")
        return ("Pcall", [(name, "a queue" if name == "_queue" and type(field).__name__ == "SimpleQueue"
                           else again(field)) for name, field in state.items()])
    if isinstance(value, functools.partial):
        return ("partial", again(value.func))
    if hasattr(type(value), "__get__") and "__wrapped__" in getattr(value, "__dict__", {}):
        return ("wrapper", again(value.__wrapped__), value.__name__, value.__qualname__, text(value.__module__))
    if isinstance(value, types.FunctionType):
        return ("function", value.__qualname__, "marked" if "_LockedMeta_ignore" in value.__dict__ else "")
    if isinstance(value, type):
        return ("class", value.__qualname__, text(value.__module__))
    if isinstance(value, (staticmethod, classmethod)):
        return (kind.__name__, again(value.__func__))
    return ("object", kind.__name__)


# --- recipes -------------------------------------------------------------------

ITEM_FAULTS = ["len", "len-negative", "len-text", "len-huge", "len-index", "iter", "iter-fatal", "iter-not-iterator",
               "iter-halfway", "iter-grows", "iter-shrinks", "getitem", "bool", "bool-nonsense", "repr"]
MAPPING_FAULTS = ["keys", "keys-nonsense", "keys-duplicate", "getitem", "getitem-key", "copy-list", "copy-self",
                  "update"]
KEYS = ["a", "b", "index", "target", "kwargs", 1, "eq!"]

labels = itertools.count()


def faults_of(names, most=2):
    return st.sets(st.sampled_from(names), max_size=most).map(sorted).map(tuple)


def sometimes_faulty(names):
    return st.one_of(st.just(()), st.just(()), faults_of(names, 1), faults_of(names))


plain = st.one_of(st.none(), st.integers(-1, 3), st.sampled_from(["", "ab"]))


def containers(inner, keys=st.sampled_from(KEYS)):
    pairs = st.lists(st.tuples(keys, inner), max_size=3)
    return st.one_of(
        st.lists(inner, max_size=3).map(lambda items: ("list", items)),
        st.lists(inner, max_size=3).map(lambda items: ("tuple", items)),
        st.tuples(st.lists(inner, max_size=3), st.booleans()).map(lambda c: ("generator", *c)),
        st.tuples(st.lists(inner, max_size=3), sometimes_faulty(ITEM_FAULTS)).map(lambda c: ("items", *c)),
        pairs.map(lambda p: ("dict", p)),
        st.lists(inner, max_size=3).map(lambda items: ("rlist", items)),
        st.lists(inner, max_size=3).map(lambda items: ("rtuple", items)),
        st.tuples(pairs, sometimes_faulty(MAPPING_FAULTS)).map(lambda c: ("mapping", *c)),
        st.tuples(pairs, faults_of(["iter", "getitem"], 1)).map(lambda c: ("rdict", *c)),
    )


targets_leaf = st.one_of(
    st.tuples(st.just("target"), sometimes_faulty(["raise", "name-missing", "name-raises", "name-text-raises"])),
    st.tuples(st.just("partial"), st.integers(1, 2), st.just(("target", ()))),
)
value = st.recursive(st.one_of(plain.map(lambda v: ("plain", v)), targets_leaf), containers, max_leaves=6)


def key_of(recipe):
    return actors.EqKey() if recipe == "eq!" else recipe


def build(recipe):
    kind = recipe[0]
    label = f"{kind}{next(labels)}"
    if kind == "plain":
        return recipe[1]
    if kind == "list":
        return [build(r) for r in recipe[1]]
    if kind == "tuple":
        return tuple(build(r) for r in recipe[1])
    if kind == "generator":
        items, halfway = [build(r) for r in recipe[1]], recipe[2]

        def generate():
            for k, item in enumerate(items):
                if halfway and k == 1:
                    raise actors.Broken(f"{label} half-way")
                yield item
        return generate()
    if kind == "items":
        return Items(label, [build(r) for r in recipe[1]], recipe[2])
    if kind == "rlist":
        return actors.RecordingList(build(r) for r in recipe[1])
    if kind == "rtuple":
        return actors.RecordingTuple(build(r) for r in recipe[1])
    if kind == "dict":
        return {key_of(key): build(r) for key, r in recipe[1]}
    if kind == "mapping":
        return Mapping(label, [(key_of(key), build(r)) for key, r in recipe[1]], recipe[2])
    if kind == "rdict":
        return recording_dict(label, [(key_of(key), build(r)) for key, r in recipe[1]], recipe[2])
    if kind == "target":
        return Target(label, recipe[1])
    if kind == "partial":
        return nested_partial(build(recipe[2]), recipe[1])
    if kind == "text":
        return Text(label, recipe[1])
    raise AssertionError(recipe)


def deleted():
    """A rebinding that removes the global."""
    def remove(module):
        raise AssertionError("never called")
    remove.deleted = True
    return remove


def rebind_globals(module, rebinding):
    """Applies (name, recipe) pairs to a module's namespace; "deleted" removes the name."""
    for name, recipe in rebinding:
        if getattr(recipe, "deleted", False):
            if name in vars(module):
                delattr(module, name)
        else:
            setattr(module, name, recipe(module))


# --- argument building and construction --------------------------------------

def odd_itertools(how):
    def make(module):
        real = itertools.repeat
        repeat = {"recorded": Recorder("repeat", None), "list": lambda obj: [obj], "raises":
                  Recorder("repeat", faults=("raise",)), "int": lambda obj: 5}[how]
        if how == "recorded":
            def repeat(obj):
                note("call", "repeat")
                return real(obj)
        return Namespace("itertools", repeat=repeat)
    return make


global_itertools = st.one_of(st.just(()), st.sampled_from(["recorded", "list", "raises", "int", "deleted"]).map(
    lambda how: (("itertools", deleted() if how == "deleted" else odd_itertools(how)),)))

target_sources = st.one_of(
    targets_leaf,
    st.lists(targets_leaf, max_size=3).map(lambda items: ("list", items)),
    st.tuples(st.lists(targets_leaf, max_size=3), sometimes_faulty(ITEM_FAULTS)).map(lambda c: ("items", *c)),
    plain.map(lambda v: ("plain", v)),
)
sequence_of = lambda inner: st.one_of(  # noqa: E731
    st.lists(inner, max_size=3).map(lambda items: ("list", items)),
    st.lists(inner, max_size=3).map(lambda items: ("rlist", items)),
    st.tuples(st.lists(inner, max_size=3), sometimes_faulty(ITEM_FAULTS)).map(lambda c: ("items", *c)),
    st.tuples(st.lists(inner, max_size=3), st.booleans()).map(lambda c: ("generator", *c)),
    plain.map(lambda v: ("plain", v)),
)
positional = st.one_of(st.lists(plain.map(lambda v: ("plain", v)), max_size=2).map(lambda i: ("tuple", i)), value)
keyword_maps = st.one_of(
    st.lists(st.tuples(st.sampled_from(KEYS), value), max_size=2).map(lambda p: ("dict", p)),
    st.tuples(st.lists(st.tuples(st.sampled_from(KEYS), value), max_size=2),
              sometimes_faulty(MAPPING_FAULTS)).map(lambda c: ("mapping", *c)),
    st.tuples(st.lists(st.tuples(st.sampled_from(KEYS), value), max_size=2),
              faults_of(["iter", "getitem"], 1)).map(lambda c: ("rdict", *c)),
    value,
)

ATTRIBUTES = ("targets", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs")


class Attributes:
    """The instance whose attributes argument building reads."""


WatchedAttributes = watched(Attributes, "holder", ATTRIBUTES)

rebinds = st.one_of(st.none(), st.tuples(st.sampled_from(["len", "iter", "getitem"]), st.sampled_from(ATTRIBUTES),
                                         value))


def with_rebind(recipe, rebind):
    """An Items actor (made from `recipe`) that rebinds one attribute of the holder while it is read."""
    items = build(recipe)
    if rebind is None:
        return items
    where, name, new = rebind
    if not isinstance(items, Items):
        items = Items(f"rebinding{next(labels)}", list(items) if isinstance(items, (list, tuple)) else [items])
    items._rebind = (where, name, build(new))
    return items


argument_attributes = st.fixed_dictionaries({
    "targets": target_sources,
    "cargs": positional,
    "iargs": sequence_of(positional),
    "ckwargs": keyword_maps,
    "ikwargs": sequence_of(keyword_maps),
    "varkwargs": st.one_of(
        st.lists(st.tuples(st.sampled_from(["x", "y", 1]), sequence_of(value)), max_size=2).map(
            lambda p: ("dict", p)),
        st.tuples(st.lists(st.tuples(st.sampled_from(["x", "y"]), sequence_of(value)), max_size=2),
                  faults_of(["items", "items-nonsense", "items-short"], 1)).map(lambda c: ("rdict", *c))),
})


def build_attributes(recipes, rebind_at, rebind):
    holder = WatchedAttributes()
    actors.STAGE["holder"] = holder
    for name in ATTRIBUTES:
        made = with_rebind(recipes[name], rebind) if name == rebind_at else build(recipes[name])
        object.__setattr__(holder, name, made)
    return holder


# Attributes that build one argument set without fault: the regression cases vary one thing of it.
SOUND_ATTRIBUTES = {"targets": ("target", ()), "cargs": ("tuple", []), "iargs": ("list", []), "ckwargs": ("dict", []),
                    "ikwargs": ("list", []), "varkwargs": ("dict", [])}


@HUNT
@given(recipes=argument_attributes, rebind_at=st.sampled_from(ATTRIBUTES), rebind=rebinds,
       odd_globals=global_itertools)
# itertools deleted: the NameError carries .name.
@example(recipes=SOUND_ATTRIBUTES, rebind_at="targets", rebind=None, odd_globals=(("itertools", deleted()),))
# itertools.repeat giving a list, not an iterator: once a crash.
@example(recipes=SOUND_ATTRIBUTES, rebind_at="targets", rebind=None,
         odd_globals=(("itertools", odd_itertools("list")),))
# Nothing odd: each step reads the instance's attributes afresh, as Python does.
@example(recipes=SOUND_ATTRIBUTES, rebind_at="targets", rebind=None, odd_globals=())
def test_argument_building(recipes, rebind_at, rebind, odd_globals):
    def scenario(side):
        rebind_globals(side.tandemix, odd_globals)
        holder = build_attributes(recipes, rebind_at, rebind)
        return side.tandemix.Pcall._build_arguments(holder)

    compare(scenario)


def odd_context(how):
    def make(module):
        if how == "raises":
            return Namespace("multiprocessing", SimpleQueue=Recorder("SimpleQueue", faults=("raise",)))
        return Namespace("multiprocessing", SimpleQueue=Recorder("SimpleQueue", Queue()))
    return make


construction_globals = st.tuples(
    st.sampled_from([(), (("ChildLabor", lambda m: Recorder("ChildLabor", "child")),),
                     (("ChildLabor", lambda m: Recorder("ChildLabor", faults=("raise",))),)]),
    st.sampled_from([(("multiprocessing", odd_context("recorded")),), (("multiprocessing", odd_context("raises")),)]),
).map(lambda parts: parts[0] + parts[1])

PCALL_ATTRIBUTES = ATTRIBUTES + ("timeout", "results", "_queue", "_processes", "_build_arguments")


@HUNT
@given(arguments=st.lists(value, min_size=0, max_size=4),
       keywords=st.lists(st.tuples(st.sampled_from(["timeout", "cargs", "iargs", "ckwargs", "ikwargs", "x", "y"]),
                                   value), max_size=3),
       watch=st.booleans(), odd_globals=construction_globals,
       argument_sets=st.one_of(st.none(), sequence_of(keyword_maps)))
# An argument set that is a str: the error names the callee as the interpreter does.
@example(arguments=[("plain", None)], keywords=[], watch=False,
         odd_globals=(("multiprocessing", odd_context("recorded")),), argument_sets=("list", [("plain", "ab")]))
# A watched instance: _processes is read before the first child is made.
@example(arguments=[("target", ())], keywords=[], watch=True,
         odd_globals=(("multiprocessing", odd_context("recorded")),), argument_sets=None)
def test_construction(arguments, keywords, watch, odd_globals, argument_sets):
    def scenario(side):
        rebind_globals(side.tandemix, odd_globals)
        cls = side.tandemix.Pcall
        if argument_sets is not None:
            def _build_arguments(self):
                note("build", "override")
                return build(argument_sets)
            cls = type("Pcall", (cls,), {"_build_arguments": _build_arguments})
        if watch:
            cls = watched(cls, "pcall", PCALL_ATTRIBUTES)
        instance = cls(*[build(r) for r in arguments], **{k: build(r) for k, r in keywords})
        return instance

    compare(scenario)


# --- the worker: construction, step search, body ------------------------------

CHILD_ATTRIBUTES = ("_index", "_queue", "_target", "_args", "_kwargs", "_work", "_get_steps")

child_globals = st.tuples(
    st.sampled_from([(), (("functools", lambda m: Namespace("functools", partial=functools.partial)),),
                     (("functools", lambda m: Namespace("functools", partial=5)),), (("functools", deleted()),)]),
    st.sampled_from([(), (("ChildWork", lambda m: Recorder("ChildWork", "args")),),
                     (("ChildWork", lambda m: Recorder("ChildWork", faults=("raise",))),)]),
).map(lambda parts: parts[0] + parts[1])

indices = st.one_of(st.integers(0, 3).map(lambda v: ("plain", v)),
                    faults_of(["str", "str-nonsense", "int", "int-nonsense", "index"]).map(
                        lambda f: ("text", f)))

child_keywords = st.fixed_dictionaries({}, optional={
    "target": st.one_of(targets_leaf, plain.map(lambda v: ("plain", v))),
    "args": sequence_of(value),
    "kwargs": keyword_maps,
    "name": plain.map(lambda v: ("plain", v)),
})


@HUNT
@given(index=indices, extra=st.lists(value, max_size=2), keywords=child_keywords, watch=st.booleans(),
       odd_globals=child_globals)
# functools deleted: the NameError carries .name.
@example(index=("plain", 0), extra=[], keywords={}, watch=False, odd_globals=(("functools", deleted()),))
def test_worker_construction(index, extra, keywords, watch, odd_globals):
    def scenario(side):
        rebind_globals(side.tandemix, odd_globals)
        cls = side.tandemix.ChildLabor
        if watch:
            cls = watched(cls, "child", CHILD_ATTRIBUTES)
        return cls(build(index), Queue(), *[build(r) for r in extra], **{k: build(r) for k, r in keywords.items()})

    compare(scenario)


# Step containers: a frame's `self` leads through parameters.internal.get("steps")
# to a container whose `steps` are descended into.
node_faults = st.one_of(st.just(()), st.just(()), st.sampled_from(["missing", "raise", "fatal"]).map(
    lambda f: (f,)))
nodes = st.recursive(
    st.tuples(st.just("node"), st.sampled_from(["empty", "list-empty", "not-list", "none"]), node_faults,
              st.booleans()),
    lambda inner: st.tuples(st.just("node"), st.lists(inner, max_size=2), node_faults, st.booleans()),
    max_leaves=5)


def build_node(recipe):
    _, content, faults, is_steps = recipe
    label = f"node{next(labels)}"
    if content == "empty":
        steps = []
    elif content == "list-empty":
        steps = [Node(f"{label}.leaf", [])]
    elif content == "not-list":
        steps = [Node(f"{label}.leaf", ("a", "tuple"))]
    elif content == "none":
        steps = None
    else:
        steps = [build_node(r) for r in content]
    cls = StepsNode if is_steps else Node
    return cls(label, steps, faults)


class StepsNode(Node, Steps):
    pass


internals = st.one_of(
    nodes.map(lambda n: ("dict", n)),
    st.just(("dict-without", None)),
    nodes.map(lambda n: ("mapping", n)),
    st.just(("cyclic", None)),
)


class Case:
    """A test case: what a frame's `self` is when it runs a test."""

    def __init__(self, internal, faults=()):
        self._internal = internal
        self._faults = faults

    @property
    def parameters(self):
        note("getattr", "case", "parameters")
        if "raise" in self._faults:
            actors.fault("case", "parameters", "plain")
        if "fatal" in self._faults:
            actors.fault("case", "parameters", "fatal")
        return types.SimpleNamespace(internal=self._internal)


def build_case(recipe):
    (kind, node), faults = recipe
    if kind == "dict":
        internal = {"steps": build_node(node)}
    elif kind == "dict-without":
        internal = {}
    elif kind == "mapping":
        internal = recording_dict("internal", [("steps", build_node(node))])
        type(internal).get = lambda self, key, default=None: (note("get", "internal", key),
                                                               dict.get(self, key, default))[1]
    else:
        cyclic = Node("cyclic", None)
        object.__setattr__(cyclic, "_steps", [cyclic])
        internal = {"steps": cyclic}
    return Case(internal, faults)


cases = st.tuples(internals, st.sampled_from([(), (), ("raise",), ("fatal",)]))
frames = st.lists(st.one_of(cases.map(lambda c: ("case", c)), st.sampled_from([("no-self",), ("no-frame",),
                                                                                ("plain-self",)])), max_size=3)


def build_stack(recipes):
    records = []
    for recipe in recipes:
        if recipe[0] == "no-frame":
            records.append(types.SimpleNamespace())
            continue
        local = {} if recipe[0] == "no-self" else {"self": 5 if recipe[0] == "plain-self" else build_case(recipe[1])}
        records.append(types.SimpleNamespace(frame=types.SimpleNamespace(f_locals=local)))
    return records


def fake_inspect(recipes):
    def make(module):
        def stack():
            note("call", "stack")
            return build_stack(recipes)
        return Namespace("inspect", stack=stack)
    return make


def cyclic_in(recipes):
    return any(r[0] == "case" and r[1][0][0] == "cyclic" for r in recipes)


@HUNT
@given(stack=frames)
def test_step_search(stack):
    def scenario(side):
        rebind_globals(side.tandemix, (("inspect", fake_inspect(stack)),))
        return side.tandemix.ChildLabor(index=0, queue=None)._get_steps()

    # A cyclic container ends in RecursionError, whose depth differs by the
    # frames each side keeps: compare what is found, not every read.
    compare(scenario, journal=not cyclic_in(stack))


star_operands = st.one_of(
    st.none(),
    st.tuples(st.sampled_from(["args", "kwargs"]), st.one_of(
        plain.map(lambda v: ("plain", v)),
        st.lists(plain.map(lambda v: ("plain", v)), max_size=2).map(lambda i: ("list", i)),
        st.tuples(st.lists(plain.map(lambda v: ("plain", v)), max_size=2), st.booleans()).map(
            lambda c: ("generator", *c)),
        keyword_maps)))

run_globals = st.tuples(
    st.sampled_from([(), (("logger", lambda m: RecordingLogger()),), (("logger", lambda m: RecordingLogger(
        ("log",))),), (("logger", lambda m: RecordingLogger(("getattr",))),)]),
    st.sampled_from([(), (("ExceptionWithTraceback", lambda m: Recorder("wrap", "wrapped")),),
                     (("ExceptionWithTraceback", lambda m: Recorder("wrap", faults=("raise",))),)]),
).map(lambda parts: parts[0] + parts[1])


@HUNT
@given(index=indices, target=st.one_of(targets_leaf, st.tuples(st.just("target"), faults_of(
           ["raise", "fatal", "terminate", "interrupt"], 1)), st.just(("plain", None))),
       stack=frames, overwrite=st.lists(star_operands, max_size=2), queue_faults=faults_of(["put"], 1),
       odd_globals=run_globals, watch=st.booleans())
# A ** operand that is not a mapping: the interpreter's TypeError.
@example(index=("plain", 0), target=("target", ()), stack=[], overwrite=[("kwargs", ("plain", None))], queue_faults=(),
         odd_globals=(("ExceptionWithTraceback", lambda m: Recorder("wrap", "args")),), watch=False)
# A failing target with a logger that refuses attributes: logger is read before the failure text is made.
@example(index=("plain", 0), target=("target", ("raise",)), stack=[], overwrite=[], queue_faults=(),
         odd_globals=(("logger", lambda m: RecordingLogger(("getattr",))),), watch=True)
def test_worker_body(index, target, stack, overwrite, queue_faults, odd_globals, watch):
    def scenario(side):
        cls = side.tandemix.ChildLabor
        if watch:
            cls = watched(cls, "child", CHILD_ATTRIBUTES)
        queue = Queue(queue_faults)
        child = cls(index=build(index), queue=queue, target=build(target))
        for operand in overwrite:
            if operand is not None:
                object.__setattr__(child, "_" + operand[0], build(operand[1]))
        rebind_globals(side.tandemix, (("inspect", fake_inspect(stack)),) + odd_globals)
        actors.JOURNAL.clear()
        child.run()
        return queue.items

    compare(scenario, journal=not cyclic_in(stack))


# --- the locked call ------------------------------------------------------------

lock_setups = st.one_of(
    st.tuples(st.just("lock"), faults_of(["busy", "undecided", "acquire", "release", "no-release"], 1)),
    st.sampled_from([("missing",), ("plain", 5), ("plain", None), ("property", "raise"), ("property", "missing")]),
)


def make_holder(side, decorator, base, setup, method_faults, str_faults, slots):
    synchronize = side.synchronize
    method = make_function("method", method_faults)

    def __str__(self):
        note("str", "holder")
        if str_faults:
            actors.fault("holder", "str", "plain")
        return "holder"

    body = {"__str__": __str__}
    if setup[0] == "property":
        def lock_property(self):
            note("getattr", "holder", "__lock__")
            if setup[1] == "raise":
                actors.fault("holder", "__lock__", "plain")
            raise AttributeError("__lock__")
        body["__lock__"] = property(lock_property)
    if slots:
        body["__slots__"] = ()
    if decorator == "meta":
        body["method"] = method
    else:
        body["method"] = (synchronize.Lockable.locked if decorator == "Lockable.locked" else synchronize.locked)(method)
    bases = (synchronize.Lockable,) if base == "Lockable" else ()
    if decorator == "meta":
        cls = synchronize.LockableMeta("Holder", bases, body)
    else:
        cls = type("Holder", bases, body)
    cls = watched(cls, "holder", ("__lock__",)) if not slots else cls
    holder = object.__new__(cls)
    if base == "Lockable":
        object.__setattr__(holder, "__lock__", Lock("lock", setup[1] if setup[0] == "lock" else ()))
    elif setup[0] == "lock":
        object.__setattr__(holder, "__lock__", Lock("lock", setup[1]))
    elif setup[0] == "plain":
        object.__setattr__(holder, "__lock__", setup[1])
    return holder


lock_globals = st.tuples(
    st.sampled_from([(), (("logger", lambda m: RecordingLogger()),), (("logger", lambda m: RecordingLogger(
        ("log",))),), (("logger", deleted()),)]),
    st.sampled_from([(("multiprocessing", lambda m: Namespace("multiprocessing", RLock=Recorder(
        "RLock", Lock("made", ("busy",))))),), (("multiprocessing", lambda m: Namespace(
            "multiprocessing", RLock=Recorder("RLock", faults=("raise",)))),), (("multiprocessing", deleted()),)]),
).map(lambda parts: parts[0] + parts[1])


@HUNT
@given(decorator=st.sampled_from(["Lockable.locked", "locked", "meta"]), base=st.sampled_from(["object", "Lockable"]),
       setup=lock_setups, method_faults=faults_of(["raise", "fatal"], 1), str_faults=st.booleans(),
       slots=st.booleans(), odd_globals=lock_globals)
# A plain locked call: __lock__ is read once to test for it and again to acquire it.
@example(decorator="locked", base="object", setup=("lock", ()), method_faults=(), str_faults=False, slots=False,
         odd_globals=())
# A busy lock with logger deleted: logger is looked up before the warning is made, and the NameError carries .name.
@example(decorator="Lockable.locked", base="object", setup=("lock", ("busy",)), method_faults=(), str_faults=False,
         slots=False, odd_globals=(("logger", deleted()),))
def test_locked_call(decorator, base, setup, method_faults, str_faults, slots, odd_globals):
    def scenario(side):
        holder = make_holder(side, decorator, base, setup, method_faults, str_faults, slots and base == "object")
        rebind_globals(side.synchronize, odd_globals)
        actors.JOURNAL.clear()
        return holder.method(1, k=2)

    compare(scenario)


# --- the metaclass ------------------------------------------------------------


class Marked:
    """An object whose `_LockedMeta_ignore` is hostile: it raises, is undecided, or cannot be deleted."""

    def __init__(self, label, how):
        self._label = label
        self._how = how

    def __getattr__(self, name):
        if name != "_LockedMeta_ignore":
            raise AttributeError(name)
        note("getattr", self._label, name)
        if self._how == "raise":
            actors.fault(self._label, name, "plain")
        if self._how == "undecided":
            return Items(self._label + ".marker", [], ("bool",))
        if self._how == "grow":
            actors.STAGE["attrs"]["added"] = 1
            return False
        if self._how == "class-marker":
            return True
        raise AttributeError(name)

    def __repr__(self):
        return f"<{self._label}>"


class KeyText(str):
    """A key whose startswith() records and may answer nonsense."""

    def startswith(self, prefix, *args):
        note("startswith", str(self), prefix)
        if self.endswith("!"):
            return Items("answer", [], ("bool",))
        return super().startswith(prefix, *args)


meta_values = st.one_of(
    st.sampled_from([("function",), ("marked-function",), ("staticmethod",), ("wrapper",), ("plain", 5)]),
    st.sampled_from(["raise", "undecided", "grow", "class-marker", "absent"]).map(lambda how: ("marked", how)),
)
meta_keys = st.one_of(st.sampled_from(["pub", "other", "_priv", "__dunder__", 1]),
                      st.sampled_from(["k", "k!"]).map(lambda k: ("key", k)))


def build_meta_value(side, recipe, label):
    kind = recipe[0]
    if kind == "function":
        return make_function(label)
    if kind == "marked-function":
        return side.synchronize.LockableMeta.ignore(make_function(label))
    if kind == "staticmethod":
        return staticmethod(make_function(label))
    if kind == "wrapper":
        return side.synchronize.locked(make_function(label))
    if kind == "marked":
        return Marked(label, recipe[1])
    return recipe[1]


meta_globals = st.tuples(
    st.sampled_from([(), (("inspect", lambda m: Namespace("inspect", isfunction=Recorder("isfunction", Items(
        "answer", [], ("bool",))))),), (("inspect", deleted()),)]),
    st.sampled_from([(), (("locked", lambda m: Recorder("locked", "wrapped")),), (("locked", lambda m: Recorder(
        "locked", faults=("raise",))),)]),
).map(lambda parts: parts[0] + parts[1])


@HUNT
@given(entries=st.lists(st.tuples(meta_keys, meta_values), max_size=4),
       container=st.sampled_from(["dict", "rdict", "rdict-items", "rdict-nonsense", "rdict-short", "rdict-setitem",
                                  "none"]),
       bases=st.sampled_from(["none", "object", "bad"]), odd_globals=meta_globals)
# An empty namespace: the class made by a direct call is named after this module, not the caller's.
@example(entries=[], container="dict", bases="none", odd_globals=())
def test_metaclass(entries, container, bases, odd_globals):
    def scenario(side):
        pairs = [(KeyText(k[1]) if isinstance(k, tuple) else k, build_meta_value(side, v, f"v{n}"))
                 for n, (k, v) in enumerate(entries)]
        if container == "none":
            attrs = None
        elif container == "dict":
            attrs = dict(pairs)
        else:
            faults = {"rdict": (), "rdict-items": ("items",), "rdict-nonsense": ("items-nonsense",),
                      "rdict-short": ("items-short",), "rdict-setitem": ("setitem",)}[container]
            attrs = recording_dict("attrs", pairs, faults)
        actors.STAGE["attrs"] = attrs
        rebind_globals(side.synchronize, odd_globals)
        actors.JOURNAL.clear()
        made = side.synchronize.LockableMeta("Made", {"none": (), "object": (object,), "bad": 5}[bases], attrs)
        return made, [(key, vars(made).get(key)) for key in dict(attrs)], attrs

    compare(scenario)


class Refusing:
    __slots__ = ()


@pytest.mark.parametrize("obj", [5, Refusing(), make_function("f"), Marked("m", "absent")],
                         ids=["int", "slots", "function", "getattr"])
def test_ignore_on_objects_that_refuse_attributes(obj):
    def scenario(side):
        result = side.synchronize.LockableMeta.ignore(obj)
        return result is obj, getattr(obj, "_LockedMeta_ignore", "unmarked")

    compare(scenario)


# --- decorating -----------------------------------------------------------------

def odd_functools(how):
    def make(module):
        real = functools.wraps

        def wraps(method):
            note("call", "wraps")
            if how == "raises":
                actors.fault("wraps", "call", "plain")
            if how == "nonsense":
                return 5
            if how == "replacing":
                return lambda wrapper: "replaced"
            return real(method)
        return Namespace("functools", wraps=wraps)
    return make


@HUNT
@given(decorator=st.sampled_from(["locked", "Lockable.locked"]),
       method=st.sampled_from(["function", "target", "plain", "items"]),
       wraps=st.sampled_from([None, "recorded", "raises", "nonsense", "replacing"]))
def test_decoration(decorator, method, wraps):
    def scenario(side):
        if wraps is not None:
            rebind_globals(side.synchronize, (("functools", odd_functools(wraps)),))
        decorate = side.synchronize.locked if decorator == "locked" else side.synchronize.Lockable.locked
        made = {"function": lambda: make_function("method"), "target": lambda: Target("method", ("name-raises",)),
                "plain": lambda: 5, "items": lambda: Items("method", [], ("getattr",))}[method]()
        wrapper = decorate(made)
        return wrapper, sorted(k for k in getattr(wrapper, "__dict__", {}) if not k.startswith("_"))

    compare(scenario)


# --- run control with stand-in children -----------------------------------------

class Child:
    """Stands in for a started worker: records what the controller asks of it.

    faults: "alive" (is_alive() answers true), "undecided" (its answer's truth
    raises), "is_alive", "pid", "start", "terminate", "join".
    """

    def __init__(self, label, faults=()):
        self._label = label
        self._faults = frozenset(faults)
        self.exitcode = 0
        self._work = types.SimpleNamespace(target="t", args="()", kwargs="{}")

    def _step(self, what):
        note(what, self._label)
        if what in self._faults:
            actors.fault(self._label, what, "plain")

    def is_alive(self):
        self._step("is_alive")
        if "undecided" in self._faults:
            return Items(self._label + ".alive", [], ("bool",))
        return "alive" in self._faults

    @property
    def pid(self):
        self._step("pid")
        return 100 + int(self._label[5:])

    def start(self):
        self._step("start")

    def terminate(self):
        self._step("terminate")

    def join(self):
        self._step("join")


class Context:
    """Stands in for the task-log context: records entering and leaving.

    faults: "enter", "exit", "suppress", "no-exit".
    """

    def __init__(self, faults):
        self._faults = frozenset(faults)
        if "no-exit" not in self._faults:
            type(self).__exit__ = Context._exit

    def __enter__(self):
        note("enter", "context")
        if "enter" in self._faults:
            actors.fault("context", "enter", "plain")

    def _exit(self, kind, error, traceback):
        note("exit", "context", kind.__name__ if kind else None)
        if "exit" in self._faults:
            actors.fault("context", "exit", "plain")
        return "suppress" in self._faults


child_faults = st.sets(st.sampled_from(["alive", "undecided", "is_alive", "pid", "start", "terminate", "join"]),
                       max_size=2).map(sorted).map(tuple)


@HUNT
@given(member=st.sampled_from(["pids", "livings", "terminate", "kill", "start"]),
       children=st.lists(child_faults, max_size=3),
       context_faults=st.sets(st.sampled_from(["enter", "exit", "suppress", "no-exit"]), max_size=2).map(sorted))
def test_run_control(member, children, context_faults):
    def scenario(side):
        context_class = type("Context", (Context,), {})
        rebind_globals(side.tandemix, (
            ("os", lambda m: Namespace("os", kill=Recorder("kill"))),
            ("signal", lambda m: Namespace("signal", SIGKILL=9)),
            ("time", lambda m: Namespace("time", time=Recorder("time", 100.0), sleep=Recorder("sleep"))),
            ("managed_handlers", lambda m: Namespace("managed_handlers", tasklog=Namespace(
                "tasklog", consolidate_next_forked_logfile=Recorder("consolidate", context_class(context_faults))))),
        ))
        instance = watched(side.Pcall, "pcall", ("_processes", "timeout", "starttime"))("ignored")
        object.__setattr__(instance, "_processes", [Child(f"child{n}", faults) for n, faults in enumerate(children)])
        actors.JOURNAL.clear()
        if member in ("pids", "livings"):
            return getattr(instance, member)
        return getattr(instance, member)()

    compare(scenario)


# --- function metadata -------------------------------------------------------------
#
# No rendering is needed here: a native function must behave as the Python
# function of the same name does.  Here too each side runs in a child.

def python_counterpart(native):
    def counterpart(self):
        pass

    counterpart.__name__ = native.__name__
    counterpart.__qualname__ = native.__qualname__
    counterpart.__module__ = native.__module__
    counterpart.__doc__ = native.__doc__
    return counterpart


def introspect(function, operation):
    import copy
    import pickle as pickling
    import pydoc
    if operation == "code":
        return type(function.__code__).__name__
    if operation == "signature":
        return str(inspect.signature(function))
    if operation == "repr":
        return re.sub(r"0x[0-9a-f]+", "0x?", repr(function))
    if operation == "pickle":
        return type(pickling.loads(pickling.dumps(function))).__name__
    if operation == "copy":
        return copy.deepcopy(function) is function
    if operation == "pydoc":
        return type(pydoc.render_doc(function)).__name__
    if operation == "bind":
        return type(function.__get__(object(), object)).__name__
    raise AssertionError(operation)


odd_metadata = st.sampled_from(["\udc80", "x.y", "", None, 5, (), {}, b"x", ("a",), {"a": 1}, {1: 2}])


@HUNT
@given(native=st.sampled_from(["start", "join", "wrapper"]),
       changes=st.lists(st.tuples(st.sampled_from(["__module__", "__name__", "__qualname__", "__doc__",
                                                   "__defaults__", "__kwdefaults__", "__annotations__", "__dict__",
                                                   "__type_params__"]), odd_metadata), max_size=3),
       operation=st.sampled_from(["code", "signature", "repr", "pickle", "copy", "pydoc", "bind"]))
# A __module__ that cannot be encoded: once a crash when the code object was made.
@example(native="start", changes=[("__module__", "\udc80")], operation="code")
def test_function_metadata(native, changes, operation):
    def scenario(side):
        if native == "wrapper":
            function = native_synchronize.locked(python_counterpart(native_tandemix.Pcall.start))
        else:
            function = getattr(native_tandemix.Pcall, native)
        if side.name == "rendering" and native == "wrapper":
            def _wrapped(self, *args, **kwargs):
                pass
            function = functools.wraps(function.__wrapped__)(_wrapped)
        elif side.name == "rendering":
            function = python_counterpart(function)
            # Where pickle looks the function up by name, it finds this one.
            setattr(native_tandemix.Pcall, native, function)
        results = []
        for name, new in changes:
            try:
                setattr(function, name, new)
                results.append("set")
            except BaseException as error:
                results.append(type(error).__name__)
        try:
            results.append(introspect(function, operation))
        except BaseException as error:
            # Only the type: the wording of pickle's and inspect's complaints
            # depends on what kind of object they were given.
            results.append(type(error).__name__)
        return results

    compare(scenario, journal=False)
