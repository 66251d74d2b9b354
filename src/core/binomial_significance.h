// Binomial significance: a histogram of the first sample's orthant counts,
// filled by the kernels during the scan and evaluated afterwards on a pool
// of threads.
#ifndef TESSARIN_BINOMIAL_SIGNIFICANCE_H
#define TESSARIN_BINOMIAL_SIGNIFICANCE_H

#include <stdint.h>

#include <map>

#include "binomial_exceedance.h"

struct DataSet;
struct Options;

// Maps an orthant's first-sample count (labelling 0) to the summed weight of
// the corners at which that count was seen. Keys below `dense_size` are
// counted in the array `dense`, the others in the map `m_t`; the dense counts
// join the map before anyone reads it (significance_fold_dense). Each thread
// of a scan fills a histogram of its own, without a lock, and the threads'
// histograms are merged after the join (significance_merge), as their
// maxima are; the evaluation takes no lock either. An insertion that runs
// out of memory is remembered in `failed`, so the evaluation fails instead
// of answering from an incomplete histogram.
struct SignificanceRuntime {
    std::map<uint64_t, uint64_t>* m_t;
    uint64_t* dense;
    uint64_t dense_size;
    bool failed;
};

// `keys` is one more than the largest key expected (the first sample's size
// plus one); where it is small enough, those keys are counted in an array
// rather than a map. Pass 0 to use the map alone.
void significance_init_runtime(SignificanceRuntime* r, uint64_t keys);
void significance_clear_runtime(SignificanceRuntime* r);

// Adds `value` to the entry `key`, inserting it when absent. One thread at a
// time.
void significance_add(SignificanceRuntime* r, uint64_t key, uint64_t value);

// Adds every entry of `from` to `into`, as if the updates that filled `from`
// had been made to `into`; a failure of either is remembered in `into`.
// Weights add modulo 2^64, so the merged histogram is the same in any order.
void significance_merge(SignificanceRuntime* into, SignificanceRuntime* from);

// Moves the nonzero dense counts into the map. Called once the updates are
// over; a failed insertion sets r->failed.
void significance_fold_dense(SignificanceRuntime* r);

// Adds the orthant counts of corner i, read from the dense kernel's
// orthant-major table, weighted by the corner's multiplicity.
void significance_push(uint64_t i, uint64_t* x_counts, SignificanceRuntime* runtime,
                       const DataSet* s);

// The probability that some (corner, orthant) pair shows a difference of
// empirical fractions above `result`, or -1.0 on failure (message in
// error_buffer). The value does not depend on the thread count or on which
// thread evaluates which histogram entry. Folds the dense counts first.
[[nodiscard]] double significance_finalize(double result, const DataSet* d, const Options* options,
                                           SignificanceRuntime* r);

#endif
