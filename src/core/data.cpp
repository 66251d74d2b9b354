// The loader: argument parsing, processor and input checks, and the stages
// that turn the caller's arrays into a Data record the kernels can scan.
// Everything here runs on the caller's thread with the interpreter lock held;
// ranking, merging and drawing labellings share large data sets with up to
// n_jobs - 1 further threads, which never call the interpreter (the caller
// alone polls for signals) and give the same result for every thread count.
#include "data.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <math.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <new>

#include "common.h"
#include "cpu_features.h"

// Imports the NumPy C API. On failure the interpreter's ImportError stays
// set and the module's initialisation reports it.
int* init_numpy() {
    import_array();
    return NULL;
}

// Runs while the shared library is loaded, before the module is created.
const int* numpy_initialized = init_numpy();

// Sets a Python exception with a formatted message, kept in error_buffer too.
static void raise_error(PyObject* type, const char* format, ...) {
    char message[ERROR_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, ERROR_BUFFER_SIZE, format, args);
    va_end(args);
    store_error_message(message);
    PyErr_SetString(type, message);
}

// Size in bytes of a table of a x b x c bytes, or false when it does not fit
// in 64 bits. Oversized tables are reported like a failed allocation.
static bool table_bytes(uint64_t a, uint64_t b, uint64_t c, size_t* bytes) {
    uint64_t ab;
    return !__builtin_mul_overflow(a, b, &ab) && !__builtin_mul_overflow(ab, c, bytes);
}

// A table of a x b entries of c bytes from alloc_large (so released with
// free_large), or null when its size overflows or it cannot be had.
static void* malloc_table(uint64_t a, uint64_t b, uint64_t c) {
    size_t bytes;
    if (!table_bytes(a, b, c, &bytes)) return NULL;
    return alloc_large(bytes);
}

static bool can_cast_safely(PyObject* array, int typenum) {
    PyArray_Descr* to = PyArray_DescrFromType(typenum);
    bool ok = PyArray_CanCastTypeTo(PyArray_DESCR((PyArrayObject*)array), to, NPY_SAFE_CASTING);
    Py_DECREF(to);
    return ok;
}

// Converts to the given type; an array whose elements are not aligned for
// their type is copied, so that the loader reads every element through a
// properly aligned pointer.
static PyArrayObject* convert_array(PyObject* array, int typenum) {
    return (PyArrayObject*)PyArray_FromAny(array, PyArray_DescrFromType(typenum), 0, 0,
                                           NPY_ARRAY_ALIGNED, NULL);
}

static char type_kind(PyObject* array) { return PyArray_DESCR((PyArrayObject*)array)->kind; }
static char type_char(PyObject* array) { return PyArray_DESCR((PyArrayObject*)array)->type; }
static unsigned long ndims(PyObject* array) { return (unsigned long)PyArray_NDIM((PyArrayObject*)array); }
static npy_intp extent(PyObject* array, int axis) { return PyArray_DIM((PyArrayObject*)array, axis); }

// Polls the interpreter for pending signals before every 10000th item.
static bool interrupted_at(uint64_t index) {
    return index % 10000 == 0 && PyErr_CheckSignals() != 0;
}

// Refuses a call the build's kernels could not run here, before anything is
// loaded: an instruction the processor lacks would end the whole process.
static int check_processor() {
#if defined(TESSARIN_AVX512)
    if (!cpu_can_run(CPU_BUILD_AVX512)) {
        raise_error(PyExc_RuntimeError, "MISSING AVX512");
        return 10;
    }
#elif defined(TESSARIN_AVX2)
    if (!cpu_can_run(CPU_BUILD_AVX2)) {
        raise_error(PyExc_RuntimeError, "MISSING AVX2");
        return 10;
    }
#endif
    return 0;
}

int validate_inputs(PyObject* data, PyObject* data2, PyObject* counts_x, PyObject* counts_y) {
    if (!PyArray_Check(data)) {
        raise_error(PyExc_TypeError, "rvs should be an numpy array");
        return 11;
    }
    if (ndims(data) != 2) {
        raise_error(PyExc_ValueError, "rvs should be two dimensional (not %lu)", ndims(data));
        return 12;
    }
    unsigned long d = (unsigned long)extent(data, 1);
    unsigned long n1 = (unsigned long)extent(data, 0);
    if (d > 63) {
        raise_error(PyExc_ValueError, "at most 63 element dimensions are supported (got: %lu)", d);
        return 13;
    }
    int rvs_type;
    if (can_cast_safely(data, NPY_INT)) {
        rvs_type = NPY_INT;
    } else if (can_cast_safely(data, NPY_LONG)) {
        rvs_type = NPY_LONG;
    } else if (can_cast_safely(data, NPY_DOUBLE)) {
        rvs_type = NPY_DOUBLE;
    } else {
        raise_error(PyExc_TypeError, "rvs values should be castable to int32, int64 or double");
        return 14;
    }
    if (data2) {
        if (!PyArray_Check(data2)) {
            raise_error(PyExc_TypeError, "cdf should be an numpy array");
            return 21;
        }
        if (ndims(data2) != 2) {
            raise_error(PyExc_ValueError, "cdf should be two dimensional (not %lu)", ndims(data2));
            return 22;
        }
        if ((unsigned long)extent(data2, 1) != d) {
            raise_error(PyExc_ValueError,
                        "cdf-s elements dimension should be the same as rvs (rvs: %ld, cdf: %ld)",
                        (long)d, (long)extent(data2, 1));
            return 23;
        }
        if (!can_cast_safely(data2, rvs_type)) {
            raise_error(PyExc_TypeError, "mismatched types of rvs (%c%c) and cdf (%c%c)",
                        type_kind(data), type_char(data), type_kind(data2), type_char(data2));
            return 24;
        }
    } else if (!counts_y) {
        raise_error(PyExc_AssertionError,
                    "cdf should be provided by cdf or count_cdf argument (both were None)");
        return 24;
    }
    if (counts_x) {
        if (!PyArray_Check(counts_x)) {
            raise_error(PyExc_TypeError, "counts_rvs should be an numpy array");
            return 31;
        }
        if (ndims(counts_x) != 1) {
            raise_error(PyExc_ValueError, "counts_rvs should be one-dimensional (not %lu)",
                        ndims(counts_x));
            return 32;
        }
        if ((unsigned long)extent(counts_x, 0) != n1) {
            raise_error(PyExc_ValueError,
                        "counts_rvs should have one value for each rvs element (got %lu counts for "
                        "%lu rvs element)",
                        (unsigned long)extent(counts_x, 0), n1);
            return 33;
        }
        if (!can_cast_safely(counts_x, NPY_LONG)) {
            raise_error(PyExc_TypeError, "counts_rvs should have element type castable to int64 (got: %c%c)",
                        type_kind(counts_x), type_char(counts_x));
            return 34;
        }
    }
    if (counts_y) {
        if (!PyArray_Check(counts_y)) {
            raise_error(PyExc_TypeError, "counts_cdf should be an numpy array");
            return 41;
        }
        if (ndims(counts_y) != 1) {
            raise_error(PyExc_ValueError, "counts_cdf should be one-dimensional (not %lu)",
                        ndims(counts_y));
            return 42;
        }
        unsigned long length = (unsigned long)extent(counts_y, 0);
        if (!data2 && length != n1) {
            raise_error(PyExc_ValueError,
                        "counts_cdf should have one value for each rvs element when cdf is not given "
                        "(got %lu counts for %lu rvs elements)",
                        length, n1);
            return 43;
        }
        if (data2 && length != (unsigned long)extent(data2, 0)) {
            raise_error(PyExc_ValueError,
                        "counts_cdf should have one value for each cdf element (got %lu counts for "
                        "%lu cdf elements)",
                        length, (unsigned long)extent(data2, 0));
            return 44;
        }
        if (!can_cast_safely(counts_y, NPY_LONG)) {
            raise_error(PyExc_TypeError, "counts_cdf should have element type castable to int64 (got: %c%c)",
                        type_kind(counts_y), type_char(counts_y));
            return 45;
        }
    }
    return 0;
}

void load_shapes(DataSet* s, PyObject* data, PyObject* data2, uint64_t* n1, uint64_t* n2) {
    s->d = (uint64_t)extent(data, 1);
    s->orthants = (uint64_t)1 << s->d;
    *n1 = (uint64_t)extent(data, 0);
    *n2 = data2 ? (uint64_t)extent(data2, 0) : 0;
    s->n = *n1 + *n2;
}

// Copies the rows of one converted array into s->coordinates from point `first` on.
// Returns 1 when a signal is pending, with the interpreter's exception set.
static int copy_rows(DataSet* s, PyArrayObject* array, uint64_t first) {
    const uint64_t rows = (uint64_t)PyArray_DIM(array, 0);
    const char* base = PyArray_BYTES(array);
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp column_stride = s->d ? PyArray_STRIDE(array, 1) : 0;
    for (uint64_t i = 0; i < rows; i++) {
        if (interrupted_at(i)) return 1;
        const char* row = base + (npy_intp)i * row_stride;
        int32_t* out = s->coordinates + (first + i) * s->d;
        for (uint64_t k = 0; k < s->d; k++) {
            out[k] = *(const int32_t*)(row + (npy_intp)k * column_stride);
        }
    }
    return 0;
}

int copy_data(DataSet* s, PyObject* data, PyObject* data2) {
    PyArrayObject* data_np = convert_array(data, NPY_INT);
    if (!data_np) {
        raise_error(PyExc_RuntimeError, "out of memory error - load_data[data_np]");
        return 2;
    }
    const uint64_t n1 = (uint64_t)PyArray_DIM(data_np, 0);
    s->coordinates = (int32_t*)malloc_table(s->n, s->d, sizeof(int32_t));
    if (!s->coordinates) {
        Py_DECREF(data_np);
        raise_error(PyExc_RuntimeError, "out of memory error - load_data[data]");
        return 3;
    }
    int status = copy_rows(s, data_np, 0);
    Py_DECREF(data_np);
    if (status) {
        free_large(s->coordinates);
        return 1;
    }
    if (!data2) return 0;
    PyArrayObject* data2_np = convert_array(data2, NPY_INT);
    if (!data2_np) {
        free_large(s->coordinates);
        raise_error(PyExc_RuntimeError, "out of memory error - load_data[data2_np]");
        return 4;
    }
    status = copy_rows(s, data2_np, n1);
    Py_DECREF(data2_np);
    if (status) {
        free_large(s->coordinates);
        return 1;
    }
    return 0;
}

