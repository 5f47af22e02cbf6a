// quelbrin.async_.tandemix: parallel calls in child processes forked from the
// caller.  `Pcall` builds one argument set per instance, forks one
// `ChildLabor` per set, waits for them under an optional time limit and hands
// back the results in instance order, or raises the first failure.
//
// Both classes are ordinary Python classes created by calling their metaclass;
// their members are native functions (function.hpp) that look module globals
// up at each use, so rebinding a module attribute changes later calls.
#include "attribute_cache.hpp"
#include "constants.hpp"
#include "function.hpp"
#include "glibc_compat.hpp"
#include "module.hpp"
#include "recursion.hpp"
#include "result_pipe.hpp"
#include "statements.hpp"

#include <chrono>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using quelbrin::Arg;
using quelbrin::BoundArguments;
using quelbrin::DefineFunction;
using quelbrin::VarArgs;
using quelbrin::VarKeywords;
using quelbrin::kDefault;
using quelbrin::Call;
using quelbrin::CallMethod;
using quelbrin::CallWithStarArguments;
using quelbrin::ForEach;
using quelbrin::Function;
using quelbrin::FunctionDef;
using quelbrin::GetAttr;
using quelbrin::HandlingException;
using quelbrin::LoadGlobal;
using quelbrin::MergeCallKeywords;
using quelbrin::New;
using quelbrin::Next;
using quelbrin::PyError;
using quelbrin::Raise;
using quelbrin::RaiseFormat;
using quelbrin::RaisedException;
using quelbrin::Ref;
using quelbrin::Require;
using quelbrin::RequireSize;
using quelbrin::SetAttr;
using quelbrin::Truth;
using quelbrin::UnpackPair;
using quelbrin::result_pipe::QueueReader;

// The instance attributes that `_build_arguments` reads, each through a
// cache of its own (attribute_cache.hpp): the inputs that Pcall.__init__
// stores.
enum class PcallAttribute { kTargets, kCargs, kIargs, kCkwargs, kIkwargs, kVarkwargs, kCount };

// What each function keeps: caches for the instance attributes it reads on
// every call, as many as `_build_arguments` needs, the one that reads most
// (unused by functions that read none).  Two classes at once: the class and
// a subclass.
struct InstanceReads {
    quelbrin::inline_values::SlotSet<2> slots[static_cast<int>(PcallAttribute::kCount)];
};

quelbrin::FunctionType<InstanceReads> functions("quelbrin.async_.tandemix.function");

// `self.<name>` as the interpreter reads it, through the cache `slot` of
// `function`'s own.
template <auto kSlot>
Ref ReadInstanceAttribute(Function& function, PyObject* self, PyObject* name) {
    static_assert(static_cast<int>(kSlot) < static_cast<int>(PcallAttribute::kCount));
    InstanceReads& reads = decltype(functions)::payload(function);
    return quelbrin::inline_values::ReadAttribute(reads.slots[static_cast<int>(kSlot)], self, name);
}

// ---------------------------------------------------------------------------
// Interned names and constants, made once in the exec slot (constants.hpp).

// How often join() looks at its children: the period of its wait loop.
constexpr double kPollPeriod = 0.25;

// The fields, in the order of the table below.
struct Names {
    PyObject *ChildLabor, *ChildWork, *ExceptionWithTraceback, *SIGKILL, *SimpleQueue, *Steps, *TerminateStepSignal,
        *TrevaskStepFailedSignal, *build_arguments, *consolidate_next_forked_logfile, *dunder_enter, *dunder_exit,
        *dunder_init, *dunder_module, *dunder_name, *entries_attr, *get_steps, *index_attr, *processes_attr,
        *queue_attr, *args_attr, *kwargs_attr, *target_attr, *work_attr, *append, *args, *cargs, *ckwargs, *copy,
        *error, *exception, *exitcode, *f_locals, *format, *frame, *func, *functools, *get, *iargs, *ikwargs, *index,
        *inspect, *internal, *is_alive, *itertools, *join, *kill, *kwargs, *livings, *logger, *managed_handlers,
        *multiprocessing, *offset, *os, *parameters, *partial, *pid, *put, *queue, *repeat, *results, *self, *signal,
        *sleep, *stack, *start, *starttime, *steps, *stoptime, *target, *targets, *tasklog, *terminate, *time,
        *timeout, *update, *values, *items, *varkwargs, *kwnames_p, *kwnames_timeout_extended_msg, *fromlist_steps,
        *fromlist_terminate, *fromlist_failed, *module_steps, *module_signals, *poll_period, *livings_line,
        *timeout_message, *minus_one, *status_step_failed, *child_labor_kwnames;
};

using quelbrin::Integer;
using quelbrin::Real;
using quelbrin::String;
using quelbrin::Strings;

constexpr quelbrin::ConstantEntry<Names> kNames[] = {
    {&Names::ChildLabor, String("ChildLabor")},
    {&Names::ChildWork, String("ChildWork")},
    {&Names::ExceptionWithTraceback, String("ExceptionWithTraceback")},
    {&Names::SIGKILL, String("SIGKILL")},
    {&Names::SimpleQueue, String("SimpleQueue")},
    {&Names::Steps, String("Steps")},
    {&Names::TerminateStepSignal, String("TerminateStepSignal")},
    {&Names::TrevaskStepFailedSignal, String("TrevaskStepFailedSignal")},
    {&Names::build_arguments, String("_build_arguments")},
    {&Names::consolidate_next_forked_logfile, String("consolidate_next_forked_logfile")},
    {&Names::dunder_enter, String("__enter__")},
    {&Names::dunder_exit, String("__exit__")},
    {&Names::dunder_init, String("__init__")},
    {&Names::dunder_module, String("__module__")},
    {&Names::dunder_name, String("__name__")},
    {&Names::entries_attr, String("_entries")},
    {&Names::get_steps, String("_get_steps")},
    {&Names::index_attr, String("_index")},
    {&Names::processes_attr, String("_processes")},
    {&Names::queue_attr, String("_queue")},
    {&Names::args_attr, String("_args")},
    {&Names::kwargs_attr, String("_kwargs")},
    {&Names::target_attr, String("_target")},
    {&Names::work_attr, String("_work")},
    {&Names::append, String("append")},
    {&Names::args, String("args")},
    {&Names::cargs, String("cargs")},
    {&Names::ckwargs, String("ckwargs")},
    {&Names::copy, String("copy")},
    {&Names::error, String("error")},
    {&Names::exception, String("exception")},
    {&Names::exitcode, String("exitcode")},
    {&Names::f_locals, String("f_locals")},
    {&Names::format, String("format")},
    {&Names::frame, String("frame")},
    {&Names::func, String("func")},
    {&Names::functools, String("functools")},
    {&Names::get, String("get")},
    {&Names::iargs, String("iargs")},
    {&Names::ikwargs, String("ikwargs")},
    {&Names::index, String("index")},
    {&Names::inspect, String("inspect")},
    {&Names::internal, String("internal")},
    {&Names::is_alive, String("is_alive")},
    {&Names::itertools, String("itertools")},
    {&Names::join, String("join")},
    {&Names::kill, String("kill")},
    {&Names::kwargs, String("kwargs")},
    {&Names::livings, String("livings")},
    {&Names::logger, String("logger")},
    {&Names::managed_handlers, String("managed_handlers")},
    {&Names::multiprocessing, String("multiprocessing")},
    {&Names::offset, String("offset")},
    {&Names::os, String("os")},
    {&Names::parameters, String("parameters")},
    {&Names::partial, String("partial")},
    {&Names::pid, String("pid")},
    {&Names::put, String("put")},
    {&Names::queue, String("queue")},
    {&Names::repeat, String("repeat")},
    {&Names::results, String("results")},
    {&Names::self, String("self")},
    {&Names::signal, String("signal")},
    {&Names::sleep, String("sleep")},
    {&Names::stack, String("stack")},
    {&Names::start, String("start")},
    {&Names::starttime, String("starttime")},
    {&Names::steps, String("steps")},
    {&Names::stoptime, String("stoptime")},
    {&Names::target, String("target")},
    {&Names::targets, String("targets")},
    {&Names::tasklog, String("tasklog")},
    {&Names::terminate, String("terminate")},
    {&Names::time, String("time")},
    {&Names::timeout, String("timeout")},
    {&Names::update, String("update")},
    {&Names::values, String("values")},
    {&Names::items, String("items")},
    {&Names::varkwargs, String("varkwargs")},
    {&Names::kwnames_p, Strings({"p"})},
    {&Names::kwnames_timeout_extended_msg, Strings({"timeout", "extended_msg"})},
    {&Names::fromlist_steps, Strings({"Steps"})},
    {&Names::fromlist_terminate, Strings({"TerminateStepSignal"})},
    {&Names::fromlist_failed, Strings({"TrevaskStepFailedSignal"})},
    {&Names::module_steps, String("quelbrin.trevask.steps")},
    {&Names::module_signals, String("quelbrin.trevask.signals")},
    {&Names::poll_period, Real(kPollPeriod)},
    {&Names::livings_line,
     String("    PID-{p.pid}: target={p._work.target}, args={p._work.args}, kwargs={p._work.kwargs}")},
    {&Names::timeout_message,
     String("The following processes are still running after {timeout} seconds:\n{extended_msg}\n")},
    {&Names::minus_one, Integer(-1)},
    {&Names::status_step_failed, Integer(2)},
    {&Names::child_labor_kwnames, Strings({"index", "queue", "target", "args", "kwargs"})},
};

