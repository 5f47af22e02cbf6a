// A native function type that behaves like a function defined in a Python
// module: it binds as a method, carries writable __name__, __qualname__,
// __module__, __doc__, __dict__, __defaults__ and __kwdefaults__, offers a
// __code__ that inspect.signature() understands, pickles by qualified name,
// and looks up module globals at each use.  inspect.isfunction() is false
// for it, which the lock metaclass relies on to avoid wrapping twice.
//
// Each extension owns its function type: a FunctionType object of its own
// module, holding the type object and its tables, with a name of its own and
// whatever the extension keeps in each of its functions (its payload).
// Nothing here is state: two extensions that share this code through the
// dynamic linker still each use their own type.
#pragma once

#include "pyref.hpp"
#include "statements.hpp"

#include <structmember.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <string_view>
#include <type_traits>

namespace quelbrin {

struct Function;

// The body of a native function, called with the vectorcall arguments.
using FunctionBody = Ref (*)(Function& self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

enum FunctionFlags : int {
    kVarArgs = 1,      // the parameter list has *args
    kVarKeywords = 2,  // ... and/or **kwargs
};

// Named parameters a function may have: what BoundArguments has room for.
inline constexpr int kMaxParameters = 8;

// ---------------------------------------------------------------------------
// Function definitions: one declaration each, checked when it compiles.

// In the order of a Python signature.
enum class ParameterKind : unsigned char { kPositional, kVarArgs, kKeywordOnly, kVarKeywords };

// Marks a parameter that has a default; the value is made when the module
// is initialised and handed to FunctionType::make() in declaration order.
struct HasDefault {};
inline constexpr HasDefault kDefault{};

struct Parameter {
    const char* name;
    ParameterKind kind;
    bool has_default;
};

// `name` and `name=...`, positional-or-keyword.
consteval Parameter Arg(const char* name) { return {name, ParameterKind::kPositional, false}; }
consteval Parameter Arg(const char* name, HasDefault) { return {name, ParameterKind::kPositional, true}; }
// `*, name` and `*, name=...`.
consteval Parameter KeywordOnly(const char* name) { return {name, ParameterKind::kKeywordOnly, false}; }
consteval Parameter KeywordOnly(const char* name, HasDefault) { return {name, ParameterKind::kKeywordOnly, true}; }
// `*name` and `**name`.
consteval Parameter VarArgs(const char* name) { return {name, ParameterKind::kVarArgs, false}; }
consteval Parameter VarKeywords(const char* name) { return {name, ParameterKind::kVarKeywords, false}; }

// What a function is, fixed at compile time and made only by
// DefineFunction(), which derives the counts from the parameter list and
// refuses (as a compile error) a list that Python would refuse or that
// BoundArguments has no room for.
class FunctionDef {
public:
    const char* name;
    const char* qualname;  // also names the function in argument errors
    const char* doc;       // nullptr: no docstring
    FunctionBody body;
    // Code-object order: positional-or-keyword, keyword-only, then the
    // names of *args and **kwargs when present.
    std::array<const char*, kMaxParameters + 2> parameters{};
    // Their lengths, so that keywords are matched without measuring them.
    std::array<size_t, kMaxParameters + 2> parameter_lengths{};
    int argcount = 0;
    int kwonlyargcount = 0;
    int flags = 0;
    // Whether each named parameter (code-object order) has a default, and
    // how many do: the positional ones form the trailing run of __defaults__,
    // the keyword-only ones go into __kwdefaults__.
    std::array<bool, kMaxParameters> has_default{};
    int positional_defaults = 0;
    int keyword_defaults = 0;

    constexpr int defaults() const noexcept { return positional_defaults + keyword_defaults; }

private:
    consteval FunctionDef(const char* name, const char* qualname, const char* doc, FunctionBody body)
        : name(name), qualname(qualname), doc(doc), body(body) {}
    friend consteval FunctionDef DefineFunction(const char*, const char*, const char*, std::initializer_list<Parameter>,
                                                FunctionBody);
};

// `def name(parameters)` with the qualified name `qualname`, the docstring
// `doc` (or none) and the native `body`.  Parameters come in the order of a
// Python signature: Arg()s, then VarArgs(), KeywordOnly()s, VarKeywords().
consteval FunctionDef DefineFunction(const char* name, const char* qualname, const char* doc,
                                     std::initializer_list<Parameter> parameters, FunctionBody body) {
    // The body is not checked: some builds (the sanitizers') cannot compare
    // a function's address with null while compiling.
    if (name == nullptr || qualname == nullptr) {
        throw "a function needs a name and a qualified name";
    }
    FunctionDef def(name, qualname, doc, body);
    const char* varargs = nullptr;
    const char* varkeywords = nullptr;
    ParameterKind last = ParameterKind::kPositional;
    int named = 0;
    for (const Parameter& parameter : parameters) {
        if (parameter.name == nullptr || std::string_view(parameter.name).empty()) {
            throw "every parameter needs a name";
        }
        for (const Parameter& other : parameters) {
            if (&other != &parameter && std::string_view(other.name) == std::string_view(parameter.name)) {
                throw "duplicate argument in function definition";
            }
        }
        if (parameter.kind < last || varkeywords != nullptr ||
            (parameter.kind == ParameterKind::kVarArgs && varargs != nullptr)) {
            throw "parameters out of the order of a Python signature";
        }
        last = parameter.kind;
        switch (parameter.kind) {
            case ParameterKind::kPositional:
            case ParameterKind::kKeywordOnly:
                if (named == kMaxParameters) {
                    throw "more named parameters than BoundArguments holds (kMaxParameters)";
                }
                if (parameter.kind == ParameterKind::kPositional) {
                    if (!parameter.has_default && def.positional_defaults > 0) {
                        throw "non-default argument follows default argument";
                    }
                    ++def.argcount;
                    def.positional_defaults += parameter.has_default ? 1 : 0;
                } else {
                    ++def.kwonlyargcount;
                    def.keyword_defaults += parameter.has_default ? 1 : 0;
                }
                def.has_default[named] = parameter.has_default;
                def.parameters[named++] = parameter.name;
                break;
            case ParameterKind::kVarArgs:
                varargs = parameter.name;
                def.flags |= kVarArgs;
                break;
            case ParameterKind::kVarKeywords:
                varkeywords = parameter.name;
                def.flags |= kVarKeywords;
                break;
        }
    }
    if (varargs != nullptr) {
        def.parameters[named++] = varargs;
    }
    if (varkeywords != nullptr) {
        def.parameters[named++] = varkeywords;
    }
    for (int i = 0; i < named; ++i) {
        def.parameter_lengths[i] = std::string_view(def.parameters[i]).size();
    }
    return def;
}

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

// A field that None (or deleting it) empties, and that takes only what
// `accepts` accepts otherwise.
inline int set_optional_field(PyObject*& field, PyObject* value, bool (*accepts)(PyObject*), const char* message) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_XNewRef(value));
    return 0;
}

