"""A daemon thread inside a native call when the interpreter exits.

During finalisation CPython ends daemon threads that wake up with
pthread_exit(), which unwinds their stacks through the native frames.  The
process must end as the same script in plain Python would: with status 0.

Each case keeps several daemon threads looping through one native path in
which Python code gives up the GIL -- a finaliser, a lock method, a logging
handler or an attribute that sleeps -- so that at exit the threads are
ended inside it: while a reference or a guard of that path is alive, while
one is being dropped, or while an error unwinds through it.
"""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

from quelbrin.async_ import synchronize

PREAMBLE = """
import functools, logging, threading, time
from quelbrin.async_ import synchronize, tandemix

def nap():
    time.sleep(0.0005)

class Finalised:
    \"\"\"Gives up the GIL when it is freed.\"\"\"
    def __del__(self):
        nap()

class TupleFinalised(tuple):
    def __del__(self):
        nap()

class PlainLock:
    \"\"\"A lock of the user's own; each case overrides what it needs.\"\"\"
    def acquire(self, block=True, timeout=None):
        return True
    def release(self):
        return None

class NappingChild:
    def is_alive(self):
        nap()
        return False

napping_call = tandemix.Pcall(len, iargs=[("ab",)])
napping_call._processes[:] = [NappingChild()]

def native_nap():
    \"\"\"A call into the extension during which the GIL is given up.\"\"\"
    return napping_call.livings

def in_daemon_threads(work, threads=4, linger=0.1):
    def loop():
        while True:
            try:
                work()
            except Exception:
                pass
    for _ in range(threads):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(linger)
"""

# run() of a child whose target fails, its failure logged by a handler
# whose HANDLING method gives up the GIL.
RUN_FAILURE = """
class Reporting(logging.Handler):
    def HANDLING
logger = logging.getLogger("quelbrin.async_.tandemix")
logger.addHandler(Reporting())
logger.propagate = False
class Queue:
    def put(self, item):
        pass
def fail():
    raise ValueError("target failed")
work = tandemix.ChildLabor(index=0, queue=Queue(), target=fail).run
"""

# A step of a test object searching the caller's frames for its steps,
# whose `steps` property runs STEPS.
STEP_SEARCH = """
class Steps:
    @property
    def steps(self):
        STEPS
class Parameters:
    internal = {"steps": Steps()}
class Test:
    parameters = Parameters()
    def step(self, child):
        return child._get_steps()
child, test = tandemix.ChildLabor(index=0, queue=None, target=len), Test()
work = lambda: test.step(child)
"""

