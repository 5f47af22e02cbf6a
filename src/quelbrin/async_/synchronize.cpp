// quelbrin.async_.synchronize: per-instance re-entrant locks that hold across
// threads and across processes forked after the lock was made.
//
// The lock of an instance lives under its attribute `__lock__` and comes from
// the fork context of multiprocessing, so forked children share it with the
// parent.  Three ways lead to it: the base class `Lockable` (lock made in
// __init__), the decorator `locked` (lock made on the first call), and the
// metaclass `LockableMeta` (applies `locked` to a class body's public
// functions).
//
// Everything Python-visible is built the way a Python module would build it:
// classes are made by calling `type`, functions are native functions that
// bind and introspect like Python ones, and module globals (`logger`,
// `functools`, `multiprocessing`, `inspect`, `locked`) are read from the
// module namespace at each use so that rebinding them takes effect.
//
// The locked call is the hot path.  It reads `self.__lock__` before each
// step and the lock's `acquire` and `release` as Python would, but through a
// cache that each wrapper keeps (attribute_cache.hpp explains it), and it
// calls the fork context's own semaphore methods directly.
#include "attribute_cache.hpp"
#include "constants.hpp"
#include "function.hpp"
#include "glibc_compat.hpp"
#include "module.hpp"
#include "recursion.hpp"
#include "statements.hpp"

#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace {

using quelbrin::Arg;
using quelbrin::BoundArguments;
using quelbrin::DefineFunction;
using quelbrin::Function;
using quelbrin::FunctionDef;
using quelbrin::KeywordOnly;
using quelbrin::VarArgs;
using quelbrin::VarKeywords;
using quelbrin::kDefault;
using quelbrin::GetOptionalAttr;
using quelbrin::New;
using quelbrin::PyError;
using quelbrin::RaisedException;
using quelbrin::Ref;
using quelbrin::Require;
using quelbrin::UnpackPair;

using quelbrin::inline_values::LockSiteCache;
using quelbrin::inline_values::Slot;

// This module's functions, each with the cache of the locked call it makes
// when it is a lock wrapper (unused by every other function).
quelbrin::FunctionType<LockSiteCache> functions("quelbrin.async_.synchronize.function");

LockSiteCache& LockSite(Function& wrapper) { return decltype(functions)::payload(wrapper); }

// ---------------------------------------------------------------------------
// Interned names and constants, made once in the exec slot (constants.hpp).

// The fields, in the order of the table below.
struct Names {
    PyObject *lock_attr, *acquire, *release, *self, *warning, *logger, *multiprocessing, *rlock, *functools, *wraps,
        *inspect, *isfunction, *locked, *items, *startswith, *underscore, *ignore_marker, *dunder_new,
        *dunder_module, *dunder_name, *waiting_format, *block_kwnames, *block_timeout_kwnames;
};

using quelbrin::String;
using quelbrin::Strings;

constexpr quelbrin::ConstantEntry<Names> kNames[] = {
    {&Names::lock_attr, String("__lock__")},
    {&Names::acquire, String("acquire")},
    {&Names::release, String("release")},
    {&Names::self, String("self")},
    {&Names::warning, String("warning")},
    {&Names::logger, String("logger")},
    {&Names::multiprocessing, String("multiprocessing")},
    {&Names::rlock, String("RLock")},
    {&Names::functools, String("functools")},
    {&Names::wraps, String("wraps")},
    {&Names::inspect, String("inspect")},
    {&Names::isfunction, String("isfunction")},
    {&Names::locked, String("locked")},
    {&Names::items, String("items")},
    {&Names::startswith, String("startswith")},
    {&Names::underscore, String("_")},
    {&Names::ignore_marker, String("_LockedMeta_ignore")},
    {&Names::dunder_new, String("__new__")},
    {&Names::dunder_module, String("__module__")},
    {&Names::dunder_name, String("__name__")},
    {&Names::waiting_format, String("Waiting for lock on %s")},
    {&Names::block_kwnames, Strings({"block"})},
    {&Names::block_timeout_kwnames, Strings({"block", "timeout"})},
};

Names names{};