inline bool is_tuple(PyObject* value) { return PyTuple_Check(value); }
inline bool is_dict(PyObject* value) { return PyDict_Check(value); }

inline int set_defaults(PyObject* op, PyObject* value, void*) {
    return set_optional_field(reinterpret_cast<Function*>(op)->defaults, value, is_tuple,
                              "__defaults__ must be set to a tuple object");
}

inline PyObject* get_kwdefaults(PyObject* op, void*) {
    return get_optional(reinterpret_cast<Function*>(op)->kwdefaults);
}

inline int set_kwdefaults(PyObject* op, PyObject* value, void*) {
    return set_optional_field(reinterpret_cast<Function*>(op)->kwdefaults, value, is_dict,
                              "__kwdefaults__ must be set to a dict object");
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
    return set_optional_field(reinterpret_cast<Function*>(op)->annotations, value, is_dict,
                              "__annotations__ must be set to a dict object");
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
        PyTuple_SET_ITEM(varnames.get(), i, Intern(def.parameters[i]).release());
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

inline constexpr const char kTypeDoc[] =
    "Function implemented natively, binding and introspecting like a Python function.";

}  // namespace function_detail

// What a function's body closes over: the `__class__` cell of a method that
// uses argument-less super(), or the method a wrapper holds.
struct Captured {
    PyObject* value;
};

// The function type of one extension, whose functions each carry a
// `Payload` after the fields every function has: what that extension keeps
// per function (NoPayload: nothing).  The payload holds no Python
// references, starts value-initialised and is never destroyed.
struct NoPayload {};

template <typename Payload = NoPayload>
class FunctionType {
    static_assert(std::is_trivially_destructible_v<Payload> && std::is_standard_layout_v<Payload>);

public:
    // `qualified_name` is the type's __module__ and __qualname__ joined,
    // as for any type made in C.
    explicit FunctionType(const char* qualified_name) noexcept {
        type_.tp_name = qualified_name;
        type_.tp_basicsize = sizeof(Object);
        type_.tp_dealloc = function_detail::dealloc;
        type_.tp_vectorcall_offset = offsetof(Function, vectorcall);
        type_.tp_repr = function_detail::repr;
        type_.tp_call = PyVectorcall_Call;
        type_.tp_getattro = PyObject_GenericGetAttr;
        type_.tp_setattro = PyObject_GenericSetAttr;
        type_.tp_flags =
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
        type_.tp_doc = function_detail::kTypeDoc;
        type_.tp_traverse = function_detail::traverse;
        type_.tp_clear = function_detail::clear;
        type_.tp_weaklistoffset = offsetof(Function, weakreflist);
        type_.tp_methods = methods_;
        type_.tp_members = members_;
        type_.tp_getset = getset_;
        type_.tp_descr_get = function_detail::descr_get;
        type_.tp_dictoffset = offsetof(Function, dict);
    }
    FunctionType(const FunctionType&) = delete;
    FunctionType& operator=(const FunctionType&) = delete;

