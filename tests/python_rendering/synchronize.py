"""The synchronisation module as plain Python, one statement per step.

The native wrapper is not a plain function (so the metaclass never wraps a
wrapper twice); `_Function` stands in for that type here.  The decided
behaviour beyond the plain algorithm: the `locked` wrapper looks for
`__lock__` again after making a new lock and keeps the one stored first.
"""

import inspect
import logging
import functools
import types

multiprocessing = __import__('multiprocessing').get_context('fork')
logger = logging.getLogger(__name__)


class _Function:
    """Binds and takes attributes like a function; inspect.isfunction() is false for it."""

    def __init__(self, body):
        self.__body = body
        self.__name__, self.__qualname__ = body.__name__, body.__qualname__
        self.__module__, self.__doc__ = body.__module__, body.__doc__

    def __call__(self, *args, **kwargs):
        return self.__body(*args, **kwargs)

    def __get__(self, obj, cls=None):
        return self if obj is None else types.MethodType(self, obj)


class Lockable:
    """Lockable"""

    def __init__(self, *, lock=multiprocessing.RLock):
        """__init__"""
        self.__lock__ = lock()

    def acquire(self, block=True, timeout=None):
        """acquire"""
        return self.__lock__.acquire(block=block, timeout=timeout)

    def release(self):
        """release"""
        return self.__lock__.release()

    @staticmethod
    def locked(method):
        """locked decorator"""
        @functools.wraps(method)
        @_Function
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
    """lock decorator"""
    @functools.wraps(method)
    @_Function
    def _wrapped(self, *args, **kwargs):
        if not hasattr(self, '__lock__'):
            lock = multiprocessing.RLock()
            # Decided: making the lock runs Python code, so another thread
            # may have stored one meanwhile; the one stored first is kept.
            if not hasattr(self, '__lock__'):
                self.__lock__ = lock
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % str(self))
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()
    return _wrapped


class LockableMeta(type):
    """LockableMeta"""

    @staticmethod
    def ignore(obj):
        """ignore"""
        obj._LockedMeta_ignore = True
        return obj

    def __new__(cls, name, bases, attrs):
        """Metaclass __new__"""
        for key, obj in attrs.items():
            if key.startswith('_'):
                continue
            if getattr(obj, '_LockedMeta_ignore', False):
                del obj._LockedMeta_ignore
                continue
            if inspect.isfunction(obj):
                attrs[key] = locked(obj)
        return super().__new__(cls, name, bases, attrs)


__test__ = {}
