// The least `Pcall._build_arguments()` can cost: the work its Python
// rendering does for each instance (one tuple, two dicts, the entries that
// fill them), with every attribute of the Pcall read afresh at each use, as
// the rendering reads it, but through the project's validated per-type
// cache instead of a generic attribute lookup.
//
// Only the plain containers Pcall makes itself are handled (tuple `cargs`,
// list `iargs`/`ikwargs`, dict `ckwargs`/`varkwargs` of lists, string
// keywords); anything else raises TypeError, where the real code would take
// its general path.  Benchmarks only.
#include "attribute_cache.hpp"

namespace {

using quelbrin::inline_values::Slot;

enum Attribute { kTargets, kCargs, kIargs, kCkwargs, kIkwargs, kVarkwargs, kAttributes };
const char* const kAttributeNames[kAttributes] = {"targets", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs"};
PyObject* attribute_names[kAttributes];
Slot slots[kAttributes];

PyObject* target_key;
PyObject* args_key;
PyObject* kwargs_key;
PyObject* repeat;  // itertools.repeat

// The values the slow reads of one instance returned, held until the
// instance is built.
struct Held {
    PyObject* values[kAttributes * 2];
    int count = 0;
    ~Held() {
        while (count > 0) {
            Py_DECREF(values[--count]);
        }
    }
};

// self.<attribute> by the ordinary read, which teaches the cache.
[[gnu::noinline]] PyObject* ReadSlowly(Held& held, PyObject* self, Attribute attribute) {
    Slot& slot = slots[attribute];
    PyObject* name = attribute_names[attribute];
    const Py_ssize_t index = slot.stale_for(self) ? slot.examine(self, name) : -1;
    PyObject* value = PyObject_GetAttr(self, name);
    if (value != nullptr) {
        if (index >= 0) {
            slot.learn(self, index, value);
        }
        held.values[held.count++] = value;
    }
    return value;
}

// self.<attribute>, borrowed: a hit of the cache is the instance's own
// reference.  Whoever keeps it across code that may run Python code takes
// a reference of its own.
[[gnu::always_inline]] inline PyObject* Read(Held& held, PyObject* self, Attribute attribute) {
    if (PyObject* value = slots[attribute].read(self)) [[likely]] {
        return value;
    }
    return ReadSlowly(held, self, attribute);
}

PyObject* Unhandled(const char* what) {
    PyErr_Format(PyExc_TypeError, "the floor handles only plain containers: %s", what);
    return nullptr;
}

// len(source) when it is not 0, else `smallest`; -1 on error.
Py_ssize_t Smaller(PyObject* source, Py_ssize_t smallest) {
    const Py_ssize_t length = PyObject_Size(source);
    if (length <= 0) {
        return length < 0 ? -1 : smallest;
    }
    return smallest == 0 || length < smallest ? length : smallest;
}

Py_ssize_t InstanceCount(PyObject* self, bool single_target) {
    Held held;
    Py_ssize_t smallest = 0;
    for (Attribute attribute : {kTargets, kIargs, kIkwargs}) {
        if (attribute == kTargets && single_target) {
            continue;
        }
        PyObject* source = Read(held, self, attribute);
        if (source == nullptr) {
            return -1;
        }
        Py_INCREF(source);  // len() may run Python code
        smallest = Smaller(source, smallest);
        Py_DECREF(source);
        if (smallest < 0) {
            return -1;
        }
    }
    PyObject* varkwargs = Read(held, self, kVarkwargs);
    if (varkwargs == nullptr) {
        return -1;
    }
    if (!PyDict_CheckExact(varkwargs)) {
        return Unhandled("varkwargs"), -1;
    }
    Py_INCREF(varkwargs);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* values;
    while (smallest >= 0 && PyDict_Next(varkwargs, &position, &key, &values)) {
        if (!PyList_CheckExact(values)) {
            Py_DECREF(varkwargs);
            return Unhandled("varkwargs values"), -1;
        }
        smallest = Smaller(values, smallest);
    }
    Py_DECREF(varkwargs);
    if (smallest == 0 && !single_target) {
        PyErr_SetString(PyExc_ValueError, "min() iterable argument is empty");
        return -1;
    }
    return smallest == 0 ? 1 : smallest;
}

// tuple(self.cargs) + tuple(self.iargs[i]) when iargs is not empty.  No
// Python code runs here.
PyObject* Positional(Held& held, PyObject* self, Py_ssize_t i) {
    PyObject* common = Read(held, self, kCargs);
    if (common == nullptr || !PyTuple_CheckExact(common)) {
        return common == nullptr ? nullptr : Unhandled("cargs");
    }
    PyObject* iargs = Read(held, self, kIargs);
    if (iargs == nullptr || !PyList_CheckExact(iargs)) {
        return iargs == nullptr ? nullptr : Unhandled("iargs");
    }
    if (PyList_GET_SIZE(iargs) == 0) {
        return Py_NewRef(common);
    }
    iargs = Read(held, self, kIargs);
    if (iargs == nullptr || !PyList_CheckExact(iargs) || i >= PyList_GET_SIZE(iargs) ||
        !PyTuple_CheckExact(PyList_GET_ITEM(iargs, i))) {
        return iargs == nullptr ? nullptr : Unhandled("iargs[i]");
    }
    PyObject* own = PyList_GET_ITEM(iargs, i);
    const Py_ssize_t common_size = PyTuple_GET_SIZE(common);
    const Py_ssize_t own_size = PyTuple_GET_SIZE(own);
    if (own_size == 0 || common_size == 0) {
        return Py_NewRef(own_size == 0 ? common : own);
    }
    PyObject* joined = PyTuple_New(common_size + own_size);
    if (joined != nullptr) {
        for (Py_ssize_t k = 0; k < common_size; ++k) {
            PyTuple_SET_ITEM(joined, k, Py_NewRef(PyTuple_GET_ITEM(common, k)));
        }
        for (Py_ssize_t k = 0; k < own_size; ++k) {
            PyTuple_SET_ITEM(joined, common_size + k, Py_NewRef(PyTuple_GET_ITEM(own, k)));
        }
    }
    return joined;
}

// self.ckwargs.copy(), updated with self.ikwargs[i] when ikwargs is not
// empty, then with self.varkwargs[name][i] for each name.
PyObject* Keywords(Held& held, PyObject* self, Py_ssize_t i) {
    PyObject* common = Read(held, self, kCkwargs);
    if (common == nullptr || !PyDict_CheckExact(common)) {
        return common == nullptr ? nullptr : Unhandled("ckwargs");
    }
    PyObject* keywords = PyDict_Copy(common);
    if (keywords == nullptr) {
        return nullptr;
    }
    PyObject* ikwargs = Read(held, self, kIkwargs);
    if (ikwargs == nullptr || !PyList_CheckExact(ikwargs)) {
        Py_DECREF(keywords);
        return ikwargs == nullptr ? nullptr : Unhandled("ikwargs");
    }
    if (PyList_GET_SIZE(ikwargs) != 0) {
        ikwargs = Read(held, self, kIkwargs);
        if (ikwargs == nullptr || !PyList_CheckExact(ikwargs) || i >= PyList_GET_SIZE(ikwargs) ||
            !PyDict_CheckExact(PyList_GET_ITEM(ikwargs, i))) {
            Py_DECREF(keywords);
            return ikwargs == nullptr ? nullptr : Unhandled("ikwargs[i]");
        }
        // Comparing keys may run Python code, which may drop the list.
        PyObject* own = Py_NewRef(PyList_GET_ITEM(ikwargs, i));
        const int status = PyDict_Update(keywords, own);
        Py_DECREF(own);
        if (status < 0) {
            Py_DECREF(keywords);
            return nullptr;
        }
    }
    PyObject* varkwargs = Read(held, self, kVarkwargs);
    if (varkwargs == nullptr || !PyDict_CheckExact(varkwargs)) {
        Py_DECREF(keywords);
        return varkwargs == nullptr ? nullptr : Unhandled("varkwargs");
    }
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* values;
    while (PyDict_Next(varkwargs, &position, &name, &values)) {
        // String keys and list values: no Python code runs while walking.
        if (!PyUnicode_CheckExact(name) || !PyList_CheckExact(values) || i >= PyList_GET_SIZE(values) ||
            PyDict_SetItem(keywords, name, PyList_GET_ITEM(values, i)) < 0) {
            Py_DECREF(keywords);
            return PyErr_Occurred() ? nullptr : Unhandled("varkwargs values");
        }
    }
    return keywords;
}

PyObject* ArgumentSet(PyObject* target, PyObject* positional, PyObject* keywords) {
    PyObject* entry = PyDict_New();
    if (entry != nullptr && (PyDict_SetItem(entry, target_key, target) < 0 ||
                             PyDict_SetItem(entry, args_key, positional) < 0 ||
                             PyDict_SetItem(entry, kwargs_key, keywords) < 0)) {
        Py_CLEAR(entry);
    }
    return entry;
}

PyObject* BuildArguments(PyObject*, PyObject* self) {
    PyObject* targets = PyObject_GetAttr(self, attribute_names[kTargets]);
    if (targets == nullptr) {
        return nullptr;
    }
    const bool single_target = PyCallable_Check(targets);
    Py_DECREF(targets);
    const Py_ssize_t count = InstanceCount(self, single_target);
    if (count < 0 || (targets = PyObject_GetAttr(self, attribute_names[kTargets])) == nullptr) {
        return nullptr;
    }
    PyObject* target_source = single_target ? PyObject_CallOneArg(repeat, targets) : PyObject_GetIter(targets);
    Py_DECREF(targets);
    if (target_source == nullptr) {
        return nullptr;
    }
    // Filled in place: nobody sees the list before it is complete.
    PyObject* argument_sets = PyList_New(count);
    for (Py_ssize_t i = 0; argument_sets != nullptr && i < count; ++i) {
        PyObject* entry = nullptr;
        {
            Held held;
            PyObject* positional = Positional(held, self, i);
            PyObject* keywords = positional != nullptr ? Keywords(held, self, i) : nullptr;
            PyObject* target = keywords != nullptr ? Py_TYPE(target_source)->tp_iternext(target_source) : nullptr;
            if (target == nullptr && keywords != nullptr && !PyErr_Occurred()) {
                PyErr_SetNone(PyExc_StopIteration);
            }
            entry = target != nullptr ? ArgumentSet(target, positional, keywords) : nullptr;
            Py_XDECREF(target);
            Py_XDECREF(keywords);
            Py_XDECREF(positional);
        }
        if (entry == nullptr) {
            Py_CLEAR(argument_sets);
            break;
        }
        PyList_SET_ITEM(argument_sets, i, entry);
    }
    Py_DECREF(target_source);
    return argument_sets;
}

PyMethodDef methods[] = {
    {"build_arguments", BuildArguments, METH_O, "build_arguments(pcall): Pcall._build_arguments() at its floor."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor_build_arguments", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_floor_build_arguments() {
    for (int attribute = 0; attribute < kAttributes; ++attribute) {
        if ((attribute_names[attribute] = PyUnicode_InternFromString(kAttributeNames[attribute])) == nullptr) {
            return nullptr;
        }
    }
    target_key = PyUnicode_InternFromString("target");
    args_key = PyUnicode_InternFromString("args");
    kwargs_key = PyUnicode_InternFromString("kwargs");
    PyObject* itertools = PyImport_ImportModule("itertools");
    if (target_key == nullptr || args_key == nullptr || kwargs_key == nullptr || itertools == nullptr) {
        return nullptr;
    }
    repeat = PyObject_GetAttrString(itertools, "repeat");
    Py_DECREF(itertools);
    if (repeat == nullptr) {
        return nullptr;
    }
    // A prototype trusts the layouts the project's cache knows; the project
    // itself checks them at load.
    quelbrin::inline_values::enabled = quelbrin::inline_values::kLayoutKnown;
    return PyModule_Create(&module_def);
}
