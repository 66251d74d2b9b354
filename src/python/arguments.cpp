// The arguments of test and prepare: parsed over the option defaults,
// checked, and converted into the records the core's loader reads.
#include "call.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL tessarin_ARRAY_API
#include <numpy/arrayobject.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

bool can_cast_safely(PyObject* array, int typenum) {
    PyArray_Descr* to = PyArray_DescrFromType(typenum);
    const bool ok = PyArray_CanCastTypeTo(PyArray_DESCR((PyArrayObject*)array), to, NPY_SAFE_CASTING);
    Py_DECREF(to);
    return ok;
}

char type_kind(PyObject* array) { return PyArray_DESCR((PyArrayObject*)array)->kind; }
char type_char(PyObject* array) { return PyArray_DESCR((PyArrayObject*)array)->type; }
unsigned long ndims(PyObject* array) { return (unsigned long)PyArray_NDIM((PyArrayObject*)array); }
npy_intp extent(PyObject* array, int axis) { return PyArray_DIM((PyArrayObject*)array, axis); }

// The element type the coordinates are read as: the first of int32, int64
// and double that rvs casts to safely, or -1 when none.
int coordinate_type(PyObject* rvs) {
    if (can_cast_safely(rvs, NPY_INT)) return NPY_INT;
    if (can_cast_safely(rvs, NPY_LONG)) return NPY_LONG;
    if (can_cast_safely(rvs, NPY_DOUBLE)) return NPY_DOUBLE;
    return -1;
}

int check_points(PyObject* rvs, PyObject* cdf, PyObject* counts_cdf) {
    if (!PyArray_Check(rvs)) {
        PyErr_SetString(PyExc_TypeError, "rvs should be an numpy array");
        return -1;
    }
    if (ndims(rvs) != 2) return PyErr_Format(PyExc_ValueError, "rvs should be two dimensional (not %lu)", ndims(rvs)), -1;
    const unsigned long d = (unsigned long)extent(rvs, 1);
    if (d > 63) return PyErr_Format(PyExc_ValueError, "at most 63 element dimensions are supported (got: %lu)", d), -1;
    const int type = coordinate_type(rvs);
    if (type < 0) {
        PyErr_SetString(PyExc_TypeError, "rvs values should be castable to int32, int64 or double");
        return -1;
    }
    if (!cdf) {
        if (counts_cdf) return 0;
        PyErr_SetString(PyExc_AssertionError, "cdf should be provided by cdf or count_cdf argument (both were None)");
        return -1;
    }
    if (!PyArray_Check(cdf)) {
        PyErr_SetString(PyExc_TypeError, "cdf should be an numpy array");
        return -1;
    }
    if (ndims(cdf) != 2) return PyErr_Format(PyExc_ValueError, "cdf should be two dimensional (not %lu)", ndims(cdf)), -1;
    if ((unsigned long)extent(cdf, 1) != d) {
        PyErr_Format(PyExc_ValueError, "cdf-s elements dimension should be the same as rvs (rvs: %ld, cdf: %ld)",
                     (long)d, (long)extent(cdf, 1));
        return -1;
    }
    if (!can_cast_safely(cdf, type)) {
        PyErr_Format(PyExc_TypeError, "mismatched types of rvs (%c%c) and cdf (%c%c)", type_kind(rvs), type_char(rvs),
                     type_kind(cdf), type_char(cdf));
        return -1;
    }
    return 0;
}

// `what` names the points the counts belong to in the length message.
int check_counts(PyObject* counts, const char* name, unsigned long expected, const char* length_message) {
    if (!PyArray_Check(counts)) return PyErr_Format(PyExc_TypeError, "%s should be an numpy array", name), -1;
    if (ndims(counts) != 1) {
        return PyErr_Format(PyExc_ValueError, "%s should be one-dimensional (not %lu)", name, ndims(counts)), -1;
    }
    if ((unsigned long)extent(counts, 0) != expected) {
        PyErr_Format(PyExc_ValueError, length_message, (unsigned long)extent(counts, 0), expected);
        return -1;
    }
    if (!can_cast_safely(counts, NPY_LONG)) {
        PyErr_Format(PyExc_TypeError, "%s should have element type castable to int64 (got: %c%c)", name,
                     type_kind(counts), type_char(counts));
        return -1;
    }
    return 0;
}

