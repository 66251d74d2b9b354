// Test-only extension: exposes the loader's multiplicity tables, the
// binomial evaluation of an arbitrary histogram and a reference evaluation
// that calls Boost.Math at every step, without touching the public module.
// Built by CMake with the test-only builds, against the portable core and the
// module's argument parsing, as tessarin._probe.
#include <math.h>

#include <algorithm>
#include <boost/math/distributions/binomial.hpp>
#include <exception>
#include <vector>

#include "binomial_significance.h"
#include "call.h"
#include "common.h"
#include "data_set.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tessarin_ARRAY_API
#include <numpy/arrayobject.h>

// labellings(rvs, cdf=None, ..., permutation_samples=0, draw_samples=False,
// seed=None): runs the full loader, as test() does, and returns
// (n, samples, size_x, size_y, counts_x bytes, counts_y bytes); each table is
// n x samples uint32, point-major.
static PyObject* labellings(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    TestCall call;
    DataSet d;
    CancelFlag flag;
    if (parse_test_call(args, kwargs, &call) || load_test_call(&call, &d, &flag)) return NULL;
    const Py_ssize_t bytes = (Py_ssize_t)(d.n * d.samples * sizeof(uint32_t));
    return Py_BuildValue("(KKKKy#y#)", (unsigned long long)d.n, (unsigned long long)d.samples,
                         (unsigned long long)d.size_x, (unsigned long long)d.size_y, (const char*)d.counts_x.get(),
                         bytes, (const char*)d.counts_y.get(), bytes);
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
    // Keys beyond size_x, which no scan produces, go to the map.
    significance_init_runtime(&runtime, size_x + 1);
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
    DataSet d = {};
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

// The exceedance probability as a plain transcription of its definition:
// Boost's pdf and tails at every step of the outward walk over the first
// sample, with the reach bounds formed in integers.
static double reference_tail(uint64_t c, int64_t x_size, int64_t y_size, double result) {
    const double lambda = (c + 1.0) / (x_size + 2.0);
    const boost::math::binomial dist1((double)x_size, lambda);
    const boost::math::binomial dist2((double)y_size, lambda);
    const int64_t start_iteration = (int64_t)floor(x_size * lambda);
    const double raw_units = nearbyint(result * (double)x_size * (double)y_size);
    const bool bounded = isfinite(raw_units) && x_size > 0;
    const __int128 raw = bounded ? (__int128)raw_units : 0;
    double brute2_sum = 0;
    for (int delta = -1; delta <= 1; delta += 2) {
        for (int64_t n_p = delta < 0 ? start_iteration - 1 : start_iteration; 0 <= n_p && n_p <= x_size;
             n_p += delta) {
            const double p1 = boost::math::pdf(dist1, (double)n_p);
            if (p1 < 1e-25) break;
            if (!bounded) continue;
            const __int128 centre = (__int128)y_size * n_p;
            const __int128 low = centre - raw, high = centre + raw;
            const int64_t from = low <= 0 ? 0 : (int64_t)((low + x_size - 1) / x_size);
            const int64_t to = high / x_size >= y_size ? y_size : (int64_t)(high / x_size);
            if (to < y_size) {
                brute2_sum += p1 * boost::math::cdf(boost::math::complement(dist2, (double)to));
            }
            if (from > 0) brute2_sum += p1 * boost::math::cdf(dist2, (double)(from - 1));
        }
    }
    return brute2_sum;
}

// reference_exceedance(c, size_x, size_y, D)
static PyObject* reference_exceedance(PyObject* self, PyObject* args) {
    (void)self;
    unsigned long long c;
    long long size_x, size_y;
    double D;
    if (!PyArg_ParseTuple(args, "KLLd", &c, &size_x, &size_y, &D)) return NULL;
    try {
        return PyFloat_FromDouble(reference_tail(c, size_x, size_y, D));
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return NULL;
    }
}

// reference_finalize(histogram, size_x, size_y, D): one thread, entries in
// key order, 1 - exp of the summed logarithms.
static PyObject* reference_finalize(PyObject* self, PyObject* args) {
    (void)self;
    PyObject* histogram;
    long long size_x, size_y;
    double D;
    if (!PyArg_ParseTuple(args, "O!LLd", &PyDict_Type, &histogram, &size_x, &size_y, &D)) return NULL;
    std::vector<std::pair<unsigned long long, unsigned long long>> entries;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(histogram, &pos, &key, &value)) {
        entries.emplace_back(PyLong_AsUnsignedLongLong(key), PyLong_AsUnsignedLongLong(value));
        if (PyErr_Occurred()) return NULL;
    }
    std::sort(entries.begin(), entries.end());
    double log_p_D = 0;
    try {
        for (const auto& entry : entries) {
            log_p_D += log1p(-reference_tail(entry.first, size_x, size_y, D)) * (double)entry.second;
        }
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return NULL;
    }
    return PyFloat_FromDouble(1.0 - exp(log_p_D));
}

// exceedance(c, size_x, size_y, D): (probability, Boost calls, recurrence
// steps, whether the second sample's tails came from Boost at every step).
static PyObject* exceedance(PyObject* self, PyObject* args) {
    (void)self;
    unsigned long long c;
    long long size_x, size_y;
    double D;
    if (!PyArg_ParseTuple(args, "KLLd", &c, &size_x, &size_y, &D)) return NULL;
    ExceedanceScratch scratch;
    ExceedanceCost cost;
    double p;
    reset_worker_error();
    if (significance_exceedance(c, size_x, size_y, D, &scratch, &p, &cost) != 0) {
        PyErr_SetString(PyExc_RuntimeError, error_buffer);
        return NULL;
    }
    return Py_BuildValue("(dKKO)", p, (unsigned long long)cost.special_calls,
                         (unsigned long long)cost.recurrence_steps, cost.direct_tails ? Py_True : Py_False);
}

static PyMethodDef ProbeMethods[] = {
    {"labellings", (PyCFunction)(void (*)(void))labellings, METH_VARARGS | METH_KEYWORDS, NULL},
    {"finalize", finalize, METH_VARARGS, NULL},
    {"exceedance", exceedance, METH_VARARGS, NULL},
    {"reference_exceedance", reference_exceedance, METH_VARARGS, NULL},
    {"reference_finalize", reference_finalize, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef probemodule = {PyModuleDef_HEAD_INIT, "tessarin._probe", NULL, -1, ProbeMethods,
                                         NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__probe(void) {
    if (_import_array() < 0) return NULL;
    return PyModule_Create(&probemodule);
}
