"""join() and start() treat what they read as the same Python code would.

Entries are unpacked and matched to children with Python's own equality and
hashing, wrong shapes and unraisable failures give the interpreter's
messages, the log context's truth test sits inside the handling of the start
error, and attributes are read as often and in the order the Python code
reads them.
"""

from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest

import python_rendering.tandemix as rendered_tandemix
import quelbrin.async_.tandemix as tandemix


def target():
    return None


def ended_child(position, log=None):
    """A child that has already ended, recording the calls made on it."""
    def record(what, value=None):
        def call():
            if log is not None:
                log.append(f"{what} {position}")
            return value
        return call

    return SimpleNamespace(is_alive=record("alive", False), join=record("join"), pid=100 + position, exitcode=0)


def join_with_entries(entries, children=2, module=tandemix):
    instance = module.Pcall(target, iargs=[()] * children)
    instance._processes[:] = [ended_child(k) for k in range(children)]
    instance._entries = list(entries)
    instance.join()
    return instance.results


def outcome(entries, children, module):
    try:
        return join_with_entries(entries, children, module)
    except Exception as error:
        return type(error), str(error)


def python_outcome(operation):
    """The exception type and message that plain Python code gives."""
    try:
        operation()
    except Exception as error:
        return type(error), str(error)
    raise AssertionError("no error")


class IntSubclass(int):
    pass


class EqualsOne:
    def __eq__(self, other):
        return other == 1

    def __hash__(self):
        return hash(1)


class NotAnError(Exception):
    def __new__(cls):
        return 5


class TestEntries:
    @pytest.mark.parametrize("index", [1.0, IntSubclass(1), True, Fraction(1), Decimal(1)],
                             ids=["float", "int subclass", "bool", "Fraction", "Decimal"])
    def test_an_index_equal_to_a_position_lines_up_with_that_child(self, index):
        assert join_with_entries([(index, True, "second"), (0, True, "first")]) == ("first", "second")

    # Each set of entries gives what the plain-Python join() gives: the
    # entries sorted, then walked in index order, each unpacked when reached.
    @pytest.mark.parametrize(("make_entries", "children"), [
        (lambda: [(1, True, "b"), (0, True, "a"), (0, True, "again")], 2),
        (lambda: [[1, True, "b"], [0, True, "a"]], 2),
        (lambda: [iter([0, True, "a"])], 1),
        (lambda: [iter([1, True, "b"]), [0, True, "a"]], 2),
        (lambda: [(EqualsOne(), True, "b")], 2),
        (lambda: [(EqualsOne(), True, "b"), (0, True, "a")], 2),
        (lambda: [([0], True, "a")], 1),
        (lambda: [(-1, False, KeyError("before")), (0, True, "a")], 1),
        (lambda: [(0, True, "a"), (5, False, KeyError("past the children"))], 1),
        (lambda: [(0, True, "a"), (5, True)], 1),
        (lambda: [(0, True, "a"), (0.5, False, KeyError("between"))], 2),
        (lambda: [(2, False, KeyError("later")), (0, True, "a")], 3),
        (lambda: [(1, True), (0, False, KeyError("zero"))], 2),
        (lambda: [(0, 2, ValueError("signal")), (1, False, KeyError("one"))], 2),
    ], ids=["a repeated index", "lists", "an iterator alone", "an iterator among lists", "own eq, alone",
            "own eq and hash, sorted", "an unhashable index", "an index below the children",
            "a failure past the children", "a malformed entry past the children", "an index between children",
            "a missing child before a later failure", "a malformed entry after a failure",
            "a step failure before a failure"])
    def test_as_the_python_join(self, make_entries, children):
        assert outcome(make_entries(), children, tandemix) == outcome(make_entries(), children, rendered_tandemix)

    @pytest.mark.parametrize("entry", [(0, True), (0, True, "result", "surplus"), 5, [0, True, "r", "s"], ()],
                             ids=["two", "four", "not iterable", "list of four", "empty"])
    def test_a_malformed_entry_gives_the_interpreters_unpacking_error(self, entry):
        def unpack():
            index, success, result = entry

        with pytest.raises(Exception) as caught:
            join_with_entries([entry], children=1)
        assert (type(caught.value), str(caught.value)) == python_outcome(unpack)

    @pytest.mark.parametrize("failure", [5, "text", NotAnError, int], ids=["int", "str", "class", "not an error"])
    def test_a_failure_that_is_not_an_exception_gives_the_interpreters_raise_error(self, failure):
        def raise_it():
            raise failure

        with pytest.raises(TypeError) as caught:
            join_with_entries([(0, False, failure)], children=1)
        assert (type(caught.value), str(caught.value)) == python_outcome(raise_it)


