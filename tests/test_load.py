"""Load on parallel calls: many children, large results.

The lock under load (8 processes x 4 threads x 5,000 calls) is in test_lock_processes.py.
"""

import quelbrin.async_.tandemix as tandemix


def identity(value):
    return value


def test_two_hundred_children_return_in_order():
    count = 200
    assert tandemix.Pcall.pcall(identity, iargs=[(i,) for i in range(count)], timeout=120) == tuple(range(count))


def ten_megabytes(tag):
    return tag * (10 * 1024 * 1024)


def test_large_results_are_drained_while_children_run():
    # Each result is far larger than a pipe holds: a child can only finish
    # once the parent has read its entry.
    results = tandemix.Pcall.pcall(ten_megabytes, iargs=[(b"a",), (b"b",), (b"c",)], timeout=120)
    assert [(len(r), r[:1]) for r in results] == [(10 * 1024 * 1024, b"a"), (10 * 1024 * 1024, b"b"),
                                                 (10 * 1024 * 1024, b"c")]
