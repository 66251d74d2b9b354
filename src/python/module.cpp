// The extension module: its method table and initialisation, the test call
// from parsed arguments to the returned value, the signal handlers that
// stop a computation, cancellation and progress.
#include "call.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tessarin_ARRAY_API
#include <numpy/arrayobject.h>

#include <pthread.h>
#include <signal.h>

#include "memory.h"
#include "tessarin.h"
#include "split_api.h"

namespace {

// The interpreter runs signal handlers only on its main thread; only calls
// made there take SIGINT and SIGALRM for themselves.
unsigned long main_thread_ident;

// Only clears the flag: the kernels and significance workers of the main
// thread's call stop at their next poll and the call reports the
// interruption.
void interrupt_handler(int) { set_keep_running(0); }

// A child forked while another thread computes inherits the locks in the
// state that thread left them; the child starts afresh instead, on the
// thread that forked, which the interpreter makes its main thread.
void reset_after_fork() {
    reset_common_state_after_fork();
    main_thread_ident = PyThread_get_thread_ident();
}

// Puts back the handlers that install_signal_handlers replaced.
struct SavedHandlers {
    void (*sigint)(int);
    void (*sigalrm)(int);
};

void restore_signal_handlers(const SavedHandlers* saved) {
    signal(SIGALRM, saved->sigalrm);
    signal(SIGINT, saved->sigint);
}

// Installs interrupt_handler for the main thread's call, with the
// interpreter lock still held. A signal that came before the installation
// was recorded by the interpreter, so the signals it holds are run before and
// after: a signal at any moment ends the call, with the interpreter's
// exception up to here and "Interrupted by signal" from here on. Returns -1
// with that exception set.
int install_signal_handlers(SavedHandlers* saved) {
    if (PyErr_CheckSignals() != 0) return -1;
    set_keep_running(1);
    saved->sigint = signal(SIGINT, interrupt_handler);
    saved->sigalrm = signal(SIGALRM, interrupt_handler);
    if (PyErr_CheckSignals() != 0) {
        restore_signal_handlers(saved);
        return -1;
    }
    return 0;
}

// The value test returns: the dict of details=True, or the statistic alone,
// or a tuple of it and the p-values asked for.
PyObject* test_value(const TestResult* res, const Options* options, const DataSet* data) {
    if (options->details) return details_dict(res, options, data->rvs_rows, data->samples - 1);
    const bool binomial = options->calculate_binomial_significance;
    const bool permutation = options->permutation_significance != 0;
    if (binomial && permutation) {
        return Py_BuildValue("(d,d,d)", res->value, res->binomial_significance, res->permutation_significance);
    }
    if (binomial) return Py_BuildValue("(d,d)", res->value, res->binomial_significance);
    if (permutation) return Py_BuildValue("(d,d)", res->value, res->permutation_significance);
    return Py_BuildValue("d", res->value);
}

PyObject* tessarin_test(PyObject*, PyObject* args, PyObject* kwargs) {
    // Declared first, so that it goes last: the mappings of the call's
    // tables, kept for reuse within the call, go back to the system.
    const LargeCacheRelease release_cache;
    TestCall call;
    DataSet data;
    CancelFlag flag;
    if (parse_test_call(args, kwargs, &call) || load_test_call(&call, &data, &flag)) return NULL;
    const Options& options = call.options;
    const bool on_main_thread = PyThread_get_thread_ident() == main_thread_ident;
    SavedHandlers saved = {SIG_DFL, SIG_DFL};
    if (on_main_thread && install_signal_handlers(&saved) != 0) return NULL;

    TestResult res;
    Error error;
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status = tessarin::run(data, options, &res, &error, on_main_thread ? &keepRunning : nullptr);
    if (on_main_thread) restore_signal_handlers(&saved);
    Py_END_ALLOW_THREADS;
    if (status != 0) return raise_core_error(error);
    return test_value(&res, &options, &data);
}

// cancel(flag): sets the first byte of a writable buffer, such as
// bytearray(1), that was or will be passed to test() as `cancel`, so that the
// computation stops at its next poll. Safe to call from any thread while the
// computation runs.
PyObject* tessarin_cancel(PyObject*, PyObject* flag) {
    Py_buffer view;
    if (PyObject_GetBuffer(flag, &view, PyBUF_WRITABLE) != 0) return NULL;
    if (view.len > 0) __atomic_store_n((unsigned char*)view.buf, 1, __ATOMIC_RELAXED);
    PyBuffer_Release(&view);
    if (view.len < 1) {
        PyErr_SetString(PyExc_ValueError, "cancel flag should hold at least one byte");
        return NULL;
    }
    Py_RETURN_NONE;
}

// The units of work done and to do by the running computation (or by the
// last one): any thread may ask while a computation runs without the
// interpreter lock.
PyObject* tessarin_progress(PyObject*, PyObject*) {
    return Py_BuildValue("(KK)", (unsigned long long)progress_done(), (unsigned long long)progress_total());
}

PyMethodDef TessarinMethods[] = {
    {"test", (PyCFunction)(void (*)(void))tessarin_test, METH_VARARGS | METH_KEYWORDS, "Run tessarin test"},
    {"cancel", tessarin_cancel, METH_O, "Cancel the computations given this flag"},
    {"progress", tessarin_progress, METH_NOARGS, "Units of work done and to do by the running computation"},
    {"prepare", (PyCFunction)(void (*)(void))tessarin_prepare, METH_VARARGS | METH_KEYWORDS,
     "Load a data set for partial computations; takes the arguments of test"},
    {"describe", (PyCFunction)tessarin_describe, METH_O,
     "The units a prepared data set splits into, its scan path and its digest"},
    {"partial", (PyCFunction)(void (*)(void))tessarin_partial, METH_VARARGS | METH_KEYWORDS,
     "Partial result (maxima, histogram keys, weights) of the units [first, end)"},
    {"merge", (PyCFunction)tessarin_merge, METH_VARARGS, "Merge two partial results"},
    {"finish", (PyCFunction)(void (*)(void))tessarin_finish, METH_VARARGS | METH_KEYWORDS,
     "The details dict of test from the merged partial result of all units"},
    {NULL, NULL, 0, NULL}};

// SCAN_PATHS: the names of the scan paths, in the order the automatic choice
// tries them, as `scan` takes them and details["scan"] reports them.
int add_scan_paths(PyObject* module) {
    PyObject* names = PyTuple_New(SCAN_PATH_COUNT);
    for (int p = 0; names && p < SCAN_PATH_COUNT; p++) {
        PyObject* name = PyUnicode_FromString(scan_paths[p].name);
        if (!name) Py_CLEAR(names);
        else PyTuple_SET_ITEM(names, p, name);
    }
    if (!names || PyModule_AddObject(module, "SCAN_PATHS", names) != 0) {
        Py_XDECREF(names);
        return -1;
    }
    return 0;
}

struct PyModuleDef tessarinmodule = {PyModuleDef_HEAD_INIT, "tessarin." TESSARIN_NAME(TESSARIN_MODULE), NULL, -1,
                                     TessarinMethods, NULL, NULL, NULL, NULL};

}  // namespace

#define TESSARIN_CONCAT(a, b) a##b
#define TESSARIN_INIT_NAME(name) TESSARIN_CONCAT(PyInit_, name)

PyMODINIT_FUNC TESSARIN_INIT_NAME(TESSARIN_MODULE)(void) {
    static bool fork_handler_installed = false;
    if (!fork_handler_installed) {
        if (pthread_atfork(NULL, NULL, reset_after_fork) != 0) {
            PyErr_SetString(PyExc_ImportError, "could not register the fork handler");
            return NULL;
        }
        fork_handler_installed = true;
    }
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main_thread = threading ? PyObject_CallMethod(threading, "main_thread", NULL) : NULL;
    PyObject* ident = main_thread ? PyObject_GetAttrString(main_thread, "ident") : NULL;
    main_thread_ident = ident ? PyLong_AsUnsignedLong(ident) : 0;
    Py_XDECREF(ident);
    Py_XDECREF(main_thread);
    Py_XDECREF(threading);
    if (PyErr_Occurred()) return NULL;
    if (_import_array() < 0) return NULL;
    PyObject* module = PyModule_Create2(&tessarinmodule, 1013);
    if (module && add_scan_paths(module) != 0) Py_CLEAR(module);
    return module;
}
