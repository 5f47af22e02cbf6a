// Owned references and error propagation for the quelbrin.async_ extensions.
//
// Rules of use:
//  - `Ref` owns exactly one strong reference, released when the Ref dies.
//    A C-API call that returns a new reference is adopted with `New(...)`,
//    which also turns a NULL result into a C++ `PyError`.
//  - A plain `PyObject*` is borrowed: valid only while its owner lives.
//    `Ref::new_reference(p)` takes a new strong reference to it;
//    `release()` hands the reference out to the caller (for returning it to
//    the interpreter).
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
//  3. No handler catches everything.  The unwind is an exception of the
//     C++ runtime's own, and a `catch (...)` would begin catching it; doing
//     that while this thread is inside another handler -- an entry point
//     reached from Python code that a handler of ours runs, such as a
//     logging call made while a failure is reported -- terminates the
//     process.  Handlers name what they catch (PyError, std::bad_alloc,
//     std::exception: all this code throws), so the unwind passes every
//     one of them as it passes a destructor.
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

// The list of deferred objects in the thread state dict, made on first use
// when `create`; borrowed, or NULL with no error set.  The key is the
// address of `pending`.  Built with hidden symbols, each extension has its
// own `pending` and list; built otherwise, the dynamic linker may give both
// extensions one of each, and every function here then uses that one: the
// list and its count always belong together, so either way is sound.
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
    static Ref new_reference(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

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

// Runs the body of an entry point: true when it completed, false when it
// failed with the Python error set.  Only the exceptions this code throws
// are caught (see rule 3): anything else -- the thread's forced unwind --
// goes on through.
template <typename Body>
bool EntryCompletes(Body&& body) {
    try {
        body();
        return true;
    } catch (const PyError&) {
        // The Python error is already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception&) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quelbrin.async_");
    }
    return false;
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
    PyObject* result = nullptr;  // stays NULL when the body fails
    EntryCompletes([&] { result = body().release(); });
    deferred_drops::Drop();
    return result;
}

// Runs `body` (returning nothing) for an entry point returning 0 or -1.
template <typename Body>
int guarded_status(Body&& body) {
    const int status = EntryCompletes(body) ? 0 : -1;
    deferred_drops::Drop();
    return status;
}

// Interpreter's truth test.
inline bool Truth(PyObject* value) { return Require(PyObject_IsTrue(value)) != 0; }

inline Ref GetAttr(PyObject* obj, PyObject* name) { return New(PyObject_GetAttr(obj, name)); }

inline void SetAttr(PyObject* obj, PyObject* name, PyObject* value) {
    Require(PyObject_SetAttr(obj, name, value));
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

}  // namespace quelbrin
