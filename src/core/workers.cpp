// The worker driver: shares of corners claimed by a pool of threads (or a
// block of labellings handed whole to a path that threads itself), partial
// results merged one way, and the test result formed from them.
#include "workers.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "common.h"
#include "kernels/kernels.h"
#include "maximum_location.h"
#include "parallel.h"
#include "scan_paths.h"

void init_histogram(SignificanceRuntime* histogram, const DataSet* data) {
    significance_init_runtime(histogram, data->size_x + 1);
}

ThreadPartials::ThreadPartials(uint32_t threads, const DataSet* data, bool histogram)
    : count(threads), samples(data->samples) {
    owned = new (std::nothrow) Table<uint64_t>[threads];
    maxima = new (std::nothrow) uint64_t*[threads];
    if (histogram) histograms = new (std::nothrow) SignificanceRuntime[threads];
    ready = owned && maxima && (!histogram || histograms);
    if (histograms) {
        for (uint32_t t = 0; t < threads; t++) init_histogram(&histograms[t], data);
    }
    for (uint32_t t = 0; ready && t < threads; t++) {
        owned[t] = alloc_maxima(data->samples);
        maxima[t] = owned[t];
        ready = maxima[t] && !(histograms && histograms[t].failed);
    }
}

ThreadPartials::~ThreadPartials() {
    if (histograms) {
        for (uint32_t t = 0; t < count; t++) significance_clear_runtime(&histograms[t]);
    }
    delete[] histograms;
    delete[] maxima;
    delete[] owned;
}

// Histogram weights add up modulo 2^64 and maxima merge by maximum, so the
// merged result is the same whatever thread computed which part.
void ThreadPartials::merge_into(uint64_t* into, SignificanceRuntime* histogram) const {
    for (uint32_t t = 0; t < count; t++) {
        merge_maxima(into, maxima[t], samples);
        if (histogram) significance_merge(histogram, &histograms[t]);
    }
}

namespace {

// The scans split a block of corners into shares, several per thread, which
// the threads claim in turn: a thread held up (by other work on the machine,
// say) leaves its later shares to the others. Shares hold whole multiples of
// SHARE_GRANULE corners where there are enough, so that the kernels that take
// corners a group at a time fill their groups.
constexpr uint64_t SHARES_PER_THREAD = 8, SHARE_GRANULE = 64;

struct ShareQueue {
    Task* tasks;
    uint64_t count;
    uint64_t next;  // the next share to claim
    ScanEntry entry;
    const ThreadPartials* partials;  // worker t's shares go to its part
    bool failed;    // an entry returned no maxima
};

// Worker t's part: shares claimed until none is left.
void run_shares(void* vargp, uint32_t t) {
    ShareQueue* queue = (ShareQueue*)vargp;
    while (keep_running() && !__atomic_load_n(&queue->failed, __ATOMIC_RELAXED)) {
        const uint64_t k = __atomic_fetch_add(&queue->next, 1, __ATOMIC_RELAXED);
        if (k >= queue->count) break;
        Task task = queue->tasks[k];
        task.histogram = queue->partials->histogram(t);
        const Table<uint64_t> share = queue->entry(&task);
        if (!share) {
            __atomic_store_n(&queue->failed, true, __ATOMIC_RELAXED);
            break;
        }
        merge_maxima(queue->partials->maxima[t], share, queue->partials->samples);
    }
}

// The shares of the block [from, to): `count` of them, on whole granules
// where there are enough corners.
void carve_shares(Task* tasks, uint64_t count, uint64_t from, uint64_t to, const DataSet* data,
                  const Options* options) {
    const uint64_t units = to - from;
    const bool granular = count * SHARE_GRANULE <= units;
    for (uint64_t k = 0; k < count; k++) {
        uint64_t first = units * k / count, end = units * (k + 1) / count;
        if (granular) {
            first -= first % SHARE_GRANULE;
            if (k + 1 < count) end -= end % SHARE_GRANULE;
        }
        tasks[k] = {from + first, from + end, data, options, nullptr};
    }
}

// The corners of [from, to) in shares over the threads, each worker's maxima
// and histogram merged into the result after all are joined.
Table<uint64_t> run_corner_shares(const Options* options, const DataSet* data, SignificanceRuntime* histogram,
                                  uint64_t from, uint64_t to) {
    const uint64_t units = to - from;
    const uint32_t threads = (uint32_t)std::max<uint64_t>(1, std::min<uint64_t>(options->thread_no, units));
    const uint64_t count = threads == 1 ? 1 : std::max<uint64_t>(threads, std::min<uint64_t>(
        (uint64_t)threads * SHARES_PER_THREAD, (units + SHARE_GRANULE - 1) / SHARE_GRANULE));
    Table<Task> tasks = Table<Task>::large(count);
    Table<uint64_t> maxima = alloc_maxima(data->samples);
    const ThreadPartials partials(threads, data, histogram != nullptr);
    const bool ok = tasks && maxima && partials.ready;
    ShareQueue queue = {tasks, count, 0, scan_paths[options->scan].entry, &partials, false};
    if (!ok) {
        report_worker_error("out of memory error - run_workers[shares]");
        return Table<uint64_t>();
    }
    carve_shares(tasks, count, from, to, data, options);
    progress_start(units);
    // A worker whose thread cannot be had runs after the others and finds the
    // queue empty: its shares went to them.
    run_parallel(threads, run_shares, &queue);
    partials.merge_into(maxima, histogram);
    if (queue.failed) return Table<uint64_t>();
    return maxima;
}

}  // namespace