Names names{};

// ---------------------------------------------------------------------------
// Small interpreter operations, each as the corresponding Python statement
// performs it.

// `from module import name`: the attribute, else the submodule of that name.
Ref ImportFrom(PyObject* module, PyObject* name) {
    if (Ref value = quelbrin::GetOptionalAttr(module, name)) {
        return value;
    }
    Ref package = Ref::steal(PyObject_GetAttr(module, names.dunder_name));
    PyErr_Clear();
    if (package && PyUnicode_Check(package.get())) {
        Ref full_name = New(PyUnicode_FromFormat("%U.%U", package.get(), name));
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule) {
            return submodule;
        }
        if (PyErr_Occurred()) {
            throw PyError{};
        }
    }
    Ref path = Ref::steal(PyObject_GetAttrString(module, "__file__"));
    PyErr_Clear();
    Ref package_text = package ? package : New(PyUnicode_FromString("<unknown module name>"));
    Ref message = path && PyUnicode_Check(path.get())
                      ? New(PyUnicode_FromFormat("cannot import name %R from %R (%U)", name, package_text.get(),
                                                 path.get()))
                      : New(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                 package_text.get()));
    PyErr_SetImportError(message.get(), package_text.get(), path ? path.get() : nullptr);
    throw PyError{};
}

// `from module_name import name`, absolute, inside a function (no locals).
Ref ImportName(PyObject* globals, PyObject* module_name, PyObject* fromlist, PyObject* name) {
    Ref module = quelbrin::ImportModule(globals, Py_None, module_name, fromlist, 0);
    return ImportFrom(module.get(), name);
}

// Looks a special method up on the type and binds it, as `with` does.
Ref LookupSpecial(PyObject* obj, PyObject* name) {
    PyObject* attribute = _PyType_Lookup(Py_TYPE(obj), name);
    if (attribute == nullptr) {
        return Ref();
    }
    descrgetfunc bind = Py_TYPE(attribute)->tp_descr_get;
    if (bind == nullptr) {
        return Ref::new_reference(attribute);
    }
    return New(bind(attribute, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// `raise value`, for a child's failure that the parent re-raises.
[[noreturn]] void RaiseObject(PyObject* value) {
    if (PyExceptionClass_Check(value)) {
        Ref instance = Call(value);
        if (!PyExceptionInstance_Check(instance.get())) {
            RaiseFormat(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                        value, Py_TYPE(instance.get()));
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
        throw PyError{};
    }
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
        throw PyError{};
    }
    Raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

// What an `except` clause demands of the class it names.
void CheckExceptClass(PyObject* handler_class) {
    auto valid = [](PyObject* c) { return PyExceptionClass_Check(c); };
    bool ok = valid(handler_class);
    if (!ok && PyTuple_Check(handler_class)) {
        ok = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handler_class); ++i) {
            ok = ok && valid(PyTuple_GET_ITEM(handler_class, i));
        }
    }
    if (!ok) {
        Raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    }
}

// obj[index] for a position counted from 0.
Ref ItemAt(PyObject* sequence, Py_ssize_t index) {
    if (PyList_CheckExact(sequence)) {
        if (index >= PyList_GET_SIZE(sequence)) {
            Raise(PyExc_IndexError, "list index out of range");
        }
        return Ref::new_reference(PyList_GET_ITEM(sequence, index));
    }
    Ref key = New(PyLong_FromSsize_t(index));
    return New(PyObject_GetItem(sequence, key.get()));
}

// ---------------------------------------------------------------------------
// ChildLabor

constexpr const char kChildLaborDoc[] =
    "ChildLabor Class\n"
    "\n"
    "    Worker class, subclassing from multiprocessing.Process under 'fork' context.\n"
    "    The customizations in this class is designed purely for it to be called\n"
    "    under p-call.\n"
    "    ";

constexpr const char kChildLaborInitDoc[] =
    "built-in init\n"
    "\n"
    "        Built-in init, on top of multiprocessing.Process's own construction,\n"
    "        adding the index (order) and the queue (result pipe) of this child.\n"
    "\n"
    "        Arguments\n"
    "        ---------\n"
    "            index (int): child labor index\n"
    "            queue (multiprocessing.SimpleQueue): multiprocessing queue that\n"
    "                                                 pipes results back to parent\n"
    "        ";

// The attributes of a ChildLabor that its __init__ reads, each through a
// cache of the function's own.
enum class ChildLaborAttribute { kTarget, kArgs, kKwargs };

// The rest of ChildLabor.__init__, once Process.__init__ has run.
Ref FinishChildLaborInit(Function& function, PyObject* self, PyObject* index, PyObject* queue) {
    SetAttr(self, names.index_attr, index);
    SetAttr(self, names.queue_attr, queue);

    Ref target = ReadInstanceAttribute<ChildLaborAttribute::kTarget>(function, self, names.target_attr);
    Ref functools = LoadGlobal(function, names.functools);
    Ref partial = GetAttr(functools.get(), names.partial);
    if (Require(PyObject_IsInstance(target.get(), partial.get()))) {
        target = GetAttr(target.get(), names.func);  // one level only
    }

    Ref child_work = LoadGlobal(function, names.ChildWork);
    Ref target_name = quelbrin::GetOptionalAttr(target.get(), names.dunder_name);
    if (!target_name) {
        target_name = target;
    }
    Ref target_text = New(PyObject_Str(target_name.get()));
    Ref args_text =
        New(PyObject_Str(ReadInstanceAttribute<ChildLaborAttribute::kArgs>(function, self, names.args_attr).get()));
    Ref kwargs_text = New(
        PyObject_Str(ReadInstanceAttribute<ChildLaborAttribute::kKwargs>(function, self, names.kwargs_attr).get()));
    PyObject* work_args[] = {target_text.get(), args_text.get(), kwargs_text.get()};
    Ref work = New(PyObject_Vectorcall(child_work.get(), work_args, 3, nullptr));
    SetAttr(self, names.work_attr, work.get());
    return Ref::new_reference(Py_None);
}

// __init__(self, index, queue, *args, **kwargs)
Ref ChildLaborInit(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    // super().__init__(*args, **kwargs); `captured` is the class cell.
    // Process.__init__, a Python function, is called as the bound method
    // would call it; when the call came as Pcall makes it, the keywords
    // meant for it are passed on as they came.
    quelbrin::KeywordsPassedOn passed;
    if (passed.bind(function, args, nargsf, kwnames)) {
        PyObject* self = passed[0];
        Ref parent_function = quelbrin::SuperFunction(function.captured, self, names.dunder_init);
        if (parent_function) {
            New(PyObject_Vectorcall(parent_function.get(), passed.stack(), 1, passed.kwnames()));
        } else {
            Ref parent = quelbrin::Super(function.captured, self);
            Ref parent_init = GetAttr(parent.get(), names.dunder_init);
            New(PyObject_Vectorcall(parent_init.get(), passed.stack() + 1, 0, passed.kwnames()));
        }
        return FinishChildLaborInit(function, self, passed[1], passed[2]);
    }
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* self = bound[0];
    Ref parent_function = PyTuple_GET_SIZE(bound.varargs()) == 0
                              ? quelbrin::SuperFunction(function.captured, self, names.dunder_init)
                              : Ref();
    if (parent_function) {
        New(PyObject_VectorcallDict(parent_function.get(), &self, 1, bound.varkwargs()));
    } else {
        Ref parent = quelbrin::Super(function.captured, self);
        Ref parent_init = GetAttr(parent.get(), names.dunder_init);
        New(PyObject_Call(parent_init.get(), bound.varargs(), bound.varkwargs()));
    }
    return FinishChildLaborInit(function, self, bound[1], bound[2]);
}

constexpr const char kGetStepsDoc[] =
    "\n"
    "        Attempt to retrieve testcase steps\n"
    "\n"
    "        Returns:\n"
    "            Steps: testcase steps\n"
    "        ";

bool IsList(PyObject* value) {
    return Require(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyList_Type))) != 0;
}

