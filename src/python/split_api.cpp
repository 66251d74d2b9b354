// prepare, describe, partial, merge and finish (see split_api.h).
#include "split_api.h"

#include "call.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL tessarin_ARRAY_API
#include <numpy/arrayobject.h>

#include <string.h>

#include <new>

#include "maximum_location.h"
#include "scan_paths.h"
#include "tessarin.h"

namespace {

// Each build names its prepared data sets, so one build never reads another's.
const char* const PREPARED_NAME = "tessarin." TESSARIN_NAME(TESSARIN_MODULE) ".prepared";

// A loaded data set with the options it was loaded with and the caller's
// cancellation flag, held for as long as the data set.
struct PreparedTest {
    DataSet data;
    Options options;
    CancelFlag flag;
};

void free_prepared(PyObject* capsule) {
    PreparedTest* p = (PreparedTest*)PyCapsule_GetPointer(capsule, PREPARED_NAME);
    if (!p) {
        PyErr_Clear();
        return;
    }
    delete p;
    release_large_cache();
}

PreparedTest* prepared_from(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, PREPARED_NAME)) {
        PyErr_Format(PyExc_TypeError, "expected a data set prepared by %s.prepare", TESSARIN_NAME(TESSARIN_MODULE));
        return NULL;
    }
    return (PreparedTest*)PyCapsule_GetPointer(capsule, PREPARED_NAME);
}

// A 64-bit digest of everything a partial result depends on: the sizes, the
// way the units split, the coordinates, every labelling's multiplicities and
// the points' rows. Two processes that prepared the same call agree on it.
inline uint64_t digest_words(uint64_t h, const void* words, uint64_t bytes) {
    const unsigned char* b = (const unsigned char*)words;
    for (uint64_t i = 0; i < bytes; i++) h = (h ^ b[i]) * 0x100000001B3ull;
    return h;
}

uint64_t prepared_digest(const PreparedTest* p) {
    const DataSet* d = &p->data;
    const uint64_t head[6] = {d->n, d->d, d->samples, d->size_x, d->size_y,
                              scan_paths[p->options.scan].unit == WorkUnit::labellings};
    uint64_t h = digest_words(0xCBF29CE484222325ull, head, sizeof(head));
    h = digest_words(h, d->coordinates, d->n * d->d * sizeof(int32_t));
    h = digest_words(h, d->counts_x, d->n * d->samples * sizeof(uint32_t));
    h = digest_words(h, d->counts_y, d->n * d->samples * sizeof(uint32_t));
    return digest_words(h, d->origin, d->n * sizeof(uint64_t));
}

PyObject* uint64_array(uint64_t length) {
    const npy_intp dims[1] = {(npy_intp)length};
    return PyArray_SimpleNew(1, dims, NPY_UINT64);
}

uint64_t* array_words(PyObject* array) { return (uint64_t*)PyArray_DATA((PyArrayObject*)array); }
uint64_t array_length(PyObject* array) { return (uint64_t)PyArray_SIZE((PyArrayObject*)array); }

// The histogram as a partial result's keys and weights.
int histogram_arrays(SignificanceRuntime* r, PyObject** keys, PyObject** weights) {
    if (r) {
        significance_fold_dense(r);
        if (r->failed) {
            PyErr_NoMemory();
            return 1;
        }
    }
    const uint64_t size = r ? r->m_t->size() : 0;
    *keys = uint64_array(size);
    *weights = uint64_array(size);
    if (!*keys || !*weights) {
        Py_CLEAR(*keys);
        Py_CLEAR(*weights);
        return 1;
    }
    if (r) {
        uint64_t k = 0;
        for (const auto& entry : *r->m_t) {
            array_words(*keys)[k] = entry.first;
            array_words(*weights)[k++] = entry.second;
        }
    }
    return 0;
}