    // Readies the type; again after a failed initialisation is harmless.
    void ready() { Require(PyType_Ready(&type_)); }

    // A new function for `kDef` in the module namespace `globals`, with one
    // default value for each parameter that kDef declares with a default, in
    // declaration order.  __module__ comes from the namespace's __name__, as
    // for a function defined in that namespace.
    template <const FunctionDef& kDef, std::convertible_to<PyObject*>... Defaults>
    Ref make(PyObject* globals, Defaults... defaults) {
        return make<kDef>(globals, Captured{nullptr}, defaults...);
    }

    template <const FunctionDef& kDef, std::convertible_to<PyObject*>... Defaults>
    Ref make(PyObject* globals, Captured captured, Defaults... defaults) {
        static_assert(sizeof...(Defaults) == kDef.defaults(),
                      "one default value for each parameter declared with a default");
        // Positional defaults come first: they are the trailing positional
        // parameters, and keyword-only ones follow them.
        PyObject* const values[] = {defaults..., nullptr};
        Ref positional_defaults;
        if constexpr (kDef.positional_defaults > 0) {
            positional_defaults = New(PyTuple_New(kDef.positional_defaults));
            for (int k = 0; k < kDef.positional_defaults; ++k) {
                PyTuple_SET_ITEM(positional_defaults.get(), k, Py_NewRef(values[k]));
            }
        }
        Ref keyword_defaults;
        if constexpr (kDef.keyword_defaults > 0) {
            keyword_defaults = New(PyDict_New());
            int given = kDef.positional_defaults;
            for (int i = kDef.argcount; i < kDef.argcount + kDef.kwonlyargcount; ++i) {
                if (kDef.has_default[i]) {
                    SetItem(keyword_defaults.get(), kDef.parameters[i], values[given++]);
                }
            }
        }
        return allocate(kDef, globals, captured.value, positional_defaults.get(), keyword_defaults.get());
    }

    // The payload of `function`, one of this type's functions.
    static Payload& payload(Function& function) noexcept {
        return reinterpret_cast<Object*>(&function)->payload;
    }

private:
    struct Object {
        Function function;
        [[no_unique_address]] Payload payload;
    };
    static_assert(std::is_standard_layout_v<Object> && offsetof(Object, function) == 0);

    Ref allocate(const FunctionDef& def, PyObject* globals, PyObject* captured, PyObject* defaults,
                 PyObject* kwdefaults) {
        Ref name = Intern(def.name);
        Ref qualname = Intern(def.qualname);
        Ref doc = def.doc != nullptr ? New(PyUnicode_FromString(def.doc)) : Ref();
        Ref module_key = Intern("__name__");
        Ref module = Ref::new_reference(PyDict_GetItemWithError(globals, module_key.get()));
        if (!module && PyErr_Occurred()) {
            throw PyError{};
        }
        Object* object = PyObject_GC_New(Object, &type_);
        if (object == nullptr) {
            throw PyError{};
        }
        Function* f = &object->function;
        f->vectorcall = function_detail::vectorcall;
        f->def = &def;
        f->globals = Py_NewRef(globals);
        f->captured = Py_XNewRef(captured);
        f->name = name.release();
        f->qualname = qualname.release();
        f->module = module.release();
        f->doc = doc.release();
        f->defaults = Py_XNewRef(defaults);
        f->kwdefaults = Py_XNewRef(kwdefaults);
        f->annotations = nullptr;
        f->type_params = nullptr;
        f->code = nullptr;
        f->dict = nullptr;
        f->weakreflist = nullptr;
        new (&object->payload) Payload{};
        PyObject_GC_Track(f);
        return Ref::steal(reinterpret_cast<PyObject*>(f));
    }