// Recursively grab the lastest non-finished step to branch off: descends
// while the last step of a container is itself a container (its `steps` is a
// list).  A loop, each turn one call of the recursive helper it replaces.
Ref CurrentSteps(Ref steps) {
    quelbrin::PythonLevels levels;
    for (;;) {
        levels.enter();
        if (!Truth(GetAttr(steps.get(), names.steps).get())) {
            return steps;
        }
        Ref last = New(PyObject_GetItem(GetAttr(steps.get(), names.steps).get(), names.minus_one));
        if (!IsList(GetAttr(last.get(), names.steps).get())) {
            return steps;
        }
        steps = New(PyObject_GetItem(GetAttr(steps.get(), names.steps).get(), names.minus_one));
    }
}

// The step container reached from one frame's `self`, or an empty Ref when
// this frame leads to none (errors of the Exception family are dropped).
Ref ProbeFrame(PyObject* candidate) {
    try {
        Ref parameters = GetAttr(candidate, names.parameters);
        Ref internal = GetAttr(parameters.get(), names.internal);
        Ref container = CallMethod(internal.get(), names.get, names.steps);
        return CurrentSteps(std::move(container));
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        quelbrin::ErrorHandled();
        return Ref();
    }
}

// _get_steps(self)
Ref ChildLaborGetSteps(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    quelbrin::PythonLevels own_frame;
    own_frame.enter();
    Ref inspect = LoadGlobal(function, names.inspect);
    Ref records = CallMethod(inspect.get(), names.stack);
    Ref found;
    ForEach(records.get(), [&](PyObject* record) {
        Ref frame = GetAttr(record, names.frame);
        Ref frame_locals = GetAttr(frame.get(), names.f_locals);
        Ref candidate = CallMethod(frame_locals.get(), names.get, names.self);
        found = ProbeFrame(candidate.get());
        return !found;
    });
    return found ? found : Ref::new_reference(Py_None);
}

constexpr const char kRunDoc[] =
    "ChildLabor.run\n"
    "\n"
    "        Runs the given target in the child process; the default entry point\n"
    "        of multiprocessing.Process.\n"
    "\n"
    "        Updates the Steps object with an offset if there is one.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "            None: all returns and errors of the user's target are stored into\n"
    "                  the queue in the format \"(index, boolean, result)\", where\n"
    "                  the boolean tells whether the call succeeded (no exception)\n"
    "                  and the result is either the exception or the call's result\n"
    "        ";

// The ERROR record of a failing target, described by the texts made at
// construction rather than the live target and arguments.  Read and
// converted piece by piece, in the order of the concatenation it stands for.
Ref FailureLogText(PyObject* self) {
    Ref pieces = New(PyList_New(0));
    auto add_text = [&](Ref value) { Require(PyList_Append(pieces.get(), New(PyObject_Str(value.get())).get())); };
    auto add_literal = [&](const char* text) {
        Require(PyList_Append(pieces.get(), New(PyUnicode_FromString(text)).get()));
    };
    add_literal("Caught error while executing target in child process-");
    add_text(GetAttr(self, names.index_attr));
    add_literal(":\n  target = ");
    add_text(GetAttr(GetAttr(self, names.work_attr).get(), names.target));
    add_literal("\n  args = ");
    add_text(GetAttr(GetAttr(self, names.work_attr).get(), names.args));
    add_literal("\n  kwargs = ");
    add_text(GetAttr(GetAttr(self, names.work_attr).get(), names.kwargs));
    add_literal("\n\n");
    Ref empty = New(PyUnicode_FromString(""));
    return New(PyUnicode_Join(empty.get(), pieces.get()));
}

// run(self)
Ref ChildLaborRun(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* self = bound[0];

    Ref steps_class = ImportName(function.globals, names.module_steps, names.fromlist_steps, names.Steps);
    Ref terminate_signal =
        ImportName(function.globals, names.module_signals, names.fromlist_terminate, names.TerminateStepSignal);

    Ref index = GetAttr(self, names.index_attr);
    Ref steps = CallMethod(self, names.get_steps);
    if (Require(PyObject_IsInstance(steps.get(), steps_class.get()))) {
        Ref number = New(PyNumber_Long(GetAttr(self, names.index_attr).get()));
        Ref one = New(PyLong_FromLong(1));
        Ref thousand = New(PyLong_FromLong(1000));
        Ref offset = New(PyNumber_Multiply(New(PyNumber_Add(number.get(), one.get())).get(), thousand.get()));
        SetAttr(steps.get(), names.offset, offset.get());
    }

    Ref status;
    Ref outcome;
    try {
        Ref target = GetAttr(self, names.target_attr);
        Ref target_args = GetAttr(self, names.args_attr);
        Ref target_kwargs = GetAttr(self, names.kwargs_attr);
        outcome = CallWithStarArguments(target.get(), target_args.get(), target_kwargs.get());
        status = Ref::new_reference(Py_True);
    } catch (const PyError&) {
        RaisedException raised;
        if (raised.matches(PyExc_Exception)) {
            // logger.exception() reads sys.exc_info(): make the failure the
            // exception being handled, as an `except` block would.
            HandlingException handling(raised.get());
            // logger.exception(text): the method is looked up before the
            // text is made.
            Ref logger = LoadGlobal(function, names.logger);
            Ref log_exception = GetAttr(logger.get(), names.exception);
            Ref text = FailureLogText(self);
            Call(log_exception.get(), text.get());
            Ref wrap = LoadGlobal(function, names.ExceptionWithTraceback);
            outcome = Call(wrap.get(), raised.get());
            status = Ref::new_reference(Py_False);
        } else {
            {
                HandlingException handling(raised.get());
                CheckExceptClass(terminate_signal.get());
            }
            if (!raised.matches(terminate_signal.get())) {
                raised.reraise();  // KeyboardInterrupt, SystemExit, ...: no record
            }
            HandlingException handling(raised.get());
            Ref wrap = LoadGlobal(function, names.ExceptionWithTraceback);
            outcome = Call(wrap.get(), raised.get());
            status = Ref::new_reference(names.status_step_failed);
        }
    }

    Ref record = New(PyTuple_Pack(3, index.get(), status.get(), outcome.get()));
    Ref queue = GetAttr(self, names.queue_attr);
    CallMethod(queue.get(), names.put, record.get());
    return Ref::new_reference(Py_None);
}

constexpr FunctionDef kChildLaborInitDef =
    DefineFunction("__init__", "ChildLabor.__init__", kChildLaborInitDoc,
                   {Arg("self"), Arg("index"), Arg("queue"), VarArgs("args"), VarKeywords("kwargs")}, ChildLaborInit);
constexpr FunctionDef kChildLaborGetStepsDef =
    DefineFunction("_get_steps", "ChildLabor._get_steps", kGetStepsDoc, {Arg("self")}, ChildLaborGetSteps);
constexpr FunctionDef kChildLaborRunDef =
    DefineFunction("run", "ChildLabor.run", kRunDoc, {Arg("self")}, ChildLaborRun);

// ---------------------------------------------------------------------------
// Pcall: construction and argument building

constexpr const char kPcallDoc[] =
    "Pcall class\n"
    "\n"
    "    allows users to perform and control parallel calls (to an extend) using\n"
    "    this class. Initialization of this class allows for various combination of\n"
    "    arguments to be zipped together and passed to each parallel called\n"
    "    instance.\n"
    "\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "        targets (list/callable): a single callable or a list of callable targets\n"
    "        timeout (int): max runtime of any child process, in seconds\n"
    "        cargs (tuple/list): list of common positional arguments to all instance\n"
    "        iargs (tuple/list): list of instance specific positional arguments to\n"
    "                            each instance. Each item should be also a tuple/list\n"
    "        ckwargs (dict): dict of common keyword arguments to all instances\n"
    "        ikwargs (tuple/list): list of dictionaries, each specific to an instance\n"
    "        varkwargs (dict of list/tuple): dict of variable keyword arguments, each\n"
    "                                        value is a list of values corresponding\n"
    "                                        to that key-value argument of an\n"
    "                                        instance.\n"
    "\n"
    "    Rules:\n"
    "\n"
    "        1. the number of parallel instances depends on the following factor:\n"
    "            a. number of targets provided (if more than 1)\n"
    "            b. number of instance arguments (iargs or ikwargs)\n"
    "            c. number of instance values (varkwargs)\n"
    "               combined together, whichever is shorter.\n"
    "        2. the order of arguments is positional sensitive\n"
    "        3. the order of results list is the same as the child process order\n"
    "\n"
    "    ";

