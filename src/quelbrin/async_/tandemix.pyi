"""Parallel calls in forked child processes: ``Pcall`` and its worker ``ChildLabor``."""

from collections.abc import Callable, Collection, Iterable, Mapping, Sequence
from logging import Logger
from multiprocessing.context import ForkContext, ForkProcess
from multiprocessing.queues import SimpleQueue
from typing import Any, Generic, NamedTuple, Protocol, TypeVar, overload

from _typeshed import SupportsKeysAndGetItem

_R = TypeVar("_R")
_T = TypeVar("_T")

# The per-instance keyword arguments go through dict.update, which takes a
# mapping or an iterable of key-value pairs.
_KeywordSource = SupportsKeysAndGetItem[str, Any] | Iterable[tuple[str, Any]]

class _ResultQueue(Protocol):
    # A worker only ever puts its one result entry on the queue.
    def put(self, obj: Any, /) -> None: ...

# The module's own handles, looked up at every use: rebinding them (in a test,
# say) changes what later calls use.
multiprocessing: ForkContext
logger: Logger
__pcall_infra__: bool
__test__: dict[str, Any]

class ChildWork(NamedTuple):
    """Printable description of a worker's job: the target's name and the
    text forms of its positional and keyword arguments."""

    target: str
    args: str
    kwargs: str

class ChildLabor(ForkProcess):
    _index: int
    _queue: _ResultQueue
    _work: ChildWork
    # The arguments after ``queue`` go to the process class's own constructor.
    def __init__(
        self,
        index: int,
        queue: _ResultQueue,
        group: None = None,
        target: Callable[..., object] | None = None,
        name: str | None = None,
        args: Iterable[Any] = (),
        kwargs: Mapping[str, Any] = {},
        *,
        daemon: bool | None = None,
    ) -> None: ...
    def _get_steps(self) -> Any: ...
    def run(self) -> None: ...

class Pcall(Generic[_R]):
    targets: Callable[..., _R] | Collection[Callable[..., _R]]
    timeout: float | None
    cargs: Iterable[Any]
    iargs: list[Iterable[Any]]
    ckwargs: dict[str, Any]
    ikwargs: list[_KeywordSource]
    varkwargs: dict[str, list[Any]]
    results: tuple[_R, ...] | None
    starttime: float
    stoptime: float
    _queue: SimpleQueue[tuple[int, bool | int, Any]]
    _processes: list[ChildLabor]
    # One callable gives results of its return type; so does a collection of
    # callables whose return types the checker can join.  A collection it
    # cannot type as one (a list mixing overloaded builtins, say) is still a
    # valid call, with results of no known type.
    @overload
    @classmethod
    def pcall(
        cls,
        targets: Callable[..., _T],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: dict[str, Any] = ...,
        ikwargs: Iterable[_KeywordSource] = (),
        **varkwargs: Iterable[Any],
    ) -> tuple[_T, ...]: ...
    @overload
    @classmethod
    def pcall(
        cls,
        targets: Collection[Callable[..., _T]],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: dict[str, Any] = ...,
        ikwargs: Iterable[_KeywordSource] = (),
        **varkwargs: Iterable[Any],
    ) -> tuple[_T, ...]: ...
    @overload
    @classmethod
    def pcall(
        cls,
        targets: Collection[Callable[..., Any]],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: dict[str, Any] = ...,
        ikwargs: Iterable[_KeywordSource] = (),
        **varkwargs: Iterable[Any],
    ) -> tuple[Any, ...]: ...
    @overload
    def __init__(
        self,
        targets: Callable[..., _R],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: dict[str, Any] = {},
        ikwargs: Iterable[_KeywordSource] = (),
        **varkwargs: Iterable[Any],
    ) -> None: ...
    @overload
    def __init__(
        self,
        targets: Collection[Callable[..., _R]],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: dict[str, Any] = {},
        ikwargs: Iterable[_KeywordSource] = (),
        **varkwargs: Iterable[Any],
    ) -> None: ...
    @overload
    def __init__(
        self: Pcall[Any],
        targets: Collection[Callable[..., Any]],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: dict[str, Any] = {},
        ikwargs: Iterable[_KeywordSource] = (),
        **varkwargs: Iterable[Any],
    ) -> None: ...
    @property
    def pids(self) -> tuple[int | None, ...]: ...
    def start(self) -> None: ...
    def join(self) -> None: ...
    def terminate(self) -> None: ...
    def kill(self) -> None: ...
    # A tuple at run time.  Typed as a sequence so that a checker does not
    # carry a length it learnt before a start(), join() or terminate() over
    # to later reads: each read is a new snapshot of the running workers.
    @property
    def livings(self) -> Sequence[ChildLabor]: ...
    def _build_arguments(self) -> list[dict[str, Any]]: ...
