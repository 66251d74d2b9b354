#include "binomial_significance.h"

#include <math.h>
#include <stdlib.h>

#include <boost/math/distributions/binomial.hpp>
#include <exception>
#include <iterator>
#include <new>

#include "common.h"
#include "data.h"

typedef std::map<uint64_t, uint64_t>::const_iterator HistogramIterator;

// One contiguous run of histogram entries, in key order.
struct SignificanceJob {
    HistogramIterator from;
    HistogramIterator to;
};

// The job list shared by the evaluation threads; `iterator` is the next job
// to hand out and is only touched under `mutex`.
struct SignificanceJobs {
    pthread_mutex_t* mutex;
    SignificanceJob* jobs;
    int count;
    int iterator;
};

// One evaluation thread's arguments.
struct SignificanceTask {
    SignificanceJobs* jobs;
    int64_t x_size;
    int64_t y_size;
    double result;
};

void significance_init_runtime(SignificanceRuntime* r) {
    pthread_mutex_init(&r->mutex, NULL);
    r->m_t = new (std::nothrow) std::map<uint64_t, uint64_t>();
    r->failed = r->m_t == NULL;
}

void significance_clear_runtime(SignificanceRuntime* r) {
    pthread_mutex_destroy(&r->mutex);
    delete r->m_t;
    r->m_t = NULL;
}

void significance_add(SignificanceRuntime* r, uint64_t key, uint64_t value) {
    if (r->failed) return;
    try {
        (*r->m_t)[key] += value;
    } catch (const std::bad_alloc&) {
        r->failed = true;
    }
}

void significance_push(uint64_t i, uint64_t* x_cap_ortant, SignificanceRuntime* runtime,
                       const Data* s) {
    const uint64_t samples = s->samples;
    // Each multiplicity fits 32 bits but their sum may not.
    const uint64_t i_count = (uint64_t)s->counts_x[i * samples] + s->counts_y[i * samples];
    pthread_mutex_lock(&runtime->mutex);
    for (uint64_t k = 0; k < s->ortant_no; k++) {
        significance_add(runtime, x_cap_ortant[k * samples], i_count);
    }
    pthread_mutex_unlock(&runtime->mutex);
}

// P(|X / x_size - Y / y_size| > result) for independent binomial X and Y with
// the fraction estimated from the orthant count c, summed outward from the
// bulk of X until its probabilities become negligible.
//
// `result` is an observed difference raw / (x_size * y_size), and differences
// equal to it must not count as larger. The bounds of the second sample's
// counts that stay within reach, (y_size * n_p -+ raw) / x_size, are therefore
// formed in integers: rounded in floating point they often land a hair off a
// whole number and would move an equal difference across the boundary.
static double tail_probability(uint64_t c, int64_t x_size, int64_t y_size, double result) {
    const double lambda = (c + 1.0) / (x_size + 2.0);
    const boost::math::binomial dist1((double)x_size, lambda);
    const boost::math::binomial dist2((double)y_size, lambda);
    const int64_t start_iteration = (int64_t)floor(x_size * lambda);
    const double raw_units = nearbyint(result * (double)x_size * (double)y_size);
    // A bound that is not finite (an empty sample) adds no tail term.
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

void* significance_worker(void* vargp) {
    SignificanceTask* t = (SignificanceTask*)vargp;
    SignificanceJobs* list = t->jobs;
    double log_p_D = 0;
    bool failed = false;
    pthread_mutex_lock(list->mutex);
    while (list->iterator < list->count && keep_running() && !failed) {
        const SignificanceJob job = list->jobs[list->iterator++];
        pthread_mutex_unlock(list->mutex);
        try {
            for (HistogramIterator it = job.from; it != job.to && keep_running(); ++it) {
                const double brute2_sum = tail_probability(it->first, t->x_size, t->y_size, t->result);
                log_p_D += log1p(-brute2_sum) * (double)it->second;
            }
        } catch (const std::exception& e) {
            char message[ERROR_BUFFER_SIZE];
            snprintf(message, sizeof(message), "binomial significance failed - %s", e.what());
            report_worker_error(message);
            failed = true;
        }
        pthread_mutex_lock(list->mutex);
    }
    pthread_mutex_unlock(list->mutex);
    if (failed) return NULL;
    double* ret = (double*)malloc(sizeof(double));
    if (!ret) {
        report_worker_error("out of memory error - significance_worker[result]");
        return NULL;
    }
    *ret = log_p_D;
    return ret;
}

double significance_finalize(double result, const Data* d, const Options* options,
                             SignificanceRuntime* r) {
    if (r->failed) {
        report_worker_error("out of memory error - significance_push[m_t]");
        return -1.0;
    }
    const uint32_t T = options->thread_no;
    pthread_t* thread_ids = (pthread_t*)malloc(sizeof(pthread_t) * (T ? T : 1));
    if (!thread_ids) {
        report_worker_error("out of memory error - significance_finalize[thread_ids]");
        return -1.0;
    }
    SignificanceTask* tasks = (SignificanceTask*)malloc(sizeof(SignificanceTask) * (T ? T : 1));
    if (!tasks) {
        free(thread_ids);
        report_worker_error("out of memory error - significance_finalize[tasks]");
        return -1.0;
    }
    SignificanceJobs list;
    list.iterator = 0;
    list.count = T == 1 ? 1 : 10 * (int)T;
    list.mutex = &r->mutex;
    list.jobs = (SignificanceJob*)malloc(sizeof(SignificanceJob) * (list.count ? list.count : 1));
    if (!list.jobs) {
        free(thread_ids);
        free(tasks);
        report_worker_error("out of memory error - significance_finalize[jobs]");
        return -1.0;
    }
    const std::map<uint64_t, uint64_t>& histogram = *r->m_t;
    // With no threads there are no jobs, and the result is 1 - exp(0) = 0.
    const size_t per_job = list.count ? histogram.size() / (size_t)list.count : 0;
    HistogramIterator start = histogram.begin();
    for (int i = 0; i < list.count; i++) {
        list.jobs[i].from = start;
        list.jobs[i].to = i == list.count - 1 ? histogram.end() : std::next(start, per_job);
        start = list.jobs[i].to;
    }

    bool error = false;
    uint32_t started = 0;
    for (; started < T; started++) {
        tasks[started] = {&list, (int64_t)d->size_x, (int64_t)d->size_y, result};
        if (pthread_create(&thread_ids[started], NULL, significance_worker, &tasks[started]) != 0) {
            report_worker_error("could not start a thread - significance_finalize[thread_ids]");
            error = true;
            break;
        }
    }
    double log_p_D = 0;
    for (uint32_t i = 0; i < started; i++) {
        void* ret;
        pthread_join(thread_ids[i], &ret);
        if (!ret) {
            error = true;
            continue;
        }
        log_p_D += *(double*)ret;
        free(ret);
    }
    free(list.jobs);
    free(thread_ids);
    free(tasks);
    return error ? -1.0 : 1.0 - exp(log_p_D);
}
