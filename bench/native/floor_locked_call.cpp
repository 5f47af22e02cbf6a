// The least a locked call can cost: a wrapper that does only what every
// locked call must do, and nothing a caller could not observe missing.
//
//   if not self.__lock__.acquire(block=False): self.__lock__.acquire()
//   try: return method(self, *args, **kwargs)
//   finally: self.__lock__.release()
//
// `__lock__` is read afresh before each step, and `acquire` and `release`
// afresh on the lock, each through the project's validated per-type cache;
// the semaphore's C methods are called directly once the cache has seen
// that the lock method is one.  With `lock_factory`, an instance without a
// lock gets one first (the `locked` decorator's behaviour); with
// `positional`, the verified semaphore method gets `block` positionally,
// which no caller can tell apart.  Benchmarks only: no cycle collection,
// no introspection, no logging while waiting.
#include "attribute_cache.hpp"

#include <cstddef>
#include <cstring>

namespace {

using quelbrin::inline_values::Slot;

PyObject* lock_name;
PyObject* acquire_name;
PyObject* release_name;
PyObject* block_kwnames;  // ("block",)

struct LockMethod {
    Slot slot;
    PyMethodDef* native = nullptr;  // the semaphore's own C method, once seen
};

struct Wrapper {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* method;
    PyObject* lock_factory;  // NULL: the instance must have its lock
    bool positional;
    Slot lock;
    LockMethod acquire;
    LockMethod release;
};

enum class Step { kTryAcquire, kAcquire, kRelease };

// obj.<name> (new reference) by the ordinary read, which teaches the slot.
PyObject* ReadSlowly(Slot& slot, PyObject* obj, PyObject* name) {
    const Py_ssize_t index = slot.stale_for(obj) ? slot.examine(obj, name) : -1;
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value != nullptr && index >= 0) {
        slot.learn(obj, index, value);
    }
    return value;
}

// The semaphore's own method behind `bound`, or NULL.
PyMethodDef* SemaphoreMethod(PyObject* bound, PyObject* name) {
    if (!PyCFunction_CheckExact(bound) || PyCFunction_GET_SELF(bound) == nullptr) {
        return nullptr;
    }
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(PyCFunction_GET_SELF(bound)), name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMethodDescr_Type) ||
        reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method !=
            reinterpret_cast<PyCFunctionObject*>(bound)->m_ml ||
        std::strcmp(PyDescr_TYPE(descriptor)->tp_name, "_multiprocessing.SemLock") != 0) {
        return nullptr;
    }
    return reinterpret_cast<PyCFunctionObject*>(bound)->m_ml;
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* const kBlockFalse[] = {nullptr, Py_False};

// The semaphore's method called directly.
template <Step step>
[[gnu::always_inline]] inline PyObject* CallSemaphore(const Wrapper* wrapper, PyMethodDef* method,
                                                      PyObject* semaphore) {
    auto* function = reinterpret_cast<void (*)(void)>(method->ml_meth);
    if constexpr (step == Step::kRelease) {
        return reinterpret_cast<PyCFunction>(function)(semaphore, nullptr);
    } else if constexpr (step == Step::kAcquire) {
        return reinterpret_cast<FastWithKeywords>(function)(semaphore, nullptr, 0, nullptr);
    } else if (wrapper->positional) {
        return reinterpret_cast<FastWithKeywords>(function)(semaphore, kBlockFalse + 1, 1, nullptr);
    } else {
        return reinterpret_cast<FastWithKeywords>(function)(semaphore, kBlockFalse + 1, 0, block_kwnames);
    }
}

