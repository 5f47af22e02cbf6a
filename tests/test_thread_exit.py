"""A daemon thread inside a native call when the interpreter exits.

During finalisation CPython ends daemon threads that wake up with
pthread_exit(), which unwinds their stacks through the native frames.  The
process must end as the same script in plain Python would: with status 0.
"""

import subprocess
import sys
import textwrap

import pytest

PREAMBLE = """
import threading, time
from quelbrin.async_ import synchronize, tandemix

def in_daemon_thread(work):
    def loop():
        while True:
            work()
    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.05)
"""

SCRIPTS = {
    "Lockable.locked": """
        class Counter(synchronize.Lockable):
            def __init__(self):
                super().__init__()
            @synchronize.Lockable.locked
            def bump(self):
                return 1
        in_daemon_thread(Counter().bump)
    """,
    "locked": """
        class Counter:
            @synchronize.locked
            def bump(self):
                return 1
        in_daemon_thread(Counter().bump)
    """,
    "Pcall._build_arguments": """
        call = tandemix.Pcall(len, iargs=[("ab",)] * 50)
        in_daemon_thread(call._build_arguments)
    """,
    "Pcall.join": """
        call = tandemix.Pcall(time.sleep, iargs=[(0.5,)])
        call.start()
        threading.Thread(target=call.join, daemon=True).start()
        time.sleep(0.3)
    """,
}


@pytest.mark.parametrize("name", SCRIPTS)
def test_interpreter_exits_cleanly_with_a_daemon_thread_inside_a_native_call(name):
    script = PREAMBLE + textwrap.dedent(SCRIPTS[name])
    statuses = [subprocess.run([sys.executable, "-c", script], capture_output=True).returncode for _ in range(20)]
    assert statuses == [0] * 20
