// A native function type that behaves like a function defined in a Python
// module: it binds as a method, carries writable __name__, __qualname__,
// __module__, __doc__, __dict__, __defaults__ and __kwdefaults__, offers a
// __code__ that inspect.signature() understands, pickles by qualified name,
// and looks up module globals at each use.  inspect.isfunction() is false
// for it, which the lock metaclass relies on to avoid wrapping twice.
//
// Each module that includes this header defines QUELBRIN_FUNCTION_TYPE_NAME
// first, so the two extensions each own one distinctly named type.
#pragma once

#include "attribute_cache.hpp"
#include "pyref.hpp"

#include <structmember.h>

#include <array>
#include <cstddef>
#include <type_traits>

#ifndef QUELBRIN_FUNCTION_TYPE_NAME
#error "define QUELBRIN_FUNCTION_TYPE_NAME before including function.hpp"
#endif

namespace quelbrin {

struct Function;

// The body of a native function, called with the vectorcall arguments.
using FunctionBody = Ref (*)(Function& self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

enum FunctionFlags : int {
    kVarArgs = 1,      // the parameter list ends with *args
    kVarKeywords = 2,  // ... and/or with **kwargs
};

inline constexpr int kMaxParameters = 8;

// What a function is, fixed at compile time.  `parameters` lists the names in
// code-object order: positional-or-keyword, keyword-only, then the names of
// *args and **kwargs when present.
struct FunctionDef {
    const char* name;
    const char* qualname;  // also names the function in argument errors
    const char* doc;       // nullptr: no docstring
    std::array<const char*, kMaxParameters + 2> parameters;
    int argcount;
    int kwonlyargcount;
    int flags;
    FunctionBody body;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* globals;      // the module namespace, for global lookups
    PyObject* captured;     // what the body closes over (a class cell, a method)
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict or NULL, made on first access
    PyObject* type_params;  // tuple or NULL
    PyObject* code;         // made on first access to __code__
    PyObject* dict;
    PyObject* weakreflist;
    // Attribute reads of the locked call made by this function, when it is
    // a lock wrapper; unused by every other function.
    inline_values::LockSiteCache lock_site;
};

namespace function_detail {

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function& self = *reinterpret_cast<Function*>(callable);
    return guarded([&] { return self.def->body(self, args, nargsf, kwnames); });
}

inline int traverse(PyObject* op, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(op);
    Py_VISIT(f->globals);
    Py_VISIT(f->captured);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->type_params);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

inline int clear(PyObject* op) {
    Function* f = reinterpret_cast<Function*>(op);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    // name and qualname stay: they are always strings, and repr() may still
    // need them while a cycle is being broken.
    return 0;
}

inline void dealloc(PyObject* op) {
    Function* f = reinterpret_cast<Function*>(op);
    PyObject_GC_UnTrack(op);
    // A function may hold another one (a wrapper its method, which may be a
    // wrapper again): the trashcan defers the inner deallocations once the
    // nesting is deep, so freeing a chain of any length does not recurse
    // without bound on the C stack.
    Py_TRASHCAN_BEGIN(op, dealloc)
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(op);
    }
    clear(op);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(op);
    Py_TRASHCAN_END
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* op) {
    Function* f = reinterpret_cast<Function*>(op);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, op);
}

// Pickle and copy treat an object whose __reduce__ gives a string as a
// global found under that qualified name in its module, as for functions.
inline PyObject* reduce(PyObject* op, PyObject* /*unused*/) {
    return Py_NewRef(reinterpret_cast<Function*>(op)->qualname);
}

inline PyObject* get_name(PyObject* op, void*) { return Py_NewRef(reinterpret_cast<Function*>(op)->name); }

