// Placeholder: the module is being built.
#define QUELBRIN_FUNCTION_TYPE_NAME "quelbrin.async_.tandemix.function"
#include "function.hpp"
#include "module.hpp"

namespace {
quelbrin::ProcessModule process_module("tandemix");

PyObject* create_module(PyObject* spec, PyModuleDef*) { return process_module.create(spec); }
int exec_module(PyObject* module) {
    return process_module.exec(module, [](PyObject*) { quelbrin::ReadyFunctionType(); });
}
PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tandemix", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_tandemix() { return PyModuleDef_Init(&module_def); }