// Reads element (i, k) of a converted array through its strides.
template <typename T>
static inline T element_at(PyArrayObject* array, uint64_t i, uint64_t k) {
    return *(const T*)(PyArray_BYTES(array) + (npy_intp)i * PyArray_STRIDE(array, 0) +
                       (npy_intp)k * PyArray_STRIDE(array, 1));
}

// One value of a dimension and the point it belongs to.
template <typename T>
struct RankEntry {
    T value;
    uint64_t index;
};

// A key whose unsigned order is the order of the value: -0.0 and 0.0 get one
// key, as they compare equal. NaN never reaches here.
static inline uint64_t order_key(double value) {
    if (value == 0) value = 0;
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return bits >> 63 ? ~bits : bits | ((uint64_t)1 << 63);
}

static inline uint64_t order_key(long value) { return (uint64_t)value ^ ((uint64_t)1 << 63); }

// Ranks one dimension from its order keys by a least-significant-digit radix
// sort of (key, point) pairs, skipping the passes in which every key has the
// same digit, then hands out dense ranks in key order, a new rank at each
// change of key. Large data sets take 16 bits a pass, smaller ones 11, so
// that the digit counts stay small beside the entries. `keyed` holds the n
// pairs followed by n more of scratch; the order among equal keys is of no
// consequence.
// `stopped()` is asked before each pass; when it says so, the ranking is
// abandoned and the ranks are left unwritten.
template <typename Stopped>
static void radix_rank(RankEntry<uint64_t>* keyed, uint64_t n, uint64_t* counts, int bits, int32_t* ranks,
                       uint64_t d, uint64_t k, Stopped stopped) {
    const uint64_t digits = (uint64_t)1 << bits, digit_mask = digits - 1;
    const int passes = (64 + bits - 1) / bits;
    RankEntry<uint64_t>* from = keyed;
    RankEntry<uint64_t>* to = keyed + n;
    // Every pass's digit counts from one reading of the keys.
    memset(counts, 0, passes * digits * sizeof(uint64_t));
    for (uint64_t i = 0; i < n; i++) {
        const uint64_t key = from[i].value;
        for (int pass = 0; pass < passes; pass++) counts[pass * digits + ((key >> (pass * bits)) & digit_mask)]++;
    }
    for (int pass = 0; pass < passes; pass++) {
        if (stopped()) return;
        const int shift = pass * bits;
        uint64_t* count = counts + pass * digits;
        if (count[(from[0].value >> shift) & digit_mask] == n) continue;
        uint64_t total = 0;
        for (uint64_t digit = 0; digit < digits; digit++) {
            const uint64_t here = count[digit];
            count[digit] = total;
            total += here;
        }
        for (uint64_t i = 0; i < n; i++) to[count[(from[i].value >> shift) & digit_mask]++] = from[i];
        std::swap(from, to);
    }
    if (stopped()) return;
    int32_t rank = 0;
    for (uint64_t r = 0; r < n; r++) {
        if (r > 0 && from[r].value != from[r - 1].value) rank++;
        ranks[from[r].index * d + k] = rank;
    }
}

// The dimensions to rank and where their ranks go, shared by the threads that
// rank them: thread t ranks dimensions t, t + threads, ... in a buffer of its
// own. Only the calling thread (part 0) polls for signals; it sets `stop` for
// the others when one is pending.
template <typename T>
struct RankingJob {
    PyArrayObject* arrays[2];  // rvs and cdf (null when not given)
    uint64_t rows[2];
    uint64_t d;
    int32_t* ranks;            // n x d, point-major
    RankEntry<T>** orders;     // per thread: 2n radix entries when digits[t] is set, else n entries
    uint64_t** digits;         // per thread: the radix sort's digit counts, or null for a comparison sort
    uint64_t* nan_at;          // per dimension: the first point holding NaN, or UINT64_MAX
    uint32_t threads;
    bool stop;
};

// Ranks one dimension: its values sorted together with their point indices
// hand out dense ranks, a new rank at each change of value (order keys and ==
// both make -0.0 and 0.0 one value). Large dimensions take the radix sort
// when its scratch could be had, others a comparison sort, in the thread's
// own buffer. A NaN, which has no place in the order, leaves the dimension
// unranked and is recorded in nan_at.
static inline int radix_bits(uint64_t n) { return n >= ((uint64_t)1 << 18) ? 16 : 11; }
static inline int radix_passes(uint64_t n) { return (64 + radix_bits(n) - 1) / radix_bits(n); }

// Whether the ranking should stop: the calling thread (part 0), which holds
// the interpreter lock, polls for signals and tells the others.
template <typename T>
static bool ranking_stopped(RankingJob<T>* job, uint32_t t) {
    if (t == 0 && PyErr_CheckSignals() != 0) __atomic_store_n(&job->stop, true, __ATOMIC_RELAXED);
    return __atomic_load_n(&job->stop, __ATOMIC_RELAXED);
}

template <typename T>
static void rank_column(RankingJob<T>* job, uint32_t t, uint64_t k) {
    const uint64_t n1 = job->rows[0], n2 = job->rows[1], n = n1 + n2, d = job->d;
    job->nan_at[k] = UINT64_MAX;
    RankEntry<T>* order = job->orders[t];
    uint64_t* counts = job->digits[t];
    if (counts) {
        RankEntry<uint64_t>* keyed = (RankEntry<uint64_t>*)order;
        for (uint64_t i = 0; i < n; i++) {
            const T value = i < n1 ? element_at<T>(job->arrays[0], i, k) : element_at<T>(job->arrays[1], i - n1, k);
            if (value != value) {
                job->nan_at[k] = i;
                break;
            }
            keyed[i] = {order_key(value), i};
        }
        if (job->nan_at[k] == UINT64_MAX) {
            radix_rank(keyed, n, counts, radix_bits(n), job->ranks, d, k, [job, t]() { return ranking_stopped(job, t); });
        }
        return;
    }
    for (uint64_t i = 0; i < n1; i++) order[i] = {element_at<T>(job->arrays[0], i, k), i};
    for (uint64_t i = 0; i < n2; i++) order[n1 + i] = {element_at<T>(job->arrays[1], i, k), n1 + i};
    for (uint64_t i = 0; i < n; i++) {
        if (order[i].value != order[i].value) {
            job->nan_at[k] = i;
            return;
        }
    }
    std::sort(order, order + n, [](const RankEntry<T>& a, const RankEntry<T>& b) { return a.value < b.value; });
    int32_t rank = 0;
    for (uint64_t r = 0; r < n; r++) {
        if (r > 0 && order[r].value != order[r - 1].value) rank++;
        job->ranks[order[r].index * d + k] = rank;
    }
}

template <typename T>
static void rank_columns(void* vargp, uint32_t t) {
    RankingJob<T>* job = (RankingJob<T>*)vargp;
    for (uint64_t k = t; k < job->d; k += job->threads) {
        if (ranking_stopped(job, t)) return;
        rank_column(job, t, k);
    }
}

// Ranks every dimension densely over both arrays together: a value's rank is
// the number of distinct smaller values in its column. Up to `threads`
// threads rank dimensions side by side. Returns null on any failure; a
// pending signal, a NaN coordinate and a failed conversion leave an exception
// set, an unsuitable type does not.
template <typename T>
int32_t* load_ranking(PyObject* data, PyObject* data2, int typenum, uint32_t threads) {
    if (!can_cast_safely(data, typenum) || (data2 && !can_cast_safely(data2, typenum))) return NULL;
    PyArrayObject* data_np = convert_array(data, typenum);
    if (!data_np) return NULL;
    PyArrayObject* data2_np = NULL;
    if (data2) {
        data2_np = convert_array(data2, typenum);
        if (!data2_np) {
            Py_DECREF(data_np);
            return NULL;
        }
    }
    const uint64_t d = (uint64_t)PyArray_DIM(data_np, 1);
    const uint64_t n1 = (uint64_t)PyArray_DIM(data_np, 0);
    const uint64_t n2 = data2_np ? (uint64_t)PyArray_DIM(data2_np, 0) : 0;
    const uint64_t n = n1 + n2;
    threads = (uint32_t)std::max<uint64_t>(1, std::min<uint64_t>(threads, d));

    // Each thread's buffer serves every dimension it ranks.
    RankingJob<T> job = {{data_np, data2_np}, {n1, n2}, d, NULL, NULL, NULL, NULL, threads, false};
    job.ranks = (int32_t*)malloc_table(n, d, sizeof(int32_t));
    job.orders = (RankEntry<T>**)calloc(threads, sizeof(RankEntry<T>*));
    job.digits = (uint64_t**)calloc(threads, sizeof(uint64_t*));
    job.nan_at = (uint64_t*)malloc_table(d, 1, sizeof(uint64_t));
    bool ok = job.ranks && job.orders && job.digits && job.nan_at;
    static_assert(sizeof(RankEntry<T>) == sizeof(RankEntry<uint64_t>), "one buffer serves both sorts");
    for (uint32_t t = 0; ok && t < threads; t++) {
        if (n >= 2048) {
            size_t bytes;
            job.orders[t] = table_bytes(n, 2, sizeof(RankEntry<uint64_t>), &bytes) ? (RankEntry<T>*)alloc_large(bytes) : NULL;
            job.digits[t] = (uint64_t*)malloc(radix_passes(n) * ((uint64_t)1 << radix_bits(n)) * sizeof(uint64_t));
            if (!job.orders[t] || !job.digits[t]) {
                free_large(job.orders[t]);
                free(job.digits[t]);
                job.orders[t] = NULL;
                job.digits[t] = NULL;
            }
        }
        if (!job.orders[t]) {
            size_t bytes;
            job.orders[t] = table_bytes(n, 1, sizeof(RankEntry<T>), &bytes) ? (RankEntry<T>*)alloc_large(bytes) : NULL;
        }
        ok = job.orders[t] != NULL;
    }
    if (!ok) {
        raise_error(PyExc_RuntimeError, "out of memory error - load_ranking[%s]", job.ranks ? "order" : "ret");
    } else {
        run_parallel(threads, rank_columns<T>, &job);
        ok = !job.stop;
    }
    // The first NaN in column order, as a scan of the columns one by one
    // would meet it.
    for (uint64_t k = 0; ok && k < d; k++) {
        const uint64_t i = job.nan_at[k];
        if (i == UINT64_MAX) continue;
        raise_error(PyExc_ValueError, "%s contains NaN (row %lu, column %lu)", i < n1 ? "rvs" : "cdf",
                    (unsigned long)(i < n1 ? i : i - n1), (unsigned long)k);
        ok = false;
    }
    if (job.orders) {
        for (uint32_t t = 0; t < threads; t++) free_large(job.orders[t]);
    }
    if (job.digits) {
        for (uint32_t t = 0; t < threads; t++) free(job.digits[t]);
    }
    free(job.orders);
    free(job.digits);
    free_large(job.nan_at);
    Py_DECREF(data_np);
    Py_XDECREF(data2_np);
    if (!ok) {
        free_large(job.ranks);
        return NULL;
    }
    return job.ranks;
}