inline int set_string_field(PyObject*& field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

inline int set_name(PyObject* op, PyObject* value, void*) {
    return set_string_field(reinterpret_cast<Function*>(op)->name, value, "__name__ must be set to a string object");
}

inline PyObject* get_qualname(PyObject* op, void*) { return Py_NewRef(reinterpret_cast<Function*>(op)->qualname); }

inline int set_qualname(PyObject* op, PyObject* value, void*) {
    return set_string_field(reinterpret_cast<Function*>(op)->qualname, value,
                            "__qualname__ must be set to a string object");
}

inline PyObject* get_optional(PyObject* field) { return Py_NewRef(field != nullptr ? field : Py_None); }

inline PyObject* get_doc(PyObject* op, void*) { return get_optional(reinterpret_cast<Function*>(op)->doc); }

inline int set_doc(PyObject* op, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<Function*>(op)->doc, Py_XNewRef(value));
    return 0;
}

inline PyObject* get_defaults(PyObject* op, void*) { return get_optional(reinterpret_cast<Function*>(op)->defaults); }

inline int set_defaults(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(op)->defaults, Py_XNewRef(value));
    return 0;
}

inline PyObject* get_kwdefaults(PyObject* op, void*) {
    return get_optional(reinterpret_cast<Function*>(op)->kwdefaults);
}

inline int set_kwdefaults(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(op)->kwdefaults, Py_XNewRef(value));
    return 0;
}

inline PyObject* get_annotations(PyObject* op, void*) {
    Function* f = reinterpret_cast<Function*>(op);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

inline int set_annotations(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(op)->annotations, Py_XNewRef(value));
    return 0;
}

inline PyObject* get_type_params(PyObject* op, void*) {
    Function* f = reinterpret_cast<Function*>(op);
    if (f->type_params == nullptr) {
        return PyTuple_New(0);
    }
    return Py_NewRef(f->type_params);
}

inline int set_type_params(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(op)->type_params, Py_NewRef(value));
    return 0;
}

// A code object with this function's parameters and no body of interest:
// enough for inspect.signature(), help() and IDEs to show real parameters.
inline Ref make_code(const Function& f) {
    const FunctionDef& def = *f.def;
    int nvars = def.argcount + def.kwonlyargcount + ((def.flags & kVarArgs) ? 1 : 0) +
                ((def.flags & kVarKeywords) ? 1 : 0);
    Ref varnames = New(PyTuple_New(nvars));
    for (int i = 0; i < nvars; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, New(PyUnicode_InternFromString(def.parameters[i])).release());
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (def.flags & kVarArgs) {
        flags |= CO_VARARGS;
    }
    if (def.flags & kVarKeywords) {
        flags |= CO_VARKEYWORDS;
    }
    // The file name is passed as a str object: a __module__ that has no
    // UTF-8 form (a lone surrogate, say) must not stop the code object.
    Ref module_name = New(PyObject_Str(f.module != nullptr ? f.module : Py_None));
    Ref filename = New(PyUnicode_FromFormat("<%U>", module_name.get()));
    Ref empty = New(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", def.name, 0)));
    Ref replace = New(PyObject_GetAttrString(empty.get(), "replace"));
    Ref keywords = New(Py_BuildValue("{s:i,s:i,s:i,s:O,s:i,s:s,s:s,s:O}", "co_argcount", def.argcount,
                                     "co_kwonlyargcount", def.kwonlyargcount, "co_nlocals", nvars,
                                     "co_varnames", varnames.get(), "co_flags", flags, "co_name", def.name,
                                     "co_qualname", def.qualname, "co_filename", filename.get()));
    Ref no_args = New(PyTuple_New(0));
    return New(PyObject_Call(replace.get(), no_args.get(), keywords.get()));
}

inline PyObject* get_code(PyObject* op, void*) {
    Function* f = reinterpret_cast<Function*>(op);
    if (f->code == nullptr) {
        PyObject* code = guarded([&] { return make_code(*f); });
        if (code == nullptr) {
            return nullptr;
        }
        f->code = code;
    }
    return Py_NewRef(f->code);
}

inline PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace function_detail

inline PyTypeObject FunctionType = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = QUELBRIN_FUNCTION_TYPE_NAME;
    type.tp_basicsize = sizeof(Function);
    type.tp_dealloc = function_detail::dealloc;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_repr = function_detail::repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_doc = "Function implemented natively, binding and introspecting like a Python function.";
    type.tp_traverse = function_detail::traverse;
    type.tp_clear = function_detail::clear;
    type.tp_weaklistoffset = offsetof(Function, weakreflist);
    type.tp_methods = function_detail::methods;
    type.tp_members = function_detail::members;
    type.tp_getset = function_detail::getset;
    type.tp_descr_get = function_detail::descr_get;
    type.tp_dictoffset = offsetof(Function, dict);
    return type;
}();

