"""Everyday use of both modules, checked by mypy --strict and also run.

Running it proves the types that mypy infers are the ones the calls really
return; the calls that mypy must refuse sit in a function that never runs,
each with the ignore comment that --warn-unused-ignores requires to be needed.
"""

import multiprocessing
from collections.abc import Sequence
from multiprocessing.context import ForkProcess
from typing import assert_type

from quelbrin.async_.synchronize import Lockable, LockableMeta, locked
from quelbrin.async_.tandemix import ChildLabor, ChildWork, Pcall


def square(x: int, scale: int = 1) -> int:
    return x * x * scale


def label(x: int) -> str:
    return f"#{x}"


# The result type follows the target's return type.
squares = Pcall.pcall(square, iargs=[(2,), (3,)], scale=[1, 10], timeout=10)
assert_type(squares, tuple[int, ...])
assert squares == (4, 90)

labels = Pcall.pcall([label, label], cargs=[7])
assert_type(labels, tuple[str, ...])
assert labels == ("#7", "#7")

# Targets whose return types the checker cannot join still make a valid call.
mixed = Pcall.pcall([len, sum], iargs=[([1, 2],), ([1, 2],)])
assert mixed == (2, 3)

call = Pcall(square, iargs=[(4,)], ckwargs={"scale": 2})
assert_type(call, "Pcall[int]")  # quoted: the class is generic only to the type checker
assert_type(call.pids, tuple[int | None, ...])
assert call.pids == (None,)
call.start()
call.join()
assert_type(call.results, tuple[int, ...] | None)
assert call.results == (32,)
assert_type(call.livings, Sequence[ChildLabor])
assert call.livings == ()

worker: ForkProcess = ChildLabor(index=0, queue=multiprocessing.get_context("fork").SimpleQueue(), target=print)
assert isinstance(worker, ForkProcess)
assert_type(ChildWork("f", "()", "{}").target, str)


class Account(Lockable):
    def __init__(self) -> None:
        super().__init__()
        self.balance = 0

    @Lockable.locked
    def deposit(self, amount: int, *, note: str = "") -> int:
        self.balance += amount
        return self.balance


class Counter:
    @locked
    def bump(self, by: int) -> int:
        return by + 1


class Registry(metaclass=LockableMeta):
    def add(self, key: str) -> list[str]:
        return [key]

    @LockableMeta.ignore
    def size(self) -> int:
        return 0


account = Account()
assert_type(account.deposit(5, note="first"), int)
assert account.deposit(5) == 10
assert_type(account.acquire(False), bool)
account.release()
assert_type(Counter().bump(1), int)
assert_type(Registry().add("a"), list[str])
assert_type(Registry().size(), int)
assert isinstance(Registry, LockableMeta)


def refused() -> None:
    Pcall.pcall(square, iargs=[2, 3])  # type: ignore[list-item]
    Pcall.pcall(square, scale=3)  # type: ignore[call-overload]
    Pcall(square, timeout="soon")  # type: ignore[call-overload]
    account.deposit("five")  # type: ignore[arg-type]
    account.deposit(5, colour="red")  # type: ignore[call-arg]
    Counter().bump()  # type: ignore[call-arg]
    Registry().add(1)  # type: ignore[arg-type]
    Lockable(lock=object)  # type: ignore[arg-type]
    squares.append(1)  # type: ignore[attr-defined]
    ChildLabor(0, multiprocessing.SimpleQueue(), targt=print)  # type: ignore[call-arg]
    ChildLabor(0, object(), target=print)  # type: ignore[arg-type]