template int32_t* load_ranking<long>(PyObject*, PyObject*, int, uint32_t);
template int32_t* load_ranking<double>(PyObject*, PyObject*, int, uint32_t);

// Reads a count array as int64 and stores its values at column 0 of `table`
// from point `first` on, adding them to *size. Counts must fit in 32 bits.
static int store_counts(PyObject* counts, const char* name, uint32_t* table, uint64_t samples,
                        uint64_t first, uint64_t* size, const char* oom_message) {
    PyArrayObject* counts_np = convert_array(counts, NPY_LONG);
    if (!counts_np) {
        raise_error(PyExc_RuntimeError, "%s", oom_message);
        return 3;
    }
    const uint64_t length = (uint64_t)PyArray_DIM(counts_np, 0);
    const char* base = PyArray_BYTES(counts_np);
    const npy_intp stride = PyArray_STRIDE(counts_np, 0);
    for (uint64_t i = 0; i < length; i++) {
        if (interrupted_at(i)) {
            Py_DECREF(counts_np);
            return 1;
        }
        const int64_t value = *(const int64_t*)(base + (npy_intp)i * stride);
        if (value < 0 || value > (int64_t)UINT32_MAX) {
            Py_DECREF(counts_np);
            raise_error(PyExc_ValueError,
                        "%s values should be between 0 and 4294967295 (got %lld at index %lu)", name,
                        (long long)value, (unsigned long)i);
            return 4;
        }
        table[(first + i) * samples] = (uint32_t)value;
        *size += (uint64_t)value;
    }
    Py_DECREF(counts_np);
    return 0;
}

// Sets column 0 of `table` to `value` for points [from, to), polling for
// signals with the running index.
static int fill_column(uint32_t* table, uint64_t samples, uint64_t from, uint64_t to,
                       uint32_t value, uint64_t index_offset) {
    // Stretches between the polls, filled without a test per point.
    for (uint64_t i = from; i < to;) {
        if (interrupted_at(i - index_offset)) return 1;
        const uint64_t index = i - index_offset;
        const uint64_t end = std::min(to, i + (10000 - index % 10000));
        if (samples == 1) {
            for (; i < end; i++) table[i] = value;
        } else {
            for (; i < end; i++) table[i * samples] = value;
        }
    }
    return 0;
}

int load_counts_x(DataSet* s, PyObject* counts_x, uint64_t n1, uint64_t n2) {
    s->counts_x = (uint32_t*)malloc_table(s->n, s->samples, sizeof(uint32_t));
    if (!s->counts_x) {
        raise_error(PyExc_RuntimeError, "out of memory error - load_counts_x[counts_x]");
        return 2;
    }
    s->size_x = 0;
    int status;
    if (!counts_x) {
        s->size_x = n1;
        status = fill_column(s->counts_x, s->samples, 0, n1, 1, 0);
    } else {
        status = store_counts(counts_x, "counts_rvs", s->counts_x, s->samples, 0, &s->size_x,
                              "out of memory error - load_counts_x[counts_x_np]");
    }
    if (status) {
        free_large(s->counts_x);
        return status;
    }
    if (s->samples == 1) {
        memset(s->counts_x + n1, 0, n2 * sizeof(uint32_t));
    } else {
        for (uint64_t i = 0; i < n2; i++) s->counts_x[(n1 + i) * s->samples] = 0;
    }
    return 0;
}

int load_counts_y(DataSet* s, PyObject* counts_y, uint64_t n1, uint64_t n2) {
    s->counts_y = (uint32_t*)malloc_table(s->n, s->samples, sizeof(uint32_t));
    if (!s->counts_y) {
        raise_error(PyExc_RuntimeError, "out of memory error - load_counts_y[counts_y]");
        return 2;
    }
    s->size_y = 0;
    int status;
    if (!counts_y) {
        s->size_y = n2;
        status = fill_column(s->counts_y, s->samples, 0, n1, 0, 0);
        if (!status) status = fill_column(s->counts_y, s->samples, n1, s->n, 1, 0);
    } else if (n2 > 0 || PyArray_DIM((PyArrayObject*)counts_y, 0) != (npy_intp)n1) {
        // cdf was given (validation matched the counts to its rows): the cdf
        // rows carry the counts and the rvs rows weigh nothing. With no cdf
        // rows and no rvs rows both readings store nothing.
        status = fill_column(s->counts_y, s->samples, 0, n1, 0, 0);
        if (!status)
            status = store_counts(counts_y, "counts_cdf", s->counts_y, s->samples, n1, &s->size_y,
                                  "out of memory error - load_counts_y[counts_y_np]");
    } else {
        status = store_counts(counts_y, "counts_cdf", s->counts_y, s->samples, 0, &s->size_y,
                              "out of memory error - load_counts_y[counts_y_np]");
    }
    if (status) {
        free_large(s->counts_y);
        return status;
    }
    return 0;
}

// Hash of one rank vector; it only groups candidates for the full comparison.
static inline uint64_t point_hash(const int32_t* ranks, uint64_t d) {
    uint64_t h = 122351221;
    for (uint64_t k = 0; k < d; k++) h = h * 234567913 + (uint64_t)(int64_t)ranks[k];
    return h;
}

