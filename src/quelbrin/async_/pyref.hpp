// Owned references and error propagation for the quelbrin.async_ extensions.
//
// Rules of use:
//  - `Ref` owns exactly one strong reference, released when the Ref dies.
//    A C-API call that returns a new reference is adopted with `New(...)`,
//    which also turns a NULL result into a C++ `PyError`.
//  - A plain `PyObject*` is borrowed: valid only while its owner lives.
//    `Ref::borrow(p)` takes a new strong reference to it; `release()` hands
//    the reference out to the caller (for returning it to the interpreter).
//  - `Require(...)` checks a C-API status (NULL or -1) and throws `PyError`
//    when it signals failure; the Python exception stays set.
//  - Every entry point from the interpreter (slot, vectorcall, exec slot)
//    runs its body under `guarded(...)`, which converts `PyError` back into
//    NULL/-1.  No C++ exception ever crosses into the interpreter.
//
// Threads ended at exit.  CPython 3.12 and 3.13 end a daemon thread that
// wakes up during finalisation with glibc's pthread_exit(): a forced unwind
// through every frame of its stack, ours included, which may start inside
// any call that runs Python code (a __del__ that sleeps is enough).  These
// rules keep that unwind from crashing the process; every type here keeps
// them by construction:
//  1. Nothing between an entry point and a call that may run Python code is
//     noexcept: the unwind reaching a noexcept frame terminates the process.
//     `Ref` and every guard declare their destructors noexcept(false), and a
//     static_assert beside each type keeps them so.  No standard container,
//     optional or smart pointer owns a Python reference (their destructors
//     are noexcept): a Python list or tuple does, or a small type of ours.
//  2. A destructor that touches the interpreter first asks whether this
//     thread holds it (version::HoldsInterpreter(), a load and a test while
//     the interpreter is not finalising); during the unwind it does not, and
//     the destructor does nothing, as the interpreter's own C frames do when
//     the unwind passes them over.  The process is ending.
//  3. `catch (...)` rethrows the unwind (ConvertCxxException()).
//  4. A destructor that runs while a C++ exception is on its way out (a
//     PyError unwinding to its handler) may let no other one out, whatever
//     its declaration says.  So a Ref whose object would be freed then --
//     and freeing may run Python code -- defers the drop: the object goes to
//     a list of this thread's, dropped once nothing unwinds any more, by the
//     handler that swallows the error (ErrorHandled()) or by the entry point
//     on its way back to the interpreter.  Python itself keeps a failing
//     frame's locals alive in the traceback until the exception has been
//     handled.
#pragma once

#include "version.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace quelbrin {

// Thrown after a C-API call failed; the interpreter's error indicator is set.
struct PyError {};

// ---------------------------------------------------------------------------
// Drops deferred while an exception unwinds.

namespace deferred_drops {

// Objects this module has deferred and not dropped yet, in every thread.
// Only touched with the GIL held.
inline Py_ssize_t pending = 0;

// This module's list of deferred objects in the thread state dict, made on
// first use when `create`; borrowed, or NULL with no error set.  The key is
// the address of `pending`, which each module has its own of.
inline PyObject* ThreadList(bool create) noexcept {
    PyObject* thread_dict = PyThreadState_GetDict();
    if (thread_dict == nullptr) {
        return nullptr;
    }
    PyObject* key = PyLong_FromVoidPtr(&pending);
    if (key == nullptr) {
        return nullptr;
    }
    PyObject* list = PyDict_GetItemWithError(thread_dict, key);
    if (list == nullptr && create && !PyErr_Occurred()) {
        list = PyList_New(0);
        if (list != nullptr) {
            const int stored = PyDict_SetItem(thread_dict, key, list);
            Py_DECREF(list);  // the dict holds it, or it is gone
            if (stored < 0) {
                list = nullptr;
            }
        }
    }
    Py_DECREF(key);  // an int: freeing it runs no Python code
    PyErr_Clear();
    return list != nullptr && PyList_CheckExact(list) ? list : nullptr;
}

// Takes over the last reference to `object` while an exception unwinds.
// Runs no Python code (the thread dict is a plain dict with an int key) and
// leaves the error being raised as it is.  Should even that fail, the
// object is kept alive for good rather than freed now.
[[gnu::cold, gnu::noinline]] inline void Defer(PyObject* object) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* list = ThreadList(true);
    if (list != nullptr && PyList_Append(list, object) == 0) {
        Py_DECREF(object);  // the list holds it now
        ++pending;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
}

// Drops this thread's deferred objects, unless something is still unwinding
// (an entry point reached from a destructor).  Their finalisers run with
// the error being returned, if any, set aside.
[[gnu::cold, gnu::noinline]] inline void DropSlowly() {
    if (std::uncaught_exceptions() > 0 || !version::HoldsInterpreter()) {
        return;
    }
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* list = ThreadList(false);
    PyObject* objects = nullptr;
    if (list != nullptr && PyList_GET_SIZE(list) > 0) {
        // Detached first: finalisers may defer and drop again.
        objects = PyList_GetSlice(list, 0, PyList_GET_SIZE(list));
        if (objects != nullptr && PyList_SetSlice(list, 0, PyList_GET_SIZE(objects), nullptr) == 0) {
            pending -= PyList_GET_SIZE(objects);
        } else {
            Py_CLEAR(objects);
        }
    }
    PyErr_Clear();
    if (objects != nullptr) {
        // Nothing unwinds here: a thread ended by a finaliser unwinds
        // through this frame and on.
        Py_DECREF(objects);
    }
    if (raised != nullptr) {
        PyErr_SetRaisedException(raised);
    }
}

// Called by every entry point on its way back to the interpreter.
inline void Drop() {
    if (pending != 0) [[unlikely]] {
        DropSlowly();
    }
}

}  // namespace deferred_drops

