"""Stand-in for the host framework's ``quelbrin.async_.exceptions`` module.

Only ``ExceptionWithTraceback`` is provided: the transport wrapper that a
worker process puts on its result queue in place of a raised exception.
"""

import pickle
import traceback

__all__ = ["ExceptionWithTraceback", "RemoteTraceback", "UnpicklableChildError"]


class RemoteTraceback(Exception):
    """The formatted traceback of an exception raised in another process."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text

    def __str__(self):
        return self.text


class UnpicklableChildError(RuntimeError):
    """Stands for a child's exception that could not cross the process boundary."""


def _rebuild(payload, type_name, message, traceback_text):
    # Runs in the receiving process.  Whatever goes wrong while restoring the
    # original exception, the result is still an exception instance.
    exc = None
    if payload is not None:
        try:
            exc = pickle.loads(payload)
        except Exception:
            exc = None
        if not isinstance(exc, BaseException):
            exc = None
    if exc is None:
        exc = UnpicklableChildError(f"{type_name}: {message}\n\n{traceback_text}")
    exc.__cause__ = RemoteTraceback(f'\n"""\n{traceback_text}"""')
    return exc


class ExceptionWithTraceback:
    """Wraps exception ``exc`` so that it survives pickling with its traceback.

    Unpickled, the object turns into the original exception (same type and
    arguments) whose ``__cause__`` carries the child's formatted traceback, or,
    when the original cannot be pickled or unpickled, into an
    ``UnpicklableChildError`` naming the original type and message.
    """

    def __init__(self, exc):
        self.exc = exc
        self.traceback_text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        self.type_name = f"{type(exc).__module__}.{type(exc).__qualname__}"
        try:
            self.message = str(exc)
        except Exception:
            self.message = f"<unprintable {type(exc).__name__} object>"
        try:
            self.payload = pickle.dumps(exc)
        except Exception:
            self.payload = None

    def __reduce__(self):
        return _rebuild, (self.payload, self.type_name, self.message, self.traceback_text)
