// Interpreter-version switches for the quelbrin.async_ extensions: every
// place where the code depends on something CPython 3.12 and 3.13 spell or
// lay out differently goes through one function here, so the rest of the
// code reads the same on both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "quelbrin.async_ supports CPython 3.12 and 3.13"
#endif

namespace quelbrin::version {

// The calling thread's state, or NULL when the thread holds none: a daemon
// thread that the interpreter ends during finalisation unwinds with its
// thread state already detached, and must then not touch reference counts.
inline PyThreadState* ThreadStateOrNull() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Whether the interpreter has begun to finalise: only then can a thread be
// ended by the interpreter while it runs native code.  Much cheaper than
// asking for the thread state, so it guards that question.
inline bool Finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
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