// Drops one reference the caller owns, in a thread that holds the
// interpreter.  Only dropping the last one can run code.
[[gnu::noinline]] inline void DropLastReference(PyObject* object) {
    if (std::uncaught_exceptions() > 0) [[unlikely]] {
        deferred_drops::Defer(object);
        return;
    }
    Py_DECREF(object);
}

inline void DropReference(PyObject* object) {
    if (version::DecrefUnlessLast(object)) [[unlikely]] {
        DropLastReference(object);
    }
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() noexcept(false) {
        if (ptr_ != nullptr && version::HoldsInterpreter()) [[likely]] {
            DropReference(ptr_);
        }
    }

    // Dropping the old value may run Python code, and with it a thread exit.
    Ref& operator=(Ref other) {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Adopts a new reference (may be NULL).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Takes a new strong reference to a borrowed pointer (may be NULL).
    static Ref borrow(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller; the Ref becomes empty.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};
static_assert(!std::is_nothrow_destructible_v<Ref>);

// A new reference from the C API, or PyError when it is NULL.
inline Ref New(PyObject* result) {
    if (result == nullptr) {
        throw PyError{};
    }
    return Ref::steal(result);
}

// A borrowed result that must not be NULL.
inline PyObject* Require(PyObject* result) {
    if (result == nullptr) {
        throw PyError{};
    }
    return result;
}

// A status result: negative means failure; other values are returned.
inline int Require(int status) {
    if (status < 0) {
        throw PyError{};
    }
    return status;
}

inline Py_ssize_t RequireSize(Py_ssize_t size) {
    if (size < 0) {
        throw PyError{};
    }
    return size;
}

// Sets a Python exception and throws, for errors the modules raise themselves.
[[noreturn]] inline void Raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

template <typename... Args>
[[noreturn]] inline void RaiseFormat(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

// NameError for a global that is missing, with `.name` set as the
// interpreter sets it.
[[noreturn]] inline void RaiseNameError(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    PyObject* error = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(error, "name", name) < 0) {
        Py_DECREF(error);
        throw PyError{};
    }
    PyErr_SetRaisedException(error);
    throw PyError{};
}

inline void ConvertCxxException() {
    try {
        throw;
    } catch (const abi::__forced_unwind&) {
        throw;  // a thread exit: it must reach the thread's start
    } catch (const PyError&) {
        // The Python error is already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quelbrin.async_");
    }
}

// The end of a handler that swallows a caught PyError, as an `except`
// block that ends normally: the error is cleared, and what was deferred
// while it unwound is dropped now.
inline void ErrorHandled() {
    PyErr_Clear();
    deferred_drops::Drop();
}

// Runs `body` (returning Ref) for an interpreter entry point returning
// PyObject*.  Drops deferred on the way are made good on the way out.
template <typename Body>
PyObject* guarded(Body&& body) {
    PyObject* result;
    try {
        result = body().release();
    } catch (...) {
        ConvertCxxException();
        result = nullptr;
    }
    deferred_drops::Drop();
    return result;
}

// Runs `body` (returning nothing) for an entry point returning 0 or -1.
template <typename Body>
int guarded_status(Body&& body) {
    int status = 0;
    try {
        body();
    } catch (...) {
        ConvertCxxException();
        status = -1;
    }
    deferred_drops::Drop();
    return status;
}

// Interpreter's truth test.
inline bool Truth(PyObject* value) { return Require(PyObject_IsTrue(value)) != 0; }

inline Ref GetAttr(PyObject* obj, PyObject* name) { return New(PyObject_GetAttr(obj, name)); }

inline void SetAttr(PyObject* obj, PyObject* name, PyObject* value) {
    Require(PyObject_SetAttr(obj, name, value));
}

// Calls obj.name() / obj.name(arg) without creating a bound method where possible.
inline Ref CallMethod(PyObject* obj, PyObject* name) {
    return New(PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref CallMethod(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    return New(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref Call(PyObject* callable) { return New(PyObject_CallNoArgs(callable)); }

inline Ref Call(PyObject* callable, PyObject* arg) { return New(PyObject_CallOneArg(callable, arg)); }

// An `import name` / `from name import ...` as the import statement performs
// it: through `__import__` of the builtins in force, so that replacing
// builtins.__import__ affects it.  `locals` is the module namespace for a
// module body and None inside a function; `fromlist` None for a plain import.
inline Ref ImportModule(PyObject* globals, PyObject* locals, PyObject* name, PyObject* fromlist, int level) {
    PyObject* builtins = Require(PyEval_GetBuiltins());
    Ref key = New(PyUnicode_InternFromString("__import__"));
    PyObject* import = PyObject_GetItem(builtins, key.get());
    if (import == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        throw PyError{};
    }
    Ref import_function = Ref::steal(import);
    Ref level_number = New(PyLong_FromLong(level));
    PyObject* args[] = {name, globals, locals != nullptr ? locals : Py_None, fromlist != nullptr ? fromlist : Py_None,
                        level_number.get()};
    return New(PyObject_Vectorcall(import_function.get(), args, 5, nullptr));
}

// An import statement of a module body, whose locals are its globals.
inline Ref ImportModule(PyObject* globals, PyObject* name, PyObject* fromlist, int level) {
    return ImportModule(globals, globals, name, fromlist, level);
}

// The exception currently raised, taken out of the error indicator.
class RaisedException {
public:
    RaisedException() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    PyObject* get() const noexcept { return exc_.get(); }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_.get(), type); }
    // Puts the exception back as the raised one.
    [[noreturn]] void reraise() noexcept(false) {
        PyErr_SetRaisedException(exc_.release());
        throw PyError{};
    }

private:
    Ref exc_;
};
static_assert(!std::is_nothrow_destructible_v<RaisedException>);

// Marks `exc` as the exception being handled (sys.exc_info()) for the life
// of this object, as an `except` block does, then restores the previous one.
class HandlingException {
public:
    explicit HandlingException(PyObject* exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingException() noexcept(false) {
        if (version::HoldsInterpreter()) [[likely]] {
            // The one being replaced is let go through a Ref, which knows
            // when it must not be freed yet.
            Ref replaced = Ref::steal(PyErr_GetHandledException());
            PyErr_SetHandledException(previous_.get());
        }
    }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    Ref previous_;
};
static_assert(!std::is_nothrow_destructible_v<HandlingException>);

// Two references, for results such as `key, value = item`.
struct RefPair {
    Ref first;
    Ref second;
};
static_assert(!std::is_nothrow_destructible_v<RefPair>);

// ---------------------------------------------------------------------------
// Iteration and unpacking, as the interpreter's statements perform them.

// Next item of an iterator, or an empty Ref when it is exhausted; like
// next(), it refuses an object that is no iterator.
inline Ref Next(PyObject* iterator) {
    if (!PyIter_Check(iterator)) {
        RaiseFormat(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(iterator)->tp_name);
    }
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) {
        throw PyError{};
    }
    return item;
}

// Calls `visit` with each item of `iterable` until it returns false.
template <typename Visit>
void ForEach(PyObject* iterable, Visit&& visit) {
    Ref iterator = New(PyObject_GetIter(iterable));
    while (Ref item = Next(iterator.get())) {
        if (!visit(item.get())) {
            return;
        }
    }
}

// `key, value = item`, with the interpreter's messages for a bad item.
inline RefPair UnpackPair(PyObject* item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
    }
    if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
        RaiseFormat(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    Ref iterator = New(PyObject_GetIter(item));
    Ref values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (PyErr_Occurred()) {
                throw PyError{};
            }
            RaiseFormat(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref surplus = Ref::steal(PyIter_Next(iterator.get()));
    if (surplus) {
        Raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) {
        throw PyError{};
    }
    return {std::move(values[0]), std::move(values[1])};
}

// getattr(obj, name, None) without the default: empty when the attribute is
// missing (AttributeError is swallowed, as hasattr() does), PyError otherwise.
inline Ref GetOptionalAttr(PyObject* obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PyError{};
        }
        PyErr_Clear();
    }
    return Ref::steal(value);
}

// ---------------------------------------------------------------------------
// Star arguments of a call, `callable(*args, **kwargs)`, with the
// interpreter's order (the `**` operand is merged first) and messages, which
// name the callee as the interpreter does ("module.qualname()").

inline Ref FunctionText(PyObject* callable) { return New(_PyObject_FunctionStr(callable)); }

// What `{**mapping}` merged into `keywords` does, as a call's `**` operand:
// a dict that iterates as dicts do is read through its stored items, any
// other mapping through keys() and [key]; a repeated key, a missing keys()
// and a KeyError get the interpreter's call-site messages.
inline void MergeCallKeywords(PyObject* keywords, PyObject* mapping, PyObject* callable) {
    auto merge = [&] {
        if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* value;
            const Py_ssize_t size = PyDict_GET_SIZE(mapping);
            while (PyDict_Next(mapping, &position, &key, &value)) {
                Ref held_key = Ref::borrow(key);
                Ref held_value = Ref::borrow(value);
                if (Require(PyDict_Contains(keywords, key))) {
                    PyErr_SetObject(PyExc_KeyError, key);
                    throw PyError{};
                }
                Require(PyDict_SetItem(keywords, key, value));
                if (PyDict_GET_SIZE(mapping) != size) {
                    Raise(PyExc_RuntimeError, "dict mutated during update");
                }
            }
            return;
        }
        Ref keys = New(PyMapping_Keys(mapping));
        Ref iterator = New(PyObject_GetIter(keys.get()));
        while (Ref key = Next(iterator.get())) {
            if (Require(PyDict_Contains(keywords, key.get()))) {
                PyErr_SetObject(PyExc_KeyError, key.get());
                throw PyError{};
            }
            Ref value = New(PyObject_GetItem(mapping, key.get()));
            Require(PyDict_SetItem(keywords, key.get(), value.get()));
        }
    };
    try {
        merge();
    } catch (const PyError&) {
        // Any AttributeError on the way (a missing keys(), or one raised by
        // the mapping itself) is reported as the interpreter's call site
        // reports it.
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            RaisedException raised;
            RaiseFormat(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                        FunctionText(callable).get(), Py_TYPE(mapping)->tp_name);
        }
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            RaisedException raised;
            Ref args = New(PyObject_GetAttrString(raised.get(), "args"));
            if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1) {
                RaiseFormat(PyExc_TypeError, "%U got multiple values for keyword argument '%S'",
                            FunctionText(callable).get(), PyTuple_GET_ITEM(args.get(), 0));
            }
            raised.reraise();
        }
        throw;
    }
}

// The positional arguments of `callable(*args)`: a tuple as it is, anything
// else iterated into one.
inline Ref StarArguments(PyObject* args, PyObject* callable) {
    if (PyTuple_CheckExact(args)) {
        return Ref::borrow(args);
    }
    if (Py_TYPE(args)->tp_iter == nullptr && !PySequence_Check(args)) {
        RaiseFormat(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                    FunctionText(callable).get(), Py_TYPE(args)->tp_name);
    }
    return New(PySequence_Tuple(args));
}

// `callable(*args, **kwargs)`.
inline Ref CallWithStarArguments(PyObject* callable, PyObject* args, PyObject* kwargs) {
    Ref keywords = New(PyDict_New());
    MergeCallKeywords(keywords.get(), kwargs, callable);
    Ref positional = StarArguments(args, callable);
    return New(PyObject_Call(callable, positional.get(), keywords.get()));
}

}  // namespace quelbrin
