// A test in parts, for computations spread over several processes or
// machines: `prepare` loads a data set once, `partial` computes the partial
// result of a block of units (corners, or labellings, as the scan path's row
// says) with every labelling, `merge` combines two partial results and
// `finish` turns the merged result of all units into what `test` returns with
// details=True. A partial result is a tuple of three uint64 arrays: the
// result array of the kernels (2 x samples maxima and the location words)
// and the histogram part of the binomial significance as its keys, in
// ascending order, and their summed weights. The local test call runs the
// same pieces: run_workers for the block of all units, merging between its
// threads, and finish_test.
#ifndef TESSARIN_PYTHON_SPLIT_API_H
#define TESSARIN_PYTHON_SPLIT_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define TESSARIN_STRING(name) #name
#define TESSARIN_NAME(name) TESSARIN_STRING(name)

PyObject* tessarin_prepare(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tessarin_describe(PyObject* self, PyObject* arg);
PyObject* tessarin_partial(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tessarin_merge(PyObject* self, PyObject* args);
PyObject* tessarin_finish(PyObject* self, PyObject* args, PyObject* kwargs);

#endif
