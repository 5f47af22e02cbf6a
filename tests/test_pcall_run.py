"""Pcall run control: starting, waiting, collecting, failing, timing out and stopping."""

import logging
import os
import signal
import time
from types import SimpleNamespace

import pytest

import quelbrin.async_.tandemix as tandemix
from quelbrin.trevask.signals import TerminateStepSignal, TrevaskStepFailedSignal


def times_ten(x):
    return x * 10


def sleep_then_return(seconds, value):
    time.sleep(seconds)
    return value


def sleep_then_raise(seconds, message):
    time.sleep(seconds)
    raise ValueError(message)


def exit_without_reporting(code):
    os._exit(code)


def terminate_step():
    raise TerminateStepSignal("stop here")


class RecordingTaskLog:
    """Stands in for the task-log handler and records the context calls."""

    def __init__(self, suppress=False):
        self.calls = []
        self.suppress = suppress

    def consolidate_next_forked_logfile(self):
        return self

    def __enter__(self):
        self.calls.append("enter")

    def __exit__(self, *exc_info):
        self.calls.append(("exit", exc_info[0]))
        return self.suppress


@pytest.fixture
def tasklog(monkeypatch):
    log = RecordingTaskLog()
    monkeypatch.setattr(tandemix, "managed_handlers", SimpleNamespace(tasklog=log))
    return log


def reap(instance):
    for child in instance._processes:
        if child.pid is not None:
            child.join(30)


class TestResults:
    def test_pcall_returns_results_in_instance_order(self):
        assert tandemix.Pcall.pcall(times_ten, iargs=[(1,), (2,), (3,)], timeout=10) == (10, 20, 30)

    def test_children_finishing_in_reverse_order_still_give_index_order(self):
        iargs = [(0.6, "first"), (0.3, "second"), (0.0, "third")]
        assert tandemix.Pcall.pcall(sleep_then_return, iargs=iargs) == ("first", "second", "third")

    def test_none_results_keep_their_position(self):
        assert tandemix.Pcall.pcall([lambda: None, lambda: 1]) == (None, 1)

    def test_driving_by_hand(self, tasklog):
        instance = tandemix.Pcall(times_ten, iargs=[(4,), (5,)])
        assert instance.pids == (None, None)
        before = time.time()
        instance.start()
        assert before <= instance.starttime <= time.time()
        assert tasklog.calls == ["enter", ("exit", None)]
        pids = instance.pids
        assert all(isinstance(pid, int) for pid in pids)
        instance.join()
        assert instance.results == (40, 50) and instance.livings == ()
        assert instance.stoptime >= instance.starttime
        assert [c.exitcode for c in instance._processes] == [0, 0]

    def test_no_children(self, tasklog):
        class Empty(tandemix.Pcall):
            def _build_arguments(self):
                return []

        instance = Empty(times_ten)
        instance.start()
        assert tasklog.calls == ["enter", ("exit", None)]
        instance.join()
        assert (instance.results, instance.pids, instance.livings) == ((), (), ())
        assert hasattr(instance, "stoptime")


class TestFailures:
    def test_a_childs_exception_is_raised_with_its_traceback(self):
        with pytest.raises(ValueError, match="broken") as caught:
            tandemix.Pcall.pcall(sleep_then_raise, iargs=[(0, "broken")])
        assert "in sleep_then_raise" in str(caught.value.__cause__)

    def test_the_lowest_index_failure_wins_whichever_finished_first(self):
        with pytest.raises(ValueError, match="slow but first"):
            tandemix.Pcall.pcall(sleep_then_raise, iargs=[(0.5, "slow but first"), (0.0, "fast but second")])

    def test_step_termination_becomes_step_failed_signal(self):
        with pytest.raises(TrevaskStepFailedSignal) as caught:
            tandemix.Pcall.pcall([lambda: 1, terminate_step])
        [wrapped] = caught.value.args
        assert isinstance(wrapped, TerminateStepSignal) and wrapped.args == ("stop here",)

    def test_results_are_not_stored_after_a_failure(self):
        instance = tandemix.Pcall([lambda: 1, lambda: 1 / 0])
        instance.start()
        with pytest.raises(ZeroDivisionError):
            instance.join()
        assert instance.results is None and hasattr(instance, "stoptime")


