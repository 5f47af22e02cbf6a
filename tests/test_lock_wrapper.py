"""The wrapper the lock decorators make passes for the method it wraps."""

import functools
import inspect
import pickle

import pytest

from quelbrin.async_.synchronize import Lockable, locked


class Account(Lockable):
    @Lockable.locked
    def deposit(self, amount: int, *, note="") -> int:
        """Adds money."""
        return amount


@pytest.mark.parametrize("decorator, qualname", [
    (Lockable.locked, "Lockable.locked.<locals>._wrapped"), (locked, "locked.<locals>._wrapped")])
def test_wrapper_identity_before_and_after_wraps(monkeypatch, decorator, qualname):
    def method(self):
        """Doc."""

    wrapper = decorator(method)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == ("method", method.__qualname__, "Doc.")
    assert wrapper.__wrapped__ is method and not inspect.isfunction(wrapper)
    monkeypatch.setattr(functools, "wraps", lambda method: lambda wrapper: wrapper)
    bare = decorator(method)
    assert (bare.__name__, bare.__qualname__, bare.__doc__) == ("_wrapped", qualname, None)
    assert str(inspect.signature(bare)) == "(self, *args, **kwargs)"


def test_wrapper_binds_and_pickles_like_a_function():
    account = Account()
    bound = account.deposit
    assert inspect.ismethod(bound) and bound.__self__ is account
    assert bound(5) == Account.deposit(account, 5) == Account.deposit.__get__(account)(5) == 5
    assert str(inspect.signature(bound)) == "(amount: int, *, note='') -> int"
    assert pickle.loads(pickle.dumps(Account.deposit)) is Account.deposit