// Pcall.__init__(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)
enum InitParameter { kSelf, kTargets, kTimeout, kCargs, kIargs, kCkwargs, kIkwargs };

// The attributes that Pcall.__init__ reads once per child, each through a
// cache of the function's own.
enum class PcallInitAttribute { kProcesses, kQueue };

// The values of an argument set that is a plain dict holding exactly the
// keys `target`, `args` and `kwargs`, in that order, as _build_arguments
// makes it, put in `values` (new references); false for any other mapping.
bool ArgumentSetValues(PyObject* argument_set, Ref (&values)[3]) {
    if (!PyDict_CheckExact(argument_set) || PyDict_GET_SIZE(argument_set) != 3) {
        return false;
    }
    PyObject* const expected[] = {names.target, names.args, names.kwargs};
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    for (int i = 0; i < 3; ++i) {
        if (!PyDict_Next(argument_set, &position, &key, &value) || key != expected[i]) {
            return false;
        }
        values[i] = Ref::new_reference(value);
    }
    return true;
}

Ref PcallInit(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* self = bound[kSelf];

    SetAttr(self, names.targets, bound[kTargets]);
    SetAttr(self, names.timeout, bound[kTimeout]);
    SetAttr(self, names.cargs, bound[kCargs]);
    SetAttr(self, names.iargs, New(PySequence_List(bound[kIargs])).get());
    SetAttr(self, names.ckwargs, bound[kCkwargs]);
    SetAttr(self, names.ikwargs, New(PySequence_List(bound[kIkwargs])).get());
    Ref varkwargs = New(PyDict_New());
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(bound.varkwargs(), &position, &key, &value)) {
        Require(PyDict_SetItem(varkwargs.get(), key, New(PySequence_List(value)).get()));
    }
    SetAttr(self, names.varkwargs, varkwargs.get());
    SetAttr(self, names.results, Py_None);

    Ref context = LoadGlobal(function, names.multiprocessing);
    SetAttr(self, names.queue_attr, CallMethod(context.get(), names.SimpleQueue).get());
    SetAttr(self, names.processes_attr, New(PyList_New(0)).get());

    // for index, argument_set in enumerate(self._build_arguments()):
    //     self._processes.append(ChildLabor(index=index, queue=self._queue, **argument_set))
    Ref argument_sets = CallMethod(self, names.build_arguments);
    Py_ssize_t index = 0;
    Ref empty_args = New(PyTuple_New(0));
    ForEach(argument_sets.get(), [&](PyObject* argument_set) {
        Ref processes = ReadInstanceAttribute<PcallInitAttribute::kProcesses>(function, self, names.processes_attr);
        // A list's append is the list type's own, which nobody can replace:
        // reading it can be left until the call.
        Ref append = PyList_CheckExact(processes.get()) ? Ref() : GetAttr(processes.get(), names.append);
        Ref child_labor = LoadGlobal(function, names.ChildLabor);
        Ref number = New(PyLong_FromSsize_t(index));
        Ref queue = ReadInstanceAttribute<PcallInitAttribute::kQueue>(function, self, names.queue_attr);
        Ref child;
        Ref values[3];
        if (ArgumentSetValues(argument_set, values)) {
            // The set as _build_arguments made it: its keys are known not
            // to repeat `index` and `queue`, so the call needs no merge.
            PyObject* call_args[] = {number.get(), queue.get(), values[0].get(), values[1].get(), values[2].get()};
            child = New(PyObject_Vectorcall(child_labor.get(), call_args, 0, names.child_labor_kwnames));
        } else {
            Ref keywords = New(PyDict_New());
            Require(PyDict_SetItem(keywords.get(), names.index, number.get()));
            Require(PyDict_SetItem(keywords.get(), names.queue, queue.get()));
            MergeCallKeywords(keywords.get(), argument_set, child_labor.get());
            child = New(PyObject_Call(child_labor.get(), empty_args.get(), keywords.get()));
        }
        if (append) {
            Call(append.get(), child.get());
        } else {
            Require(PyList_Append(processes.get(), child.get()));
        }
        ++index;
        return true;
    });
    return Ref::new_reference(Py_None);
}

constexpr const char kBuildArgumentsDoc[] =
    "internal: building arguments\n"
    "\n"
    "        this api performs the dirt work of building arguments for each child\n"
    "        instance based on user inputs and the combination of common/instance\n"
    "        arguments and keyword arguments.\n"
    "        ";

// The smallest non-zero length among the sources, or 0 when all are empty.
class SmallestLength {
public:
    void add(PyObject* source) {
        const Py_ssize_t length = RequireSize(PyObject_Size(source));
        if (length != 0 && (smallest_ == 0 || length < smallest_)) {
            smallest_ = length;
        }
    }
    Py_ssize_t value() const noexcept { return smallest_; }

private:
    Py_ssize_t smallest_ = 0;
};

// ckwargs.copy(), then update(ikwargs[i]), as dict methods or generically.
Ref CopyKeywords(PyObject* common) {
    return PyDict_CheckExact(common) ? New(PyDict_Copy(common)) : CallMethod(common, names.copy);
}

// keywords.update(own()): the method is looked up before its argument is
// made, as the call expression evaluates.
template <typename Own>
void UpdateKeywords(PyObject* keywords, Own&& own) {
    if (PyDict_CheckExact(keywords)) {
        Ref update = own();
        // A dict subclass is asked for its keys first, as dict.update asks.
        if (PyDict_CheckExact(update.get())) {
            Require(PyDict_Update(keywords, update.get()));
        } else {
            CallMethod(keywords, names.update, update.get());
        }
        return;
    }
    Ref method = GetAttr(keywords, names.update);
    Call(method.get(), own().get());
}

// tuple(common) + tuple(own), filled directly rather than through the
// sequence protocol.  As with tuple concatenation, an empty side gives the
// other tuple itself.
Ref JoinPositional(Ref common, PyObject* own) {
    Ref own_tuple = PyTuple_CheckExact(own) ? Ref::new_reference(own) : New(PySequence_Tuple(own));
    const Py_ssize_t common_size = PyTuple_GET_SIZE(common.get());
    const Py_ssize_t own_size = PyTuple_GET_SIZE(own_tuple.get());
    if (own_size == 0) {
        return common;
    }
    if (common_size == 0) {
        return own_tuple;
    }
    Ref joined = New(PyTuple_New(common_size + own_size));
    for (Py_ssize_t k = 0; k < common_size; ++k) {
        PyTuple_SET_ITEM(joined.get(), k, Py_NewRef(PyTuple_GET_ITEM(common.get(), k)));
    }
    for (Py_ssize_t k = 0; k < own_size; ++k) {
        PyTuple_SET_ITEM(joined.get(), common_size + k, Py_NewRef(PyTuple_GET_ITEM(own_tuple.get(), k)));
    }
    return joined;
}

// Calls `visit(value)` for each value of `mapping`, as
// `for value in mapping.values()` does: through the live view, so that a
// dict changed by `visit` stops the walk with the view's RuntimeError.
template <typename Visit>
void ForEachValue(PyObject* mapping, Visit&& visit) {
    Ref values = CallMethod(mapping, names.values);
    ForEach(values.get(), visit);
}

// Calls `visit(key, value)` for each item of `mapping`, as
// `for key, value in mapping.items()` does.  A dict is walked in place,
// each item held while `visit` runs, and a change of its size stops the walk
// as the dict's own item iterator does.
template <typename Visit>
void ForEachItem(PyObject* mapping, Visit&& visit) {
    if (PyDict_CheckExact(mapping)) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(mapping, &position, &key, &value)) {
            Ref held_key = Ref::new_reference(key);
            Ref held_value = Ref::new_reference(value);
            visit(key, value);
            if (PyDict_GET_SIZE(mapping) != size) {
                Raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
        }
        return;
    }
    Ref items = CallMethod(mapping, names.items);
    ForEach(items.get(), [&](PyObject* item) {
        auto [key, value] = UnpackPair(item);
        visit(key.get(), value.get());
        return true;
    });
}