class TestChildrenThatNeverReport:
    def test_a_child_without_an_entry_is_a_failure_not_a_shorter_result(self):
        instance = tandemix.Pcall([lambda: "kept", lambda: exit_without_reporting(3), lambda: "also kept"])
        instance.start()
        with pytest.raises(RuntimeError) as caught:
            instance.join()
        pid = instance._processes[1].pid
        assert str(caught.value) == (
            f"Child process-1 (pid {pid}) ended with exit code 3 without reporting a result.")
        assert instance.results is None

    def test_the_lowest_index_decides_between_missing_and_failed(self):
        with pytest.raises(ValueError, match="first"):
            tandemix.Pcall.pcall([lambda: sleep_then_raise(0.3, "first"), lambda: exit_without_reporting(1)])

    def test_a_killed_child_is_reported_with_its_signal(self):
        instance = tandemix.Pcall(sleep_then_return, iargs=[(30, None)])
        instance.start()
        instance.kill()
        with pytest.raises(RuntimeError, match=r"ended with exit code -9 without reporting"):
            instance.join()


class TestRepeatedJoin:
    def test_a_second_join_gives_the_same_results_and_renews_stoptime(self):
        instance = tandemix.Pcall(times_ten, iargs=[(1,), (2,)])
        instance.start()
        instance.join()
        first_stop = instance.stoptime
        instance.join()
        assert instance.results == (10, 20) and instance.stoptime >= first_stop

    def test_a_second_join_after_a_failure_raises_it_again(self):
        instance = tandemix.Pcall(sleep_then_raise, iargs=[(0, "again")])
        instance.start()
        for _ in range(2):
            with pytest.raises(ValueError, match="again"):
                instance.join()


class TestTimeLimit:
    @pytest.mark.serial
    def test_time_out_terminates_logs_and_raises(self, tandemix_records, time_scale):
        limit = 0.5 * time_scale  # long enough for the quick child to finish
        instance = tandemix.Pcall(sleep_then_return, iargs=[(0, "quick"), (30, "slow"), (30, "slower")], timeout=limit)
        instance.start()
        started = time.monotonic()
        with pytest.raises(TimeoutError) as caught:
            instance.join()
        assert time.monotonic() - started < 5 * time_scale
        assert str(caught.value) == "Not all child processes finished running."
        [record] = tandemix_records()
        assert record.levelno == logging.ERROR
        slow, slower = instance._processes[1:]
        assert record.getMessage() == (
            f"The following processes are still running after {limit} seconds:\n"
            f"    PID-{slow.pid}: target=sleep_then_return, args=(30, 'slow'), kwargs={{}}\n"
            f"    PID-{slower.pid}: target=sleep_then_return, args=(30, 'slower'), kwargs={{}}\n")
        reap(instance)
        assert [c.exitcode for c in instance._processes] == [0, -signal.SIGTERM, -signal.SIGTERM]
        assert instance.results is None and not hasattr(instance, "stoptime")

    @pytest.mark.serial
    def test_the_limit_counts_from_start_not_from_join(self):
        instance = tandemix.Pcall(sleep_then_return, iargs=[(30, None)], timeout=0.2)
        instance.start()
        time.sleep(0.4)
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            instance.join()
        assert time.monotonic() - started < 1.0  # after the first sleep, not another 0.2 s later
        reap(instance)

    @pytest.mark.serial
    def test_a_passed_limit_is_no_error_when_every_child_has_ended(self, time_scale):
        instance = tandemix.Pcall(times_ten, iargs=[(1,)], timeout=0.1)
        instance.start()
        time.sleep(0.4 * time_scale)  # the child has ended by then
        instance.join()
        assert instance.results == (10,)

    @pytest.mark.parametrize("timeout", [None, 0])
    def test_no_limit_waits_for_every_child(self, timeout):
        assert tandemix.Pcall.pcall(sleep_then_return, iargs=[(0.6, "done")], timeout=timeout) == ("done",)

    def test_children_ending_during_the_last_sleep_still_time_out(self, monkeypatch, tandemix_records):
        instance = tandemix.Pcall(sleep_then_return, iargs=[(0.2, None)], timeout=1)

        class ClockThatWaitsForChildren:
            def time(self):
                return 1000.0 if hasattr(instance, "starttime") and self.slept else 0.0

            def sleep(self, seconds):
                reap(instance)
                self.slept = True

            slept = False

        monkeypatch.setattr(tandemix, "time", ClockThatWaitsForChildren())
        instance.start()
        with pytest.raises(TimeoutError):
            instance.join()
        [record] = tandemix_records()
        assert record.getMessage() == "The following processes are still running after 1 seconds:\n\n"

    def test_the_poll_sleeps_a_quarter_second_through_the_module_time(self, monkeypatch):
        slept = []
        real_sleep = time.sleep

        def recording_sleep(seconds):
            slept.append(seconds)
            real_sleep(seconds)

        monkeypatch.setattr(tandemix, "time", SimpleNamespace(time=time.time, sleep=recording_sleep))
        tandemix.Pcall.pcall(sleep_then_return, iargs=[(0.4, None)])
        assert slept and set(slept) == {0.25}


