"""Pcall construction: instance count, argument sets and what construction stores."""

import pytest
from hypothesis import given, settings, strategies as st

import quelbrin.async_.tandemix as tandemix


def f():
    pass


def g():
    pass


def h():
    pass


def argument_sets(*args, **kwargs):
    return tandemix.Pcall(*args, **kwargs)._build_arguments()


def as_triples(sets):
    return [(s["target"], s["args"], s["kwargs"]) for s in sets]


class TestInstanceCount:
    @pytest.mark.parametrize("call, expected", [
        (lambda: argument_sets(f), [(f, (), {})]),
        (lambda: argument_sets(f, iargs=[(1,), (2,), (3,)]), [(f, (1,), {}), (f, (2,), {}), (f, (3,), {})]),
        (lambda: argument_sets([f, g], iargs=[(1,), (2,), (3,)]), [(f, (1,), {}), (g, (2,), {})]),
        (lambda: argument_sets([f], iargs=[(1,), (2,)]), [(f, (1,), {})]),
        (lambda: argument_sets([f, g]), [(f, (), {}), (g, (), {})]),
        (lambda: argument_sets(f, iargs=[], ikwargs=[]), [(f, (), {})]),
        (lambda: argument_sets(f, x=[1, 2, 3], y=[1, 2]), [(f, (), {"x": 1, "y": 1}), (f, (), {"x": 2, "y": 2})]),
        (lambda: argument_sets(f, x="ab"), [(f, (), {"x": "a"}), (f, (), {"x": "b"})]),
        (lambda: argument_sets(f, iarg=[(1,)]), [(f, (), {"iarg": (1,)})]),
    ], ids=["one target", "iargs", "two targets limit", "list of one target", "two bare targets",
            "empty sources", "varkwargs shortest", "string values", "misspelt keyword"])
    def test_count_and_sets(self, call, expected):
        assert as_triples(call()) == expected

    def test_a_callable_object_or_class_counts_as_one_target(self):
        assert as_triples(argument_sets(dict, iargs=[(), ()])) == [(dict, (), {}), (dict, (), {})]


class TestArgumentSets:
    def test_common_positional_arguments_come_first(self):
        sets = argument_sets(f, cargs=[0], iargs=[(1,), [2, 3]])
        assert [s["args"] for s in sets] == [(0, 1), (0, 2, 3)]

    def test_keyword_sources_override_in_order(self):
        [only] = argument_sets(f, ckwargs={"a": 1, "b": 1}, ikwargs=[{"b": 2, "c": 2}], c=[3])
        assert only["kwargs"] == {"a": 1, "b": 2, "c": 3}

    def test_ikwargs_items_may_be_pairs(self):
        [only] = argument_sets(f, ikwargs=[[("k", "v")]])
        assert only["kwargs"] == {"k": "v"}

    def test_each_set_is_a_fresh_dict_with_three_keys_in_order(self):
        common = {"a": 1}
        first, second = argument_sets(f, ckwargs=common, iargs=[(), ()])
        assert list(first) == ["target", "args", "kwargs"]
        assert first["kwargs"] is not second["kwargs"] and first["kwargs"] is not common
        first["kwargs"]["changed"] = True
        assert common == {"a": 1}


