// The computation of a prepared data set: the units of work run on the
// chosen scan path over a pool of threads, their partial results merged, and
// the merged result turned into the test result.
#ifndef TESSARIN_WORKERS_H
#define TESSARIN_WORKERS_H

#include <stdint.h>

#include "binomial_significance.h"
#include "data_set.h"
#include "memory.h"

// The result of one test; a member that was not computed is -1.0.
// statistic_x and statistic_y are the observed maxima over the corners of the
// first and of the second sample, as differences of fractions.
// The location says where the larger of the two observed maxima is reached:
// the corner's first row among the rows of rvs followed by those of cdf
// (UINT64_MAX when no corner was scanned), the orthant, whether the first
// sample's share is the larger there, and whether the corners are those of
// the second sample.
struct TestResult {
    double value = -1.0;
    double binomial_significance = -1.0;
    double permutation_significance = -1.0;
    double statistic_x = -1.0;
    double statistic_y = -1.0;
    uint64_t location_row = UINT64_MAX;
    uint64_t location_orthant = 0;
    bool location_positive = false;
    bool location_in_y = false;
    Table<double> null_distribution;  // with options.details: the resampled
                                      // labellings' statistics, scaled like value
};

// The histogram of the binomial significance, sized for a data set: its keys
// are first-sample counts, 0 to size_x.
void init_histogram(SignificanceRuntime* histogram, const DataSet* data);

// The partial results of the threads of one computation: each thread's
// result array and, when a histogram is asked for, its histogram, filled
// without locks and merged after the join, in the one way every partial
// result merges (merge_maxima, significance_merge). Released when it goes out
// of scope; `ready` is false when they could not all be had.
struct ThreadPartials {
    uint32_t count;
    uint64_t samples;
    Table<uint64_t>* owned = nullptr;
    uint64_t** maxima = nullptr;             // count arrays
    SignificanceRuntime* histograms = nullptr;  // count histograms, or null
    bool ready = false;

    ThreadPartials(uint32_t threads, const DataSet* data, bool histogram);
    ThreadPartials(const ThreadPartials&) = delete;
    ThreadPartials& operator=(const ThreadPartials&) = delete;
    ~ThreadPartials();

    // Thread t's histogram, or null when none is asked for.
    SignificanceRuntime* histogram(uint32_t t) const { return histograms ? &histograms[t] : nullptr; }
    // Merges every thread's partial result into `into` and `histogram`.
    void merge_into(uint64_t* into, SignificanceRuntime* histogram) const;
};

// The partial result of the block of units [from, to) (corners, or
// labellings, as the chosen path's row says): the result array of the
// kernels (maximum_location.h), and, when `histogram` is not null, the
// block's histogram entries added to it. Up to options->thread_no threads
// share the work. Returns an empty table on failure, with the message in
// error_buffer.
Table<uint64_t> run_workers(const Options* options, const DataSet* data, SignificanceRuntime* histogram,
                            uint64_t from, uint64_t to);

// Turns the merged result array of all units into the test result: the
// statistic, its location and the permutation significance, and, when
// `histogram` is not null, the binomial significance from it. Returns 0, or
// 1 with the message in error_buffer.
[[nodiscard]] int finish_test(TestResult* result, const DataSet* data, const Options* options,
                              const uint64_t* maxima, SignificanceRuntime* histogram);

// run_workers over every unit, then finish_test. Returns 0, or 1 with the
// message in error_buffer; an interruption returns 0 with an incomplete
// result, which the caller discards when the stop sources say so.
[[nodiscard]] int run_test(TestResult* result, const DataSet* data, const Options* options);

#endif
