// Interpreter-version switches for the quelbrin.async_ extensions: every
// place where the code depends on something CPython 3.12 and 3.13 spell or
// lay out differently goes through one function or switch here, so the rest
// of the code reads the same on both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "quelbrin.async_ supports CPython 3.12 and 3.13"
#endif

// The private layout of instance attribute values that the cached attribute
// reads (attribute_cache.hpp) know for this interpreter: 312 or 313, or 0
// when they know none and nothing is ever cached.  A macro as well as a
// constant, because the two layouts need declarations that only their own
// version's headers have.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define QUELBRIN_INLINE_VALUES_LAYOUT 312
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define QUELBRIN_INLINE_VALUES_LAYOUT 313
#else
#define QUELBRIN_INLINE_VALUES_LAYOUT 0
#endif

namespace quelbrin::version {

inline constexpr int kInlineValuesLayout = QUELBRIN_INLINE_VALUES_LAYOUT;

// ---------------------------------------------------------------------------
// Whether this thread holds the interpreter.
//
// Once finalisation has begun, CPython 3.12 and 3.13 end any other thread
// that tries to take the GIL with pthread_exit(): a forced unwind through
// the thread's stack, which runs the destructors of our frames while the
// thread holds neither the GIL nor a current thread state.  Every destructor
// that touches the interpreter asks HoldsInterpreter() first, so the answer
// must be nearly free in the common case.
//
// Only a finalising runtime ends threads, and it says so in one word of its
// state (`_PyRuntime._finalizing`, the thread that finalises, NULL before):
// while that word is NULL no thread can have been ended, and only once it is
// set is the thread state asked for.  The word is read inline; where it lies
// is private to each version and is checked once, at module load
// (WatchFinalizing()).  Until then, and for good if the check fails, the
// word read is one that is never NULL, so every question takes the public
// path: the thread state, which the ended thread no longer has.

// The calling thread's state, or NULL when the thread holds none.
inline PyThreadState* ThreadStateOrNull() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Whether the interpreter has begun to finalise.
inline bool Finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

namespace finalizing_detail {

extern "C" {
// The runtime state: exported data of the interpreter in both versions,
// though declared only by its internal headers, which this code does not
// include.  Read through the checked layout below, never otherwise.
extern unsigned char _PyRuntime[];
}

// Stands for the word until the real one has been found: never 0.
inline constexpr uintptr_t kUnknown = 1;

// A fact about the runtime, the same for every extension that shares it.
inline const uintptr_t* word = &kUnknown;

// Where the finalising word of this interpreter's runtime lies, or nullptr
// if its state does not look as this code expects.
inline const uintptr_t* Locate() noexcept {
    const unsigned char* runtime = _PyRuntime;
    if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16) || PyInterpreterState_Get() != PyInterpreterState_Main()) {
        // A subinterpreter is ended on a word of its own; the public path
        // is always right.
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 opens its runtime state with a description of its own layout
    // for out-of-process debuggers: a cookie, the version, whether the build
    // is free-threaded, then the runtime state's size and the offset of the
    // finalising word.
    struct DebugOffsetsHead {
        char cookie[8];
        uint64_t version;
        uint64_t free_threaded;
        uint64_t runtime_size;
        uint64_t finalizing;
    } head;
    std::memcpy(&head, runtime, sizeof head);
    if (std::memcmp(head.cookie, "xdebugpy", sizeof head.cookie) != 0 || (head.version >> 16) != (Py_Version >> 16) ||
        head.free_threaded != 0 || head.finalizing < sizeof head || head.finalizing % alignof(uintptr_t) != 0 ||
        head.finalizing + sizeof(uintptr_t) > head.runtime_size) {
        return nullptr;
    }
    const size_t offset = head.finalizing;
#else
    // 3.12 opens its runtime state with five ints (initialised,
    // pre-initialising, pre-initialised, core initialised, initialised),
    // then the finalising word.
    int flags[5];
    std::memcpy(flags, runtime, sizeof flags);
    if (flags[0] != 1 || flags[1] != 0 || flags[2] != 1 || flags[3] != 1 || flags[4] != 1 || !Py_IsInitialized()) {
        return nullptr;
    }
    const size_t offset = (sizeof flags + alignof(uintptr_t) - 1) / alignof(uintptr_t) * alignof(uintptr_t);
#endif
    auto* candidate = reinterpret_cast<const uintptr_t*>(runtime + offset);
    // Not finalising now, by the public answer and by the word.
    if (Finalizing() || __atomic_load_n(candidate, __ATOMIC_RELAXED) != 0) {
        return nullptr;
    }
    return candidate;
}

}  // namespace finalizing_detail

// Finds the finalising word, once per process, at module load.
inline void WatchFinalizing() noexcept {
    if (finalizing_detail::word == &finalizing_detail::kUnknown) {
        if (const uintptr_t* found = finalizing_detail::Locate()) {
            finalizing_detail::word = found;
        }
    }
}

// Whether the calling thread holds the interpreter (and so may touch
// reference counts and the thread state).  False only in a thread that the
// interpreter is ending.
[[gnu::always_inline]] inline bool HoldsInterpreter() noexcept {
    if (__atomic_load_n(finalizing_detail::word, __ATOMIC_ACQUIRE) == 0) [[likely]] {
        return true;
    }
    return ThreadStateOrNull() != nullptr;
}

// Drops one reference to `object` unless it is the last one, and says
// which: the last one is left to the caller, as freeing the object may run
// Python code.  In the default build this is Py_DECREF with the freeing
// left out, so telling the last reference apart costs nothing over it;
// other builds ask first.
[[gnu::always_inline]] inline bool DecrefUnlessLast(PyObject* object) noexcept {
#if defined(Py_GIL_DISABLED) || defined(Py_REF_DEBUG) || defined(Py_LIMITED_API)
    if (Py_REFCNT(object) == 1) {
        return true;
    }
    Py_DECREF(object);
    return false;
#else
    if (_Py_IsImmortal(object)) {
        return false;
    }
    if (--object->ob_refcnt != 0) {
        _Py_DECREF_STAT_INC();
        return false;
    }
    object->ob_refcnt = 1;  // as it was: the caller's Py_DECREF frees it
    return true;
#endif
}

// PyVectorcall_Function(callable), inline: the slot the type's public
// fields say the object carries, or NULL.  The interpreter's own call
// instructions read it the same way.
[[gnu::always_inline]] inline vectorcallfunc VectorcallOf(PyObject* callable) noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL) || type->tp_vectorcall_offset <= 0) {
        return nullptr;
    }
    vectorcallfunc call;
    std::memcpy(&call, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof call);
    return call;
}

// One level of Python-function recursion, counted against
// sys.setrecursionlimit() as the interpreter counts each Python frame (not
// against the C recursion counter of Py_EnterRecursiveCall, whose limit the
// user cannot set).  Both versions keep the budget in the public
// `py_recursion_remaining` field of the thread state.
inline bool EnterPythonLevel(PyThreadState* tstate) noexcept {
    if (tstate->py_recursion_remaining-- > 0) {
        return true;
    }
    ++tstate->py_recursion_remaining;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
}

inline void LeavePythonLevel(PyThreadState* tstate) noexcept { ++tstate->py_recursion_remaining; }

}  // namespace quelbrin::version