class TestStoredState:
    def test_construction_stores_inputs_and_unstarted_children(self):
        cargs = [9]
        instance = tandemix.Pcall(f, 5, cargs, ((1,), (2,)), {"k": 1}, ({"j": 2}, {"j": 3}), x=(7, 8))
        assert instance.targets is f and instance.timeout == 5 and instance.cargs is cargs
        assert instance.iargs == [(1,), (2,)] and isinstance(instance.iargs, list)
        assert instance.ikwargs == [{"j": 2}, {"j": 3}] and instance.varkwargs == {"x": [7, 8]}
        assert instance.results is None
        assert isinstance(instance._queue, type(tandemix.multiprocessing.SimpleQueue()))
        children = instance._processes
        assert [type(c) for c in children] == [tandemix.ChildLabor] * 2
        assert [c._index for c in children] == [0, 1]
        assert all(c._queue is instance._queue and not c.is_alive() for c in children)
        assert [c._args for c in children] == [(9, 1), (9, 2)]
        assert [c._kwargs for c in children] == [{"k": 1, "j": 2, "x": 7}, {"k": 1, "j": 3, "x": 8}]
        assert list(vars(instance)) == ["targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs",
                                        "varkwargs", "results", "_queue", "_processes"]

    def test_the_shared_default_ckwargs_is_never_changed(self):
        default = tandemix.Pcall.__init__.__defaults__[3]
        instance = tandemix.Pcall(f, ikwargs=[{"a": 1}], x=[1])
        assert instance.ckwargs is default and default == {}

    def test_a_subclass_may_replace_the_argument_building(self):
        class Fixed(tandemix.Pcall):
            def _build_arguments(self):
                return [{"target": g, "args": (1,), "kwargs": {}}]

        [child] = Fixed(f)._processes
        assert child._target is g and child._args == (1,)

    def test_argument_sets_that_clash_with_index_or_queue_are_refused(self):
        class Clashing(tandemix.Pcall):
            def _build_arguments(self):
                return [{"target": g, "index": 5}]

        with pytest.raises(TypeError, match="got multiple values for keyword argument 'index'"):
            Clashing(f)


class TestConstructionFailures:
    @pytest.mark.parametrize("call, error, message", [
        (lambda: tandemix.Pcall(f, iargs=5), TypeError, "'int' object is not iterable"),
        (lambda: tandemix.Pcall(f, ikwargs=None), TypeError, "'NoneType' object is not iterable"),
        (lambda: tandemix.Pcall(f, x=3), TypeError, "'int' object is not iterable"),
        (lambda: tandemix.Pcall(3), TypeError, "object of type 'int' has no len()"),
        (lambda: tandemix.Pcall(iter([f])), TypeError, "has no len()"),
        (lambda: tandemix.Pcall([]), ValueError, "min() iterable argument is empty"),
        (lambda: tandemix.Pcall([], iargs=[(1,)]), StopIteration, ""),
        (lambda: tandemix.Pcall(f, x=[]), IndexError, "list index out of range"),
        (lambda: tandemix.Pcall(f, iargs=[1]), TypeError, "'int' object is not iterable"),
        (lambda: tandemix.Pcall(f, ikwargs=[5]), TypeError, "'int' object is not iterable"),
        (lambda: tandemix.Pcall(f, ckwargs=None), AttributeError, "'NoneType' object has no attribute 'copy'"),
    ], ids=["iargs not iterable", "ikwargs not iterable", "varkwargs value not iterable", "int targets",
            "generator targets", "no source", "empty targets", "empty varkwargs value", "iargs item",
            "ikwargs item", "ckwargs without copy"])
    def test_bad_inputs_raise_the_interpreters_own_errors(self, call, error, message):
        with pytest.raises(error) as caught:
            call()
        assert message in str(caught.value)


# An independent rendering of the argument-building rules, for the property test.
def expected_sets(targets, cargs, iargs, ckwargs, ikwargs, varkwargs):
    single = callable(targets)
    lengths = ([] if single else [len(targets)]) + [len(iargs), len(ikwargs)]
    lengths += [len(values) for values in varkwargs.values()]
    nonzero = [n for n in lengths if n > 0]
    if not nonzero and not single:
        raise ValueError
    count = min(nonzero) if nonzero else 1
    sets = []
    for i in range(count):
        args = tuple(cargs) + (tuple(iargs[i]) if iargs else ())
        kwargs = dict(ckwargs)
        kwargs.update(ikwargs[i] if ikwargs else {})
        for name, values in varkwargs.items():
            kwargs[name] = values[i]  # an empty list raises IndexError here
        if single:
            target = targets
        elif i < len(targets):
            target = targets[i]
        else:
            raise StopIteration
        sets.append((target, args, kwargs))
    return sets


