"""A join() left by an exception from outside the module stops the children first.

Ctrl-C in the parent, a test runner's time-out, or any call failing inside
join() must not leave the children running (and the interpreter waiting for
them at exit).  The module's own outcomes -- results, child failures, the
time-out -- are not affected.
"""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quelbrin.async_.tandemix as tandemix

PARENT = textwrap.dedent("""
    import signal, sys, time
    import quelbrin.async_.tandemix as tandemix

    # Python raises KeyboardInterrupt only if SIGINT was not ignored when it
    # started, as it is for a runner started in the background (nohup, &).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    instance = tandemix.Pcall(time.sleep, iargs=[(60,), (60,)], timeout={timeout})
    instance.start()
    print(*instance.pids, flush=True)
    instance.join()
""")


def running(pid):
    """True while `pid` is a process that has not ended (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.serial
@pytest.mark.parametrize("timeout", [None, 60])
def test_ctrl_c_in_the_parent_stops_the_children_and_the_parent_exits(timeout):
    parent = subprocess.Popen([sys.executable, "-c", PARENT.format(timeout=timeout)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    pids = [int(pid) for pid in parent.stdout.readline().split()]
    try:
        assert len(pids) == 2
        time.sleep(0.5)  # well inside join()'s wait
        parent.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        parent.wait(timeout=30)
        assert time.monotonic() - interrupted < 1.0
        assert "KeyboardInterrupt" in parent.stderr.read()
        assert not any(running(pid) for pid in pids)
    finally:
        for pid in pids:
            if running(pid):
                os.kill(pid, signal.SIGKILL)
        parent.kill()
        parent.wait()


class Interrupt(Exception):
    pass


def test_an_exception_raised_during_the_wait_propagates_after_the_children_are_stopped(monkeypatch):
    instance = tandemix.Pcall(time.sleep, iargs=[(60,), (60,)])
    instance.start()

    def failing_sleep(seconds):
        raise Interrupt("from outside")

    monkeypatch.setattr(tandemix, "time", type("Clock", (), {"sleep": staticmethod(failing_sleep),
                                                             "time": staticmethod(time.time)}))
    with pytest.raises(Interrupt, match="from outside"):
        instance.join()
    assert instance.livings == ()
    assert [child.exitcode for child in instance._processes] == [-signal.SIGTERM] * 2


@pytest.mark.serial
def test_a_child_ignoring_termination_is_killed_after_a_grace_period(monkeypatch):
    def stubborn():
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        time.sleep(60)

    instance = tandemix.Pcall([stubborn])
    instance.start()
    time.sleep(0.3)  # let it ignore SIGTERM first
    monkeypatch.setattr(tandemix, "logger", None)
    monkeypatch.setattr(instance, "timeout", 0.01)
    started = time.monotonic()
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'error'"):
        instance.join()  # the time-out's log call fails: not the module's own error
    assert time.monotonic() - started < 5
    assert instance._processes[0].exitcode == -signal.SIGKILL


def test_errors_of_the_clean_up_do_not_replace_the_leaving_exception():
    class BrokenChild:
        pid = 1

        def is_alive(self):
            raise Interrupt("is_alive")

    instance = tandemix.Pcall(time.sleep, iargs=[(0,)])
    instance._processes[:] = [BrokenChild()]
    with pytest.raises(Interrupt, match="is_alive"):
        instance.join()


# A Ctrl-C that comes while join() cleans up is the user's last word: it wins
# over what join() was about to raise, as it would in an `except` block.

TIME_OUT_INTERRUPTED = textwrap.dedent("""
    import _thread, signal, threading, time
    from types import SimpleNamespace
    import quelbrin.async_.tandemix as tandemix

    # interrupt_main() does nothing while SIGINT is ignored, as it is in a
    # runner started in the background.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    instance = tandemix.Pcall(time.sleep, iargs=[(60,)], timeout=0.01)
    instance.start()
    # The time-out's log call blocks in native code until the Ctrl-C has
    # come, so the interpreter has no chance to notice it before join() does.
    gate = threading.Lock()
    gate.acquire()
    tandemix.logger = SimpleNamespace(error=gate.acquire)

    def ctrl_c_then_open():
        time.sleep(1.0)
        _thread.interrupt_main()
        gate.release()

    threading.Thread(target=ctrl_c_then_open).start()
    try:
        instance.join()
    except BaseException as error:
        outcome = type(error).__name__
    print(outcome, instance.livings)
""")


def test_a_ctrl_c_while_the_time_out_is_reported_wins_over_the_time_out():
    result = subprocess.run([sys.executable, "-c", TIME_OUT_INTERRUPTED], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.split() == ["KeyboardInterrupt", "()"], result.stderr


def test_a_ctrl_c_while_a_failing_join_cleans_up_wins_over_its_error(monkeypatch):
    instance = tandemix.Pcall(time.sleep, iargs=[(60,), (60,)])
    instance.start()

    def failing_sleep(seconds):
        raise Interrupt("from outside")

    def ctrl_c():
        raise KeyboardInterrupt

    instance._processes[0].terminate = ctrl_c
    monkeypatch.setattr(tandemix, "time", type("Clock", (), {"sleep": staticmethod(failing_sleep),
                                                             "time": staticmethod(time.time)}))
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt) as interrupted:
        instance.join()
    assert isinstance(interrupted.value.__context__, Interrupt)
    assert time.monotonic() - started < 5
    assert instance.livings == ()
