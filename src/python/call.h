// The extension module's side of a call: its arguments parsed and checked
// into the core's records, the exceptions it raises, and the pieces shared
// by the module's functions.
#ifndef TESSARIN_PYTHON_CALL_H
#define TESSARIN_PYTHON_CALL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common.h"
#include "data_set.h"
#include "workers.h"

// The arrays a call converted for the loader to read in place (new
// references, or null), released when the call is done with them.
struct ConvertedArrays {
    PyObject* rvs = nullptr;
    PyObject* cdf = nullptr;
    PyObject* counts_rvs = nullptr;
    PyObject* counts_cdf = nullptr;
    ConvertedArrays() = default;
    ConvertedArrays(const ConvertedArrays&) = delete;
    ConvertedArrays& operator=(const ConvertedArrays&) = delete;
    ~ConvertedArrays() { release(); }
    void release() {
        Py_CLEAR(rvs);
        Py_CLEAR(cdf);
        Py_CLEAR(counts_rvs);
        Py_CLEAR(counts_cdf);
    }
};

// The caller's cancellation flag, held as a buffer so that it can neither
// move nor vanish while the workers read it.
struct CancelFlag {
    Py_buffer view;
    bool held = false;
    CancelFlag() = default;
    CancelFlag(const CancelFlag&) = delete;
    CancelFlag& operator=(const CancelFlag&) = delete;
    ~CancelFlag() { release(); }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
    unsigned char* byte() const { return held ? (unsigned char*)view.buf : nullptr; }
};

// A call of test or prepare: its arguments as the loader takes them, and
// what the call keeps of the caller's objects.
struct TestCall {
    Options options;
    Input input;
    ConvertedArrays arrays;
    PyObject* cancel = nullptr;  // borrowed, until taken into `flag`
    char scan[32] = "";
};

// Parses and checks the arguments of test or prepare and converts the arrays
// for the loader. Returns 0, or -1 with an exception set.
[[nodiscard]] int parse_test_call(PyObject* args, PyObject* kwargs, TestCall* call);

// Loads the call's data set with the interpreter lock held, then releases
// the converted arrays and takes the cancellation flag into `flag` and the
// options. Returns 0, or -1 with an exception set.
[[nodiscard]] int load_test_call(TestCall* call, DataSet* data, CancelFlag* flag);

// Raises a core failure as its documented exception (a stop asked for by the
// interpreter's signal check has its exception set already). Returns null.
PyObject* raise_core_error(const Error& error);

// The dict result of details=True.
PyObject* details_dict(const TestResult* result, const Options* options, uint64_t rvs_rows, uint64_t resampled);

#endif