# Each script defines `work`, one pass through the native path.
PATHS = {
    "the try-acquire result": """
        class Lock(PlainLock):
            def acquire(self, block=True, timeout=None):
                return Finalised()
        class Owner:
            __lock__ = Lock()
            @synchronize.locked
            def method(self):
                return 1
        work = Owner().method
    """,
    "the release result": """
        class Lock(PlainLock):
            def release(self):
                return Finalised()
        class Owner:
            __lock__ = Lock()
            @synchronize.locked
            def method(self):
                return 1
        work = Owner().method
    """,
    "the method result, dropped while the release error unwinds": """
        class Lock(PlainLock):
            def release(self):
                raise RuntimeError("release failed")
        class Owner:
            __lock__ = Lock()
            @synchronize.locked
            def method(self):
                return Finalised()
        work = Owner().method
    """,
    "a method that is a functools.partial": """
        class Owner:
            method = synchronize.locked(functools.partial(lambda self: nap()))
        owner = Owner()
        work = lambda: Owner.method(owner)
    """,
    "a method that is a functools.lru_cache": """
        import itertools
        class Owner:
            @synchronize.locked
            @functools.lru_cache(maxsize=None)
            def method(self, n):
                nap()
        owner, counter = Owner(), itertools.count()
        work = lambda: owner.method(next(counter))
    """,
    "a method that is another locked wrapper": """
        class Owner(synchronize.Lockable):
            @synchronize.Lockable.locked
            @synchronize.Lockable.locked
            def method(self):
                nap()
        work = Owner().method
    """,
    "a method that is a callable object": """
        class Body:
            def __call__(self, owner):
                nap()
        class Owner:
            method = synchronize.locked(Body())
        owner = Owner()
        work = lambda: Owner.method(owner)
    """,
    "a raising method with a release() written in Python": """
        class Lock(PlainLock):
            def release(self):
                nap()
        class Owner:
            __lock__ = Lock()
            @synchronize.locked
            def method(self):
                raise ValueError("method failed")
        work = Owner().method
    """,
    "argument building": """
        class Instances:
            \"\"\"Instance arguments made afresh at each read, freed after use.\"\"\"
            def __len__(self):
                return 20
            def __getitem__(self, index):
                return TupleFinalised(("ab",))
        call = tandemix.Pcall(len, iargs=[("ab",)])
        call.iargs = Instances()
        work = call._build_arguments
    """,
    "join()'s drain": """
        class Queue:
            \"\"\"A result queue of the user's own, read afresh each time.\"\"\"
            def empty(self):
                nap()
                return True
            def __del__(self):
                nap()
        class Call(tandemix.Pcall):
            _queue = property(lambda self: Queue(), lambda self, value: None)
        call = Call(len, iargs=[("ab",)])
        call._processes = []
        work = call.join
    """,
    "join()'s reading of a frame cut short": """
        import os, struct
        from types import SimpleNamespace
        call = tandemix.Pcall(len, iargs=[("ab",)])
        call._processes[:] = [SimpleNamespace(is_alive=lambda: False, join=lambda: None, pid=1, exitcode=0)]
        fd = call._queue._writer.fileno()
        os.write(fd, struct.pack("!i", 10**8))
        if os.fork() == 0:
            # A writer outside this interpreter's finalisation keeps waking the
            # readers; the frame never ends.  It ends with the pipe's read end.
            os.close(call._queue._reader.fileno())
            try:
                while True:
                    os.write(fd, b"x")
                    time.sleep(0.0005)
            finally:
                os._exit(0)
        work = call.join
    """,
    "join()'s unpickling under the queue's read lock": """
        from types import SimpleNamespace
        def made_slowly():
            nap()
            return Finalised()
        class Result:
            def __reduce__(self):
                return made_slowly, ()
        call = tandemix.Pcall(len, iargs=[("ab",)])
        call._processes[:] = [SimpleNamespace(is_alive=lambda: False, join=lambda: None, pid=1, exitcode=0)]
        def feed():
            while True:
                call._queue.put((0, True, Result()))
                nap()
        threading.Thread(target=feed, daemon=True).start()
        work = call.join
    """,
    "run()'s failure logging": RUN_FAILURE.replace("HANDLING", "emit(self, record):\n        nap()"),
    "a native call from run()'s failure logging": RUN_FAILURE.replace(
        "HANDLING", "handle(self, record):  # without the handler's lock\n        native_nap()"),
    "a native call from the log manager's __exit__ when start() fails": """
        import contextlib
        class Tasklog:
            @contextlib.contextmanager
            def consolidate_next_forked_logfile(self):
                try:
                    yield
                finally:
                    native_nap()
        class Handlers:
            tasklog = Tasklog()
        tandemix.managed_handlers = Handlers()
        class Unstartable:
            def start(self):
                raise OSError("cannot fork")
        call = tandemix.Pcall(len, iargs=[("ab",)])
        call._processes[:] = [Unstartable()]
        work = call.start
    """,
    "a native call from join()'s clean-up": """
        class Child:
            pid, exitcode = 1, None
            def is_alive(self):
                native_nap()
                return False
            def join(self, timeout=None):
                pass
        class Queue:
            def empty(self):
                raise OSError("the queue is gone")
        class Call(tandemix.Pcall):
            _queue = property(lambda self: Queue(), lambda self, value: None)
        call = Call(len, iargs=[("ab",)])
        call._processes[:] = [Child()]
        work = call.join
    """,
    "a native call from a finaliser run when a swallowed error is let go": textwrap.dedent("""
        class CallsNative:
            def __del__(self):
                native_nap()
    """) + STEP_SEARCH.replace("STEPS", "local = CallsNative()  # freed with the traceback\n"
                                       "        raise ValueError('no steps here')"),
    "the step search": STEP_SEARCH.replace("STEPS", "nap()\n        return []"),
}

RUNS = 3


@pytest.mark.parametrize("path", PATHS)
def test_the_interpreter_exits_cleanly_with_daemon_threads_inside_a_native_path(path):
    script = PREAMBLE + textwrap.dedent(PATHS[path]) + "in_daemon_threads(work)\n"
    children = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(RUNS)]
    outcomes = [(child.wait(timeout=60), child.stderr.read().decode(errors="replace")) for child in children]
    for child in children:
        child.stdout.close()
        child.stderr.close()
    assert [status for status, _ in outcomes] == [0] * RUNS, outcomes[0][1][-2000:]


def test_no_handler_of_the_extensions_catches_the_unwind():
    # A handler that catches everything also begins catching the unwind,
    # which terminates the process when the thread is inside another
    # handler already (the cases "a native call from ..." above).
    sources = pathlib.Path(__file__).resolve().parents[1] / "src" / "quelbrin" / "async_"
    catch_all = re.compile(r"catch\s*\(\s*(\.\.\.|[^)]*__forced_unwind)")
    offenders = [f"{path.name}:{number}"
                 for path in sorted(sources.glob("*.[ch]pp"))
                 for number, line in enumerate(path.read_text().splitlines(), 1)
                 if catch_all.search(line) and not line.lstrip().startswith("//")]
    assert offenders == []


def test_an_object_freed_while_an_error_unwinds_is_finalised_before_the_call_returns():
    # The method's result is let go while the release error is on its way
    # out; its finaliser must still run, and before the caller sees the error.
    finalised = []

    class Result:
        def __del__(self):
            finalised.append("result")

    class Lock:
        def acquire(self, block=True, timeout=None):
            return True

        def release(self):
            assert not finalised
            raise RuntimeError("release failed")

    class Owner:
        __lock__ = Lock()

        @synchronize.locked
        def method(self):
            return Result()

    for _ in range(3):
        with pytest.raises(RuntimeError, match="release failed"):
            Owner().method()
        assert finalised == ["result"]
        finalised.clear()
