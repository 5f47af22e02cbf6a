"""join() reads the result queue as the queue's own get() and empty() do.

join() reads the pipe of a genuine fork-context SimpleQueue itself, so that
a child that dies in the middle of its entry cannot make it wait for ever.
In everything else the reading cannot be told apart from
`while not queue.empty(): entries.append(queue.get())`: a frame is taken
whole under the queue's read lock, so concurrent joins share the entries
instead of tearing frames apart; patched methods or replaced parts of the
queue are honoured by using the queue's own methods; the end of the pipe
raises what get() raises; a stopped child is a living child; and the
entries are checked in index order, each unpacked when it is reached.
A frame is unpickled before the read lock is let go, so that a join() that
waited for the lock sees every entry read before; an entry whose unpickling
joins the same Pcall does not wait for itself.

Every case runs under a deadline and leaves no child behind.
"""

import multiprocessing
import multiprocessing.connection
import multiprocessing.queues
import os
import signal
import struct
import threading
import time
from types import SimpleNamespace

import pytest

import python_rendering.tandemix as rendered_tandemix
import quelbrin.async_.tandemix as tandemix
from deadlines import deadline

MiB = 2**20
DEADLINE = 40


@pytest.fixture
def started():
    """Starts Pcalls and, whatever the test did, ends every child they forked."""
    instances = []

    def start(instance):
        instances.append(instance)
        instance.start()
        return instance

    yield start
    for instance in instances:
        for child in instance._processes:
            if child.pid is not None and child.is_alive():
                os.kill(child.pid, signal.SIGCONT)
                child.kill()
            if child.pid is not None:
                child.join(5)
        assert instance.livings == ()


def one_mib(k):
    return bytes([k]) * MiB


def ended_children(count):
    return [SimpleNamespace(is_alive=lambda: False, join=lambda: None, pid=100 + k, exitcode=0)
            for k in range(count)]


# --- 1. two joins of one Pcall --------------------------------------------


def two_threads_join_one_pcall(started):
    instance = started(tandemix.Pcall(one_mib, iargs=[(k,) for k in range(6)]))
    outcomes = {}

    def join(name):
        try:
            instance.join()
            outcomes[name] = instance.results
        except BaseException as error:  # noqa: B036 - reported below
            outcomes[name] = error

    threads = [threading.Thread(target=join, args=(name,)) for name in ("first", "second")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE)
    assert not any(thread.is_alive() for thread in threads), "a join() is still waiting"
    expected = tuple(one_mib(k) for k in range(6))
    assert {name: outcome == expected or repr(outcome)[:200] for name, outcome in outcomes.items()} == \
        {"first": True, "second": True}


# --- 2. patched methods and replaced parts are the ones used ---------------


class Recording:
    """Stands in for one part of the queue, recording its use and delegating."""

    def __init__(self, real, calls):
        self.real = real
        self.calls = calls

    def __getattr__(self, name):
        return getattr(self.real, name)


class RecordingReader(Recording):
    def recv_bytes(self, *args):
        self.calls.append("recv_bytes")
        return self.real.recv_bytes(*args)


class RecordingLock(Recording):
    def __enter__(self):
        self.calls.append("__enter__")
        return self.real.__enter__()

    def __exit__(self, *exc_info):
        return self.real.__exit__(*exc_info)


def recorded(function, calls):
    def replacement(*args):
        calls.append(function.__name__)
        return function(*args)

    return replacement


def patch_class_get(queue, calls, monkeypatch):
    monkeypatch.setattr(multiprocessing.queues.SimpleQueue, "get",
                        recorded(multiprocessing.queues.SimpleQueue.get, calls))


def patch_class_empty(queue, calls, monkeypatch):
    monkeypatch.setattr(multiprocessing.queues.SimpleQueue, "empty",
                        recorded(multiprocessing.queues.SimpleQueue.empty, calls))