small_ints = st.integers(-3, 3)


@settings(max_examples=150, deadline=None)
@given(
    targets=st.one_of(st.just(f), st.lists(st.sampled_from([f, g, h]), max_size=3)),
    cargs=st.one_of(st.lists(small_ints, max_size=2), st.lists(small_ints, max_size=2).map(tuple)),
    iargs=st.lists(st.lists(small_ints, max_size=2).map(tuple), max_size=4),
    ckwargs=st.dictionaries(st.sampled_from("abc"), small_ints, max_size=3),
    ikwargs=st.lists(st.dictionaries(st.sampled_from("bcd"), small_ints, max_size=2), max_size=4),
    varkwargs=st.dictionaries(st.sampled_from("xyz"), st.lists(small_ints, max_size=4), max_size=2),
)
def test_argument_sets_match_an_independent_computation(targets, cargs, iargs, ckwargs, ikwargs, varkwargs):
    try:
        expected = expected_sets(targets, cargs, iargs, ckwargs, ikwargs, varkwargs)
    except (ValueError, IndexError, StopIteration) as error:
        with pytest.raises(type(error)):
            tandemix.Pcall(targets, None, cargs, iargs, ckwargs, ikwargs, **varkwargs)
        return
    instance = tandemix.Pcall(targets, None, cargs, iargs, ckwargs, ikwargs, **varkwargs)
    assert as_triples(instance._build_arguments()) == expected
    assert [(c._target, c._args, c._kwargs) for c in instance._processes] == expected
    instance._queue.close()


class TestAttributesThatStopBeingPlain:
    """Once argument building and construction have read an instance's
    attributes, the class (a subclass of Pcall or ChildLabor) gains a
    property of the same name: later reads go through the property, as
    Python's attribute lookup goes."""

    @pytest.mark.parametrize("name, value, seen", [
        ("cargs", ("from the property",), lambda s: s["args"][0]),
        ("ckwargs", {"c": "from the property"}, lambda s: s["kwargs"]["c"]),
        ("varkwargs", {"v": ["from the property"] * 2}, lambda s: s["kwargs"]["v"]),
    ])
    def test_an_input_of_pcall(self, name, value, seen):
        class Call(tandemix.Pcall):
            pass

        instance = Call(f, cargs=(1,), ckwargs={"c": 1}, iargs=[(), ()], v=[1, 1])
        instance._build_arguments()
        setattr(Call, name, property(lambda self: value))
        assert [seen(s) for s in instance._build_arguments()] == ["from the property"] * 2

    @pytest.mark.parametrize("name", ["_target", "_args", "_kwargs"])
    def test_what_childlabor_describes(self, name):
        class Child(tandemix.ChildLabor):
            pass

        Child(index=0, queue=None, target=f, args=(1,), kwargs={"k": 1})
        # Process.__init__ sets the attribute; the property keeps its own value.
        setattr(Child, name, property(lambda self: g if name == "_target" else "from the property",
                                      lambda self, value: None))
        works = [Child(index=0, queue=None, target=f, args=(1,), kwargs={"k": 1})._work for _ in range(2)]
        expected = {"_target": 0, "_args": 1, "_kwargs": 2}[name]
        assert [work[expected] for work in works] == ["g" if name == "_target" else "from the property"] * 2

    def test_the_process_list_of_pcall(self):
        appended = []

        class Recording(list):
            def append(self, item):
                appended.append(item)

        class Call(tandemix.Pcall):
            pass

        Call(f, iargs=[(), ()])
        Call._processes = property(lambda self: Recording(), lambda self, value: None)
        Call(f, iargs=[(), ()])
        assert [type(child) for child in appended] == [tandemix.ChildLabor] * 2
