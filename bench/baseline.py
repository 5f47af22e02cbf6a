"""Plain-Python renderings of the locked call and of the argument building.

They are the yardstick the native code is measured against, written the way
a Python developer would naturally write them, and are used by the benchmarks
only.
"""

import functools
import itertools
import logging
import multiprocessing as _multiprocessing

multiprocessing = _multiprocessing.get_context("fork")
logger = logging.getLogger(__name__)


def lockable_locked(method):
    """The wrapper of ``Lockable.locked``: the instance already has its lock."""

    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % str(self))
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()

    return _wrapped


def locked(method):
    """The wrapper of ``locked``: makes the lock on the first call."""

    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        if not hasattr(self, "__lock__"):
            self.__lock__ = multiprocessing.RLock()
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % str(self))
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()

    return _wrapped


def build_arguments(self):
    """``Pcall._build_arguments`` for an object carrying the Pcall attributes."""
    if callable(self.targets):
        lengths = [len(self.iargs), len(self.ikwargs)]
        lengths.extend(len(values) for values in self.varkwargs.values())
        count = min([n for n in lengths if n] or [1])
        targets = itertools.repeat(self.targets)
    else:
        lengths = [len(self.targets), len(self.iargs), len(self.ikwargs)]
        lengths.extend(len(values) for values in self.varkwargs.values())
        count = min(n for n in lengths if n)
        targets = iter(self.targets)

    argument_sets = []
    for i in range(count):
        args = tuple(self.cargs)
        if self.iargs:
            args += tuple(self.iargs[i])
        kwargs = self.ckwargs.copy()
        if self.ikwargs:
            kwargs.update(self.ikwargs[i])
        for name, values in self.varkwargs.items():
            kwargs[name] = values[i]
        argument_sets.append({"target": next(targets), "args": args, "kwargs": kwargs})
    return argument_sets
