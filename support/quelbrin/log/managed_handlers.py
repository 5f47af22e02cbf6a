"""Stand-in for the host framework's ``quelbrin.log.managed_handlers``.

The real module consolidates the log files of forked processes; here
``tasklog.consolidate_next_forked_logfile()`` returns a context manager that
does nothing, which is all the parallel-call module relies on.
"""

import contextlib

__all__ = ["tasklog"]


class TaskLog:
    """The task-log handler: opens a context for the processes forked next."""

    def consolidate_next_forked_logfile(self):
        return contextlib.nullcontext()


tasklog = TaskLog()