// ---------------------------------------------------------------------------
// The locked call: the body of every `_wrapped` that the decorators make.

using quelbrin::inline_values::ReadAttribute;
using quelbrin::inline_values::ReadAttributeSlowly;

// The C method behind `method` when it is the native semaphore's own
// `name` method (a builtin bound to a semaphore, with the calling
// convention `flags`), or NULL.  Only that method is ever called directly:
// it is known not to call back into Python, so skipping the call path's
// recursion check cannot let C recursion run unchecked.
PyMethodDef* NativeSemaphoreMethod(PyObject* method, PyObject* name, int flags) {
    if (!PyCFunction_CheckExact(method)) {
        return nullptr;
    }
    auto* builtin = reinterpret_cast<PyCFunctionObject*>(method);
    PyObject* owner = builtin->m_self;
    if (owner == nullptr || builtin->m_ml->ml_flags != flags) {
        return nullptr;
    }
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(owner), name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMethodDescr_Type) ||
        reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method != builtin->m_ml ||
        std::strcmp(PyDescr_TYPE(descriptor)->tp_name, "_multiprocessing.SemLock") != 0) {
        return nullptr;
    }
    return builtin->m_ml;
}

enum class LockStep { kTryAcquire, kAcquire, kRelease };

constexpr bool IsRelease(LockStep step) { return step == LockStep::kRelease; }

PyObject* LockMethodName(LockStep step) { return IsRelease(step) ? names.release : names.acquire; }

// `acquire(block=False)` passes one keyword, the other two calls nothing.
PyObject* LockCallKeywords(LockStep step) { return step == LockStep::kTryAcquire ? names.block_kwnames : nullptr; }

// The lock's method for `step` when the slot missed: read as the
// interpreter reads it, teaching the slot (and which C method it is) when it
// is a plain instance attribute.  Empty when it is not one: the caller then
// makes the call as an ordinary method call.
[[gnu::noinline]] Ref ReadLockMethodSlowly(LockSiteCache& site, PyObject* lock, LockStep step) {
    Slot& slot = IsRelease(step) ? site.release : site.acquire;
    PyObject* name = LockMethodName(step);
    const Py_ssize_t index = slot.stale_for(lock) ? slot.examine(lock, name) : -1;
    if (index < 0) {
        return Ref();
    }
    Ref method = quelbrin::GetAttr(lock, name);
    slot.learn(lock, index, method.get());
    (IsRelease(step) ? site.release_method : site.acquire_method) =
        NativeSemaphoreMethod(method.get(), name, IsRelease(step) ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS);
    return method;
}

// `lock.<method>(...)` for `step`, not through the slot: a method call as
// the interpreter makes it (no bound method for a method of the lock's
// class).
[[gnu::noinline]] Ref CallLockMethodOrdinarily(PyObject* lock, LockStep step) {
    PyObject* args[] = {lock, Py_False};
    return New(PyObject_VectorcallMethod(LockMethodName(step), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         LockCallKeywords(step)));
}

// The semaphore's own C method for `step`, called directly on `semaphore`.
// It is the fork context's method, verified before each call, so no caller
// can tell how its arguments travel: `block=False` goes positionally, which
// spares the method its keyword parsing.
template <LockStep step>
Ref CallSemaphore(PyMethodDef* native, PyObject* semaphore) {
    auto* meth = reinterpret_cast<void (*)(void)>(native->ml_meth);
    if constexpr (IsRelease(step)) {
        return New(reinterpret_cast<PyCFunction>(meth)(semaphore, nullptr));
    } else {
        using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
        PyObject* block_false[] = {Py_False};
        const Py_ssize_t nargs = step == LockStep::kTryAcquire ? 1 : 0;
        return New(reinterpret_cast<FastWithKeywords>(meth)(semaphore, block_false, nargs, nullptr));
    }
}