// Refuses malformed arrays with the message that names the argument.
int validate_inputs(PyObject* rvs, PyObject* cdf, PyObject* counts_rvs, PyObject* counts_cdf) {
    if (check_points(rvs, cdf, counts_cdf)) return -1;
    const unsigned long n1 = (unsigned long)extent(rvs, 0);
    if (counts_rvs && check_counts(counts_rvs, "counts_rvs", n1,
                                   "counts_rvs should have one value for each rvs element (got %lu counts for "
                                   "%lu rvs element)")) {
        return -1;
    }
    if (!counts_cdf) return 0;
    if (!cdf) {
        return check_counts(counts_cdf, "counts_cdf", n1,
                            "counts_cdf should have one value for each rvs element when cdf is not given "
                            "(got %lu counts for %lu rvs elements)");
    }
    return check_counts(counts_cdf, "counts_cdf", (unsigned long)extent(cdf, 0),
                        "counts_cdf should have one value for each cdf element (got %lu counts for "
                        "%lu cdf elements)");
}

// Converts to the given type; an array whose elements are not aligned for
// their type is copied, so that the loader reads every element through a
// properly aligned pointer. Null with an exception set on failure.
PyObject* convert_array(PyObject* array, int typenum) {
    return PyArray_FromAny(array, PyArray_DescrFromType(typenum), 0, 0, NPY_ARRAY_ALIGNED, NULL);
}

PointArray point_array(PyObject* converted) {
    PyArrayObject* a = (PyArrayObject*)converted;
    PointArray view;
    view.base = PyArray_BYTES(a);
    view.rows = (uint64_t)PyArray_DIM(a, 0);
    view.columns = (uint64_t)PyArray_DIM(a, 1);
    view.row_stride = PyArray_STRIDE(a, 0);
    view.column_stride = view.columns ? PyArray_STRIDE(a, 1) : 0;
    return view;
}

CountArray count_array(PyObject* converted) {
    PyArrayObject* a = (PyArrayObject*)converted;
    CountArray view;
    view.base = PyArray_BYTES(a);
    view.length = (uint64_t)PyArray_DIM(a, 0);
    view.stride = PyArray_STRIDE(a, 0);
    return view;
}

// Converts the checked arrays into the types the loader reads and points
// the input at them.
int convert_inputs(TestCall* call, PyObject* rvs, PyObject* cdf, PyObject* counts_rvs, PyObject* counts_cdf) {
    const int type = coordinate_type(rvs);
    const char* const what[4] = {"load_data[data_np]", "load_data[data2_np]", "load_counts_x[counts_x_np]",
                                 "load_counts_y[counts_y_np]"};
    PyObject* sources[4] = {rvs, cdf, counts_rvs, counts_cdf};
    PyObject** targets[4] = {&call->arrays.rvs, &call->arrays.cdf, &call->arrays.counts_rvs, &call->arrays.counts_cdf};
    for (int k = 0; k < 4; k++) {
        if (!sources[k]) continue;
        if (!(*targets[k] = convert_array(sources[k], k < 2 ? type : NPY_LONG))) {
            // Values to rank keep the conversion's own exception.
            if (k < 2 && type != NPY_INT) return -1;
            PyErr_Format(PyExc_RuntimeError, "out of memory error - %s", what[k]);
            return -1;
        }
    }
    Input* input = &call->input;
    input->type = type == NPY_INT ? ValueType::int32 : type == NPY_LONG ? ValueType::int64 : ValueType::float64;
    input->rvs = point_array(call->arrays.rvs);
    input->has_cdf = cdf != nullptr;
    if (cdf) input->cdf = point_array(call->arrays.cdf);
    input->has_counts_rvs = counts_rvs != nullptr;
    if (counts_rvs) input->counts_rvs = count_array(call->arrays.counts_rvs);
    input->has_counts_cdf = counts_cdf != nullptr;
    if (counts_cdf) input->counts_cdf = count_array(call->arrays.counts_cdf);
    return 0;
}

// The permutation draws come from the process-wide rand() sequence, or from
// the call's own generator when a seed was passed.
int apply_seed(PyObject* seed, Input* input) {
    input->seeded = false;
    if (!seed || seed == Py_None) return 0;
    unsigned long long value = PyLong_Check(seed) ? PyLong_AsUnsignedLongLong(seed) : (unsigned long long)-1;
    if (PyErr_Occurred() || value > UINT32_MAX) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "seed should be None or an integer from 0 to 4294967295");
        return -1;
    }
    input->seeded = true;
    input->seed = (uint32_t)value;
    return 0;
}

