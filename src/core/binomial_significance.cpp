#include "binomial_significance.h"

#include <math.h>
#include <stdlib.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <vector>

#include "common.h"
#include "memory.h"
#include "parallel.h"
#include "data_set.h"

// The evaluation shared by its threads: the distinct keys, in `count` runs
// handed out in turn by a relaxed atomic increment of `next`. The exceedance
// of keys[i] goes to values[i], so that the caller can add the terms in key
// order whichever thread evaluated them; `failed`, also accessed atomically,
// is set when a thread could not finish its runs. Neither orders any other
// memory: the caller reads the values once run_parallel has joined the
// threads.
struct SignificanceWork {
    const uint64_t* keys;
    size_t size;
    int count;
    int next;
    int64_t x_size;
    int64_t y_size;
    double result;
    double* values;
    bool failed;
};

// Keys counted in an array at most: 16 MiB, whose pages are only touched
// where counts fall.
const uint64_t kDenseKeys = (uint64_t)1 << 21;

void significance_init_runtime(SignificanceRuntime* r, uint64_t keys) {
    r->m_t = new (std::nothrow) std::map<uint64_t, uint64_t>();
    r->failed = r->m_t == NULL;
    // Without the array the map takes every key, so its allocation failing
    // is not an error.
    r->dense = keys && keys <= kDenseKeys ? (uint64_t*)calloc(keys, sizeof(uint64_t)) : NULL;
    r->dense_size = r->dense ? keys : 0;
}

void significance_clear_runtime(SignificanceRuntime* r) {
    delete r->m_t;
    r->m_t = NULL;
    free(r->dense);
    r->dense = NULL;
    r->dense_size = 0;
}

void significance_add(SignificanceRuntime* r, uint64_t key, uint64_t value) {
    if (key < r->dense_size) {
        r->dense[key] += value;
        return;
    }
    if (r->failed) return;
    try {
        (*r->m_t)[key] += value;
    } catch (const std::bad_alloc&) {
        r->failed = true;
    }
}

void significance_merge(SignificanceRuntime* into, SignificanceRuntime* from) {
    if (from->failed) into->failed = true;
    for (uint64_t key = 0; key < from->dense_size; key++) {
        if (from->dense[key]) significance_add(into, key, from->dense[key]);
    }
    if (!from->m_t) return;
    for (const auto& entry : *from->m_t) significance_add(into, entry.first, entry.second);
}

void significance_fold_dense(SignificanceRuntime* r) {
    if (r->failed || !r->dense) return;
    try {
        // Ascending keys below every key of the map: each goes in just
        // before the first key at or above it.
        auto hint = r->m_t->begin();
        for (uint64_t key = r->dense_size; key-- > 0;) {
            if (r->dense[key]) hint = r->m_t->emplace_hint(hint, key, r->dense[key]);
        }
    } catch (const std::bad_alloc&) {
        r->failed = true;
        return;
    }
    free(r->dense);
    r->dense = NULL;
    r->dense_size = 0;
}

void significance_push(uint64_t i, uint64_t* x_counts, SignificanceRuntime* runtime,
                       const DataSet* s) {
    const uint64_t samples = s->samples;
    // Each multiplicity fits 32 bits but their sum may not.
    const uint64_t i_count = (uint64_t)s->counts_x[i * samples] + s->counts_y[i * samples];
    for (uint64_t k = 0; k < s->orthants; k++) {
        significance_add(runtime, x_counts[k * samples], i_count);
    }
}

// Evaluates the keys of one run, [from, to), stopping early on a failure or a
// stop request. Returns false on a failure.
static bool evaluate_run(const SignificanceWork* w, size_t from, size_t to, ExceedanceScratch* scratch) {
    for (size_t i = from; i < to && keep_running(); i++) {
        if (significance_exceedance(w->keys[i], w->x_size, w->y_size, w->result, scratch, &w->values[i], NULL) != 0) {
            return false;
        }
    }
    return true;
}