def patch_connection_recv_bytes(queue, calls, monkeypatch):
    monkeypatch.setattr(multiprocessing.connection.Connection, "recv_bytes",
                        recorded(multiprocessing.connection.Connection.recv_bytes, calls))


def patch_connection_wait(queue, calls, monkeypatch):
    monkeypatch.setattr(multiprocessing.connection, "wait", recorded(multiprocessing.connection.wait, calls))


def replace_poll(queue, calls, monkeypatch):
    queue._poll = recorded(queue._poll, calls)


def replace_reader(queue, calls, monkeypatch):
    queue._reader = RecordingReader(queue._reader, calls)


def replace_read_lock(queue, calls, monkeypatch):
    queue._rlock = RecordingLock(queue._rlock, calls)


PATCHES = {
    "SimpleQueue.get": (patch_class_get, "get"),
    "SimpleQueue.empty": (patch_class_empty, "empty"),
    "Connection.recv_bytes": (patch_connection_recv_bytes, "recv_bytes"),
    "multiprocessing.connection.wait": (patch_connection_wait, "wait"),
    "the instance's _poll": (replace_poll, "poll"),
    "the instance's _reader": (replace_reader, "recv_bytes"),
    "the instance's _rlock": (replace_read_lock, "__enter__"),
}


def patched_queue_is_used_as_patched(started, patch, monkeypatch):
    apply, call = PATCHES[patch]
    instance = started(tandemix.Pcall(lambda k: k * 10, iargs=[(0,), (1,), (2,)]))
    calls = []
    apply(instance._queue, calls, monkeypatch)
    instance.join()
    assert instance.results == (0, 10, 20)
    assert call in calls


# --- 3. the end of the pipe -------------------------------------------------


def a_closed_write_end_raises_eof_error(started):
    instance = started(tandemix.Pcall(lambda k: k, iargs=[(0,), (1,)]))
    instance._queue._writer.close()  # the children keep theirs until they end
    with pytest.raises(EOFError) as caught:
        instance.join()
    assert caught.value.args == ()
    assert sorted(instance._entries) == [(0, True, 0), (1, True, 1)]
    assert instance.livings == ()


ENDINGS = {
    "inside the length word": b"\x00\x00",
    "after the length word": struct.pack("!i", 5),
    "inside the message": struct.pack("!i", 5) + b"ab",
    "inside the long length": struct.pack("!i", -1) + b"\x00\x00",
    "after the long length": struct.pack("!i", -1) + struct.pack("!Q", 5),
}


def ending_pipe(queue, ending):
    queue.put((0, True, "zero"))
    os.write(queue._writer.fileno(), ENDINGS[ending])
    queue._writer.close()


def the_end_of_the_pipe_inside_a_frame_raises_what_get_raises(started, ending):
    plain = multiprocessing.get_context("fork").SimpleQueue()
    ending_pipe(plain, ending)
    assert plain.get() == (0, True, "zero")
    with pytest.raises(Exception) as expected:
        plain.get()
    instance = tandemix.Pcall(lambda: None)
    instance._processes[:] = ended_children(1)
    ending_pipe(instance._queue, ending)
    with pytest.raises(Exception) as caught:
        instance.join()
    assert (type(caught.value), caught.value.args) == (type(expected.value), expected.value.args)
    assert instance._entries == [(0, True, "zero")]


# --- 4. a stopped child is alive ------------------------------------------------


def stops_while_sending(result):
    """Stops this child in the middle of its entry, holding the queue's write lock."""
    writer = multiprocessing.current_process()._queue._writer

    def send_bytes(payload):
        half = len(payload) // 2
        writer._send(struct.pack("!i", len(payload)))
        writer._send(bytes(payload[:half]))
        os.kill(os.getpid(), signal.SIGSTOP)
        writer._send(bytes(payload[half:]))

    writer.send_bytes = send_bytes
    return result