class TestStopping:
    def test_terminate_stops_running_children(self):
        instance = tandemix.Pcall(sleep_then_return, iargs=[(30, None), (30, None)])
        instance.start()
        instance.terminate()
        reap(instance)
        assert [c.exitcode for c in instance._processes] == [-signal.SIGTERM] * 2

    def test_kill_signals_running_children_only(self, monkeypatch):
        instance = tandemix.Pcall([lambda: None, lambda: time.sleep(30)])
        instance.start()
        instance._processes[0].join(30)
        signalled = []
        monkeypatch.setattr(tandemix, "os", SimpleNamespace(kill=lambda pid, sig: (signalled.append((pid, sig)),
                                                                                    os.kill(pid, sig))))
        instance.kill()
        assert signalled == [(instance._processes[1].pid, signal.SIGKILL)]
        reap(instance)
        assert instance._processes[1].exitcode == -signal.SIGKILL

    def test_kill_never_signals_children_that_were_not_started_or_have_ended(self, monkeypatch):
        monkeypatch.setattr(tandemix, "os", SimpleNamespace(kill=lambda *a: pytest.fail(f"signalled {a}")))
        instance = tandemix.Pcall(times_ten, iargs=[(1,), (2,)])
        instance.kill()
        instance.start()
        reap(instance)
        instance.kill()


class TestMisuse:
    def test_start_twice_fails_inside_the_log_context(self, tasklog):
        instance = tandemix.Pcall(times_ten, iargs=[(1,)])
        instance.start()
        first_start = instance.starttime
        with pytest.raises(AssertionError, match="cannot start a process twice"):
            instance.start()
        assert instance.starttime >= first_start
        assert tasklog.calls == ["enter", ("exit", None), "enter", ("exit", AssertionError)]
        instance.join()

    def test_a_start_failure_suppressed_by_the_context_stops_the_loop(self, monkeypatch):
        log = RecordingTaskLog(suppress=True)
        monkeypatch.setattr(tandemix, "managed_handlers", SimpleNamespace(tasklog=log))
        instance = tandemix.Pcall(times_ten, iargs=[(1,), (2,)])
        instance._processes[0].start = lambda: 1 / 0
        assert instance.start() is None
        assert log.calls == ["enter", ("exit", ZeroDivisionError)]
        assert instance._processes[1].pid is None

    def test_join_without_start(self):
        instance = tandemix.Pcall(times_ten, iargs=[(1,)])
        with pytest.raises(AssertionError, match="can only join a started process"):
            instance.join()

    def test_a_log_context_without_exit_is_refused(self, monkeypatch):
        class EnterOnly:
            def __enter__(self):
                return self

        monkeypatch.setattr(tandemix, "managed_handlers",
                            SimpleNamespace(tasklog=SimpleNamespace(consolidate_next_forked_logfile=EnterOnly)))
        with pytest.raises(TypeError, match="missed __exit__ method"):
            tandemix.Pcall(times_ten).start()