// The lock step when a read missed: ordinary reads that teach the slots,
// and an ordinary call unless the method is the semaphore's own.
template <Step step>
[[gnu::noinline]] PyObject* CallLockSlowly(Wrapper* wrapper, PyObject* self) {
    LockMethod& method = step == Step::kRelease ? wrapper->release : wrapper->acquire;
    PyObject* name = step == Step::kRelease ? release_name : acquire_name;
    PyObject* lock = wrapper->lock.read(self);
    lock = lock != nullptr ? Py_NewRef(lock) : ReadSlowly(wrapper->lock, self, lock_name);
    if (lock == nullptr) {
        return nullptr;
    }
    PyObject* bound = method.slot.read(lock);
    if (bound != nullptr) {
        Py_INCREF(bound);
    } else {
        const bool stale = method.slot.stale_for(lock);
        bound = ReadSlowly(method.slot, lock, name);
        if (bound != nullptr && stale) {
            method.native = SemaphoreMethod(bound, name);
        }
    }
    Py_DECREF(lock);
    if (bound == nullptr) {
        return nullptr;
    }
    PyObject* result;
    if (method.native != nullptr && PyCFunction_CheckExact(bound) &&
        reinterpret_cast<PyCFunctionObject*>(bound)->m_ml == method.native) {
        result = CallSemaphore<step>(wrapper, method.native, reinterpret_cast<PyCFunctionObject*>(bound)->m_self);
    } else {
        result = PyObject_Vectorcall(bound, kBlockFalse + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     step == Step::kTryAcquire ? block_kwnames : nullptr);
    }
    Py_DECREF(bound);
    return result;
}

// self.__lock__.acquire(block=False), .acquire() or .release(): when both
// reads hit and the method is the semaphore's own, nothing but the
// semaphore's code runs, and no reference is taken except on the semaphore
// while it may check for signals (acquiring), whose handlers run Python code.
template <Step step>
[[gnu::always_inline]] inline PyObject* CallLock(Wrapper* wrapper, PyObject* self) {
    LockMethod& method = step == Step::kRelease ? wrapper->release : wrapper->acquire;
    PyObject* lock = wrapper->lock.read(self);
    PyObject* bound = lock != nullptr ? method.slot.read(lock) : nullptr;
    if (bound != nullptr && method.native != nullptr && PyCFunction_CheckExact(bound) &&
        reinterpret_cast<PyCFunctionObject*>(bound)->m_ml == method.native) [[likely]] {
        PyObject* semaphore = reinterpret_cast<PyCFunctionObject*>(bound)->m_self;
        if constexpr (step == Step::kRelease) {
            return CallSemaphore<step>(wrapper, method.native, semaphore);
        } else {
            Py_INCREF(semaphore);
            PyObject* result = CallSemaphore<step>(wrapper, method.native, semaphore);
            Py_DECREF(semaphore);
            return result;
        }
    }
    return CallLockSlowly<step>(wrapper, self);
}

// if not hasattr(self, '__lock__'): self.__lock__ = lock_factory()
[[gnu::noinline]] int MakeMissingLock(Wrapper* wrapper, PyObject* self) {
    PyObject* lock = ReadSlowly(wrapper->lock, self, lock_name);
    if (lock != nullptr) {
        Py_DECREF(lock);
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    lock = PyObject_CallNoArgs(wrapper->lock_factory);
    if (lock == nullptr) {
        return -1;
    }
    const int status = PyObject_SetAttr(self, lock_name, lock);
    Py_DECREF(lock);
    return status;
}

// finally: release, with the method's error as the context of an error of
// the release.
[[gnu::noinline]] void ReleaseAfterError(Wrapper* wrapper, PyObject* self) {
    PyObject* method_error = PyErr_GetRaisedException();
    PyObject* released = CallLockSlowly<Step::kRelease>(wrapper, self);
    if (released != nullptr) {
        Py_DECREF(released);
        PyErr_SetRaisedException(method_error);
        return;
    }
    PyObject* release_error = PyErr_GetRaisedException();
    PyException_SetContext(release_error, method_error);
    PyErr_SetRaisedException(release_error);
}

PyObject* LockedCall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* wrapper = reinterpret_cast<Wrapper*>(callable);
    if (PyVectorcall_NARGS(nargsf) < 1) {
        PyErr_SetString(PyExc_TypeError, "a locked method needs its instance");
        return nullptr;
    }
    PyObject* self = args[0];
    if (wrapper->lock_factory != nullptr && wrapper->lock.read(self) == nullptr &&
        MakeMissingLock(wrapper, self) < 0) {
        return nullptr;
    }
    // A Python method counts against the recursion limit in its own frame.
    const bool guard = !PyFunction_Check(wrapper->method);
    if (guard && Py_EnterRecursiveCall(" in a locked call")) {
        return nullptr;
    }
    PyObject* result = nullptr;
    PyObject* tried = CallLock<Step::kTryAcquire>(wrapper, self);
    int holding = tried == nullptr ? -1 : tried == Py_True ? 1 : PyObject_IsTrue(tried);
    Py_XDECREF(tried);
    if (holding == 0) {
        PyObject* waited = CallLockSlowly<Step::kAcquire>(wrapper, self);
        holding = waited == nullptr ? -1 : 1;
        Py_XDECREF(waited);
    }
    if (holding > 0) {
        vectorcallfunc call = PyVectorcall_Function(wrapper->method);
        result = call != nullptr ? call(wrapper->method, args, nargsf, kwnames)
                                 : PyObject_Vectorcall(wrapper->method, args, nargsf, kwnames);
        if (result != nullptr) [[likely]] {
            PyObject* released = CallLock<Step::kRelease>(wrapper, self);
            if (released == nullptr) {
                Py_CLEAR(result);
            } else {
                Py_DECREF(released);
            }
        } else {
            ReleaseAfterError(wrapper, self);
        }
    }
    if (guard) {
        Py_LeaveRecursiveCall();
    }
    return result;
}

