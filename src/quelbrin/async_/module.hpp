// Once-per-process life of an extension module with multi-phase
// initialisation: one module object per process, one interpreter only, the
// body run once, and a clean retry after a failed initialisation.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace quelbrin {

// Each extension carries its own copy of the C++ runtime, unwinder included
// (linked statically).  glibc ends a thread with pthread_exit() -- which
// CPython does to daemon threads that wake up during finalisation -- by a
// forced unwind driven by the system's unwinder, and that unwinder calls
// this copy's personality routine for the frames of this module.  Installing
// a landing pad writes registers through this copy's register-size table,
// which the copy fills only on its first unwind of its own; an empty table
// aborts the process.  One exception thrown and caught at load fills it.
inline void PrimeUnwinder() {
    try {
        throw PyError{};
    } catch (const PyError&) {
    }
}

class ProcessModule {
public:
    explicit constexpr ProcessModule(const char* short_name) noexcept : short_name_(short_name) {}

    // Create slot: the module already initialised in this process, or a new one.
    PyObject* create(PyObject* spec) {
        return guarded([&] {
            const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
            if (interpreter_ == -1) {
                interpreter_ = interpreter;
            } else if (interpreter != interpreter_) {
                Raise(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per "
                      "process.");
            }
            if (module_ != nullptr) {
                return Ref::borrow(module_);
            }
            Ref name = New(PyObject_GetAttrString(spec, "name"));
            return New(PyModule_NewObject(name.get()));
        });
    }

    // Exec slot: runs `body` into `module` unless this process has done so.
    template <typename Body>
    int exec(PyObject* module, Body&& body) {
        if (module_ != nullptr) {
            if (module == module_) {
                return 0;  // reload: the body ran already
            }
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
            return -1;
        }
        const int status = guarded_status([&] {
            PrimeUnwinder();
            version::WatchFinalizing();
            body(module);
        });
        if (status == 0) {
            // Kept for the life of the process: it is the module object.
            module_ = Py_NewRef(module);
        }
        return status;
    }

private:
    const char* short_name_;
    PyObject* module_ = nullptr;
    int64_t interpreter_ = -1;
};

// An interned string, kept for the life of the process (interned strings are
// immortal in CPython 3.12).
inline PyObject* Intern(const char* text) { return Require(PyUnicode_InternFromString(text)); }

// Fills `table`, a module's interned names and constants, once per process
// and all or none: `build` fills a fresh table, and only a complete one is
// published, in one assignment, so an initialisation that failed part-way
// and is retried leaves no entry unset.  Each constant that is not an
// interned string is handed to `keep(Ref)`, which holds it until the table
// is complete (a failed build frees what it made) and then for the life of
// the process; `keep` returns the borrowed pointer for the table.
template <typename Table, typename Build>
void BuildConstants(Table& table, Build&& build) {
    if (table.complete) {
        return;
    }
    Ref kept = New(PyList_New(0));
    auto keep = [&](Ref constant) {
        Require(PyList_Append(kept.get(), constant.get()));
        return constant.get();
    };
    Table fresh{};
    build(fresh, keep);
    fresh.complete = true;
    table = fresh;
    kept.release();  // the table's constants live as long as the process
}

// Binds `value` under `name` in the module namespace.
inline void Bind(PyObject* namespace_dict, const char* name, PyObject* value) {
    Require(PyDict_SetItemString(namespace_dict, name, value));
}

}  // namespace quelbrin