static inline bool same_point(const int32_t* a, const int32_t* b, uint64_t d) {
    for (uint64_t k = 0; k < d; k++) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

// Merging on several threads. The points are split into parts by bits of
// their hash that the table slots do not use, so equal points fall in one
// part; thread t merges part t, walking all rows in order and taking those of
// its part, so that each part lists its distinct points in order of first
// appearance with their summed multiplicities. Merging the parts' lists by
// first row then gives the order, rows and sums one thread gives. Only the
// calling thread (part 0) polls for signals; it sets `stop` for the others.
struct MergePart {
    uint64_t* rows;     // first row of each distinct point, ascending
    uint32_t* sum_x;    // the distinct points' summed multiplicities
    uint32_t* sum_y;
    uint64_t distinct;
    uint64_t overflow_row;  // first row whose merge would overflow 32 bits, or UINT64_MAX
    bool overflow_x;        // ... in the first sample
    bool failed;            // out of memory
};

struct MergeJob {
    const DataSet* s;
    uint32_t parts;
    uint64_t* hashes;
    MergePart* part;
    bool stop;
};

static inline uint32_t part_of(uint64_t hash, uint32_t parts) {
    return (uint32_t)((((hash >> 16) & 0xFFFF) * parts) >> 16);
}

static void hash_rows(void* vargp, uint32_t t) {
    MergeJob* job = (MergeJob*)vargp;
    const uint64_t n = job->s->n, d = job->s->d;
    for (uint64_t i = n * t / job->parts; i < n * (t + 1) / job->parts; i++) {
        job->hashes[i] = point_hash(job->s->coordinates + i * d, d) * 0x9E3779B97F4A7C15ull;
    }
}

static void merge_part(void* vargp, uint32_t t) {
    MergeJob* job = (MergeJob*)vargp;
    MergePart* part = &job->part[t];
    const DataSet* s = job->s;
    const uint64_t n = s->n, d = s->d, samples = s->samples;
    uint64_t rows = 0;
    for (uint64_t i = 0; i < n; i++) rows += part_of(job->hashes[i], job->parts) == t;
    int slot_bits = 1;
    while (((uint64_t)1 << slot_bits) < 2 * rows) slot_bits++;
    const uint64_t slot_mask = ((uint64_t)1 << slot_bits) - 1;
    uint64_t* slots = (uint64_t*)malloc_table(slot_mask + 1, 1, sizeof(uint64_t));
    part->rows = (uint64_t*)malloc_table(rows, 1, sizeof(uint64_t));
    part->sum_x = (uint32_t*)malloc_table(rows, 1, sizeof(uint32_t));
    part->sum_y = (uint32_t*)malloc_table(rows, 1, sizeof(uint32_t));
    part->distinct = 0;
    part->overflow_row = UINT64_MAX;
    part->failed = !slots || !part->rows || !part->sum_x || !part->sum_y;
    if (part->failed) {
        free_large(slots);
        return;
    }
    memset(slots, 0xFF, (slot_mask + 1) * sizeof(uint64_t));
    for (uint64_t i = 0; i < n; i++) {
        if ((i & 4095) == 0) {
            if (t == 0 && PyErr_CheckSignals() != 0) __atomic_store_n(&job->stop, true, __ATOMIC_RELAXED);
            if (__atomic_load_n(&job->stop, __ATOMIC_RELAXED)) break;
        }
        const uint64_t hash = job->hashes[i];
        if (part_of(hash, job->parts) != t) continue;
        const int32_t* ranks = s->coordinates + i * d;
        const uint64_t tag = ((hash * 0xD6E8FEB86659FD93ull) >> 32) << 32;
        uint64_t slot = hash >> (64 - slot_bits);
        while (slots[slot] != UINT64_MAX &&
               ((slots[slot] & ~(uint64_t)UINT32_MAX) != tag ||
                !same_point(s->coordinates + part->rows[slots[slot] & UINT32_MAX] * d, ranks, d))) {
            slot = (slot + 1) & slot_mask;
        }
        const uint32_t cx = s->counts_x[i * samples], cy = s->counts_y[i * samples];
        if (slots[slot] == UINT64_MAX) {
            slots[slot] = tag | part->distinct;
            part->rows[part->distinct] = i;
            part->sum_x[part->distinct] = cx;
            part->sum_y[part->distinct] = cy;
            part->distinct++;
            continue;
        }
        const uint64_t j = slots[slot] & UINT32_MAX;
        if ((uint64_t)part->sum_x[j] + cx > UINT32_MAX || (uint64_t)part->sum_y[j] + cy > UINT32_MAX) {
            part->overflow_row = i;
            part->overflow_x = (uint64_t)part->sum_x[j] + cx > UINT32_MAX;
            break;
        }
        part->sum_x[j] += cx;
        part->sum_y[j] += cy;
    }
    free_large(slots);
}

// The distinct points of all parts in order of first row, written from the
// parts' lists: thread t takes the points whose first row lies in the t-th
// share of the rows, so each writes its own stretch of the output.
struct MergeOutput {
    MergeJob* job;
    uint64_t* origin;
    int32_t* data;
    uint32_t* counts_x;
    uint32_t* counts_y;
};

static void merge_output(void* vargp, uint32_t r) {
    const MergeOutput* out = (const MergeOutput*)vargp;
    const MergeJob* job = out->job;
    DataSet* s = (DataSet*)job->s;
    const uint64_t n = s->n, d = s->d, samples = s->samples, threads = job->parts;
    const uint64_t first_row = n * r / threads, end_row = n * (r + 1) / threads;
    uint64_t next[8], end[8], u = 0;
    for (uint32_t t = 0; t < threads; t++) {
        const MergePart* part = &job->part[t];
        next[t] = (uint64_t)(std::lower_bound(part->rows, part->rows + part->distinct, first_row) - part->rows);
        end[t] = (uint64_t)(std::lower_bound(part->rows, part->rows + part->distinct, end_row) - part->rows);
        u += next[t];
    }
    for (;; u++) {
        uint32_t best = 0;
        uint64_t best_row = UINT64_MAX;
        for (uint32_t t = 0; t < threads; t++) {
            if (next[t] < end[t] && job->part[t].rows[next[t]] < best_row) {
                best_row = job->part[t].rows[next[t]];
                best = t;
            }
        }
        if (best_row == UINT64_MAX) break;
        const MergePart* part = &job->part[best];
        const uint64_t k = next[best]++;
        memcpy(out->data + u * d, s->coordinates + best_row * d, d * sizeof(int32_t));
        out->origin[u] = s->origin[best_row];
        out->counts_x[u * samples] = part->sum_x[k];
        out->counts_y[u * samples] = part->sum_y[k];
    }
}

// Replaces the coordinate and multiplicity tables with merged ones of n
// points, releasing the old ones.
static void adopt_tables(DataSet* s, uint64_t n, int32_t* data, uint32_t* counts_x, uint32_t* counts_y) {
    free_large(s->coordinates);
    free_large(s->counts_x);
    free_large(s->counts_y);
    s->n = n;
    s->coordinates = data;
    s->counts_x = counts_x;
    s->counts_y = counts_y;
}

// Merges equal points on `threads` threads (see MergeJob). Returns 0, 1 for
// lack of memory, 3 for a merged multiplicity beyond 32 bits or 20 on a
// pending signal, as deduplicate_data does.
static int deduplicate_side_by_side(DataSet* s, uint32_t threads) {
    const uint64_t n = s->n, d = s->d, samples = s->samples;
    MergeJob job = {s, threads, NULL, NULL, false};
    job.hashes = (uint64_t*)malloc_table(n, 1, sizeof(uint64_t));
    job.part = (MergePart*)calloc(threads, sizeof(MergePart));
    if (!job.hashes || !job.part) {
        free_large(job.hashes);
        free(job.part);
        raise_error(PyExc_RuntimeError, "out of memory - deduplicate_data[tmp]");
        return 1;
    }
    run_parallel(threads, hash_rows, &job);
    run_parallel(threads, merge_part, &job);
    free_large(job.hashes);
    int status = 0;
    uint64_t unique_counts = 0, overflow_row = UINT64_MAX;
    bool overflow_x = false;
    for (uint32_t t = 0; t < threads; t++) {
        if (job.part[t].failed) status = 1;
        unique_counts += job.part[t].distinct;
        if (job.part[t].overflow_row < overflow_row) {
            overflow_row = job.part[t].overflow_row;
            overflow_x = job.part[t].overflow_x;
        }
    }
    int32_t* new_data = NULL;
    uint32_t *new_counts_x = NULL, *new_counts_y = NULL;
    uint64_t* new_origin = NULL;
    if (job.stop) {
        status = 20;
    } else if (status) {
        raise_error(PyExc_RuntimeError, "out of memory - deduplicate_data[tmp]");
    } else if (overflow_row != UINT64_MAX) {
        raise_error(PyExc_ValueError,
                    "equal points have a summed multiplicity above 4294967295 in the %s "
                    "sample; merge them yourself with 64-bit counts or pass "
                    "deduplicate_data=False",
                    overflow_x ? "first" : "second");
        status = 3;
    } else {
        new_data = (int32_t*)malloc_table(unique_counts, d, sizeof(int32_t));
        new_counts_x = (uint32_t*)malloc_table(unique_counts, samples, sizeof(uint32_t));
        new_counts_y = (uint32_t*)malloc_table(unique_counts, samples, sizeof(uint32_t));
        new_origin = (uint64_t*)malloc_table(unique_counts, 1, sizeof(uint64_t));
        if (!new_data || !new_counts_x || !new_counts_y || !new_origin) {
            raise_error(PyExc_RuntimeError, "out of memory - deduplicate_data[s->coordinates]");
            status = 1;
        }
    }
    if (!status) {
        MergeOutput output = {&job, new_origin, new_data, new_counts_x, new_counts_y};
        run_parallel(threads, merge_output, &output);
    }
    for (uint32_t t = 0; t < threads; t++) {
        free_large(job.part[t].rows);
        free_large(job.part[t].sum_x);
        free_large(job.part[t].sum_y);
    }
    free(job.part);
    if (status) {
        free_large(new_data);
        free_large(new_counts_x);
        free_large(new_counts_y);
        free_large(new_origin);
        return status;
    }
    free_large(s->origin);
    s->origin = new_origin;
    adopt_tables(s, unique_counts, new_data, new_counts_x, new_counts_y);
    return 0;
}

// Merges equal points: each distinct point keeps the row of its first
// appearance and the summed multiplicities of its rows, in order of first
// appearance. Large data sets are merged in parts, one per thread up to
// `threads`; the outcome is the same whatever the number of parts.
// Whether one of the first few dimensions takes n distinct values, read from
// ranks: then no two points are equal. Looking further would cost about as
// much as the merge it might save.
static bool all_points_distinct(const DataSet* s) {
    if (!s->ranked) return false;
    const uint64_t n = s->n, d = s->d;
    for (uint64_t b = 0; b < d && b < 2; b++) {
        int32_t largest = -1;
        for (uint64_t i = 0; i < n; i++) largest = std::max(largest, s->coordinates[i * d + b]);
        if ((uint64_t)largest + 1 == n) return true;
    }
    return false;
}

int deduplicate_data(DataSet* s, uint32_t threads) {
    // Every point already stands alone, with its own multiplicities.
    if (all_points_distinct(s)) return 0;
    if (s->n >= ((uint64_t)1 << 16) && s->n < UINT32_MAX) {
        return deduplicate_side_by_side(s, std::min<uint32_t>(std::max<uint32_t>(threads, 1), 8));
    }
    const uint64_t n = s->n, d = s->d, samples = s->samples;
    int32_t* tmp_data = (int32_t*)malloc_table(n, d, sizeof(int32_t));
    uint32_t* tmp_counts_x = (uint32_t*)malloc_table(n, 1, sizeof(uint32_t));
    uint32_t* tmp_counts_y = (uint32_t*)malloc_table(n, 1, sizeof(uint32_t));
    if (!tmp_data || !tmp_counts_x || !tmp_counts_y) {
        free_large(tmp_data);
        free_large(tmp_counts_x);
        free_large(tmp_counts_y);
        raise_error(PyExc_RuntimeError, "out of memory - deduplicate_data[tmp]");
        return 1;
    }
    // An open-addressing table of the distinct points seen so far, by the
    // hash of their rank vectors, with at least twice as many slots as
    // points. Distinct points keep the order of their first appearance.
    int slot_bits = 1;
    while (((uint64_t)1 << slot_bits) < 2 * n) slot_bits++;
    const uint64_t slot_mask = ((uint64_t)1 << slot_bits) - 1;
    uint64_t* slots = (uint64_t*)malloc_table(slot_mask + 1, 1, sizeof(uint64_t));
    if (!slots) {
        free_large(tmp_data);
        free_large(tmp_counts_x);
        free_large(tmp_counts_y);
        raise_error(PyExc_RuntimeError, "out of memory - deduplicate_data[tmp]");
        return 1;
    }
    memset(slots, 0xFF, (slot_mask + 1) * sizeof(uint64_t));
    int status = 0;
    uint64_t unique_counts = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (interrupted_at(i)) {
            status = 20;
            break;
        }
        const int32_t* ranks = s->coordinates + i * d;
        const uint32_t cx = s->counts_x[i * samples], cy = s->counts_y[i * samples];
        uint64_t slot = (point_hash(ranks, d) * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits);
        while (slots[slot] != UINT64_MAX && !same_point(tmp_data + slots[slot] * d, ranks, d)) {
            slot = (slot + 1) & slot_mask;
        }
        if (slots[slot] == UINT64_MAX) {
            slots[slot] = unique_counts;
            s->origin[unique_counts] = s->origin[i];
            memcpy(tmp_data + unique_counts * d, ranks, d * sizeof(int32_t));
            tmp_counts_x[unique_counts] = cx;
            tmp_counts_y[unique_counts] = cy;
            unique_counts++;
            continue;
        }
        const uint64_t j = slots[slot];
        // Merged multiplicities must still fit the 32-bit tables.
        if ((uint64_t)tmp_counts_x[j] + cx > UINT32_MAX || (uint64_t)tmp_counts_y[j] + cy > UINT32_MAX) {
            raise_error(PyExc_ValueError,
                        "equal points have a summed multiplicity above 4294967295 in the %s "
                        "sample; merge them yourself with 64-bit counts or pass "
                        "deduplicate_data=False",
                        (uint64_t)tmp_counts_x[j] + cx > UINT32_MAX ? "first" : "second");
            status = 3;
            break;
        }
        tmp_counts_x[j] += cx;
        tmp_counts_y[j] += cy;
    }
    free_large(slots);
    if (status) {
        free_large(tmp_data);
        free_large(tmp_counts_x);
        free_large(tmp_counts_y);
        return status;
    }

    int32_t* new_data = (int32_t*)malloc_table(unique_counts, d, sizeof(int32_t));
    uint32_t* new_counts_x = (uint32_t*)malloc_table(unique_counts, samples, sizeof(uint32_t));
    uint32_t* new_counts_y = (uint32_t*)malloc_table(unique_counts, samples, sizeof(uint32_t));
    if (!new_data || !new_counts_x || !new_counts_y) {
        free_large(new_data);
        free_large(new_counts_x);
        free_large(new_counts_y);
        free_large(tmp_data);
        free_large(tmp_counts_x);
        free_large(tmp_counts_y);
        raise_error(PyExc_RuntimeError, "out of memory - deduplicate_data[s->coordinates]");
        return 1;
    }
    adopt_tables(s, unique_counts, new_data, new_counts_x, new_counts_y);
    memcpy(s->coordinates, tmp_data, unique_counts * d * sizeof(int32_t));
    for (uint64_t i = 0; i < unique_counts; i++) {
        s->counts_x[i * samples] = tmp_counts_x[i];
        s->counts_y[i * samples] = tmp_counts_y[i];
    }
    free_large(tmp_data);
    free_large(tmp_counts_x);
    free_large(tmp_counts_y);
    return 0;
}

