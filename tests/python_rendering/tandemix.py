"""The parallel-call module as plain Python, one statement per step.

The decided behaviours that go beyond the plain algorithm are marked where
they occur: a child without an entry is reported, the entries read are kept
under `_entries`, and `kill()` passes over children that never started or
have ended.
"""

import os
import time
import signal
import logging
import inspect
import itertools
import functools
from collections import namedtuple
from quelbrin.async_.exceptions import ExceptionWithTraceback
from quelbrin.log import managed_handlers

multiprocessing = __import__('multiprocessing').get_context('fork')
__pcall_infra__ = True
logger = logging.getLogger(__name__)
ChildWork = namedtuple("ChildWork", ["target", "args", "kwargs"])


class ChildLabor(multiprocessing.Process):
    """ChildLabor Class

    Worker class, subclassing from multiprocessing.Process under 'fork' context.
    The customizations in this class is designed purely for it to be called
    under p-call.
    """

    def __init__(self, index, queue, *args, **kwargs):
        """built-in init"""
        super().__init__(*args, **kwargs)
        self._index = index
        self._queue = queue
        target = self._target
        if isinstance(target, functools.partial):
            target = target.func
        try:
            name = target.__name__
        except AttributeError:
            name = target
        self._work = ChildWork(str(name), str(self._args), str(self._kwargs))

    def _get_steps(self):
        """
        Attempt to retrieve testcase steps
        """
        def _get_current_steps(steps):
            """
            Recursively grab the lastest non-finished step to branch off
            """
            if steps.steps and isinstance(steps.steps[-1].steps, list):
                return _get_current_steps(steps.steps[-1])
            return steps

        for frame in inspect.stack():
            obj = frame.frame.f_locals.get("self")
            try:
                return _get_current_steps(obj.parameters.internal.get("steps"))
            except Exception:
                pass
        return None

    def run(self):
        """ChildLabor.run"""
        from quelbrin.trevask.steps import Steps
        from quelbrin.trevask.signals import TerminateStepSignal
        result = (self._index,)
        steps = self._get_steps()
        if isinstance(steps, Steps):
            steps.offset = (int(self._index) + 1) * 1000
        try:
            result += (True, self._target(*self._args, **self._kwargs))
        except Exception as e:
            logger.exception(
                "Caught error while executing target in child process-" + str(self._index) + ":\n  target = "
                + str(self._work.target) + "\n  args = " + str(self._work.args) + "\n  kwargs = "
                + str(self._work.kwargs) + "\n\n")
            result += (False, ExceptionWithTraceback(e))
        except TerminateStepSignal as e:
            result += (2, ExceptionWithTraceback(e))
        self._queue.put(result)


class Pcall:
    """Pcall class"""

    @classmethod
    def pcall(cls, *args, **kwargs):
        """pcall classmethod"""
        instance = cls(*args, **kwargs)
        instance.start()
        instance.join()
        return instance.results

    def __init__(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs):
        self.targets = targets
        self.timeout = timeout
        self.cargs = cargs
        self.iargs = list(iargs)
        self.ckwargs = ckwargs
        self.ikwargs = list(ikwargs)
        self.varkwargs = {key: list(values) for key, values in varkwargs.items()}
        self.results = None
        self._queue = multiprocessing.SimpleQueue()
        self._processes = []
        for index, argument_set in enumerate(self._build_arguments()):
            self._processes.append(ChildLabor(index=index, queue=self._queue, **argument_set))

    @property
    def pids(self):
        """pids (property)"""
        return tuple(p.pid for p in self._processes)

    def start(self):
        """start"""
        self.starttime = time.time()
        with managed_handlers.tasklog.consolidate_next_forked_logfile():
            for p in self._processes:
                p.start()

    def join(self):
        """join"""
        # Decided: the entries read are kept, so that a repeated join() sees
        # what the first one took off the queue.
        try:
            results = self._entries
        except AttributeError:
            results = None
        if not isinstance(results, list):
            results = self._entries = []
        while any(p.is_alive() for p in self._processes):
            while not self._queue.empty():
                results.append(self._queue.get())
            time.sleep(0.25)
            if self.timeout and time.time() > self.timeout + self.starttime:
                extended_msg = [
                    "    PID-{p.pid}: target={p._work.target}, args={p._work.args}, kwargs={p._work.kwargs}".format(p=p)
                    for p in self.livings]
                self.terminate()
                logger.error("The following processes are still running after {timeout} seconds:\n{extended_msg}\n"
                             .format(timeout=self.timeout, extended_msg="\n".join(extended_msg)))
                raise TimeoutError("Not all child processes finished running.")
        self.stoptime = time.time()
        while not self._queue.empty():
            results.append(self._queue.get())
        for p in self._processes:
            p.join()
        # The entries are walked in index order, each unpacked when it is
        # reached.  Decided: a child without an entry is a failure in its own
        # right, ranked by index with the reported ones, so the lowest index
        # that failed or has no entry decides; an entry counts for the child
        # whose position its index equals, others are passed over, and
        # results line up with _processes.
        children = list(self._processes)
        values = []
        for entry in sorted(results):
            i, success, result = entry
            if len(values) < len(children) and i > len(values):
                break
            if len(values) < len(children) and i == len(values):
                if success == 2:
                    from quelbrin.trevask.signals import TrevaskStepFailedSignal
                    raise TrevaskStepFailedSignal(result)
                elif not success:
                    raise result
                values.append(result)
        if len(values) < len(children):
            p = children[len(values)]
            raise RuntimeError(f"Child process-{len(values)} (pid {p.pid}) ended with exit code {p.exitcode} "
                               "without reporting a result.")
        self.results = tuple(values)

    def terminate(self):
        """terminate"""
        for p in self._processes:
            p.terminate()

    def kill(self):
        """kill"""
        for p in self._processes:
            # Decided: a child never started has no process, and the pid of
            # one that has ended may already belong to another process.
            if p.pid is None or not p.is_alive():
                continue
            os.kill(p.pid, signal.SIGKILL)

    @property
    def livings(self):
        """property: livings"""
        return tuple(p for p in self._processes if p.is_alive())

    def _build_arguments(self):
        """internal: building arguments"""
        if callable(self.targets):
            counts = [len(self.iargs), len(self.ikwargs)] + [len(v) for v in self.varkwargs.values()]
            counts = [n for n in counts if n]
            count = min(counts) if counts else 1
            targets = itertools.repeat(self.targets)
        else:
            counts = [len(self.targets), len(self.iargs), len(self.ikwargs)] + [len(v) for v in self.varkwargs.values()]
            count = min([n for n in counts if n])
            targets = iter(self.targets)
        argument_sets = []
        for i in range(count):
            args = tuple(self.cargs)
            if self.iargs:
                args = args + tuple(self.iargs[i])
            kwargs = self.ckwargs.copy()
            if self.ikwargs:
                kwargs.update(self.ikwargs[i])
            for key, values in self.varkwargs.items():
                kwargs[key] = values[i]
            argument_sets.append({"target": next(targets), "args": args, "kwargs": kwargs})
        return argument_sets


__test__ = {}
