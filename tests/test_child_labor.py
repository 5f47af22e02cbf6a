"""ChildLabor: the job description, the step search and the result record."""

import functools
import logging
from types import SimpleNamespace

import pytest

import quelbrin.async_.tandemix as tandemix
from quelbrin.trevask.signals import TerminateStepSignal
from quelbrin.trevask.steps import Steps


def work(*args, **kwargs):
    return ("worked", args, kwargs)


def make_child(index=0, queue=None, **process_kwargs):
    return tandemix.ChildLabor(index=index, queue=queue, **process_kwargs)


class TestJobDescription:
    class Nameless:
        def __call__(self):
            pass

        def __repr__(self):
            return "<nameless callable>"

    @pytest.mark.parametrize("target, text", [
        (work, "work"),
        (functools.partial(work, 1), "work"),
        (None, "None"),
        (Nameless(), "<nameless callable>"),
    ], ids=["function", "partial", "no target", "callable without __name__"])
    def test_target_text(self, target, text):
        assert make_child(target=target)._work.target == text

    def test_a_partial_of_a_partial_is_unwrapped_one_level_only(self):
        inner = functools.partial(work, 1)
        inner.note = "a partial with attributes is not flattened into the outer one"
        assert make_child(target=functools.partial(inner, 2))._work.target == str(inner)

    def test_argument_texts_use_the_stored_tuple_and_dict(self):
        child = make_child(3, "queue", target=work, args=[1, 2], kwargs={"k": "v"})
        assert child._work == tandemix.ChildWork("work", "(1, 2)", "{'k': 'v'}")
        assert (child._index, child._queue) == (3, "queue")
        assert not child.is_alive() and child.pid is None

    def test_positional_process_arguments_go_to_the_process_class(self):
        child = tandemix.ChildLabor(7, "queue", None, work, "named-child", (5,))
        assert (child.name, child._args, child._work.args) == ("named-child", (5,), "(5,)")

    def test_unknown_keywords_are_refused_by_the_process_class(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            make_child(target=work, colour="red")

    def test_only_attribute_error_of_name_is_swallowed(self):
        class BadName:
            def __call__(self):
                pass

            @property
            def __name__(self):
                raise KeyError("broken name")

        with pytest.raises(KeyError, match="broken name"):
            make_child(target=BadName())


class Step:
    def __init__(self, steps=None, **attributes):
        if steps is not None:
            self.steps = steps
        vars(self).update(attributes)


class FakeTestCase:
    """What the step search looks for: a frame whose `self` has parameters.internal."""

    def __init__(self, steps=None, internal=None):
        self.parameters = SimpleNamespace(internal={"steps": steps} if internal is None else internal)

    def call(self, function):
        return function()


class TestStepSearch:
    def search(self, *test_cases):
        child = make_child(target=work)
        call = child._get_steps
        # Nest the test cases' frames: the last given is the innermost.
        for test_case in reversed(test_cases):
            call = functools.partial(test_case.call, call)
        return call()

    def test_no_test_case_on_the_stack_gives_none(self):
        assert self.search() is None

    def test_a_container_with_no_steps_is_itself_the_result(self):
        container = Steps()
        assert self.search(FakeTestCase(container)) is container

    def test_descends_into_a_last_step_whose_steps_is_a_list_even_empty(self):
        last = Step([])
        container = Step([Step(), last])
        assert self.search(FakeTestCase(container)) is last

    def test_descends_through_several_levels(self):
        deepest = Step([Step("not a list")])
        container = Step([Step([deepest])])
        assert self.search(FakeTestCase(container)) is deepest

    def test_a_last_step_whose_steps_is_not_a_list_ends_the_descent(self):
        container = Step([Step(("a", "tuple"))])
        assert self.search(FakeTestCase(container)) is container

    def test_frames_that_lead_nowhere_are_passed_over_in_favour_of_outer_ones(self):
        outer = Steps()
        broken = FakeTestCase(Step([Step()]))  # last step has no `steps`
        no_entry = FakeTestCase(internal={})  # no "steps" entry: None fails in the descent
        assert self.search(FakeTestCase(outer), broken, no_entry) is outer

    def test_the_innermost_usable_frame_decides(self):
        inner, outer = Steps(), Steps()
        assert self.search(FakeTestCase(outer), FakeTestCase(inner)) is inner

    def test_a_cyclic_container_raises_recursion_error_inside_and_is_skipped(self):
        cyclic = Step()
        cyclic.steps = [cyclic]
        outer = Steps()
        assert self.search(FakeTestCase(outer), FakeTestCase(cyclic)) is outer

    def test_errors_outside_the_exception_family_leave_the_search(self):
        class Abort(BaseException):
            pass

        class Exploding:
            @property
            def parameters(self):
                raise Abort()

            def call(self, function):
                return function()

        with pytest.raises(Abort):
            self.search(Exploding())


class TestRunRecords:
    def run_in_process(self, queue, index=0, **process_kwargs):
        child = make_child(index, queue, **process_kwargs)
        assert child.run() is None
        return queue.items

    def test_a_returning_target_gives_a_success_record(self, recording_queue):
        records = self.run_in_process(recording_queue, 3, target=work, args=(1,), kwargs={"k": 2})
        assert records == [(3, True, ("worked", (1,), {"k": 2}))]

    def test_a_target_returning_none_still_reports(self, recording_queue):
        assert self.run_in_process(recording_queue, target=lambda: None) == [(0, True, None)]

    def test_a_failing_target_is_logged_and_reported_wrapped(self, recording_queue, tandemix_records):
        def failing(*args):
            raise ValueError("bad input")

        failing.__name__ = "work"
        [(index, success, wrapped)] = self.run_in_process(recording_queue, 3, target=failing, args=(1, 2))
        assert (index, success) == (3, False)
        assert isinstance(wrapped, tandemix.ExceptionWithTraceback)
        assert isinstance(wrapped.exc, ValueError)
        [record] = tandemix_records()
        assert record.levelno == logging.ERROR
        assert record.getMessage() == (
            "Caught error while executing target in child process-3:\n"
            "  target = work\n  args = (1, 2)\n  kwargs = {}\n\n")
        assert record.exc_info[1] is wrapped.exc

    def test_no_target_is_called_anyway_and_fails(self, recording_queue, tandemix_records):
        [(_, success, wrapped)] = self.run_in_process(recording_queue)
        assert success is False and isinstance(wrapped.exc, TypeError)
        assert "target = None" in tandemix_records()[0].getMessage()

    def test_bad_stored_arguments_are_reported_like_target_failures(self, recording_queue):
        child = make_child(0, recording_queue, target=work)
        child._args = 5
        child.run()
        [(_, success, wrapped)] = recording_queue.items
        assert success is False and isinstance(wrapped.exc, TypeError)

    def test_step_termination_reports_status_two_without_logging(self, recording_queue, tandemix_records):
        def terminating():
            raise TerminateStepSignal("stop")

        [(index, success, wrapped)] = self.run_in_process(recording_queue, 1, target=terminating)
        assert (index, success) == (1, 2) and isinstance(wrapped.exc, TerminateStepSignal)
        assert tandemix_records() == []

    def test_an_exception_of_both_families_takes_the_logged_branch(self, recording_queue, tandemix_records):
        class Both(TerminateStepSignal, Exception):
            pass

        def raising():
            raise Both()

        [(_, success, _)] = self.run_in_process(recording_queue, target=raising)
        assert success is False and len(tandemix_records()) == 1

    @pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
    def test_other_base_exceptions_leave_run_without_a_record(self, recording_queue, exception):
        def raising():
            raise exception()

        child = make_child(0, recording_queue, target=raising)
        with pytest.raises(exception):
            child.run()
        assert recording_queue.items == []

    def test_a_failing_put_leaves_run(self):
        class BrokenQueue:
            def put(self, item):
                raise OSError("pipe closed")

        with pytest.raises(OSError, match="pipe closed"):
            make_child(0, BrokenQueue(), target=work).run()

    @pytest.mark.parametrize("index, offset", [(0, 1000), (4, 5000), ("2", 3000)])
    def test_the_callers_steps_get_an_offset_from_the_index(self, recording_queue, index, offset):
        container = Steps()
        FakeTestCase(container).call(lambda: self.run_in_process(recording_queue, index, target=work))
        assert container.offset == offset

    def test_a_found_container_that_is_not_steps_gets_no_offset(self, recording_queue):
        container = Step([])
        FakeTestCase(container).call(lambda: self.run_in_process(recording_queue, target=work))
        assert not hasattr(container, "offset")


class TestForkedChild:
    def start_and_collect(self, child):
        child.start()
        record = child._queue.get()
        child.join(30)
        return record, child.exitcode

    def test_child_sets_offset_on_the_parents_test_steps_and_reports(self):
        container = Steps()
        queue = tandemix.multiprocessing.SimpleQueue()

        def offset_seen_by_target():
            return container.offset

        child = make_child(4, queue, target=offset_seen_by_target)
        record, exitcode = FakeTestCase(container).call(lambda: self.start_and_collect(child))
        assert record == (4, True, 5000) and exitcode == 0
        assert container.offset == 0  # the parent's copy is untouched

    def test_child_failure_arrives_as_the_original_exception_with_its_traceback(self):
        def failing():
            raise ValueError("from the child")

        queue = tandemix.multiprocessing.SimpleQueue()
        (index, success, error), exitcode = self.start_and_collect(make_child(2, queue, target=failing))
        assert (index, success, exitcode) == (2, False, 0)
        assert isinstance(error, ValueError) and error.args == ("from the child",)
        assert "in failing" in str(error.__cause__)


class TestTheProcessInitItReaches:
    """super().__init__ in ChildLabor.__init__ reaches what super() finds
    after ChildLabor in the instance's MRO, bound as super() binds it."""

    class Stop(Exception):
        pass

    @staticmethod
    def child_class(kind, seen):
        def init(*args, **kwargs):
            seen.append((args, sorted(kwargs)))
            raise TestTheProcessInitItReaches.Stop

        wrap = {"function": lambda f: f, "staticmethod": staticmethod, "classmethod": classmethod}[kind]
        between = type("Between", (tandemix.ChildLabor.__bases__[0],), {"__init__": wrap(init)})
        return type("Child", (tandemix.ChildLabor, between), {})

    @pytest.mark.parametrize("kind", ["function", "staticmethod", "classmethod"])
    def test_an_init_between_child_labor_and_process(self, kind):
        seen = []
        child_class = self.child_class(kind, seen)
        with pytest.raises(self.Stop):
            child_class(index=1, queue=None, target=work, args=(2,))
        args, keywords = seen[0]
        expected_first = {"function": (child_class,), "staticmethod": (), "classmethod": (child_class,)}[kind]
        assert tuple(type(a) if kind == "function" else a for a in args) == expected_first
        assert keywords == ["args", "target"]

    class WithInit:
        def __init__(self, *args, **kwargs):
            pass

    class Other(WithInit):
        pass

    @pytest.mark.parametrize("cls", [object, Other], ids=["object", "a class whose base has an __init__"])
    def test_an_instance_of_another_class(self, cls):
        with pytest.raises(TypeError, match="super"):
            tandemix.ChildLabor.__init__(cls(), 0, None)