// _build_arguments(self)
//
// The instance attributes are read afresh at every use, as the method body
// written in Python reads them: code that runs on the way (a __len__, an
// __iter__, a copy() of the caller's) may rebind one, and later instances
// then see the new value.
Ref PcallBuildArguments(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* self = bound[0];
    InstanceReads& reads = decltype(functions)::payload(function);
    auto read = [&](PcallAttribute attribute) {
        static constexpr PyObject* Names::*kName[] = {&Names::targets, &Names::cargs,   &Names::iargs,
                                                      &Names::ckwargs, &Names::ikwargs, &Names::varkwargs};
        static_assert(std::size(kName) == static_cast<size_t>(PcallAttribute::kCount));
        const auto at = static_cast<size_t>(attribute);
        return quelbrin::inline_values::ReadAttribute(reads.slots[at], self, names.*kName[at]);
    };

    // Instance count: the shortest non-empty source.  A single callable
    // target runs once when every source is empty; a collection of targets
    // is itself a source, and with no source at all min() of nothing fails.
    const bool single_target = PyCallable_Check(read(PcallAttribute::kTargets).get());
    SmallestLength smallest;
    if (!single_target) {
        smallest.add(read(PcallAttribute::kTargets).get());
    }
    smallest.add(read(PcallAttribute::kIargs).get());
    smallest.add(read(PcallAttribute::kIkwargs).get());
    ForEachValue(read(PcallAttribute::kVarkwargs).get(), [&](PyObject* values) {
        smallest.add(values);
        return true;
    });
    Py_ssize_t count = smallest.value();
    if (count == 0) {
        if (!single_target) {
            Raise(PyExc_ValueError, "min() iterable argument is empty");
        }
        count = 1;
    }

    Ref target_source;
    if (single_target) {
        Ref itertools = LoadGlobal(function, names.itertools);
        Ref repeat = GetAttr(itertools.get(), names.repeat);
        target_source = Call(repeat.get(), read(PcallAttribute::kTargets).get());
    } else {
        target_source = New(PyObject_GetIter(read(PcallAttribute::kTargets).get()));
    }

    Ref argument_sets = New(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref cargs = read(PcallAttribute::kCargs);
        Ref positional = PyTuple_CheckExact(cargs.get()) ? std::move(cargs) : New(PySequence_Tuple(cargs.get()));
        if (Truth(read(PcallAttribute::kIargs).get())) {
            positional = JoinPositional(std::move(positional), ItemAt(read(PcallAttribute::kIargs).get(), i).get());
        }

        Ref keywords = CopyKeywords(read(PcallAttribute::kCkwargs).get());
        if (Truth(read(PcallAttribute::kIkwargs).get())) {
            UpdateKeywords(keywords.get(), [&] { return ItemAt(read(PcallAttribute::kIkwargs).get(), i); });
        }
        ForEachItem(read(PcallAttribute::kVarkwargs).get(), [&](PyObject* name, PyObject* values) {
            quelbrin::SetItem(keywords.get(), name, ItemAt(values, i).get());
        });

        Ref target = Next(target_source.get());
        if (!target) {
            PyErr_SetNone(PyExc_StopIteration);
            throw PyError{};
        }

        Ref argument_set = New(PyDict_New());
        Require(PyDict_SetItem(argument_set.get(), names.target, target.get()));
        Require(PyDict_SetItem(argument_set.get(), names.args, positional.get()));
        Require(PyDict_SetItem(argument_set.get(), names.kwargs, keywords.get()));
        Require(PyList_Append(argument_sets.get(), argument_set.get()));
    }
    return argument_sets;
}

// ---------------------------------------------------------------------------
// Pcall: run control

constexpr const char kPcallPcallDoc[] =
    "pcall classmethod\n"
    "\n"
    "        Classmethod to allow short-cut calling of Pcall. This api wraps\n"
    "        Pcall's start(), join() apis together, blocks and returns the results\n"
    "        of parallel calls in the order they were called.\n"
    "        ";

// pcall(cls, *args, **kwargs)
Ref PcallPcall(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    Ref instance = New(PyObject_Call(bound[0], bound.varargs(), bound.varkwargs()));
    CallMethod(instance.get(), names.start);
    CallMethod(instance.get(), names.join);
    return GetAttr(instance.get(), names.results);
}

constexpr const char kPidsDoc[] =
    "pids (property)\n"
    "\n"
    "        list of pids after it's all started\n"
    "        ";

// The children of a Pcall, read afresh from `_processes`.
Ref Processes(PyObject* self) { return GetAttr(self, names.processes_attr); }

Ref PcallPids(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    Ref pids = New(PyList_New(0));
    ForEach(Processes(bound[0]).get(), [&](PyObject* child) {
        Require(PyList_Append(pids.get(), GetAttr(child, names.pid).get()));
        return true;
    });
    return New(PyList_AsTuple(pids.get()));
}

constexpr const char kStartDoc[] =
    "start\n"
    "\n"
    "        starts all child worker processes\n"
    "        ";

Ref CurrentTime(Function& function) {
    Ref time_module = LoadGlobal(function, names.time);
    return CallMethod(time_module.get(), names.time);
}

Ref PcallStart(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* self = bound[0];
    SetAttr(self, names.starttime, CurrentTime(function).get());

    // with managed_handlers.tasklog.consolidate_next_forked_logfile():
    //     for p in self._processes: p.start()
    Ref handlers = LoadGlobal(function, names.managed_handlers);
    Ref tasklog = GetAttr(handlers.get(), names.tasklog);
    Ref manager = CallMethod(tasklog.get(), names.consolidate_next_forked_logfile);
    Ref enter = LookupSpecial(manager.get(), names.dunder_enter);
    if (!enter) {
        if (!PyErr_Occurred()) {
            RaiseFormat(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                        Py_TYPE(manager.get())->tp_name);
        }
        throw PyError{};
    }
    Ref exit = LookupSpecial(manager.get(), names.dunder_exit);
    if (!exit) {
        if (!PyErr_Occurred()) {
            RaiseFormat(PyExc_TypeError,
                        "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                        Py_TYPE(manager.get())->tp_name);
        }
        throw PyError{};
    }
    Call(enter.get());
    try {
        ForEach(Processes(self).get(), [&](PyObject* child) {
            CallMethod(child, names.start);
            return true;
        });
    } catch (const PyError&) {
        RaisedException raised;
        Ref suppress;
        bool suppressed = false;
        {
            HandlingException handling(raised.get());
            Ref traceback = Ref::steal(PyException_GetTraceback(raised.get()));
            suppress = New(PyObject_CallFunctionObjArgs(exit.get(), Py_TYPE(raised.get()), raised.get(),
                                                        traceback ? traceback.get() : Py_None, nullptr));
            // Still while the start error is being handled, so that an error
            // of the truth test carries it as its context.
            suppressed = Truth(suppress.get());
        }
        if (!suppressed) {
            raised.reraise();
        }
        return Ref::new_reference(Py_None);
    }
    New(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
    return Ref::new_reference(Py_None);
}

// ---- Waiting for the children

bool AnyChildAlive(PyObject* self) {
    bool alive = false;
    ForEach(Processes(self).get(), [&](PyObject* child) {
        alive = Truth(CallMethod(child, names.is_alive).get());
        return !alive;  // the first living child settles it
    });
    return alive;
}

// time.sleep(kPollPeriod), through the module's `time`.
void SleepOnePeriod(Function& function) {
    Ref time_module = LoadGlobal(function, names.time);
    CallMethod(time_module.get(), names.sleep, names.poll_period);
}

void JoinChildren(PyObject* self) {
    ForEach(Processes(self).get(), [&](PyObject* child) {
        CallMethod(child, names.join);
        return true;
    });
}

// The queue, read afresh for each use.
Ref ResultQueue(PyObject* self) { return GetAttr(self, names.queue_attr); }

// Result entries read so far, kept on the instance so that a repeated join()
// sees what the first one read off the queue.
Ref KeptEntries(PyObject* self) {
    Ref entries = quelbrin::GetOptionalAttr(self, names.entries_attr);
    if (entries && PyList_Check(entries.get())) {
        return entries;
    }
    entries = New(PyList_New(0));
    SetAttr(self, names.entries_attr, entries.get());
    return entries;
}

bool TimeLimitPassed(Function& function, PyObject* self) {
    if (!Truth(GetAttr(self, names.timeout).get())) {
        return false;
    }
    Ref now = CurrentTime(function);
    Ref timeout = GetAttr(self, names.timeout);
    Ref starttime = GetAttr(self, names.starttime);
    Ref limit = New(PyNumber_Add(timeout.get(), starttime.get()));
    return Require(PyObject_RichCompareBool(now.get(), limit.get(), Py_GT)) != 0;
}

// Lists the children still running, terminates them and logs the list; the
// caller then raises TimeoutError.
void ReportTimeOut(Function& function, PyObject* self) {
    Ref lines = New(PyList_New(0));
    ForEach(GetAttr(self, names.livings).get(), [&](PyObject* child) {
        PyObject* format_args[] = {names.livings_line, child};
        Ref line = New(PyObject_VectorcallMethod(names.format, format_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 names.kwnames_p));
        Require(PyList_Append(lines.get(), line.get()));
        return true;
    });
    CallMethod(self, names.terminate);

    // logger.error(message.format(timeout=self.timeout, extended_msg="\n".join(lines))),
    // evaluated in that order.
    Ref logger = LoadGlobal(function, names.logger);
    Ref log_error = GetAttr(logger.get(), names.error);
    Ref timeout = GetAttr(self, names.timeout);
    Ref separator = New(PyUnicode_FromString("\n"));
    Ref extended_msg = New(PyUnicode_Join(separator.get(), lines.get()));
    PyObject* message_args[] = {names.timeout_message, timeout.get(), extended_msg.get()};
    Ref message = New(PyObject_VectorcallMethod(names.format, message_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                names.kwnames_timeout_extended_msg));
    Call(log_error.get(), message.get());
}

// ---- Stopping children when join() is left early

// How long children terminated by an interrupted join() get to end before
// they are killed, and how long a killed one is waited for.
constexpr double kTerminateGrace = 1.0;
constexpr double kKillGrace = 1.0;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// child.join(seconds), waiting at most that long.
void JoinFor(PyObject* child, double seconds) {
    Ref limit = New(PyFloat_FromDouble(seconds > 0 ? seconds : 0));
    CallMethod(child, names.join, limit.get());
}

// Runs one clean-up step whose failure must not replace the exception that
// is already on its way out; a KeyboardInterrupt during the step (Ctrl-C
// pressed again) asks for the rest to be done without waiting.
template <typename Step>
void Quietly(bool& hurry, Step&& step) {
    try {
        step();
    } catch (const PyError&) {
        hurry = hurry || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
        quelbrin::ErrorHandled();
    }
}

// Calls `visit(item)` for each item of `list`, a list of this module's own
// that no Python code can reach, each item held while `visit` runs.
template <typename Visit>
void ForEachOwnItem(PyObject* list, Visit&& visit) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        Ref item = Ref::new_reference(PyList_GET_ITEM(list, k));
        visit(item.get());
    }
}

