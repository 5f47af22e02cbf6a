/* callgrind's counters, controlled from Python: the instruction-count
 * benchmarks zero them before each measured region and dump them after it,
 * so that what the interpreter does before and between regions (start-up,
 * imports, set-up, warm-up) is never counted.  Outside valgrind every call
 * does nothing. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

/* With --instr-atstart=no, start-up runs uninstrumented, several times
 * faster; counting needs instrumentation from here on. */
static PyObject* start_instrumentation(PyObject* module, PyObject* unused) {
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyObject* zero(PyObject* module, PyObject* unused) {
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

/* Writes the counts since the last zero or dump to a file of their own,
 * whose `desc:` line carries `label`. */
static PyObject* dump(PyObject* module, PyObject* label) {
    const char* text = PyUnicode_AsUTF8(label);
    if (text == NULL) {
        return NULL;
    }
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject* under_valgrind(PyObject* module, PyObject* unused) {
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"start_instrumentation", start_instrumentation, METH_NOARGS, "Starts callgrind's instrumentation."},
    {"zero", zero, METH_NOARGS, "Zeroes callgrind's counters."},
    {"dump", dump, METH_O, "Dumps callgrind's counters under a label."},
    {"under_valgrind", under_valgrind, METH_NOARGS, "Whether the process runs under valgrind."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "counters", NULL, 0, methods};

PyMODINIT_FUNC PyInit_counters(void) { return PyModule_Create(&module); }