static_assert(RAND_MAX == 2147483647, "the draws assume rand() yields 31 random bits");

void seed_random(RandomSource* r, uint32_t seed) {
    r->own = true;
    // The additive feedback generator x[i] = x[i - 3] + x[i - 31] of the GNU
    // C library's random(), seeded as srandom() seeds it: a Lehmer sequence
    // fills the table, and the first 310 outputs are thrown away.
    int64_t word = (int32_t)(seed ? seed : 1);
    r->table[0] = (int32_t)word;
    for (int i = 1; i < 31; i++) {
        const int64_t hi = word / 127773, lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0) word += 2147483647;
        r->table[i] = (int32_t)word;
    }
    r->front = 3;
    r->rear = 0;
    for (int i = 0; i < 310; i++) (void)next_random(r);
}

uint32_t next_random(RandomSource* r) {
    if (!r->own) return (uint32_t)rand();
    const uint32_t value = (uint32_t)r->table[r->front] + (uint32_t)r->table[r->rear];
    r->table[r->front] = (int32_t)value;
    r->front = r->front == 30 ? 0 : r->front + 1;
    r->rear = r->rear == 30 ? 0 : r->rear + 1;
    return value >> 1;
}

// A position drawn uniformly from [0, total), total > 0. One call of the
// generator gives 2^31 equally likely values, two calls 2^62; the values of
// the incomplete top block (range mod total of them) are drawn again, so that
// no position comes up more often than another.
static inline uint64_t uniform_below(RandomSource* r, uint64_t total) {
    const uint64_t range = (uint64_t)1 << 31;
    uint64_t value;
    if (total <= range) {
        const uint64_t limit = range - range % total;
        do value = next_random(r);
        while (value >= limit);
    } else {
        const uint64_t wide = range * range, limit = wide - wide % total;
        do value = ((uint64_t)next_random(r) << 31) | next_random(r);
        while (value >= limit);
    }
    return value % total;
}

// The point whose block of positions contains `position`, the points'
// observations laid out one after the other in the sum tree. Without
// replacement the observation is taken out of every entry on its path.
static inline uint64_t descend_tree(uint32_t* count_tree, uint64_t size, bool remove, uint64_t position) {
    uint64_t element_index = 1;
    while (element_index < size) {
        if (remove) count_tree[element_index]--;
        // Without a branch: which way the position goes is a coin toss.
        const uint64_t left = count_tree[2 * element_index];
        const uint64_t right = position >= left;
        position -= left & (0 - right);
        element_index = 2 * element_index + right;
    }
    if (remove) count_tree[element_index]--;
    return element_index - size;
}

// One draw from the pooled observations held by the sum tree: the point at a
// random position. Returns the point's index.
static inline uint64_t draw_point(uint32_t* count_tree, uint64_t size, bool remove,
                                  RandomSource* random) {
    return descend_tree(count_tree, size, remove, uniform_below(random, count_tree[1]));
}

// Sets the leaves to the pooled multiplicities and sums them up the tree,
// polling for signals when `poll` is set (on the interpreter's thread alone).
static int build_count_tree(const DataSet* s, uint32_t* count_tree, uint64_t size, bool poll = true) {
    for (uint64_t i = 0; i < s->n; i++) {
        if (poll && interrupted_at(i)) return 1;
        count_tree[size + i] = s->counts_x[i * s->samples] + s->counts_y[i * s->samples];
    }
    for (uint64_t j = size - 1; j >= 1; j--) {
        if (poll && interrupted_at(j)) return 1;
        count_tree[j] = count_tree[2 * j] + count_tree[2 * j + 1];
    }
    return 0;
}

// Draws `draws` observations into column p of `table`.
static int draw_column(const DataSet* s, uint32_t* count_tree, uint64_t size, uint64_t draws,
                       bool remove, uint32_t* table, uint64_t p, RandomSource* random) {
    for (uint64_t t = 0; t < draws; t++) {
        if (interrupted_at(t)) return 1;
        table[draw_point(count_tree, size, remove, random) * s->samples + p]++;
    }
    return 0;
}

// Labellings drawn on several threads. Every draw is a position below the
// number of observations still in the pool, which is known in advance (the
// pool loses one observation a draw without replacement and none with it),
// so the calling thread can take the random positions of each labelling from
// the generator in the usual sequence, while the workers, each with a sum
// tree of its own, turn the positions of earlier labellings into points. The
// tables come out exactly as one thread draws them. The positions pass
// through a ring of `ring` columns; the calling thread draws positions until
// the ring is full, then turns positions into points itself until a column is
// free again. Each labelling's multiplicities go to a column of `drawn` of
// its own, which the threads copy into the point-major tables at the end:
// threads writing neighbouring labellings straight into those tables would
// keep taking each other's cache lines. Only the calling thread polls for
// signals; it sets `stop` for the workers.
struct DrawRing {
    DataSet* s;
    bool remove;
    uint64_t draws;          // positions a labelling takes
    uint64_t columns;        // labellings to draw: samples - 1
    uint64_t ring;
    uint32_t threads;
    uint32_t** positions;    // ring x draws
    bool* busy;              // a column's positions wait in the slot or are in use
    uint32_t** trees;        // one sum tree of 2 x size counters per thread
    uint64_t size;
    uint32_t* drawn;         // columns x n first-sample multiplicities, then as
                             // many second-sample ones with replacement
    uint64_t produced;       // columns whose positions are in the ring
    uint64_t claimed;        // columns taken by a thread
    bool stop;
    bool failed;             // the calling thread met a pending signal
    RandomSource* random;
    pthread_mutex_t mutex;
    pthread_cond_t changed;  // a column was produced or freed, or stop was set
};

// Turns the positions of column c (labelling c + 1) into multiplicities, with
// the thread's own tree. Without replacement the tree's leaves end up holding
// what each point keeps for the second sample. Returns false when stopped.
static bool draw_from_positions(DrawRing* ring, uint32_t* tree, uint64_t c) {
    const DataSet* s = ring->s;
    const uint64_t n = s->n;
    const uint32_t* positions = ring->positions[c % ring->ring];
    uint32_t* drawn_x = ring->drawn + c * n;
    uint32_t* drawn_y = ring->drawn + (ring->columns + c) * n;
    if (ring->remove) {
        (void)build_count_tree(s, tree, ring->size, false);
    } else {
        memset(drawn_x, 0, n * sizeof(uint32_t));
        memset(drawn_y, 0, n * sizeof(uint32_t));
    }
    for (uint64_t t = 0; t < ring->draws; t++) {
        if ((t & 4095) == 0 && __atomic_load_n(&ring->stop, __ATOMIC_RELAXED)) return false;
        const uint64_t point = descend_tree(tree, ring->size, ring->remove, positions[t]);
        if (!ring->remove) (t < s->size_x ? drawn_x : drawn_y)[point]++;
    }
    if (ring->remove) {
        for (uint64_t i = 0; i < n; i++) {
            drawn_x[i] = s->counts_x[i * s->samples] + s->counts_y[i * s->samples] - tree[ring->size + i];
        }
    }
    return true;
}

// Takes the next column whose positions are ready, waiting for one unless
// `wait` is false. Returns the column, or UINT64_MAX when there is none to
// take (or none yet, without waiting).
static uint64_t claim_column(DrawRing* ring, bool wait) {
    pthread_mutex_lock(&ring->mutex);
    while (wait && ring->claimed == ring->produced && ring->produced < ring->columns && !ring->stop) {
        pthread_cond_wait(&ring->changed, &ring->mutex);
    }
    uint64_t c = UINT64_MAX;
    if (!ring->stop && ring->claimed < ring->produced) c = ring->claimed++;
    pthread_mutex_unlock(&ring->mutex);
    return c;
}