// The semaphore whose own C method `lock.<method>` is, when the site's
// cache reads both `self.__lock__` and the lock's method for `step` and
// knows that method; NULL otherwise.  Borrowed: the reads are plain loads
// and run no Python code, so what they found lives until the caller runs
// some.
template <LockStep step>
[[gnu::always_inline]] inline PyObject* CachedSemaphore(const LockSiteCache& site, PyObject* self) {
    PyObject* lock = site.lock.read(self);
    if (lock == nullptr) {
        return nullptr;
    }
    PyObject* method = (IsRelease(step) ? site.release : site.acquire).read(lock);
    PyMethodDef* native = IsRelease(step) ? site.release_method : site.acquire_method;
    // The value may have been replaced on the instance since the slot
    // learnt it: only the C method it knows is called directly.
    if (method == nullptr || native == nullptr || !PyCFunction_CheckExact(method) ||
        reinterpret_cast<PyCFunctionObject*>(method)->m_ml != native) {
        return nullptr;
    }
    return PyCFunction_GET_SELF(method);
}

// The lock step when the cache cannot make it alone: ordinary reads that
// teach the cache, then the direct call when the method is the semaphore's
// own, an ordinary call otherwise.
template <LockStep step>
[[gnu::noinline]] Ref CallLockSlowly(LockSiteCache& site, PyObject* self) {
    Ref lock = ReadAttribute(site.lock, self, names.lock_attr, false);
    Slot& slot = IsRelease(step) ? site.release : site.acquire;
    Ref method = Ref::new_reference(slot.read(lock.get()));
    if (!method) {
        method = ReadLockMethodSlowly(site, lock.get(), step);
        if (!method) {
            return CallLockMethodOrdinarily(lock.get(), step);
        }
    }
    PyMethodDef* native = IsRelease(step) ? site.release_method : site.acquire_method;
    if (native != nullptr && PyCFunction_CheckExact(method.get()) &&
        reinterpret_cast<PyCFunctionObject*>(method.get())->m_ml == native) {
        return CallSemaphore<step>(native, PyCFunction_GET_SELF(method.get()));
    }
    PyObject* args[] = {nullptr, Py_False};
    return New(PyObject_Vectorcall(method.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, LockCallKeywords(step)));
}

// `self.__lock__.acquire(block=False)`, `self.__lock__.acquire()` or
// `self.__lock__.release()`, with `__lock__` read afresh each time, as a
// Python rendering reads it for every step: a lock replaced meanwhile is the
// one used.  Every call on the lock goes through here, so the acquire and the
// release of one locked call take the same path: a release can never fail
// at the recursion limit where its acquire got through.
//
// `before_slow_path` runs only when the cache cannot make the call alone.
// The wrapper of `locked` makes a missing lock there: a cached hit has just
// found the lock, which answers its hasattr() test.
template <LockStep step, typename BeforeSlowPath>
Ref CallLock(LockSiteCache& site, PyObject* self, BeforeSlowPath&& before_slow_path) {
    if (PyObject* semaphore = CachedSemaphore<step>(site, self)) [[likely]] {
        if constexpr (IsRelease(step)) {
            // Releasing runs no Python code: the semaphore outlives it.
            return CallSemaphore<step>(site.release_method, semaphore);
        } else {
            // Acquiring may run signal handlers, which may drop the lock.
            Ref held = Ref::new_reference(semaphore);
            return CallSemaphore<step>(site.acquire_method, semaphore);
        }
    }
    before_slow_path();
    return CallLockSlowly<step>(site, self);
}

template <LockStep step>
Ref CallLock(LockSiteCache& site, PyObject* self) {
    return CallLock<step>(site, self, [] {});
}

// `logger.warning("Waiting for lock on %s" % str(self))`, evaluated in the
// order Python evaluates it: the logger and its method first, then the
// text, which is complete before the logger sees it (handlers and filters
// get the final message, not a format and its arguments).
void WarnWaiting(const Function& wrapper, PyObject* self) {
    Ref logger = quelbrin::LoadGlobal(wrapper, names.logger);
    Ref warning = quelbrin::GetAttr(logger.get(), names.warning);
    Ref description = New(PyObject_Str(self));
    Ref message = New(PyNumber_Remainder(names.waiting_format, description.get()));
    quelbrin::Call(warning.get(), message.get());
}

