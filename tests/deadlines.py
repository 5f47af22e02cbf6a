"""A bound on how long a test may wait in the main thread."""

import contextlib
import signal


class StillWaiting(Exception):
    pass


@contextlib.contextmanager
def deadline(seconds):
    """Interrupts a wait (a join(), say) that would otherwise last for ever."""

    def expire(signum, frame):
        raise StillWaiting(f"still waiting after {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