static void release_column(DrawRing* ring, uint64_t c) {
    pthread_mutex_lock(&ring->mutex);
    ring->busy[c % ring->ring] = false;
    pthread_cond_broadcast(&ring->changed);
    pthread_mutex_unlock(&ring->mutex);
}

static void stop_drawing(DrawRing* ring) {
    pthread_mutex_lock(&ring->mutex);
    __atomic_store_n(&ring->stop, true, __ATOMIC_RELAXED);
    pthread_cond_broadcast(&ring->changed);
    pthread_mutex_unlock(&ring->mutex);
}

// Fills slot c % ring with the positions of column c, in the generator's
// sequence. Returns false on a pending signal.
static bool draw_positions(DrawRing* ring, RandomSource* random, uint64_t c) {
    uint32_t* positions = ring->positions[c % ring->ring];
    const uint64_t pool = ring->s->size_x + ring->s->size_y;
    for (uint64_t t = 0; t < ring->draws; t++) {
        if (interrupted_at(t)) return false;
        positions[t] = (uint32_t)uniform_below(random, ring->remove ? pool - t : pool);
    }
    return true;
}

// The calling thread's part: draws the positions of every column in turn,
// and turns columns into points while the ring is full.
static bool produce_columns(DrawRing* ring, RandomSource* random) {
    for (uint64_t c = 0; c < ring->columns; c++) {
        for (;;) {
            pthread_mutex_lock(&ring->mutex);
            const bool free_slot = !ring->busy[c % ring->ring];
            pthread_mutex_unlock(&ring->mutex);
            if (free_slot) break;
            if (PyErr_CheckSignals() != 0) return false;
            const uint64_t mine = claim_column(ring, false);
            if (mine != UINT64_MAX) {
                if (!draw_from_positions(ring, ring->trees[0], mine)) return false;
                release_column(ring, mine);
                continue;
            }
            // Every waiting column is in a worker's hands: wait a little for
            // one to come free, and poll again.
            struct timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += 2000000;
            if (until.tv_nsec >= 1000000000) {
                until.tv_sec++;
                until.tv_nsec -= 1000000000;
            }
            pthread_mutex_lock(&ring->mutex);
            if (ring->busy[c % ring->ring]) pthread_cond_timedwait(&ring->changed, &ring->mutex, &until);
            pthread_mutex_unlock(&ring->mutex);
        }
        if (!draw_positions(ring, random, c)) return false;
        pthread_mutex_lock(&ring->mutex);
        ring->busy[c % ring->ring] = true;
        ring->produced = c + 1;
        pthread_cond_broadcast(&ring->changed);
        pthread_mutex_unlock(&ring->mutex);
    }
    for (uint64_t c; (c = claim_column(ring, false)) != UINT64_MAX;) {
        if (PyErr_CheckSignals() != 0 || !draw_from_positions(ring, ring->trees[0], c)) return false;
        release_column(ring, c);
    }
    return true;
}

static void draw_part(void* vargp, uint32_t t) {
    DrawRing* ring = (DrawRing*)vargp;
    if (!ring->remove) (void)build_count_tree(ring->s, ring->trees[t], ring->size, false);
    if (t == 0) {
        if (!produce_columns(ring, ring->random)) {
            ring->failed = true;
            stop_drawing(ring);
        }
        return;
    }
    for (uint64_t c; (c = claim_column(ring, true)) != UINT64_MAX;) {
        if (!draw_from_positions(ring, ring->trees[t], c)) return;
        release_column(ring, c);
    }
}

// Copies the drawn columns into the point-major tables, thread t taking the
// t-th share of the points. Without replacement the second sample holds what
// the first did not draw.
static void store_drawn(void* vargp, uint32_t t) {
    const DrawRing* ring = (const DrawRing*)vargp;
    DataSet* s = ring->s;
    const uint64_t n = s->n, samples = s->samples;
    const uint64_t from = n * t / ring->threads, to = n * (t + 1) / ring->threads;
    for (uint64_t i = from; i < to; i++) {
        uint32_t* cx = s->counts_x + i * samples;
        uint32_t* cy = s->counts_y + i * samples;
        const uint32_t pooled = cx[0] + cy[0];
        for (uint64_t p = 1; p < samples; p++) {
            cx[p] = ring->drawn[(p - 1) * n + i];
            cy[p] = ring->remove ? pooled - cx[p] : ring->drawn[(ring->columns + p - 1) * n + i];
        }
    }
}

// Drawing side by side holds the positions of a ring of twice as many
// columns as threads, and the drawn columns besides the tables; where that
// would take more than the multiplicity tables themselves (and more than 64
// MiB), or with a single labelling or thread, one thread draws.
static bool draw_side_by_side(const DataSet* s, bool draw_samples, uint32_t threads) {
    const uint64_t draws = draw_samples ? s->size_x + s->size_y : s->size_x;
    const double ring = 2.0 * std::min<uint64_t>(threads, s->samples - 1) * (double)draws * sizeof(uint32_t);
    const double drawn = (draw_samples ? 2.0 : 1.0) * (double)s->n * (double)(s->samples - 1) * sizeof(uint32_t);
    const double tables = 2.0 * (double)s->n * (double)s->samples * sizeof(uint32_t);
    return threads > 1 && s->samples > 2 && ring + drawn <= std::max(tables, 64.0 * (1 << 20));
}

// Draws the labellings with the ring above. Returns 0, 1 on a pending signal
// (its exception set) or 2 for lack of memory (reported).
static int draw_in_parallel(DataSet* s, bool draw_samples, RandomSource* random, uint32_t threads, uint64_t size) {
    threads = (uint32_t)std::min<uint64_t>(threads, s->samples - 1);
    DrawRing ring = {};
    ring.s = s;
    ring.remove = !draw_samples;
    ring.draws = draw_samples ? s->size_x + s->size_y : s->size_x;
    ring.columns = s->samples - 1;
    ring.ring = 2 * (uint64_t)threads;
    ring.threads = threads;
    ring.size = size;
    ring.random = random;
    ring.positions = (uint32_t**)calloc(ring.ring, sizeof(uint32_t*));
    ring.busy = (bool*)calloc(ring.ring, sizeof(bool));
    ring.trees = (uint32_t**)calloc(threads, sizeof(uint32_t*));
    ring.drawn = (uint32_t*)malloc_table(ring.columns * (draw_samples ? 2 : 1), s->n, sizeof(uint32_t));
    bool ok = ring.positions && ring.busy && ring.trees && ring.drawn;
    for (uint64_t r = 0; ok && r < ring.ring; r++) {
        ok = (ring.positions[r] = (uint32_t*)malloc_table(ring.draws, 1, sizeof(uint32_t))) != NULL;
    }
    for (uint32_t t = 0; ok && t < threads; t++) {
        ok = (ring.trees[t] = (uint32_t*)calloc(2 * size, sizeof(uint32_t))) != NULL;
    }
    int status = 2;
    if (ok) {
        pthread_mutex_init(&ring.mutex, NULL);
        pthread_cond_init(&ring.changed, NULL);
        run_parallel(threads, draw_part, &ring);
        pthread_cond_destroy(&ring.changed);
        pthread_mutex_destroy(&ring.mutex);
        status = ring.failed ? 1 : 0;
        if (!ring.failed) run_parallel(threads, store_drawn, &ring);
    } else {
        raise_error(PyExc_RuntimeError, "out of memory error - generate_permutations[count_tree]");
    }
    if (ring.positions) {
        for (uint64_t r = 0; r < ring.ring; r++) free_large(ring.positions[r]);
    }
    if (ring.trees) {
        for (uint32_t t = 0; t < threads; t++) free(ring.trees[t]);
    }
    free(ring.positions);
    free(ring.busy);
    free(ring.trees);
    free_large(ring.drawn);
    return status;
}

int generate_permutations(DataSet* s, bool draw_samples, RandomSource* random, uint32_t threads) {
    const uint64_t n = s->n, samples = s->samples;
    // The tree's counters are 32-bit: a larger pool cannot be drawn from.
    if (s->size_x + s->size_y > UINT32_MAX) {
        raise_error(PyExc_ValueError,
                    "permutation samples need the pooled total multiplicity below 4294967296 "
                    "(got %llu)",
                    (unsigned long long)(s->size_x + s->size_y));
        return 3;
    }
    uint64_t size = 1;
    while (size < n) size *= 2;
    if (draw_side_by_side(s, draw_samples, threads)) return draw_in_parallel(s, draw_samples, random, threads, size);
    for (uint64_t i = 0; i < n; i++) {
        memset(s->counts_x + i * samples + 1, 0, (samples - 1) * sizeof(uint32_t));
        if (draw_samples) memset(s->counts_y + i * samples + 1, 0, (samples - 1) * sizeof(uint32_t));
    }
    uint32_t* count_tree = (uint32_t*)calloc(2 * size, sizeof(uint32_t));
    if (!count_tree) {
        raise_error(PyExc_RuntimeError, "out of memory error - generate_permutations[count_tree]");
        return 2;
    }
    const bool remove = !draw_samples;
    for (uint64_t p = 1; p < samples; p++) {
        if (PyErr_CheckSignals() != 0 || ((p == 1 || remove) && build_count_tree(s, count_tree, size)) ||
            draw_column(s, count_tree, size, s->size_x, remove, s->counts_x, p, random)) {
            free(count_tree);
            return 1;
        }
        if (remove) {
            for (uint64_t i = 0; i < n; i++) s->counts_y[i * samples + p] = count_tree[size + i];
        } else if (draw_column(s, count_tree, size, s->size_y, false, s->counts_y, p, random)) {
            free(count_tree);
            return 1;
        }
    }
    free(count_tree);
    return 0;
}

