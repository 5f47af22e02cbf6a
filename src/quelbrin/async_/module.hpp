// Once-per-process life of an extension module with multi-phase
// initialisation: one module object per process, one interpreter only, the
// body run once, and a clean retry after a failed initialisation.
#pragma once

#include "pyref.hpp"
#include "statements.hpp"

#include <cstdint>
#include <initializer_list>
#include <type_traits>

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

// A module's definition and its life in the process.  `init()` is what
// PyInit_<name> returns; the interpreter then calls the slots, which find
// their ProcessModule through the definition it hands them.
class ProcessModule {
public:
    // `short_name` is the last part of the module's name; `body` runs the
    // module body into the module's namespace once per process.
    ProcessModule(const char* short_name, void (*body)(PyObject* module)) noexcept
        : short_name_(short_name), body_(body) {
        definition_.m_name = short_name;
        definition_.m_slots = slots_;
    }
    ProcessModule(const ProcessModule&) = delete;
    ProcessModule& operator=(const ProcessModule&) = delete;

    PyObject* init() noexcept { return PyModuleDef_Init(&definition_); }

private:
    static ProcessModule& Of(PyModuleDef* definition) noexcept {
        return *reinterpret_cast<ProcessModule*>(definition);
    }

    static PyObject* CreateSlot(PyObject* spec, PyModuleDef* definition) { return Of(definition).create(spec); }

    static int ExecSlot(PyObject* module) {
        PyModuleDef* definition = PyModule_GetDef(module);
        if (definition == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "module has no definition");
            }
            return -1;
        }
        return Of(definition).exec(module);
    }

    // The module already initialised in this process, or a new one.
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
                return Ref::new_reference(module_);
            }
            Ref name = New(PyObject_GetAttrString(spec, "name"));
            return New(PyModule_NewObject(name.get()));
        });
    }

    // Runs the body into `module` unless this process has done so.
    int exec(PyObject* module) {
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
            body_(module);
        });
        if (status == 0) {
            // Kept for the life of the process: it is the module object.
            module_ = Py_NewRef(module);
        }
        return status;
    }

    // First, so that the definition the slots receive leads back here.
    PyModuleDef definition_ = {PyModuleDef_HEAD_INIT};
    PyModuleDef_Slot slots_[3] = {
        {Py_mod_create, reinterpret_cast<void*>(CreateSlot)},
        {Py_mod_exec, reinterpret_cast<void*>(ExecSlot)},
        {0, nullptr},
    };
    const char* short_name_;
    void (*body_)(PyObject* module);
    PyObject* module_ = nullptr;
    int64_t interpreter_ = -1;
};
static_assert(std::is_standard_layout_v<ProcessModule>);

// ---------------------------------------------------------------------------
// Statements both module bodies begin with.

// `import name` for each of `modules`, in order.
inline void ImportModules(PyObject* globals, std::initializer_list<const char*> modules) {
    for (const char* name : modules) {
        Ref module_name = Intern(name);
        SetItem(globals, module_name.get(), ImportModule(globals, module_name.get(), nullptr, 0).get());
    }
}

// `multiprocessing = __import__('multiprocessing').get_context('fork')`:
// the fork context, not the package, so that every process, queue and lock
// made from it works in children forked afterwards.
inline void BindForkContext(PyObject* globals) {
    Ref import = LoadGlobal(globals, Intern("__import__").get());
    Ref package = Call(import.get(), Intern("multiprocessing").get());
    Ref fork = New(PyUnicode_FromString("fork"));
    SetItem(globals, "multiprocessing", CallMethod(package.get(), Intern("get_context").get(), fork.get()).get());
}

// `logger = logging.getLogger(__name__)`, with the module's `logging`.
inline void BindLogger(PyObject* globals) {
    Ref logging = LoadGlobal(globals, Intern("logging").get());
    Ref get_logger = GetAttr(logging.get(), Intern("getLogger").get());
    SetItem(globals, "logger", Call(get_logger.get(), LoadGlobal(globals, Intern("__name__").get()).get()).get());
}

}  // namespace quelbrin