// Runs `body` as a computation with the interpreter lock released, but
// without signal handlers: these calls are made from the threads of a
// cluster's workers, where cancellation comes from the cluster, or from the
// prepared call's `cancel` flag. Raises the failure, if any, once the lock
// is back.
template <typename Body>
int run_unlocked(const Options* options, Body body) {
    Error error;
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status = tessarin::run_computation(*options, nullptr, &error, body);
    Py_END_ALLOW_THREADS;
    if (status != 0) raise_core_error(error);
    return status;
}

// The three arrays of a partial result, as C-contiguous uint64 arrays (new
// references), with a maxima array of a whole number of labellings; released
// when it goes out of scope.
struct PartialArrays {
    PyObject* arrays[3] = {NULL, NULL, NULL};
    PartialArrays() = default;
    PartialArrays(const PartialArrays&) = delete;
    PartialArrays& operator=(const PartialArrays&) = delete;
    ~PartialArrays() {
        for (PyObject* array : arrays) Py_XDECREF(array);
    }
    uint64_t* maxima() const { return array_words(arrays[0]); }
    uint64_t* keys() const { return array_words(arrays[1]); }
    uint64_t* weights() const { return array_words(arrays[2]); }
    uint64_t length() const { return array_length(arrays[0]); }
    uint64_t entries() const { return array_length(arrays[1]); }
};

int read_partial(PyObject* partial, PartialArrays* out) {
    if (!PyTuple_Check(partial) || PyTuple_GET_SIZE(partial) != 3) {
        PyErr_SetString(PyExc_TypeError, "a partial result is a tuple of three uint64 arrays");
        return 1;
    }
    for (int k = 0; k < 3; k++) {
        out->arrays[k] = PyArray_FROMANY(PyTuple_GET_ITEM(partial, k), NPY_UINT64, 1, 1, NPY_ARRAY_CARRAY_RO);
        if (!out->arrays[k]) return 1;
    }
    if (out->length() < 2 + LOCATION_WORDS || (out->length() - LOCATION_WORDS) % 2 != 0 ||
        out->entries() != array_length(out->arrays[2])) {
        PyErr_SetString(PyExc_ValueError, "a partial result's arrays do not fit together");
        return 1;
    }
    return 0;
}

bool keys_ascending(const PartialArrays& p) {
    for (uint64_t i = 1; i < p.entries(); i++) {
        if (p.keys()[i - 1] >= p.keys()[i]) return false;
    }
    return true;
}

// The histograms' weights summed key by key, as the scan's own histogram sums
// them (modulo 2^64).
void merge_histograms(const PartialArrays& a, const PartialArrays& b, uint64_t* k, uint64_t* w) {
    const uint64_t na = a.entries(), nb = b.entries();
    const uint64_t *ka = a.keys(), *wa = a.weights(), *kb = b.keys(), *wb = b.weights();
    uint64_t i = 0, j = 0, m = 0;
    while (i < na || j < nb) {
        if (j == nb || (i < na && ka[i] < kb[j])) {
            k[m] = ka[i];
            w[m++] = wa[i++];
        } else if (i == na || kb[j] < ka[i]) {
            k[m] = kb[j];
            w[m++] = wb[j++];
        } else {
            k[m] = ka[i];
            w[m++] = wa[i++] + wb[j++];
        }
    }
}

uint64_t distinct_keys(const PartialArrays& a, const PartialArrays& b) {
    uint64_t merged = a.entries() + b.entries();
    for (uint64_t i = 0, j = 0; i < a.entries() && j < b.entries();) {
        if (a.keys()[i] == b.keys()[j]) merged--;
        if (a.keys()[i] <= b.keys()[j]) i++;
        else j++;
    }
    return merged;
}

