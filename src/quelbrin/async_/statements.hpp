// What a few Python statements and expressions do, for the native code that
// stands in for them: reading a global name, storing into a mapping, imports,
// iteration and unpacking, calls with star arguments, a class statement and
// argument-less super().  Each does what the interpreter does, in its order
// and with its messages, so that hostile objects see the same operations.
#pragma once

#include "constants.hpp"
#include "pyref.hpp"

#include <type_traits>
#include <utility>

namespace quelbrin {

// ---------------------------------------------------------------------------
// Names

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

// A global name as a function or a module body reads it: `globals`, then the
// builtins in force; NameError when both miss.
inline Ref LoadGlobal(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
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
    return Ref::new_reference(value);
}

// `mapping[key] = value`: a dict through its own storage, anything else
// (a subclass included) through its __setitem__, as the interpreter stores
// into a namespace or a subscript.
inline void SetItem(PyObject* mapping, PyObject* key, PyObject* value) {
    Require(PyDict_CheckExact(mapping) ? PyDict_SetItem(mapping, key, value) : PyObject_SetItem(mapping, key, value));
}

// The same under an identifier, interned as compiled code interns it.
inline void SetItem(PyObject* mapping, const char* key, PyObject* value) { SetItem(mapping, Intern(key).get(), value); }

// ---------------------------------------------------------------------------
// Imports

// An `import name` / `from name import ...` as the import statement performs
// it: through `__import__` of the builtins in force, so that replacing
// builtins.__import__ affects it.  `locals` is the module namespace for a
// module body and None inside a function; `fromlist` None for a plain import.
inline Ref ImportModule(PyObject* globals, PyObject* locals, PyObject* name, PyObject* fromlist, int level) {
    PyObject* builtins = Require(PyEval_GetBuiltins());
    Ref key = Intern("__import__");
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
        return {Ref::new_reference(PyTuple_GET_ITEM(item, 0)), Ref::new_reference(PyTuple_GET_ITEM(item, 1))};
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
                Ref held_key = Ref::new_reference(key);
                Ref held_value = Ref::new_reference(value);
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
        return Ref::new_reference(args);
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

// ---------------------------------------------------------------------------
// A class statement.

// The metaclass a class statement with these bases would use.
inline Ref Metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (!PyType_IsSubtype(candidate, winner)) {
            Raise(PyExc_TypeError,
                  "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
                  "metaclasses of all its bases");
        }
        winner = candidate;
    }
    return Ref::new_reference(reinterpret_cast<PyObject*>(winner));
}

// The namespace of a class statement while its body runs.
class ClassBody {
public:
    explicit ClassBody(Ref class_namespace) : namespace_(std::move(class_namespace)) {}
    ClassBody(const ClassBody&) = delete;
    ClassBody& operator=(const ClassBody&) = delete;

    // `name = value` in the body.
    void define(const char* name, PyObject* value) { SetItem(namespace_.get(), name, value); }

    // The `__class__` cell that methods using argument-less super() close
    // over: made on first use, and set to the class by type.__new__.
    PyObject* class_cell() {
        if (!cell_) {
            cell_ = New(PyCell_New(nullptr));
        }
        return cell_.get();
    }

    PyObject* class_namespace() const noexcept { return namespace_.get(); }
    PyObject* cell() const noexcept { return cell_.get(); }

private:
    Ref namespace_;
    Ref cell_;
};
static_assert(!std::is_nothrow_destructible_v<ClassBody>);

// `class name(*bases): """doc"""; ...` in the module whose namespace is
// `globals`: the metaclass prepares the namespace, which gets __module__,
// __qualname__ and __doc__ as the compiler puts them at the top of a class
// body, `fill` runs the rest of the body (it receives the ClassBody), and
// the metaclass makes the class, with the __class__ cell handed over as the
// compiler hands it over.
template <typename Fill>
Ref MakeClass(PyObject* globals, const char* name, PyObject* bases, const char* doc, Fill&& fill) {
    Ref metaclass = Metaclass(bases);
    Ref class_name = Intern(name);
    Ref prepare = GetAttr(metaclass.get(), Intern("__prepare__").get());
    PyObject* prepare_args[] = {class_name.get(), bases};
    ClassBody body(New(PyObject_Vectorcall(prepare.get(), prepare_args, 2, nullptr)));
    body.define("__module__", LoadGlobal(globals, Intern("__name__").get()).get());
    body.define("__qualname__", class_name.get());
    body.define("__doc__", New(PyUnicode_FromString(doc)).get());
    fill(body);
    if (body.cell() != nullptr) {
        body.define("__classcell__", body.cell());
    }
    PyObject* class_args[] = {class_name.get(), bases, body.class_namespace()};
    Ref made = New(PyObject_Vectorcall(metaclass.get(), class_args, 3, nullptr));
    // What the interpreter checks once a class whose methods use super() has
    // been made.
    if (body.cell() != nullptr && PyType_Check(made.get()) && PyCell_GET(body.cell()) != made.get()) {
        if (PyCell_GET(body.cell()) == nullptr) {
            RaiseFormat(PyExc_RuntimeError,
                        "__class__ not set defining %.200R as %.200R. Was __classcell__ propagated to type.__new__?",
                        class_name.get(), made.get());
        }
        RaiseFormat(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R", PyCell_GET(body.cell()),
                    class_name.get(), made.get());
    }
    return made;
}

// Argument-less `super()` in a method whose `__class__` cell is `class_cell`
// (NULL when it has none) and whose first argument is `first`.
inline Ref Super(PyObject* class_cell, PyObject* first) {
    PyObject* owner = class_cell != nullptr ? PyCell_GET(class_cell) : nullptr;
    if (owner == nullptr) {
        Raise(PyExc_RuntimeError, "super(): empty __class__ cell");
    }
    PyObject* args[] = {owner, first};
    return New(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), args, 2, nullptr));
}

// What `super().<name>` finds for an instance `self` of the class in
// `class_cell`, when it is a plain Python function: that function (a new
// reference), found as super() finds it, in the class dicts of the MRO of
// type(self) after that class.  Calling it with `self` first is calling the
// method that super() would bind, without making the super object and the
// bound method.  Empty when anything is less plain (an empty cell, an MRO
// or a class dict that is not the usual kind, a descriptor of any other
// type, nothing found): the caller then takes the path through super().
// Runs no Python code: the dicts are exact and `name` is an interned string.
inline Ref SuperFunction(PyObject* class_cell, PyObject* self, PyObject* name) {
    PyObject* owner = class_cell != nullptr ? PyCell_GET(class_cell) : nullptr;
    PyTypeObject* start = Py_TYPE(self);
    PyObject* mro = start->tp_mro;
    // `self` not an instance of the class leaves it out of the MRO: nothing
    // is found, and super() raises what it raises.
    if (owner == nullptr || mro == nullptr || !PyTuple_CheckExact(mro)) {
        return Ref();
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < count && PyTuple_GET_ITEM(mro, i) != owner) {
        ++i;
    }
    for (++i; i < count; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr || !PyDict_CheckExact(dict)) {
            return Ref();
        }
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found != nullptr) {
            return Py_IS_TYPE(found, &PyFunction_Type) ? Ref::new_reference(found) : Ref();
        }
        if (PyErr_Occurred()) {
            throw PyError{};
        }
    }
    return Ref();
}

}  // namespace quelbrin