// Stops `children` (a list) that are still alive and reaps them: terminate(),
// a short grace period, then kill() for any that ignored it.  Errors of the
// children's own methods are skipped over, child by child.  A
// KeyboardInterrupt meanwhile, or before (`hurry` already set), skips the
// waiting and is reported in `hurry`.
void StopChildren(PyObject* children, bool& hurry) {
    Ref living = New(PyList_New(0));
    ForEachOwnItem(children, [&](PyObject* child) {
        Quietly(hurry, [&] {
            if (Truth(CallMethod(child, names.is_alive).get())) {
                Require(PyList_Append(living.get(), child));
                CallMethod(child, names.terminate);
            }
        });
    });
    const auto terminated = std::chrono::steady_clock::now();
    ForEachOwnItem(living.get(), [&](PyObject* child) {
        if (!hurry) {
            Quietly(hurry, [&] { JoinFor(child, kTerminateGrace - SecondsSince(terminated)); });
        }
    });
    ForEachOwnItem(living.get(), [&](PyObject* child) {
        Quietly(hurry, [&] {
            if (Truth(CallMethod(child, names.is_alive).get())) {
                CallMethod(child, names.kill);
                JoinFor(child, kKillGrace);
            }
        });
    });
}

// The children of `self` as they are now, in a list of this module's own;
// as many as could be read.
Ref ChildrenNow(PyObject* self, bool& hurry) {
    Ref children = New(PyList_New(0));
    Quietly(hurry, [&] {
        ForEach(Processes(self).get(), [&](PyObject* child) {
            Require(PyList_Append(children.get(), child));
            return true;
        });
    });
    return children;
}

// Raises KeyboardInterrupt for a Ctrl-C that arrived during a clean-up: it
// wins over what join() was about to raise, as it would raised in an
// `except` or `finally` block.  `leaving` (or NULL) becomes its context.
[[noreturn]] void RaiseInterrupted(PyObject* leaving) {
    if (leaving != nullptr) {
        HandlingException handling(leaving);
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    } else {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    throw PyError{};
}

// ---- Children that can never report
//
// A child that dies while it holds the queue's write lock -- in the middle of
// its frame, or before or after writing it -- leaves the lock held for good,
// and every child that has yet to report waits for it in put() for ever.  A
// living writer holds the lock only while it writes, without pause, so a lock
// held with no byte arriving for kStallLimit means its holder is not
// writing.  Either it is stopped (SIGSTOP, a debugger, a cgroup freezer), and
// alive: it goes on once continued, and join() waits for it as for any
// living child.  Or it is dead: when some child has ended on its own without
// an entry, that is the one; when every child that ended has reported, the
// holder is one of them that died after its entry, which is assumed once the
// lock has been held for kStallLimitAfterEntries.  The children still waiting
// can then never report, and are stopped.
constexpr double kStallLimit = 1.0;
constexpr double kStallLimitAfterEntries = 3.0;

// Whether `entries` hold one whose index equals `position`.  Only an
// estimate: entries that cannot be read count as reporting, as an
// `except Exception` would have it, so that Ctrl-C (or SystemExit) raised
// in an index's comparison still ends join().
bool Reported(PyObject* entries, Py_ssize_t position) {
    Ref key = New(PyLong_FromSsize_t(position));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(entries); ++k) {
        Ref entry = Ref::new_reference(PyList_GET_ITEM(entries, k));  // held: __eq__ may change the list
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 3) {
            return true;
        }
        const int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(entry.get(), 0), key.get(), Py_EQ);
        if (equal < 0 && !PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyError{};
        }
        if (equal != 0) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

// Whether any of `children` (a list of this module's own) is stopped.
bool AnyStopped(PyObject* children) {
    bool stopped = false;
    ForEachOwnItem(children, [&](PyObject* child) {
        Ref pid = GetAttr(child, names.pid);
        const long number = PyLong_Check(pid.get()) ? PyLong_AsLong(pid.get()) : -1;
        if (number == -1 && PyErr_Occurred()) {
            PyErr_Clear();
        }
        stopped = stopped || (number > 0 && quelbrin::result_pipe::ProcessStopped(number));
    });
    return stopped;
}

// Stops the children that a dead writer has locked out, and returns them (a
// list; empty Ref when it did not come to that) so that the error names a
// child that died rather than them.
Ref StopChildrenLockedOut(PyObject* self, PyObject* entries, QueueReader& reader) {
    const double stalled = reader.WritersStalledFor();
    if (stalled < kStallLimit) {
        return {};
    }
    Ref living = New(PyList_New(0));
    std::vector<Py_ssize_t> ended;
    Py_ssize_t position = 0;
    ForEach(Processes(self).get(), [&](PyObject* child) {
        if (Truth(CallMethod(child, names.is_alive).get())) {
            Require(PyList_Append(living.get(), child));
        } else {
            ended.push_back(position);
        }
        ++position;
        return true;
    });
    if (PyList_GET_SIZE(living.get()) == 0) {
        return {};  // join() goes on by itself
    }
    if (AnyStopped(living.get())) {
        reader.WritersAlive();
        return {};
    }
    // A child that ended after a whole frame has all of it in the pipe.
    reader.Drain([self] { return ResultQueue(self); }, entries, QueueReader::Wait::kBrief);
    bool died_holding = false;
    for (Py_ssize_t child : ended) {
        died_holding = died_holding || !Reported(entries, child);
    }
    if (!died_holding && (ended.empty() || stalled < kStallLimitAfterEntries)) {
        return {};
    }
    bool interrupted = false;
    StopChildren(living.get(), interrupted);
    if (interrupted) {
        RaiseInterrupted(nullptr);
    }
    return living;
}

// ---- The failure check

// `index, success, result = entry`, with the interpreter's messages for an
// entry of the wrong shape.
struct EntryFields {
    Ref index;
    Ref success;
    Ref result;
};
static_assert(!std::is_nothrow_destructible_v<EntryFields>);

