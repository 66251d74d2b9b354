// Binomial significance: a histogram of the first sample's orthant counts,
// filled by the kernels during the scan and evaluated afterwards on a pool
// of threads.
#ifndef TESSARIN_BINOMIAL_SIGNIFICANCE_H
#define TESSARIN_BINOMIAL_SIGNIFICANCE_H

#include <pthread.h>
#include <stdint.h>

#include <map>

struct Data;
struct Options;

// Maps an orthant's first-sample count (labelling 0) to the summed weight of
// the corners at which that count was seen. `mutex` guards every update
// during the scan and the job list of the evaluation. An insertion that runs
// out of memory is remembered in `failed`, so the evaluation fails instead of
// answering from an incomplete histogram.
struct SignificanceRuntime {
    std::map<uint64_t, uint64_t>* m_t;
    pthread_mutex_t mutex;
    bool failed;
};

void significance_init_runtime(SignificanceRuntime* r);
void significance_clear_runtime(SignificanceRuntime* r);

// Adds `value` to the entry `key`, inserting it when absent. The caller holds
// r->mutex.
void significance_add(SignificanceRuntime* r, uint64_t key, uint64_t value);

// Adds the ortant_no orthant counts of corner i, read from the dense
// kernel's orthant-major table, weighted by the corner's multiplicity.
void significance_push(uint64_t i, uint64_t* x_cap_ortant, SignificanceRuntime* runtime,
                       const Data* s);

// The probability that some (corner, orthant) pair shows a difference of
// empirical fractions above `result`, or -1.0 on failure (message in
// error_buffer).
[[nodiscard]] double significance_finalize(double result, const Data* d, const Options* options,
                                           SignificanceRuntime* r);
void* significance_worker(void* vargp);

#endif