inline void ReadyFunctionType() { Require(PyType_Ready(&FunctionType)); }

inline bool IsFunction(PyObject* obj) { return Py_IS_TYPE(obj, &FunctionType); }

// A new function for `def`.  __module__ comes from the namespace's __name__,
// as for a function defined in that namespace.
inline Ref MakeFunction(const FunctionDef& def, PyObject* globals, PyObject* captured = nullptr,
                        PyObject* defaults = nullptr, PyObject* kwdefaults = nullptr) {
    Ref name = New(PyUnicode_InternFromString(def.name));
    Ref qualname = New(PyUnicode_InternFromString(def.qualname));
    Ref doc = def.doc != nullptr ? New(PyUnicode_FromString(def.doc)) : Ref();
    Ref module_key = New(PyUnicode_InternFromString("__name__"));
    PyObject* module = PyDict_GetItemWithError(globals, module_key.get());
    if (module == nullptr && PyErr_Occurred()) {
        throw PyError{};
    }
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr) {
        throw PyError{};
    }
    f->vectorcall = function_detail::vectorcall;
    f->def = &def;
    f->globals = Py_NewRef(globals);
    f->captured = Py_XNewRef(captured);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_XNewRef(module);
    f->doc = doc.release();
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = Py_XNewRef(kwdefaults);
    f->annotations = nullptr;
    f->type_params = nullptr;
    f->code = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->lock_site = {};
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// Looks `name` up in the function's module namespace, then in the builtins,
// as a Python function's global lookup does; NameError when both miss.
inline Ref LoadGlobal(const Function& function, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(function.globals, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            throw PyError{};
        }
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                RaiseNameError(name);
            }
            throw PyError{};
        }
    }
    return Ref::borrow(value);
}

// The arguments of one call bound to the function's parameters, with the
// interpreter's rules and error messages for a Python function.
class BoundArguments {
public:
    BoundArguments(const Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames)
        : def_(*function.def) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const int argcount = def_.argcount;
        const int total = argcount + def_.kwonlyargcount;

        const Py_ssize_t npositional = nargs < argcount ? nargs : argcount;
        for (Py_ssize_t i = 0; i < npositional; ++i) {
            values_[i] = Ref::borrow(args[i]);
        }
        if (def_.flags & kVarArgs) {
            const Py_ssize_t extra = nargs > argcount ? nargs - argcount : 0;
            varargs_ = New(PyTuple_New(extra));
            for (Py_ssize_t i = 0; i < extra; ++i) {
                PyTuple_SET_ITEM(varargs_.get(), i, Py_NewRef(args[argcount + i]));
            }
        }
        if (def_.flags & kVarKeywords) {
            varkwargs_ = New(PyDict_New());
        }

