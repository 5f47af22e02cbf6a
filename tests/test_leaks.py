"""Repeated operations neither leak memory blocks nor file descriptors.

Each check warms the operation up, then repeats it and bounds the growth of
sys.getallocatedblocks() and of the open file descriptors: a leak of one
object per call would grow by at least the repeat count.
"""

import gc
import logging
import os
import sys
import time
from types import SimpleNamespace

import pytest

import quelbrin.async_.tandemix as tandemix
import quelbrin.async_.synchronize as synchronize
from quelbrin.async_.synchronize import Lockable, LockableMeta, locked
from quelbrin.trevask.signals import TerminateStepSignal

REPEAT = 400


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def growth(operation, repeat=REPEAT, warmup=100):
    for _ in range(warmup):
        operation()
    gc.collect()
    blocks, fds = sys.getallocatedblocks(), open_fds()
    for _ in range(repeat):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - blocks, open_fds() - fds


def assert_no_leak(operation, repeat=REPEAT):
    blocks, fds = growth(operation, repeat)
    assert blocks < repeat // 4, f"{blocks} blocks more after {repeat} calls"
    assert fds <= 0, f"{fds} file descriptors more after {repeat} calls"


@pytest.fixture(autouse=True)
def quiet_loggers(monkeypatch):
    """Records go to loggers of their own that drop them, so that captured log
    output does not grow during the checks; the records are still made."""
    for module in (tandemix, synchronize):
        quiet = logging.Logger(module.__name__)
        quiet.addHandler(logging.NullHandler())
        quiet.propagate = False
        monkeypatch.setattr(module, "logger", quiet)


class Counter(Lockable):
    def __init__(self):
        super().__init__()
        self.count = 0

    @Lockable.locked
    def add(self, amount, *, times=1):
        self.count += amount * times
        return self.count

    @Lockable.locked
    def fail(self):
        raise ValueError("always")


class Decorated:
    @locked
    def add(self, amount, *, times=1):
        return amount * times


class Meta(metaclass=LockableMeta):
    def add(self, amount, *, times=1):
        return amount * times


class TestLockedCalls:
    @pytest.mark.parametrize("obj", [Counter(), Decorated(), Meta()], ids=["Lockable", "locked", "LockableMeta"])
    def test_successful_calls(self, obj):
        assert_no_leak(lambda: (obj.add(1), obj.add(2, times=3)))

    def test_raising_calls(self):
        counter = Counter()

        def call():
            with pytest.raises(ValueError):
                counter.fail()

        assert_no_leak(call)

    def test_calls_that_fail_before_the_method(self):
        def call():
            with pytest.raises(AttributeError):
                Lockable.locked(lambda self: None)(object())

        assert_no_leak(call)

    def test_making_wrappers_and_classes(self):
        def make():
            locked(lambda self: None)
            Lockable.locked(lambda self: None)
            LockableMeta("Made", (), {"method": lambda self: None, "_private": 1})
            Counter()

        assert_no_leak(make, repeat=200)


def target(*args, **kwargs):
    return args


class TestConstruction:
    def test_successful_construction(self):
        assert_no_leak(lambda: tandemix.Pcall(target, cargs=[0], iargs=[(1,), (2,)], ckwargs={"a": 1},
                                              ikwargs=[{"b": 2}, {"b": 3}], x=[1, 2]), repeat=200)

    @pytest.mark.parametrize("arguments, error", [
        (((target,), {"iargs": 5}), TypeError),
        (((3,), {}), TypeError),
        ((([],), {}), ValueError),
        ((([],), {"iargs": [(1,)]}), StopIteration),
        (((target,), {"x": []}), IndexError),
        (((target,), {"iargs": [1]}), TypeError),
        (((target,), {"ckwargs": None}), AttributeError),
        (((), {}), TypeError),
        (((target, 1, 2, 3, 4, 5, 6), {}), TypeError),
    ], ids=["iargs", "targets", "no source", "empty targets", "empty values", "iargs item", "ckwargs",
            "missing targets", "too many"])
    def test_failed_construction(self, arguments, error):
        args, kwargs = arguments

        def construct():
            with pytest.raises(error):
                tandemix.Pcall(*args, **kwargs)

        assert_no_leak(construct, repeat=200)


class TestRunInProcess:
    class Sink:
        def put(self, record):
            pass

    @pytest.mark.parametrize("body", [lambda: 1, lambda: 1 / 0, lambda: (_ for _ in ()).throw(TerminateStepSignal())],
                             ids=["success", "failure", "step termination"])
    def test_each_record_kind(self, body):
        child = tandemix.ChildLabor(index=0, queue=self.Sink(), target=body)
        assert_no_leak(child.run, repeat=1000)

    def test_exceptions_that_leave_run(self):
        def interrupted():
            raise KeyboardInterrupt

        child = tandemix.ChildLabor(index=0, queue=self.Sink(), target=interrupted)

        def run():
            with pytest.raises(KeyboardInterrupt):
                child.run()

        assert_no_leak(run, repeat=1000)


def zombie_children():
    me = str(os.getpid())
    zombies = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[1] == me and fields[0] == "Z":
                zombies.append(int(entry))
    return zombies


def test_sequential_parallel_calls_leave_nothing_behind(monkeypatch):
    # A short poll keeps 300 runs quick; resources are what is checked here.
    monkeypatch.setattr(tandemix, "time", SimpleNamespace(time=time.time, sleep=lambda seconds: time.sleep(0.002)))
    assert tandemix.Pcall.pcall(target, iargs=[(1,), (2,)]) == ((1,), (2,))
    blocks, fds = growth(lambda: tandemix.Pcall.pcall(target, iargs=[(1,), (2,)]), repeat=300, warmup=20)
    assert fds <= 0 and blocks < 300
    import multiprocessing

    assert multiprocessing.active_children() == []
    assert zombie_children() == []