int load_rank_vectors(DataSet* s) {
    s->vector_blocks = (s->d + 15) / 16;
    size_t bytes;
    // aligned_alloc wants a nonzero multiple of the alignment.
    if (!table_bytes(s->n, s->vector_blocks, 64, &bytes) ||
        !(s->rank_vectors = aligned_alloc(64, bytes ? bytes : 64))) {
        s->rank_vectors = NULL;
        raise_error(PyExc_RuntimeError, "out of memory - load_avx_data[rank_vectors]");
        return 1;
    }
    int32_t* blocks = (int32_t*)s->rank_vectors;
    for (uint64_t i = 0; i < s->n; i++) {
        if (interrupted_at(i)) return 2;
        for (uint64_t j = 0; j < s->vector_blocks; j++) {
            int32_t batch512[16] = {0};
            const uint64_t first = 16 * j;
            const uint64_t m = std::min<uint64_t>(16, s->d - first);
            memcpy(batch512, s->coordinates + i * s->d + first, m * sizeof(int32_t));
            memcpy(blocks + (i * s->vector_blocks + j) * 16, batch512, sizeof(batch512));
        }
    }
    return 0;
}

// A second vector layout. Every build reads the one above: the AVX2 build as
// two 32-byte halves per block, which its 64-byte alignment keeps aligned.

void free_data(DataSet* s, Options* options) {
    free_large(s->coordinates);
    free_large(s->counts_x);
    free_large(s->counts_y);
    free(s->rank_vectors);
    free_large(s->folded);
    free_large(s->labelling_weights);
    free_large(s->origin);
    release_large_cache();
    if (options->cancel.obj) PyBuffer_Release(&options->cancel);
}

// With one labelling, each point's two multiplicities fold into one signed
// weight size_y * cx - size_x * cy, so that one counter per orthant holds the
// scaled difference itself. Every partial sum of the weights lies within
// size_x * size_y of zero, so folding applies while that product fits a signed
// 64-bit word; otherwise `folded` stays null. Only the scans that read the
// weights store them.
static bool weights_fold(const DataSet* s) {
    uint64_t product;
    return s->samples == 1 && !__builtin_mul_overflow(s->size_x, s->size_y, &product) &&
           product <= (uint64_t)INT64_MAX;
}

static inline int64_t folded_weight(const DataSet* s, uint64_t j) {
    return (int64_t)(s->size_y * s->counts_x[j]) - (int64_t)(s->size_x * s->counts_y[j]);
}

// The largest magnitude among the folded weights, 0 when they do not fold.
static int64_t largest_folded_weight(const DataSet* s) {
    int64_t largest = 0;
    if (!weights_fold(s)) return 0;
    for (uint64_t j = 0; j < s->n; j++) {
        const int64_t w = folded_weight(s, j);
        largest = std::max(largest, w < 0 ? -w : w);
    }
    return largest;
}

int load_folded_weights(DataSet* s) {
    s->folded = NULL;
    s->largest_weight = 0;
    if (!weights_fold(s)) return 0;
    if (!(s->folded = (int64_t*)malloc_table(s->n, 1, sizeof(int64_t)))) {
        raise_error(PyExc_RuntimeError, "out of memory - load_folded_weights[folded]");
        return 1;
    }
    for (uint64_t j = 0; j < s->n; j++) s->folded[j] = folded_weight(s, j);
    s->largest_weight = largest_folded_weight(s);
    return 0;
}

// The folded weights size_y * cx - size_x * cy of every labelling for the
// several-labelling scan, which serves only where size_x * size_y fits a
// signed 32-bit word, so that every weight and every orthant sum of them
// does. Returns 0, 1 on a pending signal or 2 for lack of memory.
int load_labelling_weights(DataSet* s) {
    const uint64_t n = s->n, samples = s->samples;
    const uint64_t last = (samples - 1) / LABELLING_CHUNK * LABELLING_CHUNK;
    s->labelling_weights = (int32_t*)malloc_table(n, last + (samples - last + 7) / 8 * 8, sizeof(int32_t));
    if (!s->labelling_weights) {
        raise_error(PyExc_RuntimeError, "out of memory - load_labelling_weights[labelling_weights]");
        return 2;
    }
    const uint32_t size_x = (uint32_t)s->size_x, size_y = (uint32_t)s->size_y;
    for (uint64_t first = 0; first < samples; first += LABELLING_CHUNK) {
        const uint64_t length = std::min(LABELLING_CHUNK, samples - first), width = (length + 7) / 8 * 8;
        int32_t* block = s->labelling_weights + n * first;
        for (uint64_t j = 0; j < n; j++) {
            if (interrupted_at(j)) return 1;
            const uint32_t* cx = s->counts_x + j * samples + first;
            const uint32_t* cy = s->counts_y + j * samples + first;
            int32_t* row = block + j * width;
            for (uint64_t k = 0; k < length; k++) row[k] = (int32_t)(size_y * cx[k]) - (int32_t)(size_x * cy[k]);
            for (uint64_t k = length; k < width; k++) row[k] = 0;
        }
    }
    return 0;
}

const char* const scan_path_names[SCAN_PATH_COUNT] = {"dense",      "sparse", "lanes",    "packed",
                                                      "labellings", "hashed", "dominance"};

// Whether counting the orthants of all corners through dominance counts is
// expected to beat scanning all pairs of points, by a cost model fitted on an
// AMD EPYC (portable build, one thread, 2 x 4096 points with and without 15
// permutation samples):
//   a scan costs about 30 us to start plus, per (corner, point, labelling),
//   1.0, 1.9 and 2.6 ns at d = 1, 2, 3 with one labelling (the lane scan) and
//   0.55, 0.62 and 0.74 ns with several (the labelling scan);
//   dominance costs about 5 us plus, per point and labelling, 15, 3 to 6 x
//   log2 n and 2.1 to 6.9 x log2^2 n ns at d = 1, 2, 3 (passes shared by
//   several labellings cost less per labelling).
// With the histogram of the binomial significance both collect the same
// 2^d entries per corner, and its evaluation dominates either way. At these
// rates dominance wins from a few dozen points on, and its fixed cost is the
// smaller, so the model picks it for every call of one or two dimensions and
// for all but a band of small three-dimensional data sets with many
// labellings (about 20 to 150 points with 200 labellings), where the
// labelling scan is a little faster; the scans remain for larger d.
static bool dominance_is_cheaper(const DataSet* s, const Options* options) {
    static const double scan_one_ns[4] = {1.0, 1.0, 1.9, 2.6}, scan_several_ns[4] = {0.55, 0.55, 0.62, 0.74};
    static const double dominance_one_ns[4] = {15, 15, 6, 6.9}, dominance_several_ns[4] = {15, 15, 3, 2.1};
    (void)options;
    const double n = (double)s->n, labellings = (double)s->samples, log_n = log2(std::max(n, 2.0));
    const bool one = s->samples == 1;
    const double scan = 30e3 + (one ? scan_one_ns : scan_several_ns)[s->d] * n * n * labellings;
    const double dominance =
        5e3 + (one ? dominance_one_ns : dominance_several_ns)[s->d] * n * pow(log_n, s->d > 1 ? s->d - 1.0 : 0.0) * labellings;
    return dominance < scan;
}

// The one place where a call's scan path is decided. Each path computes the
// same labelling maxima (and, where it collects one, the same histogram):
//   dense       every corner counts both samples in all 2^d orthants (tables
//               of 2^d x labellings words); the general path when n >= 2^d.
//   sparse      every corner sorts the points by orthant and walks the runs;
//               the general path when n < 2^d.
//   lanes       one labelling, folded weights, 1 to 4 dimensions: sixteen
//               corners are the lanes of the vector operations (32-bit lane
//               sums, so the largest weight must fit 31 bits).
//   packed      one labelling, folded weights, 1 to 16 dimensions: 16 / d
//               corners share one 16-lane comparison.
//   labellings  several labellings, folded into 32-bit differences (needs
//               size_x * size_y < 2^31), corners in groups sharing each pass.
//   hashed      one labelling, folded weights, occupied orthants of a corner
//               found with a hash table; for n < 2^d.
//   dominance   at most three dimensions: orthant counts of all corners at
//               once from dominance counts, in O(n log^(d-1) n) per labelling.
// The fast paths never collect the binomial histogram except dominance.
// `forced` is the TESSARIN_SCAN setting: null, empty or "auto" for the normal
// choice, "scan" for the normal choice among the scans of all pairs (never
// dominance), "general" for the general path, or a path's name. A forced path
// that cannot serve the call is refused with ValueError.
int choose_scan(const DataSet* s, Options* options, const char* forced) {
    const bool one = !options->calculate_binomial_significance && weights_fold(s);
    uint64_t product;
    const bool narrow = s->samples > 1 && !options->calculate_binomial_significance &&
                        !__builtin_mul_overflow(s->size_x, s->size_y, &product) && product <= (uint64_t)INT32_MAX;
    bool serves[SCAN_PATH_COUNT];
    serves[SCAN_DENSE] = serves[SCAN_SPARSE] = true;
    // The lane scan's 32-bit sums also need every folded weight to fit 32
    // bits, which takes a pass over the weights: checked only when that scan
    // is the one to choose.
    serves[SCAN_LANES] = one && s->d >= 1 && s->d <= 4;
    const auto lanes_fit = [s]() { return largest_folded_weight(s) <= INT32_MAX; };
    serves[SCAN_PACKED] = one && s->d >= 1 && s->d <= 16;
    serves[SCAN_LABELLINGS] = narrow && s->d <= 16;
    serves[SCAN_HASHED] = one;
    serves[SCAN_DOMINANCE] = s->d <= 3;
    const ScanPath general = s->n < s->orthants ? SCAN_SPARSE : SCAN_DENSE;

    // "scan" asks for the normal choice among the scans of all pairs.
    const bool scan_only = forced && strcmp(forced, "scan") == 0;
    if (forced && *forced && strcmp(forced, "auto") != 0 && !scan_only) {
        if (strcmp(forced, "general") == 0) {
            options->scan = general;
            return 0;
        }
        for (int p = 0; p < SCAN_PATH_COUNT; p++) {
            if (strcmp(forced, scan_path_names[p]) != 0) continue;
            if (!serves[p] || (p == SCAN_LANES && !lanes_fit())) {
                raise_error(PyExc_ValueError,
                            "TESSARIN_SCAN=%s cannot serve this call (%llu dimensions, %llu labellings%s)", forced,
                            (unsigned long long)s->d, (unsigned long long)s->samples,
                            options->calculate_binomial_significance ? ", binomial significance" : "");
                return 1;
            }
            options->scan = (ScanPath)p;
            return 0;
        }
        raise_error(PyExc_ValueError,
                    "TESSARIN_SCAN must be one of auto, scan, general, dense, sparse, lanes, packed, "
                    "labellings, hashed, dominance (got '%.40s')",
                    forced);
        return 1;
    }
    if (serves[SCAN_DOMINANCE] && !scan_only && dominance_is_cheaper(s, options)) {
        options->scan = SCAN_DOMINANCE;
    } else if (general == SCAN_SPARSE) {
        options->scan = serves[SCAN_HASHED] ? SCAN_HASHED : SCAN_SPARSE;
    } else if (serves[SCAN_LANES] && lanes_fit()) {
        options->scan = SCAN_LANES;
    } else if (serves[SCAN_PACKED]) {
        options->scan = SCAN_PACKED;
    } else if (s->samples > 1 && narrow) {
        options->scan = SCAN_LABELLINGS;
    } else {
        options->scan = SCAN_DENSE;
    }
    return 0;
}