        const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            const int index = find_parameter(keyword, total);
            if (index < 0) {
                if (!varkwargs_) {
                    RaiseFormat(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", def_.qualname,
                                keyword);
                }
                Require(PyDict_SetItem(varkwargs_.get(), keyword, value));
            } else if (values_[index]) {
                RaiseFormat(PyExc_TypeError, "%s() got multiple values for argument '%S'", def_.qualname, keyword);
            } else {
                values_[index] = Ref::borrow(value);
            }
        }

        if (nargs > argcount && !(def_.flags & kVarArgs)) {
            raise_too_many_positional(function, nargs);
        }

        const Py_ssize_t ndefaults = function.defaults != nullptr ? PyTuple_GET_SIZE(function.defaults) : 0;
        const Py_ssize_t first_default = argcount - ndefaults;
        int missing = 0;
        for (int i = 0; i < argcount; ++i) {
            if (values_[i]) {
                continue;
            }
            if (i >= first_default) {
                values_[i] = Ref::borrow(PyTuple_GET_ITEM(function.defaults, i - first_default));
            } else {
                ++missing;
            }
        }
        if (missing > 0) {
            raise_missing("positional", 0, argcount, missing);
        }

        for (int i = argcount; i < total; ++i) {
            if (values_[i] || function.kwdefaults == nullptr) {
                continue;
            }
            Ref name = New(PyUnicode_FromString(def_.parameters[i]));
            PyObject* value = PyDict_GetItemWithError(function.kwdefaults, name.get());
            if (value == nullptr && PyErr_Occurred()) {
                throw PyError{};
            }
            values_[i] = Ref::borrow(value);
        }
        missing = 0;
        for (int i = argcount; i < total; ++i) {
            missing += values_[i] ? 0 : 1;
        }
        if (missing > 0) {
            raise_missing("keyword-only", argcount, total, missing);
        }
    }

    // The value of parameter `index` (code-object order).
    PyObject* operator[](int index) const noexcept { return values_[index].get(); }
    // The tuple of surplus positional arguments (functions with *args).
    PyObject* varargs() const noexcept { return varargs_.get(); }
    // The dict of surplus keyword arguments (functions with **kwargs).
    PyObject* varkwargs() const noexcept { return varkwargs_.get(); }

private:
    int find_parameter(PyObject* keyword, int total) const {
        for (int i = 0; i < total; ++i) {
            if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, def_.parameters[i]) == 0) {
                return i;
            }
        }
        return -1;
    }

    [[noreturn]] void raise_too_many_positional(const Function& function, Py_ssize_t given) const {
        const Py_ssize_t ndefaults = function.defaults != nullptr ? PyTuple_GET_SIZE(function.defaults) : 0;
        int kwonly_given = 0;
        for (int i = def_.argcount; i < def_.argcount + def_.kwonlyargcount; ++i) {
            kwonly_given += values_[i] ? 1 : 0;
        }
        Ref takes;
        bool plural;
        if (ndefaults > 0) {
            takes = New(PyUnicode_FromFormat("from %zd to %d", def_.argcount - ndefaults, def_.argcount));
            plural = true;
        } else {
            takes = New(PyUnicode_FromFormat("%d", def_.argcount));
            plural = def_.argcount != 1;
        }
        Ref kwonly = kwonly_given > 0
                         ? New(PyUnicode_FromFormat(" positional argument%s (and %d keyword-only argument%s)",
                                                    given != 1 ? "s" : "", kwonly_given,
                                                    kwonly_given != 1 ? "s" : ""))
                         : New(PyUnicode_FromString(""));
        RaiseFormat(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given", def_.qualname,
                    takes.get(), plural ? "s" : "", given, kwonly.get(),
                    given == 1 && kwonly_given == 0 ? "was" : "were");
    }

    [[noreturn]] void raise_missing(const char* kind, int begin, int end, int missing) const {
        // 'a'; 'a' and 'b'; 'a', 'b', and 'c'  -- the interpreter's wording.
        Ref names = New(PyUnicode_FromString(""));
        int seen = 0;
        for (int i = begin; i < end; ++i) {
            if (values_[i]) {
                continue;
            }
            ++seen;
            const char* separator = seen == 1 ? "" : (missing == 2 ? " and " : (seen == missing ? ", and " : ", "));
            names = New(PyUnicode_FromFormat("%U%s'%s'", names.get(), separator, def_.parameters[i]));
        }
        RaiseFormat(PyExc_TypeError, "%s() missing %d required %s argument%s: %U", def_.qualname, missing, kind,
                    missing == 1 ? "" : "s", names.get());
    }

    const FunctionDef& def_;
    Ref values_[kMaxParameters];
    Ref varargs_;
    Ref varkwargs_;
};
static_assert(!std::is_nothrow_destructible_v<BoundArguments>);

}  // namespace quelbrin