    PyTypeObject type_{PyVarObject_HEAD_INIT(nullptr, 0)};
    PyGetSetDef getset_[10] = {
        {"__name__", function_detail::get_name, function_detail::set_name, nullptr, nullptr},
        {"__qualname__", function_detail::get_qualname, function_detail::set_qualname, nullptr, nullptr},
        {"__doc__", function_detail::get_doc, function_detail::set_doc, nullptr, nullptr},
        {"__defaults__", function_detail::get_defaults, function_detail::set_defaults, nullptr, nullptr},
        {"__kwdefaults__", function_detail::get_kwdefaults, function_detail::set_kwdefaults, nullptr, nullptr},
        {"__annotations__", function_detail::get_annotations, function_detail::set_annotations, nullptr, nullptr},
        {"__type_params__", function_detail::get_type_params, function_detail::set_type_params, nullptr, nullptr},
        {"__code__", function_detail::get_code, nullptr, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    PyMemberDef members_[2] = {
        {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyMethodDef methods_[2] = {
        {"__reduce__", function_detail::reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
};

// A global name as the function's body reads it: its module namespace, then
// the builtins.
inline Ref LoadGlobal(const Function& function, PyObject* name) { return LoadGlobal(function.globals, name); }

// The position of the parameter named `keyword` among the first `total`
// parameters of `def` (code-object order), or -1.
inline int FindParameter(const FunctionDef& def, PyObject* keyword, int total) {
    if (!PyUnicode_Check(keyword)) {
        return -1;
    }
    if (PyUnicode_IS_COMPACT_ASCII(keyword)) {
        // Keywords are nearly always plain ASCII strings: their
        // characters are compared in place (a NUL among them included).
        const std::string_view text(static_cast<const char*>(PyUnicode_DATA(keyword)),
                                    static_cast<size_t>(PyUnicode_GET_LENGTH(keyword)));
        for (int i = 0; i < total; ++i) {
            if (text == std::string_view(def.parameters[i], def.parameter_lengths[i])) {
                return i;
            }
        }
        return -1;
    }
    for (int i = 0; i < total; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, def.parameters[i]) == 0) {
            return i;
        }
    }
    return -1;
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
            values_[i] = Ref::new_reference(args[i]);
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
                values_[index] = Ref::new_reference(value);
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
                values_[i] = Ref::new_reference(PyTuple_GET_ITEM(function.defaults, i - first_default));
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
            values_[i] = Ref::new_reference(value);
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
    int find_parameter(PyObject* keyword, int total) const { return FindParameter(def_, keyword, total); }

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

// A call `f(first, name=value, ...)` of a function with positional-or-keyword
// parameters, *args and **kwargs, that gives its first parameter
// positionally, each other one once by keyword, and surplus keywords meant
// to be passed on, as in `g(first, **kwargs)`.  The named parameters are
// bound (borrowed from the caller's arguments, which outlive the call), and
// the surplus keywords are kept as they came, after `first`, ready for a
// vectorcall: neither the dict that BoundArguments makes for **kwargs nor
// the one the next callee would unpack again.  A call of any other shape is
// left to BoundArguments, which binds it and reports its errors.  Repeated
// surplus keywords (only a native caller can repeat one) go on to the next
// callee, which reports them.
class KeywordsPassedOn {
public:
    static constexpr int kMaxPassedOn = 8;

    // Whether the call has that shape; when it has, it is bound.
    bool bind(const Function& function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        const FunctionDef& def = *function.def;
        if (PyVectorcall_NARGS(nargsf) != 1 || kwnames == nullptr || def.kwonlyargcount != 0 ||
            (def.flags & (kVarArgs | kVarKeywords)) != (kVarArgs | kVarKeywords)) {
            return false;
        }
        stack_[0] = named_[0] = args[0];
        int bound = 1;
        PyObject* passed_names[kMaxPassedOn];
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const int index = FindParameter(def, keyword, def.argcount);
            if (index >= 0 && named_[index] != nullptr) {
                return false;  // a parameter given twice (`first` always is)
            }
            if (index > 0) {
                named_[index] = args[1 + k];
                ++bound;
            } else if (passed_ < kMaxPassedOn) {
                stack_[1 + passed_] = args[1 + k];
                passed_names[passed_++] = keyword;
            } else {
                return false;
            }
        }
        if (bound != def.argcount) {
            return false;  // a parameter missing: a default or an error, for BoundArguments
        }
        if (passed_ > 0) {
            kwnames_ = New(PyTuple_New(passed_));
            for (Py_ssize_t i = 0; i < passed_; ++i) {
                PyTuple_SET_ITEM(kwnames_.get(), i, Py_NewRef(passed_names[i]));
            }
        }
        return true;
    }

    // The value of named parameter `index` (code-object order).
    PyObject* operator[](int index) const noexcept { return named_[index]; }
    // `first`, then the values of the surplus keywords.
    PyObject* const* stack() const noexcept { return stack_; }
    // The names of the surplus keywords (NULL when there are none).
    PyObject* kwnames() const noexcept { return kwnames_.get(); }

private:
    PyObject* named_[kMaxParameters] = {};
    PyObject* stack_[1 + kMaxPassedOn] = {};
    Py_ssize_t passed_ = 0;
    Ref kwnames_;
};
static_assert(!std::is_nothrow_destructible_v<KeywordsPassedOn>);

}  // namespace quelbrin
