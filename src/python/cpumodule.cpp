// The `_cpu` module: the processor check, for the Python dispatch to pick a
// build before importing it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#include "cpu_features.h"

static PyObject* can_run(PyObject* self, PyObject* arg) {
    (void)self;
    const char* name = PyUnicode_Check(arg) ? PyUnicode_AsUTF8(arg) : NULL;
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "the build should be named by a str");
        return NULL;
    }
    CpuBuild build;
    if (strcmp(name, "portable") == 0) {
        build = CPU_BUILD_PORTABLE;
    } else if (strcmp(name, "avx2") == 0) {
        build = CPU_BUILD_AVX2;
    } else if (strcmp(name, "avx512") == 0) {
        build = CPU_BUILD_AVX512;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown build %R", arg);
        return NULL;
    }
    return PyBool_FromLong(cpu_can_run(build));
}

static PyMethodDef CpuMethods[] = {
    {"can_run", can_run, METH_O,
     "can_run(build)\n\nTrue when this processor and operating system can run the named build "
     "('portable', 'avx2' or 'avx512'): its instructions are present and the operating system saves "
     "their registers."},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef cpumodule = {PyModuleDef_HEAD_INIT, "_cpu", NULL, -1, CpuMethods,
                                       NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__cpu(void) { return PyModule_Create(&cpumodule); }