// The wrapper of `locked` makes the lock of an instance that has none:
// `if not hasattr(self, '__lock__'): self.__lock__ = multiprocessing.RLock()`.
// A hit of the slot answers the test at once.
[[gnu::noinline]] void MakeMissingLockSlowly(Function& wrapper, PyObject* self) {
    if (ReadAttributeSlowly(LockSite(wrapper).lock, self, names.lock_attr, true)) {
        return;
    }
    Ref context = quelbrin::LoadGlobal(wrapper, names.multiprocessing);
    Ref fresh = quelbrin::CallMethod(context.get(), names.rlock);
    // Making the lock runs Python code, so another thread may have made the
    // first call on this instance meanwhile.  The lock stored first wins and
    // this one is dropped: every caller must end up on the same lock.
    if (ReadAttribute(LockSite(wrapper).lock, self, names.lock_attr, true)) {
        return;
    }
    quelbrin::SetAttr(self, names.lock_attr, fresh.get());
}

// Calls through the callee's vectorcall slot when it has one, as the
// interpreter's own call instructions do; the interpreter checks the result
// of the wrapper itself on the way out.
PyObject* CallDirect(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (vectorcallfunc call = quelbrin::version::VectorcallOf(callable)) {
        return call(callable, args, nargsf, kwnames);
    }
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// Runs `call_method` (returning a new reference or NULL with an exception
// set) under the instance lock of `self`.
template <typename Invoke>
Ref RunLocked(Function& wrapper, PyObject* self, bool create_missing, Invoke&& call_method) {
    // A Python method enters the interpreter's frame evaluation, which
    // counts against the recursion limit itself; any other callable might
    // lead straight back here without a frame in between.
    quelbrin::NativeLevel recursion(!PyFunction_Check(wrapper.captured), " in a locked call");
    LockSiteCache& site = LockSite(wrapper);
    // `not result`: the result is dropped once tested, as Python drops it.
    const bool acquired = [&] {
        Ref result = CallLock<LockStep::kTryAcquire>(site, self, [&] {
            if (create_missing && site.lock.read(self) == nullptr) {
                MakeMissingLockSlowly(wrapper, self);
            }
        });
        return result.get() == Py_True || quelbrin::Truth(result.get());
    }();
    if (!acquired) {
        WarnWaiting(wrapper, self);
        CallLock<LockStep::kAcquire>(site, self);
    }

    PyObject* result = call_method();
    if (result == nullptr && !PyErr_Occurred()) [[unlikely]] {
        // A broken native callable: report it as the interpreter's own call
        // path would, rather than pass on a failure without an exception.
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", wrapper.captured);
    }
    if (result != nullptr) {
        Ref value = Ref::steal(result);
        CallLock<LockStep::kRelease>(site, self);
        return value;
    }

    // As in a `finally` clause: the method's exception is the one being
    // handled while releasing, so an error of the release is chained to it.
    RaisedException method_error;
    try {
        quelbrin::HandlingException handling(method_error.get());
        CallLock<LockStep::kRelease>(site, self);
    } catch (const PyError&) {
        RaisedException release_error;
        // Errors raised by C code through PyErr_SetRaisedException are
        // not chained by the interpreter; chain those by hand.
        Ref context = Ref::steal(PyException_GetContext(release_error.get()));
        if (!context && release_error.get() != method_error.get()) {
            PyException_SetContext(release_error.get(), Py_NewRef(method_error.get()));
        }
        release_error.reraise();
    }
    method_error.reraise();
}

bool NamesSelf(PyObject* kwnames) {
    if (kwnames == nullptr) {
        return false;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (keyword == names.self || (PyUnicode_Check(keyword) && PyUnicode_GET_LENGTH(keyword) == 4 &&
                                      PyUnicode_CompareWithASCIIString(keyword, "self") == 0)) {
            return true;
        }
    }
    return false;
}

// `_wrapped(self, *args, **kwargs)`.
template <bool kCreateMissingLock>
Ref LockedCall(Function& wrapper, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* method = wrapper.captured;
    if (method == nullptr) {
        // Only a wrapper that the cycle collector has already cleared.
        quelbrin::Raise(PyExc_RuntimeError, "the locked method is no longer available");
    }
    if (PyVectorcall_NARGS(nargsf) > 0 && !NamesSelf(kwnames)) [[likely]] {
        // The method takes exactly the arguments the wrapper got, `self`
        // first, so they are passed on as they came: no tuple, no dict.
        return RunLocked(wrapper, args[0], kCreateMissingLock,
                         [&] { return CallDirect(method, args, nargsf, kwnames); });
    }
    // `self` given by keyword, missing, or given twice: bind as Python would.
    BoundArguments bound(wrapper, args, nargsf, kwnames);
    PyObject* self = bound[0];
    Ref positional = New(PyTuple_New(1 + PyTuple_GET_SIZE(bound.varargs())));
    PyTuple_SET_ITEM(positional.get(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bound.varargs()); ++i) {
        PyTuple_SET_ITEM(positional.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(bound.varargs(), i)));
    }
    return RunLocked(wrapper, self, kCreateMissingLock,
                     [&] { return PyObject_Call(method, positional.get(), bound.varkwargs()); });
}

