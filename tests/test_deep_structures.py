"""Deep chains of native objects are freed, copied and called without exhausting the C stack.

Each scenario runs in a child interpreter, so a stack overflow shows as its
exit status instead of taking the test runner down.
"""

import subprocess
import sys
import textwrap

import pytest


def run(script):
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr[-2000:]
    return completed.stdout


@pytest.mark.parametrize("decorator", ["synchronize.locked", "synchronize.Lockable.locked"])
def test_a_million_nested_wrappers_are_freed(decorator):
    # Without __wrapped__ the only link from one wrapper to the next is the
    # wrapper itself, so nothing else's deallocator bounds the nesting.
    run(f"""
        from quelbrin.async_ import synchronize
        def method(self):
            return 1
        chain = method
        for _ in range(1_000_000):
            chain = {decorator}(chain)
            del chain.__wrapped__
        del chain
        print("freed")
    """)


def test_calling_through_a_chain_too_deep_raises_recursion_error_and_copies_are_the_chain():
    output = run("""
        import copy
        from quelbrin.async_ import synchronize
        class Counter(synchronize.Lockable):
            pass
        def method(self):
            return 1
        chain = method
        for _ in range(100_000):
            chain = synchronize.locked(chain)
        Counter.bump = chain
        counter = Counter()
        try:
            counter.bump()
        except RecursionError:
            print("RecursionError")
        assert copy.copy(chain) is chain and copy.deepcopy(chain) is chain
        # The lock is free again: every level that acquired it released it.
        assert counter.__lock__.acquire(block=False)
    """)
    assert output.split() == ["RecursionError"]
