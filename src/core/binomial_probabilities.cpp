#include "binomial_probabilities.h"

#include <math.h>

#include <algorithm>

namespace binomial {

namespace {

// Steps of the recurrence between two Boost evaluations; each step adds a few
// rounding errors, so this keeps the drift below 1e-12.
const int64_t kReanchorSteps = 1024;
// A tail is summed term by term from the window when its terms fall at least
// by this factor per step (at most ~400 steps to 2^-56), else taken from Boost.
const double kSeriesRatio = 0.9;
// Steps of the recurrence whose ratios are formed together.
const int64_t kChunk = 64;
// 0, 1, ..., kChunk - 1: the offsets of a chunk's counts from its first.
const struct Offsets {
    double v[kChunk];
    constexpr Offsets() : v() {
        for (int64_t i = 0; i < kChunk; i++) v[i] = (double)i;
    }
    constexpr double operator[](int64_t i) const { return v[i]; }
} kOffsets;

// log(n!) - log(sqrt(2 pi n) (n / e)^n): exact values below 16, Stirling's
// series above.
double stirling_error(int64_t n) {
    static const double kSmall[16] = {
        0.0,
        0.08106146679532725822, 0.041340695955409294094, 0.027677925684998339149,
        0.020790672103765093112, 0.016644691189821192163, 0.013876128823070747999,
        0.011896709945891770095, 0.010411265261972096497, 0.0092554621827127329177,
        0.0083305634333628712565, 0.007573675487951840795, 0.0069428401072095298657,
        0.0064089941880042070684, 0.0059513701127588477356, 0.005554733551962801371,
    };
    if (n < 16) return kSmall[n];
    const double x = (double)n, xx = x * x;
    const double s0 = 1.0 / 12, s1 = 1.0 / 360, s2 = 1.0 / 1260, s3 = 1.0 / 1680, s4 = 1.0 / 1188;
    if (n > 500) return (s0 - s1 / xx) / x;
    if (n > 80) return (s0 - (s1 - s2 / xx) / xx) / x;
    if (n > 35) return (s0 - (s1 - (s2 - s3 / xx) / xx) / xx) / x;
    return (s0 - (s1 - (s2 - (s3 - s4 / xx) / xx) / xx) / xx) / x;
}

// x log(x / m) + m - x, the deviance of a count x from the mean m, without
// the cancellation of forming it as written when x is near m.
double deviance(double x, double m) {
    if (fabs(x - m) < 0.1 * (x + m)) {
        // 2 x artanh(v) - (x - m) with v = (x - m) / (x + m), as a series in v.
        double v = (x - m) / (x + m);
        double sum = (x - m) * v;
        double term = 2 * x * v;
        v *= v;
        for (int j = 1; j < 1000; j++) {
            term *= v;
            const double next = sum + term / (2 * j + 1);
            if (next == sum) return next;
            sum = next;
        }
        return sum;
    }
    return x * log(x / m) + m - x;
}

}  // namespace

BinomialSteps make_steps(int64_t trials, double lambda, ExceedanceCost* cost, const double* reciprocals) {
    return {boost::math::binomial((double)trials, lambda), trials, lambda / (1.0 - lambda), (1.0 - lambda) / lambda,
            cost, reciprocals};
}

double pdf(const BinomialSteps& b, int64_t k) {
    b.cost->special_calls++;
    return boost::math::pdf(b.dist, (double)k);
}

// P(k) of the binomial distribution by its saddle-point form, the
// deviances and Stirling errors of n, k and n - k; relative error of a few
// units in the last place, at the cost of a handful of logarithms where
// Boost's incomplete beta function costs about twenty times as much. The
// start of every walk and window takes its value from here.
double saddle_point_pdf(const BinomialSteps& b, int64_t k) {
    const int64_t n = b.trials;
    const double p = b.dist.success_fraction(), q = 1.0 - p;
    // q is 1 - p rounded, so its logarithm is taken as that of 1 - p.
    if (k == 0) return exp((double)n * log1p(-p));
    if (k == n) return exp((double)n * log(p));
    const double x = (double)k, rest = (double)(n - k);
    const double exponent = stirling_error(n) - stirling_error(k) - stirling_error(n - k) -
                            deviance(x, n * p) - deviance(rest, n * q);
    // log(2 pi k (n - k) / n)
    const double spread = log(2 * M_PI) + log(x) + log1p(-x / (double)n);
    return exp(exponent - 0.5 * spread);
}

namespace {

// The ratios of a chunk of `block` steps from count k on, in the direction of
// travel: first ratio[i] = P(k_i) / P(k_i - direction) for k_i = k +
// direction i, free of the chain of products, so that their divisions
// overlap; then their running products within each group of four, so that
// ratio[i] = P(k_i) over the probability before the group and the chain
// multiplies once per group.
void chunk_ratios(const BinomialSteps& b, int direction, int64_t k, int64_t block, double* ratio) {
    const int64_t trials = b.trials;
    const double odds = direction > 0 ? b.odds : b.inverse_odds;
    const double num = direction > 0 ? (double)(trials - k + 1) : (double)(k + 1);
    const double den = direction > 0 ? (double)k : (double)(trials - k);
    if (b.reciprocals) {
        const double* inverse = b.reciprocals + (direction > 0 ? k : trials - k);
        for (int64_t i = 0; i < block; i++) ratio[i] = (num - kOffsets[i]) * inverse[i] * odds;
    } else {
        for (int64_t i = 0; i < block; i++) ratio[i] = (num - kOffsets[i]) / (den + kOffsets[i]) * odds;
    }
    int64_t g = 0;
    for (; g + 4 <= block; g += 4) {
        ratio[g + 1] *= ratio[g];
        ratio[g + 2] *= ratio[g + 1];
        ratio[g + 3] *= ratio[g + 2];
    }
    for (int64_t i = g + 1; i < block; i++) ratio[i] *= ratio[i - 1];
}

// w[i] = P(k_i) for the chunk's counts, from p = P(k_0 - direction) and the
// running products of chunk_ratios, four values per link of the chain.
// Stops before the first value at or below `fast_above` and returns the
// number of values written.
int64_t chain_chunk(double p, const double* ratio, int64_t block, double fast_above, double* w) {
    int64_t i = 0;
    double base = p;
    for (; i + 4 <= block; i += 4) {
        const double q0 = base * ratio[i], q1 = base * ratio[i + 1];
        const double q2 = base * ratio[i + 2], q3 = base * ratio[i + 3];
        if ((q0 <= fast_above) | (q1 <= fast_above) | (q2 <= fast_above) | (q3 <= fast_above)) break;
        w[i] = q0;
        w[i + 1] = q1;
        w[i + 2] = q2;
        w[i + 3] = base = q3;
    }
    // The rest of the chunk, or the group where a value came near the stop,
    // one value at a time.
    for (; i < block; i++) {
        const double q = base * ratio[i];
        if (q <= fast_above) break;
        w[i] = q;
        if ((i & 3) == 3) base = q;
    }
    return i;
}

// P(k) from p = P(k - direction) by one ratio, divided out; from Boost where
// p has fallen below kUnderflow and the ratio would carry no precision.
double single_step(const BinomialSteps& b, int direction, int64_t k, double p) {
    if (p < kUnderflow) return pdf(b, k);
    const int64_t trials = b.trials;
    const double odds = direction > 0 ? b.odds : b.inverse_odds;
    return direction > 0 ? p * ((double)(trials - k + 1) / (double)k) * odds
                         : p * ((double)(k + 1) / (double)(trials - k)) * odds;
}

}  // namespace

// Runs in chunks of kChunk steps, each without a call, so that their values
// stay in registers. Every kReanchorSteps-th value, and values within `near`
// of `stop` when `near` is positive (where the recurrence's last bits could
// decide the stop), come from Boost, one step at a time.
uint64_t run_recurrence(const BinomialSteps& b, int direction, int64_t from, int64_t to, double p,
                        double stop, double near, std::vector<double>& out) {
    const double fast_above = stop + (near > 0 ? near : 0);
    uint64_t steps = 0;
    int64_t since = 0, k = from;
    for (;;) {
        const int64_t left = direction > 0 ? to - k + 1 : k - to + 1;
        if (left <= 0) break;
        const int64_t block = std::min(std::min(left, kChunk), kReanchorSteps - 1 - since);
        double ratio[kChunk];
        chunk_ratios(b, direction, k, block, ratio);
        const size_t size = out.size();
        out.resize(size + (size_t)block);
        const int64_t i = chain_chunk(p, ratio, block, fast_above, out.data() + size);
        if (i > 0) p = out[size + (size_t)i - 1];
        out.resize(size + (size_t)i);
        steps += (uint64_t)i;
        since += i;
        k += direction * i;
        if (i == left) break;
        // One step by the slow rule: a value near or below the stop, or due
        // for a Boost evaluation.
        double q = single_step(b, direction, k, p);
        steps++;
        if (++since >= kReanchorSteps || (near > 0 && fabs(q - stop) <= near)) since = 0, q = pdf(b, k);
        if (q < stop) break;
        out.push_back(p = q);
        k += direction;
    }
    return steps;
}

// Extends the probabilities held in `window` for the counts first, ...,
// first + size - 1 (at least one, with the distribution's mode inside or at
// the near edge) outward to cover [a, b], stopping in each direction at the
// first probability below `stop`. Returns the new first count.
int64_t extend_window(const BinomialSteps& b, int64_t first, int64_t a, int64_t bound, double stop,
                      std::vector<double>& window, std::vector<double>& below) {
    uint64_t steps = 0;
    if (window.back() >= stop) {
        steps += run_recurrence(b, 1, first + (int64_t)window.size(), bound, window.back(), stop, 0, window);
    }
    below.clear();
    if (window.front() >= stop) {
        steps += run_recurrence(b, -1, first - 1, a, window.front(), stop, 0, below);
    }
    b.cost->recurrence_steps += steps;
    if (below.empty()) return first;
    window.insert(window.begin(), below.rbegin(), below.rend());
    return first - (int64_t)below.size();
}

// A bound on P(Y > last) (`up`) or P(Y < last), where `last` is past the
// mode and P(Y = last +- 1) is below `stop`: beyond the mode the ratio of
// neighbouring probabilities only falls, so the tail is at most that
// probability over 1 - ratio. Infinite where the ratio is not below 1.
double tail_bound(const BinomialSteps& b, int64_t last, bool up, double stop) {
    const int64_t k = up ? last + 1 : last - 1;
    const double ratio = up ? (double)(b.trials - k) / (double)(k + 1) * b.odds
                            : (double)k / (double)(b.trials - k + 1) * b.inverse_odds;
    // The recurrence's rounding could put P(Y = k) a hair above `stop`.
    return ratio < 1.0 ? 1.01 * stop / (1.0 - ratio) : INFINITY;
}

// P(Y > t) (`up`) or P(Y < t) from p = P(Y = t), summed term by term
// outward. Beyond the mode the ratio of neighbouring probabilities only falls
// (the binomial is log-concave), so once the terms fall by a ratio r per step
// the rest is below term r / (1 - r), and the sum stops when that is below
// 2^-56 of it. Returns false, leaving *out alone, when the terms fall by less
// than kSeriesRatio at t, where a Boost evaluation is cheaper.
bool series_tail(const BinomialSteps& b, int64_t t, double p, bool up, double* out) {
    const double eps = 0x1p-56;
    double sum = 0;
    uint64_t steps = 0;
    for (int64_t k = t;; up ? k++ : k--) {
        const double ratio = up ? (double)(b.trials - k) / (double)(k + 1) * b.odds
                                : (double)k / (double)(b.trials - k + 1) * b.inverse_odds;
        if (k == t && ratio > kSeriesRatio) return false;
        p *= ratio;
        sum += p;
        steps++;
        if (p == 0 || p * ratio <= eps * sum * (1.0 - ratio)) break;
    }
    b.cost->recurrence_steps += steps;
    *out = sum;
    return true;
}

// tails[t - t0] = P(Y > t) for t0 <= t <= t1, grown downward from
// tails[t1 - t0] = far by the window's probabilities (0 outside the window).
// Inside the window four steps are taken at once from the group's running
// sums, which shortens the chain of dependent additions fourfold.
void upper_tails(double far, int64_t t0, int64_t t1, const std::vector<double>& window, int64_t first,
                 double* tails) {
    const int64_t last = first + (int64_t)window.size() - 1;
    double tail = far;
    tails[t1 - t0] = tail;
    int64_t t = t1 - 1;
    // P(Y = t + 1) is added on the way from t + 1 to t.
    for (; t >= t0 && t + 1 > last; t--) tails[t - t0] = tail;
    const double* w = window.data();
    for (; t - 3 >= t0 && t - 2 >= first; t -= 4) {
        const double* p = w + (t - 2 - first);
        const double s1 = p[3], s2 = s1 + p[2], s3 = s2 + p[1], s4 = s3 + p[0];
        tails[t - t0] = tail + s1;
        tails[t - 1 - t0] = tail + s2;
        tails[t - 2 - t0] = tail + s3;
        tails[t - 3 - t0] = tail += s4;
    }
    for (; t >= t0 && t + 1 >= first; t--) tails[t - t0] = tail += w[t + 1 - first];
    for (; t >= t0; t--) tails[t - t0] = tail;
}

// tails[f - f0] = P(Y < f) for f0 <= f <= f1, grown upward from
// tails[0] = far, four steps at once inside the window.
void lower_tails(double far, int64_t f0, int64_t f1, const std::vector<double>& window, int64_t first,
                 double* tails) {
    const int64_t last = first + (int64_t)window.size() - 1;
    double tail = far;
    tails[0] = tail;
    int64_t f = f0 + 1;
    // P(Y = f - 1) is added on the way from f - 1 to f.
    for (; f <= f1 && f - 1 < first; f++) tails[f - f0] = tail;
    const double* w = window.data();
    for (; f + 3 <= f1 && f + 2 <= last; f += 4) {
        const double* p = w + (f - 1 - first);
        const double s1 = p[0], s2 = s1 + p[1], s3 = s2 + p[2], s4 = s3 + p[3];
        tails[f - f0] = tail + s1;
        tails[f + 1 - f0] = tail + s2;
        tails[f + 2 - f0] = tail + s3;
        tails[f + 3 - f0] = tail += s4;
    }
    for (; f <= f1 && f - 1 <= last; f++) tails[f - f0] = tail += w[f - 1 - first];
    for (; f <= f1; f++) tails[f - f0] = tail;
}

}  // namespace binomial