constexpr FunctionDef kLockableWrapperDef = DefineFunction("_wrapped", "Lockable.locked.<locals>._wrapped", nullptr,
                                                           {Arg("self"), VarArgs("args"), VarKeywords("kwargs")},
                                                           LockedCall<false>);

constexpr FunctionDef kLockedWrapperDef = DefineFunction("_wrapped", "locked.<locals>._wrapped", nullptr,
                                                         {Arg("self"), VarArgs("args"), VarKeywords("kwargs")},
                                                         LockedCall<true>);

// `locked(method)` and `Lockable.locked(method)`: functools.wraps(method)
// applied to a new `_wrapped` holding `method`.
template <const FunctionDef& kWrapperDef>
Ref Decorate(Function& decorator, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(decorator, args, nargsf, kwnames);
    PyObject* method = bound[0];
    Ref functools = quelbrin::LoadGlobal(decorator, names.functools);
    Ref wraps = quelbrin::CallMethod(functools.get(), names.wraps, method);
    Ref wrapper = functions.make<kWrapperDef>(decorator.globals, quelbrin::Captured{method});
    return quelbrin::Call(wraps.get(), wrapper.get());
}

// ---------------------------------------------------------------------------
// Lockable

const char kLockableDoc[] =
    "Lockable\n"
    "\n"
    "    Base class that adds locking and unlocking (a semaphore) to a class\n"
    "    object, so that it can be used in multiprocessing and threading\n"
    "    without deadlocks: every method call first acquires the lock, does\n"
    "    its work, then releases the lock.  Subclassing it is the preferred\n"
    "    way to make classes that lock.\n"
    "\n"
    "    Note\n"
    "    ----\n"
    "    - user shall explicitly call this class' __init__ using super()\n"
    "    - user shall use this class's lock() method instead of the generic one decorating the methods that needs "
    "to be locked/unlocked\n";

const char kInitDoc[] =
    "__init__\n"
    "\n"
    "    Initialises the base class and sets the built-in lock.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "    lock: the class to be used for locking; it must be a\n"
    "        multiprocessing lock.\n"
    "\n"
    "    Note\n"
    "    ----\n"
    "    Changing the lock can have harmful effects: an RLock may be acquired\n"
    "    again by the thread that holds it, a Lock may not, so with a Lock a\n"
    "    locked method that calls another locked method of the same instance\n"
    "    waits for ever.\n";

Ref LockableInit(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    Ref lock = quelbrin::Call(bound[1]);
    quelbrin::SetAttr(bound[0], names.lock_attr, lock.get());
    return Ref::new_reference(Py_None);
}

constexpr FunctionDef kInitDef = DefineFunction("__init__", "Lockable.__init__", kInitDoc,
                                                {Arg("self"), KeywordOnly("lock", kDefault)}, LockableInit);

const char kAcquireDoc[] =
    "acquire\n"
    "\n"
    "    Acquires the lock on this instance; see the documentation of\n"
    "    multiprocessing.RLock.acquire for the details.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "    block: wait until the lock is acquired (default True).\n"
    "    timeout: when blocking, wait at most this many seconds (default\n"
    "        None: no limit).\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    True if the lock was acquired, False otherwise.\n";

