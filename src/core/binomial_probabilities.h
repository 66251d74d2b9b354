// One binomial distribution's probabilities, for the binomial evaluation:
// single values by the saddle-point form, runs of neighbouring values by the
// ratio of consecutive probabilities, and tails summed from such runs. Each
// costs a few floating-point operations per value where Boost.Math costs an
// incomplete beta function.
#ifndef TESSARIN_BINOMIAL_PROBABILITIES_H
#define TESSARIN_BINOMIAL_PROBABILITIES_H

#include <stdint.h>

#include <boost/math/distributions/binomial.hpp>
#include <vector>

#include "binomial_exceedance.h"

namespace binomial {

// Probabilities below this are taken as 0: the recurrence would run into
// subnormal numbers, and no term this small can change a p-value.
constexpr double kUnderflow = 1e-300;

// One binomial distribution with the ratios between neighbouring
// probabilities: P(k + 1) / P(k) = (n - k) / (k + 1) * odds.
struct BinomialSteps {
    boost::math::binomial dist;
    int64_t trials;
    double odds;
    double inverse_odds;
    ExceedanceCost* cost;
    // 1 / j for j = 0, ..., trials, or null where the sizes are too large
    // for such a table and the recurrence divides instead.
    const double* reciprocals;
};

BinomialSteps make_steps(int64_t trials, double lambda, ExceedanceCost* cost, const double* reciprocals);

// P(k) from Boost, counted as a call in b.cost.
double pdf(const BinomialSteps& b, int64_t k);

// P(k) by the saddle-point form: relative error of a few units in the last
// place for a handful of logarithms.
double saddle_point_pdf(const BinomialSteps& b, int64_t k);

// Runs the recurrence from p = P(from - direction) over k = from, from +
// direction, ... up to `to` (inclusive, in the direction of travel), appending
// each P(k) to `out` and stopping at the first below `stop`; values within
// `near` of `stop`, when `near` is positive, come from Boost. Returns the
// number of recurrence steps.
uint64_t run_recurrence(const BinomialSteps& b, int direction, int64_t from, int64_t to, double p,
                        double stop, double near, std::vector<double>& out);

// Extends the probabilities held in `window` for the counts first, ...,
// first + size - 1 (at least one, with the distribution's mode inside or at
// the near edge) outward to cover [a, bound], stopping in each direction at
// the first probability below `stop`; `below` is working storage. Returns the
// new first count.
int64_t extend_window(const BinomialSteps& b, int64_t first, int64_t a, int64_t bound, double stop,
                      std::vector<double>& window, std::vector<double>& below);

// A bound on P(Y > last) (`up`) or P(Y < last), where `last` is past the
// mode and P(Y = last +- 1) is below `stop`; infinite where no bound follows.
double tail_bound(const BinomialSteps& b, int64_t last, bool up, double stop);

// P(Y > t) (`up`) or P(Y < t) from p = P(Y = t), summed term by term outward.
// Returns false, leaving *out alone, where the terms fall too slowly for the
// sum to be cheaper than Boost.
bool series_tail(const BinomialSteps& b, int64_t t, double p, bool up, double* out);

// tails[t - t0] = P(Y > t) for t0 <= t <= t1, grown downward from
// tails[t1 - t0] = far by the probabilities of `window`, which hold P(Y = k)
// for k from `first` on (0 outside it).
void upper_tails(double far, int64_t t0, int64_t t1, const std::vector<double>& window, int64_t first,
                 double* tails);

// tails[f - f0] = P(Y < f) for f0 <= f <= f1, grown upward from tails[0] =
// far by the probabilities of `window` as above.
void lower_tails(double far, int64_t f0, int64_t f1, const std::vector<double>& window, int64_t first,
                 double* tails);

}  // namespace binomial

#endif