def first_child(kind):
    if kind == "reports":
        return "first"
    os._exit(3)


def a_stopped_writer_is_waited_for(started, first, stopped_for):
    instance = started(tandemix.Pcall([lambda: first_child(first), lambda: stops_while_sending(b"y" * MiB)]))
    pid = instance.pids[1]
    continued = threading.Timer(stopped_for, os.kill, (pid, signal.SIGCONT))
    continued.start()
    begun = time.monotonic()
    try:
        if first == "reports":
            instance.join()
            assert instance.results == ("first", b"y" * MiB)
        else:
            with pytest.raises(RuntimeError, match=r"Child process-0 \(pid \d+\) ended with exit code 3 "):
                instance.join()
    finally:
        continued.cancel()  # the fixture continues and ends a child still stopped
    assert time.monotonic() - begun >= stopped_for - 0.5
    assert instance._processes[1].exitcode == 0


# --- 5. entries are checked in index order ---------------------------------------


ENTRIES = {
    "a malformed entry after a failure": [(1, True), (0, False, KeyError("zero"))],
    "a malformed entry for an index no child has": [(7, True), (1, True, "one"), (0, False, KeyError("zero"))],
}


def outcome_of(module, entries):
    instance = module.Pcall(lambda: None, iargs=[(), ()])
    instance._processes[:] = ended_children(2)
    for entry in entries:
        instance._queue.put(entry)
    try:
        instance.join()
    except Exception as error:
        return type(error), error.args
    return instance.results


def the_lowest_failure_decides_before_later_entries_are_unpacked(started, entries):
    assert outcome_of(tandemix, ENTRIES[entries]) == outcome_of(rendered_tandemix, ENTRIES[entries]) == \
        (KeyError, ("zero",))


# --- 6. an entry read under the read lock does not wait for itself -----------

REENTERED = {}


def join_again():
    try:
        REENTERED["instance"].join()
    except RuntimeError:  # the entry being unpickled is not among the entries yet
        pass
    return "rebuilt"


class JoinsWhenUnpickled:
    def __reduce__(self):
        return join_again, ()


def an_entry_that_joins_while_it_is_unpickled(started):
    instance = REENTERED["instance"] = tandemix.Pcall(lambda: None)
    instance._processes[:] = ended_children(1)
    instance._queue.put((0, True, JoinsWhenUnpickled()))
    instance.join()
    assert instance.results == ("rebuilt",)


CASES = [
    pytest.param(two_threads_join_one_pcall, {}, id="two threads join one Pcall"),
    *(pytest.param(patched_queue_is_used_as_patched, {"patch": patch}, id=f"patched: {patch}") for patch in PATCHES),
    pytest.param(a_closed_write_end_raises_eof_error, {}, id="the write end closed"),
    *(pytest.param(the_end_of_the_pipe_inside_a_frame_raises_what_get_raises, {"ending": ending},
                   id=f"the pipe ends {ending}") for ending in ENDINGS),
    pytest.param(a_stopped_writer_is_waited_for, {"first": "reports", "stopped_for": 6.0},
                 id="a child stopped holding the write lock, the other reported"),
    pytest.param(a_stopped_writer_is_waited_for, {"first": "exits", "stopped_for": 2.5},
                 id="a child stopped holding the write lock, the other ended without an entry"),
    *(pytest.param(the_lowest_failure_decides_before_later_entries_are_unpacked, {"entries": entries},
                   id=f"entries: {entries}") for entries in ENTRIES),
    pytest.param(an_entry_that_joins_while_it_is_unpickled, {}, id="an entry that joins the Pcall when unpickled"),
]


@pytest.mark.parametrize(("case", "arguments"), CASES)
def test_join_reads_as_get(case, arguments, started, monkeypatch):
    if case is patched_queue_is_used_as_patched:
        arguments = {**arguments, "monkeypatch": monkeypatch}
    with deadline(DEADLINE):
        case(started, **arguments)