Ref LockableAcquire(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    Ref lock = quelbrin::GetAttr(bound[0], names.lock_attr);
    PyObject* call_args[] = {lock.get(), bound[1], bound[2]};
    return New(PyObject_VectorcallMethod(names.acquire, call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         names.block_timeout_kwnames));
}

constexpr FunctionDef kAcquireDef =
    DefineFunction("acquire", "Lockable.acquire", kAcquireDoc,
                   {Arg("self"), Arg("block", kDefault), Arg("timeout", kDefault)}, LockableAcquire);

const char kReleaseDoc[] =
    "release\n"
    "\n"
    "    Releases the lock on this instance.  Only the process or thread that\n"
    "    owns the lock may call it: an AssertionError is raised when another\n"
    "    process or thread calls it, or when the lock is not held.\n";

Ref LockableRelease(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    Ref lock = quelbrin::GetAttr(bound[0], names.lock_attr);
    return quelbrin::CallMethod(lock.get(), names.release);
}

constexpr FunctionDef kReleaseDef =
    DefineFunction("release", "Lockable.release", kReleaseDoc, {Arg("self")}, LockableRelease);

const char kLockableLockedDoc[] =
    "locked decorator\n"
    "\n"
    "    The lock decorator for Lockable only: it does what the generic\n"
    "    decorator does, without checking whether the lock exists.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "    method: the method to decorate.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    The new wrapped method, which invokes the lock.\n";

constexpr FunctionDef kLockableLockedDef = DefineFunction("locked", "Lockable.locked", kLockableLockedDoc,
                                                          {Arg("method")}, Decorate<kLockableWrapperDef>);

// ---------------------------------------------------------------------------
// locked

const char kLockedDoc[] =
    "lock decorator\n"
    "\n"
    "    Generic decorator that adds locking (a semaphore) to a class method,\n"
    "    so that the class can lock and unlock in forked multiprocessing and\n"
    "    multithreading.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "    method: the method to decorate.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    The new wrapped method, which invokes an RLock.\n"
    "\n"
    "    Note\n"
    "    ----\n"
    "    The decorator works by adding the attribute __lock__ to the instance\n"
    "    and uses the multiprocessing RLock.  The locking breaks down when\n"
    "    __lock__ is first instantiated in a child process, so the lock must\n"
    "    always be instantiated in the main process before forking.\n";

constexpr FunctionDef kLockedDef =
    DefineFunction("locked", "locked", kLockedDoc, {Arg("method")}, Decorate<kLockedWrapperDef>);

// ---------------------------------------------------------------------------
// LockableMeta

const char kLockableMetaDoc[] =
    "LockableMeta\n"
    "\n"
    "    Metaclass that adds locking and unlocking (a semaphore) to the\n"
    "    methods of a class, so that the class can be called in\n"
    "    multiprocessing and multithreading without deadlocks: every method\n"
    "    call first acquires the lock, does its work, then releases it.  It\n"
    "    spares users the decorator on each method.\n"
    "\n"
    "    Note\n"
    "    ----\n"
    "    if the user doesn't make any lock() api calls before forking, all locks fail.\n";

const char kIgnoreDoc[] =
    "ignore\n"
    "\n"
    "    Decorator that marks an object (a method) to be left out by the\n"
    "    mechanism that makes all methods locking, so that auxiliary methods\n"
    "    can be called without waiting for the lock of the instance.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "    obj: the object to mark.\n";

Ref Ignore(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    quelbrin::SetAttr(bound[0], names.ignore_marker, Py_True);
    return Ref::new_reference(bound[0]);
}

constexpr FunctionDef kIgnoreDef =
    DefineFunction("ignore", "LockableMeta.ignore", kIgnoreDoc, {Arg("obj")}, Ignore);

const char kMetaNewDoc[] =
    "Metaclass __new__\n"
    "\n"
    "    Called before the class is created: takes over the creation and\n"
    "    adds the locking and unlocking to all function calls.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "    name: the name of the new class.\n"
    "    bases: the parent classes.\n"
    "    attrs: the namespace of the new class.\n";