EntryFields UnpackEntry(PyObject* entry) {
    Ref iterator = Ref::steal(PyObject_GetIter(entry));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(entry)->tp_iter == nullptr &&
            !PySequence_Check(entry)) {
            RaiseFormat(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(entry)->tp_name);
        }
        throw PyError{};
    }
    EntryFields fields;
    Ref* targets[] = {&fields.index, &fields.success, &fields.result};
    for (size_t i = 0; i < 3; ++i) {
        *targets[i] = Next(iterator.get());
        if (!*targets[i]) {
            RaiseFormat(PyExc_ValueError, "not enough values to unpack (expected 3, got %zu)", i);
        }
    }
    if (Next(iterator.get())) {
        Raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    return fields;
}

// `left <op> right` and its truth, as an `if` tests it.
bool Compares(PyObject* left, Py_ssize_t right, int op) {
    Ref number = New(PyLong_FromSsize_t(right));
    return Truth(New(PyObject_RichCompare(left, number.get(), op)).get());
}

[[noreturn]] void RaiseNotReported(PyObject* child, Py_ssize_t position) {
    Ref pid = GetAttr(child, names.pid);
    Ref exitcode = GetAttr(child, names.exitcode);
    RaiseFormat(PyExc_RuntimeError, "Child process-%zd (pid %S) ended with exit code %S without reporting a result.",
                position, pid.get(), exitcode.get());
}

// Walks a sorted copy of the entries (index order), unpacking each as it is
// reached, and raises for the lowest index that failed or that no entry has;
// otherwise returns the results in child order.  An entry matches the child
// whose position its index equals; entries of other indices, and later ones
// of an index already matched, are passed over.  Children that join() had
// to stop because they could never report (`stopped`, a list, or NULL) are
// passed over in favour of the child that caused it.
Ref Outcome(Function& function, PyObject* self, PyObject* entries, PyObject* stopped) {
    Ref children = New(PySequence_List(Processes(self).get()));
    Ref in_order = New(PySequence_List(entries));
    Require(PyList_Sort(in_order.get()));
    Ref results = New(PyList_New(0));
    Py_ssize_t position = 0;  // the children before it are accounted for
    Py_ssize_t first_stopped = -1;
    auto children_left = [&] { return position < PyList_GET_SIZE(children.get()); };
    // The child at `position` has no entry.
    auto not_reported = [&] {
        Ref child = Ref::new_reference(PyList_GET_ITEM(children.get(), position));
        bool was_stopped = false;
        for (Py_ssize_t k = 0; stopped != nullptr && k < PyList_GET_SIZE(stopped); ++k) {
            was_stopped = was_stopped || PyList_GET_ITEM(stopped, k) == child.get();
        }
        if (!was_stopped) {
            RaiseNotReported(child.get(), position);
        }
        first_stopped = first_stopped < 0 ? position : first_stopped;
        ++position;
    };
    ForEachOwnItem(in_order.get(), [&](PyObject* entry) {
        auto [index, success, result] = UnpackEntry(entry);
        while (children_left() && Compares(index.get(), position, Py_GT)) {
            not_reported();
        }
        if (!children_left() || !Compares(index.get(), position, Py_EQ)) {
            return;
        }
        if (Require(PyObject_RichCompareBool(success.get(), names.status_step_failed, Py_EQ))) {
            Ref failed_signal = ImportName(function.globals, names.module_signals, names.fromlist_failed,
                                           names.TrevaskStepFailedSignal);
            RaiseObject(Call(failed_signal.get(), result.get()).get());
        }
        if (!Truth(success.get())) {
            RaiseObject(result.get());
        }
        Require(PyList_Append(results.get(), result.get()));
        ++position;
    });
    while (children_left()) {
        not_reported();
    }
    if (first_stopped >= 0) {
        RaiseNotReported(PyList_GET_ITEM(children.get(), first_stopped), first_stopped);
    }
    return New(PyList_AsTuple(results.get()));
}

// ---- join()

constexpr const char kJoinDoc[] =
    "join\n"
    "\n"
    "        blocks the current process until timeout is reached, or if all childs\n"
    "        finish executing their given job. Collects & sets the result variable\n"
    "        after everything is finished. If a child process raises an exception\n"
    "        during execution, the same exception will be thrown here.\n"
    "        ";

Ref PcallJoin(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* self = bound[0];
    auto queue = [self] { return ResultQueue(self); };
    Ref entries = KeptEntries(self);
    QueueReader reader(self);
    Ref stopped;  // a list once join() had to stop children that could never report

    bool timed_out = false;
    try {
        while (AnyChildAlive(self)) {
            reader.Drain(queue, entries.get(), QueueReader::Wait::kBrief);
            if (!stopped && (stopped = StopChildrenLockedOut(self, entries.get(), reader))) {
                continue;
            }
            SleepOnePeriod(function);
            if (TimeLimitPassed(function, self)) {
                ReportTimeOut(function, self);
                timed_out = true;
                break;
            }
        }
        if (!timed_out) {
            SetAttr(self, names.stoptime, CurrentTime(function).get());
            // Waits for a reader in another thread that holds the read lock:
            // the entry it is adding may decide the outcome.
            reader.Drain(queue, entries.get(), QueueReader::Wait::kAsGet);
            JoinChildren(self);
        }
    } catch (const PyError&) {
        // Ctrl-C, a test runner's time-out or a failing call leaves join()
        // early: stop the children rather than leave them running, which
        // would also make the interpreter wait for them at exit.
        // A Ctrl-C during this clean-up wins over the exception on its way
        // out, unless that is a Ctrl-C already.
        RaisedException raised;
        bool interrupted = false;
        StopChildren(ChildrenNow(self, interrupted).get(), interrupted);
        if (interrupted && !raised.matches(PyExc_KeyboardInterrupt)) {
            RaiseInterrupted(raised.get());
        }
        raised.reraise();
    }
    if (timed_out) {
        // A Ctrl-C that came while the time-out was being reported is raised
        // now, not left pending behind the TimeoutError.
        Require(PyErr_CheckSignals());
        Raise(PyExc_TimeoutError, "Not all child processes finished running.");
    }
    SetAttr(self, names.results, Outcome(function, self, entries.get(), stopped.get()).get());
    return Ref::new_reference(Py_None);
}

constexpr const char kTerminateDoc[] =
    "terminate\n"
    "\n"
    "        terminates all child processes.\n"
    "\n"
    "        Note\n"
    "        ----\n"
    "            this might take a split second before it taking effect\n"
    "        ";

Ref PcallTerminate(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    ForEach(Processes(bound[0]).get(), [&](PyObject* child) {
        CallMethod(child, names.terminate);
        return true;
    });
    return Ref::new_reference(Py_None);
}

constexpr const char kKillDoc[] =
    "kill\n"
    "\n"
    "        kill (SIGKILL) all child processes.\n"
    "        ";

Ref PcallKill(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    ForEach(Processes(bound[0]).get(), [&](PyObject* child) {
        // A child never started has no process, and the pid of one that
        // ended and was reaped may already belong to another process.
        if (GetAttr(child, names.pid).get() == Py_None || !Truth(CallMethod(child, names.is_alive).get())) {
            return true;
        }
        Ref os_kill = GetAttr(LoadGlobal(function, names.os).get(), names.kill);
        Ref pid = GetAttr(child, names.pid);
        Ref sigkill = GetAttr(LoadGlobal(function, names.signal).get(), names.SIGKILL);
        New(PyObject_CallFunctionObjArgs(os_kill.get(), pid.get(), sigkill.get(), nullptr));
        return true;
    });
    return Ref::new_reference(Py_None);
}

constexpr const char kLivingsDoc[] =
    "property: livings\n"
    "\n"
    "        returns the list of all processes that are currently alive.\n"
    "        ";

Ref PcallLivings(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    Ref living = New(PyList_New(0));
    ForEach(Processes(bound[0]).get(), [&](PyObject* child) {
        if (Truth(CallMethod(child, names.is_alive).get())) {
            Require(PyList_Append(living.get(), child));
        }
        return true;
    });
    return New(PyList_AsTuple(living.get()));
}

constexpr FunctionDef kPcallPcallDef = DefineFunction("pcall", "Pcall.pcall", kPcallPcallDoc,
                                                      {Arg("cls"), VarArgs("args"), VarKeywords("kwargs")}, PcallPcall);
constexpr FunctionDef kPcallInitDef =
    DefineFunction("__init__", "Pcall.__init__", nullptr,
                   {Arg("self"), Arg("targets"), Arg("timeout", kDefault), Arg("cargs", kDefault),
                    Arg("iargs", kDefault), Arg("ckwargs", kDefault), Arg("ikwargs", kDefault),
                    VarKeywords("varkwargs")},
                   PcallInit);