def test_an_error_testing_the_exit_result_carries_the_start_error_as_context(monkeypatch):
    class NoTruth:
        def __bool__(self):
            raise ArithmeticError("no truth")

    class Context:
        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            return NoTruth()

    def in_python():
        with Context():
            1 / 0

    with pytest.raises(ArithmeticError) as expected:
        in_python()
    monkeypatch.setattr(tandemix, "managed_handlers",
                        SimpleNamespace(tasklog=SimpleNamespace(consolidate_next_forked_logfile=Context)))
    instance = tandemix.Pcall(target)
    instance._processes[0].start = lambda: 1 / 0
    with pytest.raises(ArithmeticError, match="no truth") as caught:
        instance.start()
    assert type(caught.value.__context__) is type(expected.value.__context__) is ZeroDivisionError


class TestReads:
    """Each attribute read and call, as `while not self._queue.empty(): ...` makes them."""

    def recorded(self, instance, log):
        class Recorded(type(instance)):
            @property
            def _queue(self):
                log.append("_queue")
                return vars(self)["_queue"]

            @property
            def _processes(self):
                log.append("_processes")
                return vars(self)["_processes"]

            @property
            def timeout(self):
                log.append("timeout")
                return vars(self)["timeout"]

        instance.__class__ = Recorded
        return instance

    def test_queue_and_children_are_read_afresh_for_each_use(self):
        log = []

        class Queue:
            entries = [(0, True, "a"), (1, True, "b")]

            def empty(self):
                log.append("empty")
                return not self.entries

            def get(self):
                log.append("get")
                return self.entries.pop(0)

        instance = tandemix.Pcall(target, iargs=[(), ()])
        vars(instance)["_queue"] = Queue()
        instance._processes[:] = [ended_child(k, log) for k in range(2)]
        self.recorded(instance, log).join()
        assert instance.results == ("a", "b")
        assert log == ["_processes", "alive 0", "alive 1",
                       "_queue", "empty", "_queue", "get", "_queue", "empty", "_queue", "get", "_queue", "empty",
                       "_processes", "join 0", "join 1",
                       "_processes"]

    def test_the_time_out_reads_logger_and_its_method_before_formatting(self, monkeypatch):
        log = []

        class Logger:
            def __getattribute__(self, name):
                log.append(f"logger.{name}")
                return lambda message: log.append("logged")

        child = SimpleNamespace(is_alive=lambda: True, terminate=lambda: log.append("terminate"), pid=7,
                                _work=SimpleNamespace(target="t", args="()", kwargs="{}"))
        monkeypatch.setattr(tandemix, "logger", Logger())
        monkeypatch.setattr(tandemix, "time", SimpleNamespace(sleep=lambda seconds: None, time=lambda: 1e9))
        instance = tandemix.Pcall(target, timeout=1)
        instance.starttime = 0
        instance._processes[:] = [child]
        self.recorded(instance, log)
        with pytest.raises(TimeoutError):
            instance.join()
        assert log[-4:] == ["terminate", "logger.error", "timeout", "logged"]