// The scan path to force: the `scan` keyword, or else the TESSARIN_SCAN
// environment variable (read here, with the interpreter lock held).
int apply_scan(PyObject* scan, TestCall* call) {
    const char* name = nullptr;
    call->input.scan_setting = "scan";
    if (scan && scan != Py_None) {
        if (!PyUnicode_Check(scan)) {
            PyErr_SetString(PyExc_TypeError, "scan should be None or the name of a scan path");
            return -1;
        }
        if (!(name = PyUnicode_AsUTF8(scan))) return -1;
    } else if ((name = getenv("TESSARIN_SCAN"))) {
        call->input.scan_setting = "TESSARIN_SCAN";
    }
    if (name) {
        snprintf(call->scan, sizeof(call->scan), "%s", name);
        call->input.scan = call->scan;
    }
    const char* bits = getenv("TESSARIN_BUCKET_BITS");
    call->input.bucket_bits = bits ? (uint32_t)std::min(31l, std::max(0l, strtol(bits, NULL, 10))) : 0;
    return 0;
}

// The interpreter's pending signals, asked for by the loader between items.
bool signal_pending(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace

// Besides the options of the test itself, `seed` starts a generator of the
// call's own for the permutation samples, `details` asks for a dict result,
// `cancel` is a flag another thread may set to stop the computation and
// `scan` forces a scan path. `debug` is accepted and has no effect.
int parse_test_call(PyObject* args, PyObject* kwargs, TestCall* call) {
    static const char* kwlist[] = {"",      "cdf",  "counts_rvs", "counts_cdf", "n_jobs", "permutation_samples",
                                   "binomial_significance", "max_alpha_beta", "scale_result", "deduplicate_data",
                                   "draw_samples", "debug", "seed", "details", "cancel", "scan", NULL};
    PyObject *rvs = NULL, *cdf = NULL, *counts_rvs = NULL, *counts_cdf = NULL, *seed = NULL, *cancel = NULL,
             *scan = NULL;
    int n_jobs = 1, permutation_samples = 0;
    unsigned char binomial = 0, max_alpha_beta = 1, scale_result = 0, deduplicate = 1, draw = 0, debug = 0,
                  details = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOiibbbbbbObOO", const_cast<char**>(kwlist), &rvs, &cdf,
                                     &counts_rvs, &counts_cdf, &n_jobs, &permutation_samples, &binomial,
                                     &max_alpha_beta, &scale_result, &deduplicate, &draw, &debug, &seed, &details,
                                     &cancel, &scan)) {
        return -1;
    }
    (void)debug;
    if (cancel == Py_None) cancel = NULL;
    if (cancel && !PyObject_CheckBuffer(cancel)) {
        PyErr_SetString(PyExc_TypeError, "cancel should be a writable buffer such as bytearray(1)");
        return -1;
    }
    // Negative values would wrap to huge unsigned thread and sample counts.
    if (n_jobs < 1) return PyErr_Format(PyExc_ValueError, "n_jobs should be at least 1 (got %d)", n_jobs), -1;
    if (permutation_samples < 0) {
        PyErr_Format(PyExc_ValueError, "permutation_samples should be at least 0 (got %d)", permutation_samples);
        return -1;
    }
    Options* options = &call->options;
    options->thread_no = (uint32_t)n_jobs;
    options->permutation_significance = (uint32_t)permutation_samples;
    options->calculate_binomial_significance = binomial != 0;
    options->max_alpha_beta = max_alpha_beta != 0;
    options->scale_result = scale_result != 0;
    options->deduplicate_data = deduplicate != 0;
    options->draw_samples = draw != 0;
    options->details = details != 0;
    call->cancel = cancel;
    // A build this processor cannot run is refused before anything else.
    Error error;
    if (check_processor(&error)) return raise_core_error(error), -1;
    if (validate_inputs(rvs, cdf, counts_rvs, counts_cdf) || apply_seed(seed, &call->input) ||
        apply_scan(scan, call)) {
        return -1;
    }
    return convert_inputs(call, rvs, cdf, counts_rvs, counts_cdf);
}

int load_test_call(TestCall* call, DataSet* data, CancelFlag* flag) {
    Error error;
    call->input.stop = {signal_pending, nullptr};
    const int status = load_data_set(call->input, &call->options, data, &error);
    call->arrays.release();
    if (status != 0) return raise_core_error(error), -1;
    if (call->cancel) {
        if (PyObject_GetBuffer(call->cancel, &flag->view, PyBUF_WRITABLE) != 0) return -1;
        flag->held = true;
        if (flag->view.len < 1) {
            PyErr_SetString(PyExc_ValueError, "cancel should hold at least one byte");
            return -1;
        }
        call->options.cancel = flag->byte();
    }
    return 0;
}

PyObject* raise_core_error(const Error& error) {
    switch (error.kind) {
        case ErrorKind::stopped:
            // A stop the interpreter's signal check asked for has its
            // exception set already.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, error.message);
            break;
        case ErrorKind::value: PyErr_SetString(PyExc_ValueError, error.message); break;
        default: PyErr_SetString(PyExc_RuntimeError, error.message); break;
    }
    return NULL;
}
