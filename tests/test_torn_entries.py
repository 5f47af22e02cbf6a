"""A child that dies while writing its entry cannot make join() wait for ever.

The parent holds the result pipe's write end itself, so a frame cut short by
its writer's death never ends on its own, and the queue's write lock that
the dead writer held is never released, so the children that have yet to
report would wait in put() for ever.  join() must end, raise the error that
names the child that died, and leave no child running.
"""

import multiprocessing
import os
import pickle
import signal
import struct
import time
from types import SimpleNamespace

import pytest

import quelbrin.async_.tandemix as tandemix
from deadlines import deadline

BIG = 8 * 2**20


def die_while_sending(share):
    """Makes this child's next entry stop after `share` of its frame, then SIGKILL the child."""
    writer = multiprocessing.current_process()._queue._writer

    def send_bytes(payload):
        writer._send(struct.pack("!i", len(payload)))
        writer._send(bytes(payload[:int(len(payload) * share)]))
        os.kill(os.getpid(), signal.SIGKILL)

    writer.send_bytes = send_bytes


def big_result_then_death(share):
    time.sleep(0.3)
    die_while_sending(share)
    return b"x" * BIG


def reports_after(seconds):
    time.sleep(seconds)
    return "reported"


def missing_report(instance, position, exitcode=-signal.SIGKILL):
    pid = instance._processes[position].pid
    return f"Child process-{position} (pid {pid}) ended with exit code {exitcode} without reporting a result."


@pytest.mark.parametrize("timeout", [None, 60], ids=["no limit", "limit"])
@pytest.mark.parametrize("share", [0.5, 0.0], ids=["half the frame", "header only"])
@pytest.mark.parametrize("others", [0.0, 1.0], ids=["others reported first", "others report later"])
def test_a_child_killed_while_writing_its_entry_is_named_and_nothing_hangs(timeout, share, others):
    instance = tandemix.Pcall([lambda: reports_after(others), lambda: big_result_then_death(share),
                               lambda: reports_after(others)], timeout=timeout)
    instance.start()
    started = time.monotonic()
    with deadline(30), pytest.raises(RuntimeError) as caught:
        instance.join()
    assert time.monotonic() - started < 15
    assert str(caught.value) == missing_report(instance, 1)
    assert instance.livings == ()
    assert instance._processes[1].exitcode == -signal.SIGKILL


@pytest.mark.serial
def test_children_stopped_for_a_dead_writer_are_not_the_ones_named():
    # the writer holds the lock when it dies: the first and last child wait in put()
    instance = tandemix.Pcall([lambda: reports_after(1.0), lambda: big_result_then_death(0.5),
                               lambda: reports_after(1.0)])
    instance.start()
    with deadline(30), pytest.raises(RuntimeError, match="Child process-1 "):
        instance.join()
    assert [child.exitcode for child in instance._processes] == [-signal.SIGTERM, -signal.SIGKILL,
                                                                 -signal.SIGTERM]


@pytest.mark.serial
def test_a_writer_that_dies_after_its_whole_entry_still_holding_the_lock():
    # nobody is left without an entry but the children that wait for the lock:
    # they are stopped after a longer wait, and the first of them is named
    instance = tandemix.Pcall([lambda: reports_after(1.0), lambda: big_result_then_death(1.0),
                               lambda: reports_after(1.0)])
    instance.start()
    with deadline(30), pytest.raises(RuntimeError) as caught:
        instance.join()
    assert str(caught.value) == missing_report(instance, 0, -signal.SIGTERM)
    assert instance.livings == ()


def test_children_still_working_are_not_stopped_while_the_lock_is_free():
    instance = tandemix.Pcall([lambda: os._exit(3), lambda: reports_after(2.5)])
    instance.start()
    with pytest.raises(RuntimeError, match="Child process-0 .* exit code 3 "):
        instance.join()
    assert instance._processes[1].exitcode == 0