// A block bound of partial: any integer (NumPy's included, through
// __index__), from 0 to `units`. Returns 0 with *bound set, or -1 with an
// exception set; a bound out of range names the block as the caller gave it.
int block_bound(PyObject* value, PyObject* first, PyObject* end, uint64_t units, uint64_t* bound) {
    PyObject* index = PyNumber_Index(value);
    if (!index) return -1;
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (wide == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || wide < 0 || (unsigned long long)wide > units) {
        PyErr_Format(PyExc_ValueError, "the block [%S, %S) is not within the %llu units of the data set", first, end,
                     (unsigned long long)units);
        return -1;
    }
    *bound = (uint64_t)wide;
    return 0;
}

// The thread count of a partial or finish call: the prepared one, unless
// n_jobs names another.
int thread_count(const PreparedTest* p, int n_jobs, Options* options) {
    if (n_jobs < 0) return PyErr_Format(PyExc_ValueError, "n_jobs should be at least 0 (got %d)", n_jobs), -1;
    *options = p->options;
    if (n_jobs > 0) options->thread_no = (uint32_t)n_jobs;
    return 0;
}

}  // namespace

PyObject* tessarin_prepare(PyObject*, PyObject* args, PyObject* kwargs) {
    PreparedTest* p = new (std::nothrow) PreparedTest();
    if (!p) return PyErr_NoMemory();
    TestCall call;
    const int status = parse_test_call(args, kwargs, &call) || load_test_call(&call, &p->data, &p->flag);
    // The prepared tables stay; what loading released goes back now.
    release_large_cache();
    if (status != 0) {
        delete p;
        return NULL;
    }
    p->options = call.options;
    PyObject* capsule = PyCapsule_New(p, PREPARED_NAME, free_prepared);
    if (!capsule) delete p;
    return capsule;
}

PyObject* tessarin_describe(PyObject*, PyObject* arg) {
    const PreparedTest* p = prepared_from(arg);
    if (!p) return NULL;
    uint64_t digest;
    Py_BEGIN_ALLOW_THREADS;
    digest = prepared_digest(p);
    Py_END_ALLOW_THREADS;
    const ScanPathRow& path = scan_paths[p->options.scan];
    return Py_BuildValue("{s:K,s:s,s:K,s:s,s:K,s:K,s:K}", "units",
                         (unsigned long long)work_units(&p->data, &p->options), "split",
                         path.unit == WorkUnit::labellings ? "labellings" : "corners", "block",
                         (unsigned long long)path.block, "scan", path.name, "points", (unsigned long long)p->data.n,
                         "labellings", (unsigned long long)p->data.samples, "digest", (unsigned long long)digest);
}

PyObject* tessarin_partial(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "first", "end", "n_jobs", NULL};
    PyObject *capsule, *first_object, *end_object;
    int n_jobs = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|i", const_cast<char**>(kwlist), &capsule, &first_object,
                                     &end_object, &n_jobs)) {
        return NULL;
    }
    PreparedTest* p = prepared_from(capsule);
    if (!p) return NULL;
    const uint64_t units = work_units(&p->data, &p->options);
    uint64_t first, end;
    if (block_bound(first_object, first_object, end_object, units, &first) ||
        block_bound(end_object, first_object, end_object, units, &end)) {
        return NULL;
    }
    if (first > end) {
        PyErr_Format(PyExc_ValueError, "the block [%S, %S) is not within the %llu units of the data set", first_object,
                     end_object, (unsigned long long)units);
        return NULL;
    }
    // Each call runs on its own copy of the options, so calls on one prepared
    // data set may use different thread counts.
    Options options;
    if (thread_count(p, n_jobs, &options)) return NULL;
    const bool binomial = options.calculate_binomial_significance;
    SignificanceRuntime histogram;
    if (binomial) init_histogram(&histogram, &p->data);
    Table<uint64_t> maxima;
    const int status = run_unlocked(&options, [&]() {
        maxima = run_workers(&options, &p->data, binomial ? &histogram : NULL, first, end);
        release_large_cache();
        if (maxima && binomial && histogram.failed) {
            report_worker_error("out of memory error - significance_push[m_t]");
            return 1;
        }
        return maxima ? 0 : 1;
    });
    PyObject *result = NULL, *max_array = NULL, *keys = NULL, *weights = NULL;
    const uint64_t length = 2 * p->data.samples + LOCATION_WORDS;
    if (status == 0 && (max_array = uint64_array(length)) &&
        histogram_arrays(binomial ? &histogram : NULL, &keys, &weights) == 0) {
        memcpy(array_words(max_array), maxima, length * sizeof(uint64_t));
        result = PyTuple_Pack(3, max_array, keys, weights);
    }
    Py_XDECREF(max_array);
    Py_XDECREF(keys);
    Py_XDECREF(weights);
    if (binomial) significance_clear_runtime(&histogram);
    return result;
}