bool StartsWithUnderscore(PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_';
    }
    // Anything else answers for itself (a key that is no string fails here).
    return quelbrin::Truth(quelbrin::CallMethod(key, names.startswith, names.underscore).get());
}

// getattr(obj, '_LockedMeta_ignore', False), tested for truth.
bool MarkedIgnored(PyObject* obj) {
    Ref marker = GetOptionalAttr(obj, names.ignore_marker);
    return marker && quelbrin::Truth(marker.get());
}

// `super().__new__(cls, name, bases, attrs)`, with `next_new` the
// `__new__` that super() found.
//
// type.__new__ names a class whose namespace has no `__module__` after the
// `__name__` of the globals of the Python frame that called it, which for a
// `__new__` written in Python is this module.  A native `__new__` has no
// frame, so type.__new__ would take the caller's.  When it is the next
// `__new__`, it is given instead a copy of the namespace with this module's
// name added at the end, where it would add the name itself: the class
// carries the name from the start, the hooks that run while it is made
// (__set_name__, __init_subclass__) see it and may change it, and the
// caller's namespace is never touched.  type.__new__ copies the namespace it
// is given and keeps nothing of it, and copying a dict runs none of its
// code, so the copy cannot be told apart from the original.
//
// A dict that iterates its own way is the exception: type.__new__ copies it
// through its own keys() and [key], at a moment only type.__new__ knows (not
// at all if it fails first), and a copy made here would show.  That one is
// handed over as it is, and the class is renamed once made, unless its
// creation hooks have named it.  Only those hooks then see the caller's
// module name.
Ref CallNextNew(const Function& function, PyObject* next_new, PyObject* cls, PyObject* name, PyObject* bases,
                PyObject* attrs) {
    auto call = [&](PyObject* class_namespace) {
        PyObject* args[] = {cls, name, bases, class_namespace};
        return New(PyObject_Vectorcall(next_new, args, 4, nullptr));
    };
    if (next_new != _PyType_Lookup(&PyType_Type, names.dunder_new) || !PyDict_Check(attrs) ||
        Require(PyDict_Contains(attrs, names.dunder_module))) {
        return call(attrs);
    }
    Ref module_name = Ref::new_reference(PyDict_GetItemWithError(function.globals, names.dunder_name));
    if (!module_name) {
        if (PyErr_Occurred()) {
            throw PyError{};
        }
        return call(attrs);
    }
    if (Py_TYPE(attrs)->tp_iter == PyDict_Type.tp_iter) {
        Ref named = New(PyDict_Copy(attrs));
        Require(PyDict_SetItem(named.get(), names.dunder_module, module_name.get()));
        return call(named.get());
    }
    PyObject* caller_globals = PyEval_GetGlobals();
    Ref callers_name = Ref::new_reference(
        caller_globals != nullptr ? PyDict_GetItemWithError(caller_globals, names.dunder_name) : nullptr);
    if (!callers_name && PyErr_Occurred()) {
        throw PyError{};
    }
    Ref made = call(attrs);
    if (PyType_Check(made.get()) && (reinterpret_cast<PyTypeObject*>(made.get())->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        auto* type = reinterpret_cast<PyTypeObject*>(made.get());
        PyObject* named = PyDict_GetItemWithError(type->tp_dict, names.dunder_module);
        if (named == nullptr && PyErr_Occurred()) {
            throw PyError{};
        }
        if (named == callers_name.get()) {
            Require(PyDict_SetItem(type->tp_dict, names.dunder_module, module_name.get()));
            PyType_Modified(type);
        }
    }
    return made;
}

// `captured` is the class cell: the class LockableMeta, set once it exists,
// which super() needs in the same way a `__class__` cell serves a method.
Ref LockableMetaNew(Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundArguments bound(function, args, nargsf, kwnames);
    PyObject* cls = bound[0];
    PyObject* name = bound[1];
    PyObject* bases = bound[2];
    PyObject* attrs = bound[3];

    // Only values of existing keys are replaced, so iterating the live items
    // is safe for a dict; a namespace that changes size raises as in Python.
    Ref entries = quelbrin::CallMethod(attrs, names.items);
    Ref iterator = New(PyObject_GetIter(entries.get()));
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        auto [key, obj] = UnpackPair(entry.get());
        if (StartsWithUnderscore(key.get())) {
            continue;
        }
        if (MarkedIgnored(obj.get())) {
            Require(PyObject_DelAttr(obj.get(), names.ignore_marker));
            continue;
        }
        Ref inspect = quelbrin::LoadGlobal(function, names.inspect);
        if (!quelbrin::Truth(quelbrin::CallMethod(inspect.get(), names.isfunction, obj.get()).get())) {
            continue;
        }
        Ref decorator = quelbrin::LoadGlobal(function, names.locked);
        Ref wrapper = quelbrin::Call(decorator.get(), obj.get());
        quelbrin::SetItem(attrs, key.get(), wrapper.get());
    }
    if (PyErr_Occurred()) {
        throw PyError{};
    }

    Ref parent = quelbrin::Super(function.captured, cls);
    Ref next_new = quelbrin::GetAttr(parent.get(), names.dunder_new);
    return CallNextNew(function, next_new.get(), cls, name, bases, attrs);
}

