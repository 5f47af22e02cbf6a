"""Stand-in for the host framework's ``quelbrin.trevask.signals``."""

__all__ = ["TerminateStepSignal", "TrevaskStepFailedSignal"]


class TerminateStepSignal(BaseException):
    """Raised by a test step to end the step at once.

    Derives from BaseException so that ``except Exception`` does not catch it.
    """


class TrevaskStepFailedSignal(Exception):
    """A test step failed; its single argument tells why."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason
