"""Both extension modules written out as plain Python, for the hostile-input hunt.

Each module here does, read for read and call for call, what its native
counterpart must do, so that an object that records what is done to it sees
the same sequence from either.  The hunt (tests/test_hostile.py) drives both
with the same hostile objects and compares what comes out.
"""
