"""The wrapper the lock decorators make: it must pass for the method it wraps
everywhere a Python decorator's wrapper would."""

import functools
import inspect
import pickle
import types
import weakref

import pytest

from quelbrin.async_.synchronize import Lockable, locked


class Account(Lockable):
    @Lockable.locked
    def deposit(self, amount: int, *, note="") -> int:
        """Adds money."""
        return amount


@pytest.mark.parametrize("decorator, qualname", [
    (Lockable.locked, "Lockable.locked.<locals>._wrapped"),
    (locked, "locked.<locals>._wrapped"),
])
def test_bare_wrapper_is_a_nested_function(monkeypatch, decorator, qualname):
    # Without functools.wraps the wrapper shows its own identity.
    monkeypatch.setattr(functools, "wraps", lambda method: lambda wrapper: wrapper)
    wrapper = decorator(lambda self: 1)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == ("_wrapped", qualname, None)
    assert str(inspect.signature(wrapper)) == "(self, *args, **kwargs)"
    assert not hasattr(wrapper, "__wrapped__")


@pytest.mark.parametrize("decorator", [Lockable.locked, locked])
def test_wrapper_takes_the_method_identity(decorator):
    def method(self, x):
        """Doc."""

    method.tag = "kept"
    wrapper = decorator(method)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__module__) == (
        "method", method.__qualname__, "Doc.", __name__)
    assert wrapper.__wrapped__ is method and wrapper.tag == "kept"
    assert inspect.isfunction(method) and not inspect.isfunction(wrapper)
    assert str(inspect.signature(wrapper)) == "(self, x)"


def test_wrapper_binds_like_a_function():
    account = Account()
    bound = account.deposit
    assert inspect.ismethod(bound) and bound.__self__ is account and bound.__func__ is Account.deposit
    assert bound(5) == Account.deposit(account, 5) == Account.deposit.__get__(account, Account)(5) == 5
    assert Account.deposit.__get__(None, Account) is Account.deposit
    assert str(inspect.signature(bound)) == "(amount: int, *, note='') -> int"
    assert Account.deposit.__annotations__ == {"amount": int, "return": int}


def test_wrapper_pickles_by_name_and_keeps_the_method_alive():
    assert pickle.loads(pickle.dumps(Account.deposit)) is Account.deposit

    def method(self):
        return "alive"

    wrapper = locked(method)
    reference = weakref.ref(method)
    del method
    assert reference() is not None and wrapper(types.SimpleNamespace()) == "alive"