static_assert(kPcallInitDef.argcount == kIkwargs + 1, "PcallInit reads its parameters through InitParameter");
constexpr FunctionDef kPcallPidsDef = DefineFunction("pids", "Pcall.pids", kPidsDoc, {Arg("self")}, PcallPids);
constexpr FunctionDef kPcallStartDef = DefineFunction("start", "Pcall.start", kStartDoc, {Arg("self")}, PcallStart);
constexpr FunctionDef kPcallJoinDef = DefineFunction("join", "Pcall.join", kJoinDoc, {Arg("self")}, PcallJoin);
constexpr FunctionDef kPcallTerminateDef =
    DefineFunction("terminate", "Pcall.terminate", kTerminateDoc, {Arg("self")}, PcallTerminate);
constexpr FunctionDef kPcallKillDef = DefineFunction("kill", "Pcall.kill", kKillDoc, {Arg("self")}, PcallKill);
constexpr FunctionDef kPcallLivingsDef =
    DefineFunction("livings", "Pcall.livings", kLivingsDoc, {Arg("self")}, PcallLivings);
constexpr FunctionDef kPcallBuildArgumentsDef = DefineFunction(
    "_build_arguments", "Pcall._build_arguments", kBuildArgumentsDoc, {Arg("self")}, PcallBuildArguments);

// ---------------------------------------------------------------------------
// Module body

// The framework's modules are not part of this package.  When one of them,
// or its package, is missing, the import still fails with the import
// system's ModuleNotFoundError (same type, same `name`, the original as its
// cause), but says what to install.  Any other failure, such as a module of
// another project missing inside a framework module that is there, passes
// unchanged.
[[noreturn]] void RaiseMissingFramework() {
    quelbrin::RaisedException original;
    if (!original.matches(PyExc_ModuleNotFoundError)) {
        original.reraise();
    }
    Ref missing = Ref::steal(PyObject_GetAttrString(original.get(), "name"));
    const bool framework_module =
        missing && PyUnicode_Check(missing.get()) &&
        (PyUnicode_CompareWithASCIIString(missing.get(), "quelbrin") == 0 ||
         PyUnicode_Tailmatch(missing.get(), quelbrin::Intern("quelbrin.").get(), 0, PY_SSIZE_T_MAX, -1) == 1);
    Ref message = framework_module
                      ? Ref::steal(PyUnicode_FromFormat(
                            "%S: quelbrin.async_.tandemix needs the quelbrin framework installed beside "
                            "quelbrin-async-native. To run without the framework, as this package's own tests and "
                            "demo do, install its stand-ins: the distribution quelbrin-async-native-test-support "
                            "(support/ in the source tree).",
                            original.get()))
                      : Ref();
    if (!message) {
        PyErr_Clear();
        original.reraise();
    }
    PyErr_SetImportErrorSubclass(PyExc_ModuleNotFoundError, message.get(), missing.get(), nullptr);
    Ref explained = Ref::steal(PyErr_GetRaisedException());
    if (!explained || !PyErr_GivenExceptionMatches(explained.get(), PyExc_ModuleNotFoundError)) {
        original.reraise();
    }
    // `raise ModuleNotFoundError(...) from original`, inside its except block.
    PyException_SetCause(explained.get(), Py_NewRef(original.get()));
    PyException_SetContext(explained.get(), Py_NewRef(original.get()));
    PyErr_SetRaisedException(explained.release());
    throw PyError{};
}

void ExecModule(PyObject* module) {
    using quelbrin::Intern;
    using quelbrin::LoadGlobal;
    using quelbrin::SetItem;
    quelbrin::MakeConstants<kNames>(names);
    quelbrin::result_pipe::MakeNames();
    functions.ready();
    PyObject* globals = Require(PyModule_GetDict(module));

    quelbrin::ImportModules(globals, {"os", "time", "signal", "logging", "inspect", "itertools", "functools"});
    auto import_from = [&](const char* module_name, const char* name, int level) {
        Ref module_text = New(PyUnicode_FromString(module_name));
        Ref name_text = Intern(name);
        Ref fromlist = New(PyTuple_Pack(1, name_text.get()));
        Ref imported = quelbrin::ImportModule(globals, module_text.get(), fromlist.get(), level);
        SetItem(globals, name_text.get(), ImportFrom(imported.get(), name_text.get()).get());
    };
    import_from("collections", "namedtuple", 0);
    auto import_from_framework = [&](const char* module_name, const char* name, int level) {
        try {
            import_from(module_name, name, level);
        } catch (const PyError&) {
            RaiseMissingFramework();
        }
    };
    import_from_framework("exceptions", "ExceptionWithTraceback", 1);
    import_from_framework("quelbrin.log", "managed_handlers", 0);

    quelbrin::BindForkContext(globals);
    SetItem(globals, "__pcall_infra__", Py_True);
    quelbrin::BindLogger(globals);

    // ChildWork = namedtuple("ChildWork", ["target", "args", "kwargs"]).
    // namedtuple names the class after its caller's frame, which here is the
    // import machinery's; a module body would have given it this module's
    // name, so that is set afterwards.
    Ref namedtuple = LoadGlobal(globals, Intern("namedtuple").get());
    Ref fields = New(Py_BuildValue("[sss]", "target", "args", "kwargs"));
    PyObject* child_work_args[] = {names.ChildWork, fields.get()};
    Ref child_work = New(PyObject_Vectorcall(namedtuple.get(), child_work_args, 2, nullptr));
    if (PyType_Check(child_work.get())) {
        SetAttr(child_work.get(), names.dunder_module, LoadGlobal(globals, names.dunder_name).get());
    }
    SetItem(globals, "ChildWork", child_work.get());

    Ref context = LoadGlobal(globals, names.multiprocessing);
    Ref child_labor_bases = New(PyTuple_Pack(1, GetAttr(context.get(), Intern("Process").get()).get()));
    auto child_labor_body = [&](quelbrin::ClassBody& body) {
        body.define("__init__",
                    functions.make<kChildLaborInitDef>(globals, quelbrin::Captured{body.class_cell()}).get());
        body.define("_get_steps", functions.make<kChildLaborGetStepsDef>(globals).get());
        body.define("run", functions.make<kChildLaborRunDef>(globals).get());
    };
    Ref child_labor =
        quelbrin::MakeClass(globals, "ChildLabor", child_labor_bases.get(), kChildLaborDoc, child_labor_body);
    SetItem(globals, "ChildLabor", child_labor.get());

    Ref pcall_bases = New(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref pcall = quelbrin::MakeClass(globals, "Pcall", pcall_bases.get(), kPcallDoc, [&](quelbrin::ClassBody& body) {
        // classmethod(f) and property(f) as decorators make them: calling
        // the type copies the function's __name__, __qualname__, __module__
        // and __doc__ onto a classmethod.
        auto decorate = [](PyTypeObject& decorator, Ref function) {
            return Call(reinterpret_cast<PyObject*>(&decorator), function.get());
        };
        body.define("pcall", decorate(PyClassMethod_Type, functions.make<kPcallPcallDef>(globals)).get());
        Ref empty_tuple = New(PyTuple_New(0));
        Ref empty_dict = New(PyDict_New());
        // def __init__(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)
        Ref init = functions.make<kPcallInitDef>(globals, Py_None, empty_tuple.get(), empty_tuple.get(),
                                                 empty_dict.get(), empty_tuple.get());
        body.define("__init__", init.get());
        body.define("pids", decorate(PyProperty_Type, functions.make<kPcallPidsDef>(globals)).get());
        body.define("start", functions.make<kPcallStartDef>(globals).get());
        body.define("join", functions.make<kPcallJoinDef>(globals).get());
        body.define("terminate", functions.make<kPcallTerminateDef>(globals).get());
        body.define("kill", functions.make<kPcallKillDef>(globals).get());
        body.define("livings", decorate(PyProperty_Type, functions.make<kPcallLivingsDef>(globals)).get());
        body.define("_build_arguments", functions.make<kPcallBuildArgumentsDef>(globals).get());
    });
    // The cached reads of `_build_arguments` are checked on names that
    // Pcall.__init__ sets first, in its order.
    quelbrin::inline_values::EnableCachedReads(pcall.get(), {names.targets, names.timeout, names.cargs});
    SetItem(globals, "Pcall", pcall.get());
    SetItem(globals, "__test__", New(PyDict_New()).get());
}

quelbrin::ProcessModule process_module("tandemix", ExecModule);

}  // namespace

PyMODINIT_FUNC PyInit_tandemix() { return process_module.init(); }