// Parses the call's arguments over the option defaults. Three keywords
// follow the core list: `seed`, when given, starts a generator of the call's
// own for the permutation samples; `details` asks for a dict result; `cancel`
// is a flag another thread may set to stop the computation.
static int parse_arguments(Options* options, PyObject* args, PyObject* kwargs, PyObject** data,
                           PyObject** data2, PyObject** counts_x, PyObject** counts_y,
                           bool* debug, PyObject** seed, PyObject** cancel) {
    static const char* kwlist[] = {"",
                                   "cdf",
                                   "counts_rvs",
                                   "counts_cdf",
                                   "n_jobs",
                                   "permutation_samples",
                                   "binomial_significance",
                                   "max_alpha_beta",
                                   "scale_result",
                                   "deduplicate_data",
                                   "draw_samples",
                                   "debug",
                                   "seed",
                                   "details",
                                   "cancel",
                                   NULL};
    int n_jobs = 1, permutation_samples = 0;
    unsigned char binomial = 0, max_alpha_beta = 1, scale_result = 0, deduplicate = 1, draw = 0,
                  debug_flag = 0, details = 0;
    *data = *data2 = *counts_x = *counts_y = *seed = *cancel = NULL;
    options->cancel.obj = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOiibbbbbbObO", const_cast<char**>(kwlist), data,
                                     data2, counts_x, counts_y, &n_jobs, &permutation_samples,
                                     &binomial, &max_alpha_beta, &scale_result, &deduplicate, &draw,
                                     &debug_flag, seed, &details, cancel)) {
        return 1;
    }
    if (*cancel == Py_None) *cancel = NULL;
    if (*cancel && !PyObject_CheckBuffer(*cancel)) {
        raise_error(PyExc_TypeError, "cancel should be a writable buffer such as bytearray(1)");
        return 3;
    }
    // Negative values would wrap to huge unsigned thread and sample counts.
    if (n_jobs < 1) {
        raise_error(PyExc_ValueError, "n_jobs should be at least 1 (got %d)", n_jobs);
        return 3;
    }
    if (permutation_samples < 0) {
        raise_error(PyExc_ValueError, "permutation_samples should be at least 0 (got %d)",
                    permutation_samples);
        return 3;
    }
    options->thread_no = (uint32_t)n_jobs;
    options->permutation_significance = (uint32_t)permutation_samples;
    options->calculate_binomial_significance = binomial != 0;
    options->max_alpha_beta = max_alpha_beta != 0;
    options->scale_result = scale_result != 0;
    options->deduplicate_data = deduplicate != 0;
    options->draw_samples = draw != 0;
    options->details = details != 0;
    *debug = debug_flag != 0;
    return 0;
}

// Chooses the source of the permutation draws: the process-wide rand()
// sequence, or the call's own generator when a seed was passed.
static int apply_seed(PyObject* seed, RandomSource* random) {
    random->own = false;
    if (!seed || seed == Py_None) return 0;
    unsigned long long value = PyLong_Check(seed) ? PyLong_AsUnsignedLongLong(seed) : (unsigned long long)-1;
    if (PyErr_Occurred() || value > UINT32_MAX) {
        PyErr_Clear();
        raise_error(PyExc_ValueError, "seed should be None or an integer from 0 to 4294967295");
        return 3;
    }
    seed_random(random, (uint32_t)value);
    return 0;
}

// Refuses samples that weigh nothing and sizes whose product, the common
// denominator of the kernels' integer differences, does not fit in 64 bits.
static int check_sample_sizes(const DataSet* s) {
    if (s->size_x == 0) {
        raise_error(PyExc_ValueError,
                    "the first sample is empty: rvs has no rows or counts_rvs sums to 0");
        return 4;
    }
    if (s->size_y == 0) {
        raise_error(PyExc_ValueError,
                    "the second sample is empty: cdf has no rows or counts_cdf sums to 0");
        return 4;
    }
    uint64_t product;
    if (__builtin_mul_overflow(s->size_x, s->size_y, &product)) {
        raise_error(PyExc_ValueError,
                    "the product of the sample sizes (%llu x %llu) does not fit in 64 bits",
                    (unsigned long long)s->size_x, (unsigned long long)s->size_y);
        return 5;
    }
    return 0;
}

// Loads the coordinates as int32 values or as ranks. Returns 0, 40 + a
// copy_data status, or 2 with an exception set.
static int load_coordinates(DataSet* s, PyObject* data, PyObject* data2, uint32_t threads) {
    s->ranked = false;
    if (can_cast_safely(data, NPY_INT)) {
        int status = copy_data(s, data, data2);
        return status ? 40 + status : 0;
    }
    // Ranks are stored as int32: at most 2^31 distinct values per dimension.
    if (s->n > (uint64_t)INT32_MAX + 1) {
        raise_error(PyExc_ValueError, "at most 2147483648 points can be ranked (got %llu)",
                    (unsigned long long)s->n);
        return 2;
    }
    s->coordinates = load_ranking<long>(data, data2, NPY_LONG, threads);
    // A pending signal or a refused value ends the load with its own exception.
    if (!s->coordinates && !PyErr_Occurred()) s->coordinates = load_ranking<double>(data, data2, NPY_DOUBLE, threads);
    if (!s->coordinates) {
        if (!PyErr_Occurred()) {
            raise_error(PyExc_RuntimeError,
                        "cdf should have the same dtype as rsv, and one of int32, int64 or double");
        }
        return 2;
    }
    s->ranked = true;
    return 0;
}

int load_data(DataSet* s, Options* options, PyObject* args, PyObject* kwargs, bool skip_samples) {
    PyObject *data, *data2, *counts_x, *counts_y, *seed, *cancel;
    bool debug;
    RandomSource random;
    int status = parse_arguments(options, args, kwargs, &data, &data2, &counts_x, &counts_y,
                                 &debug, &seed, &cancel);
    if (status) return status;
    (void)debug;
    if ((status = check_processor())) return status;
    if ((status = validate_inputs(data, data2, counts_x, counts_y))) return status;
    if ((status = apply_seed(seed, &random))) return status;

    uint64_t n1, n2;
    load_shapes(s, data, data2, &n1, &n2);
    if ((status = load_coordinates(s, data, data2, options->thread_no))) return status;
    s->samples = skip_samples ? 1 : (uint64_t)(uint32_t)(options->permutation_significance + 1);
    s->counts_x = s->counts_y = NULL;
    s->rank_vectors = NULL;
    s->folded = NULL;
    s->largest_weight = 0;
    s->labelling_weights = NULL;
    s->rvs_rows = n1;
    s->origin = (uint64_t*)malloc_table(s->n, 1, sizeof(uint64_t));
    if (!s->origin) {
        free_large(s->coordinates);
        raise_error(PyExc_RuntimeError, "out of memory - load_data[origin]");
        return 50;
    }
    for (uint64_t i = 0; i < s->n; i++) s->origin[i] = i;

    if ((status = load_counts_x(s, counts_x, n1, n2))) {
        free_large(s->coordinates);
        free_large(s->origin);
        return 50 + status;
    }
    if ((status = load_counts_y(s, counts_y, n1, n2))) {
        free_large(s->coordinates);
        free_large(s->origin);
        free_large(s->counts_x);
        return 60 + status;
    }
    if ((status = check_sample_sizes(s))) {
        free_data(s, options);
        return 60 + status;
    }
    if (options->deduplicate_data && (status = deduplicate_data(s, options->thread_no))) {
        free_data(s, options);
        return 70 + status;
    }
    if (options->permutation_significance != 0 && !skip_samples &&
        (status = generate_permutations(s, options->draw_samples, &random, options->thread_no))) {
        free_data(s, options);
        return 80 + status;
    }
    // The environment is read here, with the interpreter lock held, not by
    // the workers.
    const char* bits = getenv("TESSARIN_BUCKET_BITS");
    s->bucket_bits = bits ? (uint32_t)std::min(31l, std::max(0l, strtol(bits, NULL, 10))) : 0;
    if ((status = choose_scan(s, options, getenv("TESSARIN_SCAN")))) {
        free_data(s, options);
        return 90 + status;
    }
    if (options->scan == SCAN_LABELLINGS && (status = load_labelling_weights(s))) {
        free_data(s, options);
        return 90 + status;
    }
    // The dominance counts read the coordinates themselves, not the vectors.
    if (options->scan != SCAN_DOMINANCE && ((status = load_rank_vectors(s)))) {
        free_data(s, options);
        return 90 + status;
    }
    if ((options->scan == SCAN_LANES || options->scan == SCAN_PACKED || options->scan == SCAN_HASHED) &&
        (status = load_folded_weights(s))) {
        free_data(s, options);
        return 90 + status;
    }
    // The flag is held until free_data, so that it cannot move or vanish
    // while the workers read it.
    if (cancel && PyObject_GetBuffer(cancel, &options->cancel, PyBUF_WRITABLE) != 0) {
        options->cancel.obj = NULL;
        free_data(s, options);
        return 3;
    }
    if (cancel && options->cancel.len < 1) {
        free_data(s, options);
        raise_error(PyExc_ValueError, "cancel should hold at least one byte");
        return 3;
    }
    return 0;
}