Table<uint64_t> run_workers(const Options* options, const DataSet* data, SignificanceRuntime* histogram,
                            uint64_t from, uint64_t to) {
    const ScanPathRow& path = scan_paths[options->scan];
    if (path.unit == WorkUnit::corners) return run_corner_shares(options, data, histogram, from, to);
    // A path whose units are labellings shares them out over the threads
    // itself.
    Task task = {from, to, data, options, histogram};
    return path.entry(&task);
}

namespace {

// The raw statistic of one labelling: the larger directional maximum, or
// their mean.
inline double combine_alpha_beta(uint64_t alpha, uint64_t beta, const Options* options) {
    if (options->max_alpha_beta) return (double)std::max(alpha, beta);
    return ((double)alpha + (double)beta) * 0.5;
}

// Where the statistic is reached: the larger half's location, and among
// equal halves the first corner.
void locate_statistic(TestResult* result, const DataSet* data, const uint64_t* maxima) {
    const uint64_t samples = data->samples, alpha = maxima[0], beta = maxima[samples];
    const uint64_t* where_x = maxima + 2 * samples;
    const uint64_t* where_y = where_x + 3;
    const bool in_y = beta > alpha || (beta == alpha && (where_y[0] < where_x[0] ||
                                                         (where_y[0] == where_x[0] && where_y[1] < where_x[1])));
    const uint64_t* where = in_y ? where_y : where_x;
    result->location_row = where[0] == UINT64_MAX ? UINT64_MAX : data->origin[where[0]];
    result->location_orthant = where[1];
    result->location_positive = where[2] != 0;
    result->location_in_y = in_y;
}

// The resampled labellings' statistics, scaled like the observed one, and
// the share of them that reach it. Returns 0, or 1 for lack of memory.
int resampled_statistics(TestResult* result, const DataSet* data, const Options* options, const uint64_t* maxima,
                         double observed, double scale) {
    const uint64_t samples = data->samples;
    const double xy = (double)data->size_x * (double)data->size_y;
    if (options->details && samples > 1) {
        result->null_distribution = Table<double>::large(samples - 1);
        if (!result->null_distribution) {
            report_worker_error("out of memory error - run_test[null_distribution]");
            return 1;
        }
        for (uint64_t k = 1; k < samples; k++) {
            const double raw = combine_alpha_beta(maxima[k], maxima[samples + k], options);
            result->null_distribution[k - 1] = options->scale_result ? raw / xy * scale : raw / xy;
        }
    }
    result->permutation_significance = -1.0;
    if (samples >= 2) {
        // Ties count: a labelling as extreme as the observed one is evidence too.
        uint64_t reached = 0;
        for (uint64_t k = 1; k < samples; k++) {
            if (combine_alpha_beta(maxima[k], maxima[samples + k], options) >= observed) reached++;
        }
        result->permutation_significance = reached / (double)(samples - 1);
    }
    return 0;
}

}  // namespace

int finish_test(TestResult* result, const DataSet* data, const Options* options, const uint64_t* maxima,
                SignificanceRuntime* histogram) {
    const uint64_t samples = data->samples;
    const uint64_t alpha = maxima[0], beta = maxima[samples];
    const double xy = (double)data->size_x * (double)data->size_y;
    const double ab = combine_alpha_beta(alpha, beta, options);
    result->value = ab / xy;
    // The binomial significance compares against the unscaled larger maximum,
    // whatever max_alpha_beta says.
    const double D = (double)std::max(alpha, beta) / xy;
    result->statistic_x = (double)alpha / xy;
    result->statistic_y = (double)beta / xy;
    locate_statistic(result, data, maxima);
    const double scale = options->scale_result ? sqrt(((double)data->size_x + (double)data->size_y) / xy) : 1.0;
    if (options->scale_result) result->value = result->value * scale;
    if (resampled_statistics(result, data, options, maxima, ab, scale) != 0) return 1;
    result->binomial_significance = -1.0;
    if (histogram) {
        result->binomial_significance = significance_finalize(D, data, options, histogram);
        if (result->binomial_significance == -1.0) {
            result->null_distribution.reset();
            return 1;
        }
    }
    return 0;
}

int run_test(TestResult* result, const DataSet* data, const Options* options) {
    SignificanceRuntime histogram;
    const bool binomial = options->calculate_binomial_significance;
    if (binomial) init_histogram(&histogram, data);
    const Table<uint64_t> maxima = run_workers(options, data, binomial ? &histogram : nullptr, 0,
                                               work_units(data, options));
    const int status = maxima ? finish_test(result, data, options, maxima, binomial ? &histogram : nullptr) : 1;
    if (binomial) significance_clear_runtime(&histogram);
    return status;
}
