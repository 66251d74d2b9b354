// The exceedance probability of one binomial histogram key: how likely two
// independent samples of the key's fraction differ by more than the observed
// statistic.
#ifndef TESSARIN_BINOMIAL_EXCEEDANCE_H
#define TESSARIN_BINOMIAL_EXCEEDANCE_H

#include <stdint.h>

#include <vector>

// Working storage of one evaluation thread, reused from entry to entry: the
// first sample's probabilities along the walk, the second sample's over the
// counts whose tails the walk reaches, those tails, and a table of
// reciprocals of the counts.
struct ExceedanceScratch {
    std::vector<double> walk;
    std::vector<double> window;
    std::vector<double> below;
    std::vector<double> tails;
    std::vector<double> reciprocals;
};

// What one exceedance evaluation cost: calls into Boost.Math, steps of the
// probability recurrence, and whether the second sample's tails were taken
// from Boost at every step of the walk because a window of probabilities
// would have been longer than that.
struct ExceedanceCost {
    uint64_t special_calls;
    uint64_t recurrence_steps;
    bool direct_tails;
};

// P(|X / x_size - Y / y_size| > result) for independent binomial X and Y
// with the rule-of-succession fraction of orthant count c, summed outward
// from the bulk of X until its probabilities fall below 1e-25. Stores it in
// *out and returns 0, or returns 1 with the message reported through
// report_worker_error. `cost` may be null.
[[nodiscard]] int significance_exceedance(uint64_t c, int64_t x_size, int64_t y_size, double result,
                                          ExceedanceScratch* scratch, double* out,
                                          ExceedanceCost* cost);

#endif