// Merges two partial results: merge_maxima for the result arrays, and the
// histograms' weights summed key by key.
PyObject* tessarin_merge(PyObject*, PyObject* args) {
    PyObject *left, *right;
    if (!PyArg_ParseTuple(args, "OO", &left, &right)) return NULL;
    PartialArrays a, b;
    if (read_partial(left, &a) != 0 || read_partial(right, &b) != 0) return NULL;
    if (a.length() != b.length()) {
        PyErr_SetString(PyExc_ValueError, "partial results of different data sets cannot be merged");
        return NULL;
    }
    if (!keys_ascending(a) || !keys_ascending(b)) {
        PyErr_SetString(PyExc_ValueError, "a partial result's histogram keys must be strictly ascending");
        return NULL;
    }
    const uint64_t merged = distinct_keys(a, b);
    PyObject* maxima = uint64_array(a.length());
    PyObject* keys = maxima ? uint64_array(merged) : NULL;
    PyObject* weights = keys ? uint64_array(merged) : NULL;
    PyObject* result = NULL;
    if (weights) {
        memcpy(array_words(maxima), a.maxima(), a.length() * sizeof(uint64_t));
        merge_maxima(array_words(maxima), b.maxima(), (a.length() - LOCATION_WORDS) / 2);
        merge_histograms(a, b, array_words(keys), array_words(weights));
        result = PyTuple_Pack(3, maxima, keys, weights);
    }
    Py_XDECREF(maxima);
    Py_XDECREF(keys);
    Py_XDECREF(weights);
    return result;
}

// The dict of test(..., details=True) from the merged partial result of all
// units of a prepared data set.
PyObject* tessarin_finish(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "", "n_jobs", NULL};
    PyObject *capsule, *partial;
    int n_jobs = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|i", const_cast<char**>(kwlist), &capsule, &partial, &n_jobs)) {
        return NULL;
    }
    PreparedTest* p = prepared_from(capsule);
    if (!p) return NULL;
    Options options;
    if (thread_count(p, n_jobs, &options)) return NULL;
    PartialArrays arrays;
    if (read_partial(partial, &arrays) != 0) return NULL;
    if (arrays.length() != 2 * p->data.samples + LOCATION_WORDS) {
        PyErr_SetString(PyExc_ValueError, "the partial result does not belong to this data set");
        return NULL;
    }
    const bool binomial = options.calculate_binomial_significance;
    SignificanceRuntime histogram;
    if (binomial) {
        init_histogram(&histogram, &p->data);
        for (uint64_t k = 0; k < arrays.entries(); k++) significance_add(&histogram, arrays.keys()[k], arrays.weights()[k]);
    }
    // What test returns with details=True, the null distribution included.
    options.details = true;
    TestResult res;
    const int status = run_unlocked(&options, [&]() {
        return finish_test(&res, &p->data, &options, arrays.maxima(), binomial ? &histogram : NULL);
    });
    if (binomial) significance_clear_runtime(&histogram);
    if (status != 0) return NULL;
    return details_dict(&res, &options, p->data.rvs_rows, p->data.samples - 1);
}