def test_large_entries_arrive_whole_and_in_order():
    values = [bytes([k]) * (BIG // 2 + k) for k in range(3)]
    results = tandemix.Pcall.pcall(lambda value: value, iargs=[(v,) for v in values])
    assert results == tuple(values)


def frame(payload, long_header=False):
    if long_header:
        return struct.pack("!i", -1) + struct.pack("!Q", len(payload)) + payload
    return struct.pack("!i", len(payload)) + payload


def ended_children(count):
    return [SimpleNamespace(is_alive=lambda: False, join=lambda: None, pid=100 + k, exitcode=0)
            for k in range(count)]


def test_frames_are_read_as_the_queue_reads_them():
    instance = tandemix.Pcall(lambda: None, iargs=[(), (), ()])
    instance._processes[:] = ended_children(3)
    writer = instance._queue._writer
    os.write(writer.fileno(), frame(pickle.dumps((0, True, "short"))) +
             frame(pickle.dumps((1, True, "long header")), long_header=True))
    writer.send_bytes(pickle.dumps((2, True, "sent")))
    instance.join()
    assert instance.results == ("short", "long header", "sent")


def test_a_cut_frame_left_by_a_child_that_ended_is_dropped():
    instance = tandemix.Pcall(lambda: None, iargs=[(), ()])
    instance._processes[:] = ended_children(2)
    instance._queue.put((0, True, "whole"))
    os.write(instance._queue._writer.fileno(), frame(pickle.dumps((1, True, "cut")))[:-3])
    with deadline(10), pytest.raises(RuntimeError, match="Child process-1 "):
        instance.join()


def test_an_entry_that_cannot_be_unpickled_fails_as_get_would():
    instance = tandemix.Pcall(lambda: None)
    instance._processes[:] = ended_children(1)
    instance._queue._writer.send_bytes(b"not a pickle")
    with pytest.raises(pickle.UnpicklingError):
        instance.join()


def test_any_other_queue_object_is_used_through_its_methods():
    class Queue:
        entries = [(0, True, "from get()")]

        def empty(self):
            return not self.entries

        def get(self):
            return self.entries.pop()

    instance = tandemix.Pcall(lambda: None)
    instance._processes[:] = ended_children(1)
    instance._queue = Queue()
    instance.join()
    assert instance.results == ("from get()",)


def test_entries_after_one_that_cannot_be_unpickled_wait_for_the_next_join():
    instance = tandemix.Pcall(lambda: None, iargs=[(), ()])
    instance._processes[:] = ended_children(2)
    instance._queue.put((0, True, "a"))
    instance._queue._writer.send_bytes(b"not a pickle")
    instance._queue.put((1, True, "b"))
    with pytest.raises(pickle.UnpicklingError):
        instance.join()
    instance.join()
    assert instance.results == ("a", "b")


def test_a_frame_cut_by_a_time_out_is_finished_by_the_next_join(monkeypatch):
    child = SimpleNamespace(is_alive=lambda: True, terminate=lambda: None, join=lambda: None, pid=1, exitcode=0,
                            _work=SimpleNamespace(target="t", args="()", kwargs="{}"))
    instance = tandemix.Pcall(lambda: None, timeout=0.01)
    instance.starttime = 0
    instance._processes[:] = [child]
    whole = frame(pickle.dumps((0, True, "x" * 100_000)))
    fd = instance._queue._writer.fileno()
    os.write(fd, whole[:50_000])
    with deadline(10), pytest.raises(TimeoutError):
        instance.join()
    os.write(fd, whole[50_000:])
    child.is_alive = lambda: False
    instance.join()
    assert instance.results == ("x" * 100_000,)


@pytest.mark.parametrize("junk", [5, "text", [1, (2, 3)], "old format"])
def test_whatever_else_is_found_where_cut_frames_are_kept_is_not_trusted(junk):
    instance = tandemix.Pcall(lambda: None)
    instance._processes[:] = ended_children(1)
    instance._unread = [(instance._queue, b"\x00\x00\x00")] if junk == "old format" else junk
    instance._queue.put((0, True, "whole"))
    instance.join()
    assert instance.results == ("whole",)


class InterruptedIndex(int):
    """An entry's index whose first comparison is where Ctrl-C arrives."""
    interrupted = False

    def __eq__(self, other):
        if not InterruptedIndex.interrupted:
            InterruptedIndex.interrupted = True
            raise KeyboardInterrupt
        return int.__eq__(self, other)

    __hash__ = int.__hash__


def test_ctrl_c_while_looking_for_a_dead_writer_is_not_swallowed():
    InterruptedIndex.interrupted = False
    # child 0 ended after its entry; child 1 still runs; the write lock is
    # held with nothing arriving, so join() looks for the child that died
    # holding it, comparing each entry's index
    living = SimpleNamespace(is_alive=lambda: True, terminate=lambda: None, join=lambda timeout=None: None,
                             pid=os.getpid(), exitcode=None,
                             _work=SimpleNamespace(target="t", args="()", kwargs="{}"))
    instance = tandemix.Pcall(lambda: None, iargs=[(), ()], timeout=6)
    instance.starttime = time.time()
    ended = ended_children(1)[0]
    ended.terminate = lambda: None
    instance._processes[:] = [ended, living]
    instance._queue.put((InterruptedIndex(0), True, "a"))
    instance._queue._wlock.acquire()
    try:
        with deadline(20), pytest.raises(KeyboardInterrupt):
            instance.join()
    finally:
        instance._queue._wlock.release()
    assert InterruptedIndex.interrupted
