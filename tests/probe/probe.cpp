// Test-only extension: exposes the loader's multiplicity tables and the
// binomial evaluation of an arbitrary histogram, without touching the public
// module. Built by tests/probe/build.py.
#include "binomial_significance.h"
#include "common.h"
#include "data.h"

// labellings(rvs, cdf=None, ..., permutation_samples=0, draw_samples=False,
// seed=None): runs the full loader, as test() does, and returns
// (n, samples, size_x, size_y, counts_x bytes, counts_y bytes); each table is
// n x samples uint32, point-major.
static PyObject* labellings(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    Data d;
    Options options;
    if (load_data(&d, &options, args, kwargs, false) != 0) return NULL;
    const Py_ssize_t bytes = (Py_ssize_t)(d.n * d.samples * sizeof(uint32_t));
    PyObject* result = Py_BuildValue("(KKKKy#y#)", (unsigned long long)d.n,
                                     (unsigned long long)d.samples, (unsigned long long)d.size_x,
                                     (unsigned long long)d.size_y, (const char*)d.counts_x, bytes,
                                     (const char*)d.counts_y, bytes);
    free_data(&d, &options);
    return result;
}

// finalize(histogram, size_x, size_y, D, n_jobs): the binomial significance
// of {first-sample orthant count: summed corner weight} against D.
static PyObject* finalize(PyObject* self, PyObject* args) {
    (void)self;
    PyObject* histogram;
    unsigned long long size_x, size_y;
    double D;
    unsigned int n_jobs;
    if (!PyArg_ParseTuple(args, "O!KKdI", &PyDict_Type, &histogram, &size_x, &size_y, &D, &n_jobs))
        return NULL;
    SignificanceRuntime runtime;
    significance_init_runtime(&runtime);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(histogram, &pos, &key, &value)) {
        const unsigned long long k = PyLong_AsUnsignedLongLong(key);
        const unsigned long long v = PyLong_AsUnsignedLongLong(value);
        if (PyErr_Occurred()) {
            significance_clear_runtime(&runtime);
            return NULL;
        }
        significance_add(&runtime, k, v);
    }
    Data d = {};
    d.size_x = size_x;
    d.size_y = size_y;
    Options options = {};
    options.thread_no = n_jobs;
    double p;
    Py_BEGIN_ALLOW_THREADS;
    keepRunning = 1;
    reset_worker_error();
    p = significance_finalize(D, &d, &options, &runtime);
    Py_END_ALLOW_THREADS;
    significance_clear_runtime(&runtime);
    if (p == -1.0) {
        PyErr_SetString(PyExc_RuntimeError, error_buffer);
        return NULL;
    }
    return PyFloat_FromDouble(p);
}

static PyMethodDef ProbeMethods[] = {
    {"labellings", (PyCFunction)(void (*)(void))labellings, METH_VARARGS | METH_KEYWORDS, NULL},
    {"finalize", finalize, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef probemodule = {PyModuleDef_HEAD_INIT, "probe", NULL, -1, ProbeMethods,
                                         NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_probe(void) {
    // data.cpp imported the NumPy C API while the library was loaded.
    if (PyErr_Occurred()) return NULL;
    return PyModule_Create(&probemodule);
}