// Takes runs until none is left, the computation is stopped or some thread
// failed.
static void significance_worker(void* context, uint32_t) {
    SignificanceWork* w = (SignificanceWork*)context;
    ExceedanceScratch* scratch = new (std::nothrow) ExceedanceScratch();
    if (!scratch) {
        report_worker_error("out of memory error - significance_worker[scratch]");
        __atomic_store_n(&w->failed, true, __ATOMIC_RELAXED);
        return;
    }
    const size_t per_run = w->size / (size_t)w->count;
    while (keep_running() && !__atomic_load_n(&w->failed, __ATOMIC_RELAXED)) {
        const int run = __atomic_fetch_add(&w->next, 1, __ATOMIC_RELAXED);
        if (run >= w->count) break;
        const size_t from = (size_t)run * per_run, to = run == w->count - 1 ? w->size : from + per_run;
        if (!evaluate_run(w, from, to, scratch)) __atomic_store_n(&w->failed, true, __ATOMIC_RELAXED);
    }
    delete scratch;
}

// The key whose exceedance stands for that of `key`. Mirroring both samples'
// counts (c to size_x - c) turns the fraction (c + 1) / (size_x + 2) into its
// complement and every difference of fractions into its negative, so the
// exceedances of c and size_x - c are one number; the smaller key is
// evaluated for both.
static uint64_t mirrored_key(uint64_t key, uint64_t size_x) {
    return key <= size_x && size_x - key < key ? size_x - key : key;
}

// The distinct keys to evaluate, in ascending order, each mirrored key in
// place of the one it stands for; entries of weight 0 contribute nothing,
// even where their exceedance is 1 and the logarithm -infinity.
static void distinct_keys(const std::map<uint64_t, uint64_t>& histogram, uint64_t size_x,
                          std::vector<uint64_t>* keys) {
    // In key order, the keys that stand for themselves come ascending and the
    // mirrored ones descending: one merge orders them all.
    std::vector<uint64_t> mirrored;
    keys->reserve(histogram.size());
    for (const auto& entry : histogram) {
        if (!entry.second) continue;
        const uint64_t key = mirrored_key(entry.first, size_x);
        (key == entry.first ? *keys : mirrored).push_back(key);
    }
    const size_t own = keys->size();
    keys->insert(keys->end(), mirrored.rbegin(), mirrored.rend());
    std::inplace_merge(keys->begin(), keys->begin() + (std::ptrdiff_t)own, keys->end());
    keys->erase(std::unique(keys->begin(), keys->end()), keys->end());
}

// The sum of the terms log(1 - P_c) w_c over the histogram, added in key
// order, so the value is the same on every run and for every thread count;
// values[i] is the exceedance of keys[i].
static double log_keep_probability(const std::map<uint64_t, uint64_t>& histogram, uint64_t size_x,
                                   const std::vector<uint64_t>& keys, const std::vector<double>& values) {
    // Keys that stand for themselves come ascending, mirrored ones
    // descending: each kind's position in `keys` moves one way only.
    double log_p_D = 0;
    size_t own_at = 0, mirrored_at = keys.size();
    for (const auto& entry : histogram) {
        if (!entry.second) continue;
        const uint64_t key = mirrored_key(entry.first, size_x);
        size_t at;
        if (key == entry.first) {
            while (keys[own_at] != key) own_at++;
            at = own_at;
        } else {
            while (keys[mirrored_at - 1] != key) mirrored_at--;
            at = mirrored_at - 1;
        }
        log_p_D += log1p(-values[at]) * (double)entry.second;
    }
    return log_p_D;
}

double significance_finalize(double result, const DataSet* d, const Options* options,
                             SignificanceRuntime* r) {
    significance_fold_dense(r);
    if (r->failed) {
        report_worker_error("out of memory error - significance_push[m_t]");
        return -1.0;
    }
    const std::map<uint64_t, uint64_t>& histogram = *r->m_t;
    const uint32_t T = options->thread_no;
    std::vector<uint64_t> keys;
    std::vector<double> values;
    try {
        distinct_keys(histogram, d->size_x, &keys);
        // Keys left unevaluated (no threads, or an interruption) keep 0.
        values.assign(keys.size(), 0.0);
    } catch (const std::bad_alloc&) {
        report_worker_error("out of memory error - significance_finalize[keys]");
        return -1.0;
    }
    SignificanceWork work = {keys.data(), keys.size(), T == 1 ? 1 : 10 * (int)T, 0,
                             (int64_t)d->size_x, (int64_t)d->size_y, result, values.data(), false};
    // Threads that cannot be started leave their share to the others.
    if (T > 0) run_parallel(T, significance_worker, &work);
    const double log_p_D = log_keep_probability(histogram, d->size_x, keys, values);
    // 1 - exp(log_p_D) without the cancellation of forming exp near 1.
    return work.failed ? -1.0 : 0.0 - expm1(log_p_D);
}