// With `unlocked`: the method called and nothing else, so that what the
// interpreter's own call site costs for this kind of method can be told
// apart from what a wrapper does.
PyObject* PassThrough(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(reinterpret_cast<Wrapper*>(callable)->method, args, nargsf, kwnames);
}

PyObject* Bind(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

void Dealloc(PyObject* self) {
    auto* wrapper = reinterpret_cast<Wrapper*>(self);
    Py_XDECREF(wrapper->method);
    Py_XDECREF(wrapper->lock_factory);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject wrapper_type = {
    PyVarObject_HEAD_INIT(nullptr, 0) "floor_locked_call.wrapper",
};

// wrap(method, lock_factory=None, positional=False, unlocked=False)
PyObject* Wrap(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"method", "lock_factory", "positional", "unlocked", nullptr};
    PyObject* method;
    PyObject* lock_factory = Py_None;
    int positional = 0;
    int unlocked = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Opp", const_cast<char**>(keywords), &method, &lock_factory,
                                     &positional, &unlocked)) {
        return nullptr;
    }
    auto* wrapper = PyObject_New(Wrapper, &wrapper_type);
    if (wrapper == nullptr) {
        return nullptr;
    }
    wrapper->vectorcall = unlocked ? PassThrough : LockedCall;
    wrapper->method = Py_NewRef(method);
    wrapper->lock_factory = lock_factory == Py_None ? nullptr : Py_NewRef(lock_factory);
    wrapper->positional = positional != 0;
    new (&wrapper->lock) Slot();
    new (&wrapper->acquire) LockMethod();
    new (&wrapper->release) LockMethod();
    return reinterpret_cast<PyObject*>(wrapper);
}

PyMethodDef methods[] = {
    {"wrap", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Wrap)), METH_VARARGS | METH_KEYWORDS,
     "wrap(method, lock_factory=None, positional=False, unlocked=False): the method as a locked call at its "
     "floor, or (unlocked) merely called."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor_locked_call", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_floor_locked_call() {
    wrapper_type.tp_basicsize = sizeof(Wrapper);
    wrapper_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    wrapper_type.tp_vectorcall_offset = offsetof(Wrapper, vectorcall);
    wrapper_type.tp_call = PyVectorcall_Call;
    wrapper_type.tp_descr_get = Bind;
    wrapper_type.tp_dealloc = Dealloc;
    if (PyType_Ready(&wrapper_type) < 0) {
        return nullptr;
    }
    lock_name = PyUnicode_InternFromString("__lock__");
    acquire_name = PyUnicode_InternFromString("acquire");
    release_name = PyUnicode_InternFromString("release");
    PyObject* block = PyUnicode_InternFromString("block");
    if (lock_name == nullptr || acquire_name == nullptr || release_name == nullptr || block == nullptr) {
        return nullptr;
    }
    block_kwnames = PyTuple_Pack(1, block);
    if (block_kwnames == nullptr) {
        return nullptr;
    }
    // A prototype trusts the layouts the project's cache knows; the project
    // itself checks them at load.
    quelbrin::inline_values::enabled = quelbrin::inline_values::kLayoutKnown;
    return PyModule_Create(&module_def);
}
