"""Per-instance re-entrant locks that hold across threads and forked processes."""

from collections.abc import Callable
from logging import Logger
from multiprocessing.context import ForkContext
from typing import Any, Concatenate, ParamSpec, Protocol, TypeVar

_P = ParamSpec("_P")
_R = TypeVar("_R")
_S = TypeVar("_S")
_T = TypeVar("_T")

class _Lock(Protocol):
    # What the locked call and Lockable ask of a lock: the multiprocessing
    # lock interface, whose acquire takes ``block`` (not ``blocking``).
    def acquire(self, block: bool = ..., timeout: float | None = ...) -> bool: ...
    def release(self) -> None: ...

# The module's own handles, looked up at every use.
multiprocessing: ForkContext
logger: Logger
__test__: dict[str, Any]

class Lockable:
    __lock__: _Lock
    def __init__(self, *, lock: Callable[[], _Lock] = ...) -> None: ...
    def acquire(self, block: bool = True, timeout: float | None = None) -> bool: ...
    def release(self) -> None: ...
    @staticmethod
    def locked(method: Callable[Concatenate[_S, _P], _R]) -> Callable[Concatenate[_S, _P], _R]: ...

def locked(method: Callable[Concatenate[_S, _P], _R]) -> Callable[Concatenate[_S, _P], _R]: ...

class LockableMeta(type):
    @staticmethod
    def ignore(obj: _T) -> _T: ...
    def __new__(cls: type[_T], name: str, bases: tuple[type, ...], attrs: dict[str, Any]) -> _T: ...