constexpr FunctionDef kMetaNewDef =
    DefineFunction("__new__", "LockableMeta.__new__", kMetaNewDoc,
                   {Arg("cls"), Arg("name"), Arg("bases"), Arg("attrs")}, LockableMetaNew);

// ---------------------------------------------------------------------------
// Module body

// `staticmethod(function)` as written in a class body: calling the type
// copies the function's __name__, __qualname__, __module__, __doc__ and
// __annotations__ onto the staticmethod.
Ref StaticMethod(Ref function) {
    return New(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function.get()));
}

Ref MakeLockable(PyObject* globals) {
    Ref context = quelbrin::LoadGlobal(globals, names.multiprocessing);
    // The default lock factory is fixed now, like a default value in a def.
    Ref lock_factory = quelbrin::GetAttr(context.get(), names.rlock);
    Ref bases = New(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return quelbrin::MakeClass(globals, "Lockable", bases.get(), kLockableDoc, [&](quelbrin::ClassBody& body) {
        body.define("__init__", functions.make<kInitDef>(globals, lock_factory.get()).get());
        body.define("acquire", functions.make<kAcquireDef>(globals, Py_True, Py_None).get());
        body.define("release", functions.make<kReleaseDef>(globals).get());
        body.define("locked", StaticMethod(functions.make<kLockableLockedDef>(globals)).get());
    });
}

Ref MakeLockableMeta(PyObject* globals) {
    Ref bases = New(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type)));
    return quelbrin::MakeClass(globals, "LockableMeta", bases.get(), kLockableMetaDoc, [&](quelbrin::ClassBody& body) {
        body.define("ignore", StaticMethod(functions.make<kIgnoreDef>(globals)).get());
        // type() makes a staticmethod of a Python __new__ only; this one is
        // wrapped by hand, the way type() wraps one (nothing copied onto it).
        Ref meta_new = functions.make<kMetaNewDef>(globals, quelbrin::Captured{body.class_cell()});
        body.define("__new__", New(PyStaticMethod_New(meta_new.get())).get());
    });
}

void ExecModule(PyObject* module) {
    using quelbrin::SetItem;
    quelbrin::MakeConstants<kNames>(names);
    functions.ready();
    PyObject* globals = Require(PyModule_GetDict(module));

    quelbrin::ImportModules(globals, {"inspect", "logging", "functools"});
    quelbrin::BindForkContext(globals);
    quelbrin::BindLogger(globals);

    Ref lockable = MakeLockable(globals);
    // The cached reads of the locked call are checked on the names it reads.
    quelbrin::inline_values::EnableCachedReads(lockable.get(), {names.lock_attr, names.acquire, names.release});
    SetItem(globals, "Lockable", lockable.get());
    SetItem(globals, "locked", functions.make<kLockedDef>(globals).get());
    SetItem(globals, "LockableMeta", MakeLockableMeta(globals).get());
    SetItem(globals, "__test__", New(PyDict_New()).get());
}

quelbrin::ProcessModule process_module("synchronize", ExecModule);

}  // namespace

PyMODINIT_FUNC PyInit_synchronize() { return process_module.init(); }
