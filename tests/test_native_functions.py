"""Members of the native classes behave like functions defined in a Python module."""

import copy
import functools
import inspect
import pickle
import types
import weakref

import pytest

import quelbrin.async_.tandemix as tandemix

start = vars(tandemix.Pcall)["start"]
init = vars(tandemix.Pcall)["__init__"]


class TestBinding:
    def test_class_lookup_gives_the_function_and_instance_lookup_a_bound_method(self):
        instance = tandemix.Pcall(print)
        assert tandemix.Pcall.start is start
        bound = instance.start
        assert inspect.ismethod(bound) and bound.__self__ is instance and bound.__func__ is start
        assert str(inspect.signature(bound)) == "()"

    def test_calls_through_an_instance_skip_the_bound_method(self):
        flags = type(start).__flags__
        assert flags & (1 << 17), "Py_TPFLAGS_METHOD_DESCRIPTOR"
        assert flags & (1 << 11), "Py_TPFLAGS_HAVE_VECTORCALL"
        assert start.__get__(None, tandemix.Pcall) is start

    def test_bound_and_unbound_calls_agree(self):
        instance = tandemix.Pcall(print, iargs=[(1,), (2,)])
        assert tandemix.Pcall._build_arguments(instance) == instance._build_arguments()

    def test_is_not_a_plain_python_function(self):
        assert not inspect.isfunction(start)
        assert inspect.isroutine(start)
        assert not isinstance(start, types.FunctionType)


class TestAttributes:
    def test_repr_names_the_qualified_name(self):
        assert repr(start).startswith("<function Pcall.start at 0x")

    def test_special_attributes_are_writable_with_type_checks(self):
        function = vars(tandemix.Pcall)["kill"]
        saved = (function.__name__, function.__qualname__, function.__doc__, function.__module__)
        try:
            function.__name__ = "renamed"
            function.__qualname__ = "Elsewhere.renamed"
            function.__doc__ = "new text"
            function.__module__ = "somewhere"
            assert (function.__name__, function.__qualname__, function.__doc__, function.__module__) == (
                "renamed", "Elsewhere.renamed", "new text", "somewhere")
            for attribute in ("__name__", "__qualname__"):
                with pytest.raises(TypeError, match="must be set to a string object"):
                    setattr(function, attribute, 42)
            with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
                function.__defaults__ = [1]
            with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
                function.__kwdefaults__ = [1]
        finally:
            function.__name__, function.__qualname__, function.__doc__, function.__module__ = saved

    def test_has_an_attribute_dict(self):
        function = vars(tandemix.Pcall)["terminate"]
        function.custom = "kept"
        try:
            assert function.__dict__ == {"custom": "kept"}
        finally:
            del function.custom
        assert function.__dict__ == {}

    def test_defaults_changed_at_run_time_apply_to_later_calls(self):
        saved = init.__defaults__
        try:
            init.__defaults__ = (None, (), (), {"from_default": 1}, ())
            assert tandemix.Pcall(print)._build_arguments()[0]["kwargs"] == {"from_default": 1}
        finally:
            init.__defaults__ = saved

    def test_weak_references_are_supported(self):
        assert weakref.ref(start)() is start

    def test_code_object_describes_the_parameters(self):
        code = init.__code__
        assert code.co_varnames[: code.co_nlocals] == (
            "self", "targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs")
        assert code.co_argcount == 7 and code.co_qualname == "Pcall.__init__"
        assert init.__annotations__ == {}


class TestPicklingAndCopying:
    @pytest.mark.parametrize("function", [start, init, vars(tandemix.ChildLabor)["run"]],
                             ids=["Pcall.start", "Pcall.__init__", "ChildLabor.run"])
    def test_pickles_and_copies_by_reference(self, function):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function


class TestArgumentErrors:
    @pytest.mark.parametrize("call, message", [
        (lambda: tandemix.Pcall(), "Pcall.__init__() missing 1 required positional argument: 'targets'"),
        (lambda: tandemix.Pcall(print, 1, 2, 3, 4, 5, 6),
         "Pcall.__init__() takes from 2 to 7 positional arguments but 8 were given"),
        (lambda: tandemix.Pcall(print, targets=print),
         "Pcall.__init__() got multiple values for argument 'targets'"),
        (lambda: tandemix.Pcall(print).start(1), "Pcall.start() takes 1 positional argument but 2 were given"),
        (lambda: tandemix.Pcall.start(), "Pcall.start() missing 1 required positional argument: 'self'"),
        (lambda: tandemix.Pcall(print).join(timeout=1), "Pcall.join() got an unexpected keyword argument 'timeout'"),
        (lambda: tandemix.ChildLabor(), "ChildLabor.__init__() missing 2 required positional arguments: "
                                        "'index' and 'queue'"),
    ])
    def test_wrong_calls_raise_the_interpreters_type_error(self, call, message):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message

    def test_parameters_may_be_given_by_keyword(self):
        instance = tandemix.Pcall(targets=print, iargs=[(1,)], timeout=3)
        assert (instance.timeout, instance.iargs) == (3, [(1,)])
        assert tandemix.Pcall.kill(self=instance) is None


class TestGlobalsAtUse:
    def test_rebinding_a_module_global_changes_later_calls(self, monkeypatch):
        class FakeTime:
            calls = []

            def time(self):
                self.calls.append("time")
                return 1234.5

        monkeypatch.setattr(tandemix, "time", FakeTime())
        instance = tandemix.Pcall(print)
        instance._processes.clear()
        instance.start()
        assert instance.starttime == 1234.5

    def test_a_missing_global_falls_back_to_builtins_then_raises_name_error(self, monkeypatch):
        monkeypatch.delattr(tandemix, "itertools")
        with pytest.raises(NameError, match="name 'itertools' is not defined"):
            tandemix.Pcall(print)

    def test_super_is_tied_to_the_created_class_not_the_global_name(self, monkeypatch):
        original = tandemix.ChildLabor
        monkeypatch.setattr(tandemix, "ChildLabor", None)
        child = original(index=0, queue=None, target=print)
        assert child._index == 0 and child._target is print


def test_each_extension_has_one_function_type_of_its_own():
    import quelbrin.async_.synchronize as synchronize

    def method(self):
        pass

    own = {module: {type(function) for function in functions} for module, functions in [
        (tandemix, [start, init, vars(tandemix.ChildLabor)["run"], vars(tandemix.Pcall)["pcall"].__func__]),
        (synchronize, [synchronize.locked, synchronize.locked(method), synchronize.Lockable.locked(method),
                       vars(synchronize.LockableMeta)["__new__"].__func__, synchronize.Lockable.acquire]),
    ]}
    assert all(len(types_) == 1 for types_ in own.values())
    for module, (function_type,) in own.items():
        assert (function_type.__module__, function_type.__qualname__) == (module.__name__, "function")
