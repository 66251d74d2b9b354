#include "binomial_significance.h"

#include <math.h>
#include <stdlib.h>

#include <algorithm>
#include <boost/math/distributions/binomial.hpp>
#include <exception>
#include <iterator>
#include <new>

#include "common.h"
#include "memory.h"
#include "parallel.h"
#include "data_set.h"

// The evaluation shared by its threads: the distinct keys, in `count` runs
// handed out in turn (`next`, under `mutex`). The exceedance of keys[i] goes
// to values[i], so that the caller can add the terms in key order whichever
// thread evaluated them; `failed` is set, under `mutex`, when a thread could
// not finish its runs.
struct SignificanceWork {
    pthread_mutex_t* mutex;
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
    pthread_mutex_init(&r->mutex, NULL);
    r->m_t = new (std::nothrow) std::map<uint64_t, uint64_t>();
    r->failed = r->m_t == NULL;
    // Without the array the map takes every key, so its allocation failing
    // is not an error.
    r->dense = keys && keys <= kDenseKeys ? (uint64_t*)calloc(keys, sizeof(uint64_t)) : NULL;
    r->dense_size = r->dense ? keys : 0;
}

void significance_clear_runtime(SignificanceRuntime* r) {
    pthread_mutex_destroy(&r->mutex);
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

void significance_push(uint64_t i, uint64_t* x_cap_ortant, SignificanceRuntime* runtime,
                       const DataSet* s) {
    const uint64_t samples = s->samples;
    // Each multiplicity fits 32 bits but their sum may not.
    const uint64_t i_count = (uint64_t)s->counts_x[i * samples] + s->counts_y[i * samples];
    pthread_mutex_lock(&runtime->mutex);
    for (uint64_t k = 0; k < s->orthants; k++) {
        significance_add(runtime, x_cap_ortant[k * samples], i_count);
    }
    pthread_mutex_unlock(&runtime->mutex);
}

// P(|X / x_size - Y / y_size| > result), with X and Y independent binomials of
// one fraction, is the sum over the counts n of X, walked outward from its
// bulk, of P(X = n) times the two tails of Y beyond the reach of n. Evaluating
// each of these probabilities with Boost.Math costs an incomplete beta
// function apiece; instead:
// - the walk starts from the saddle-point value of P(X = n) at the bulk and
//   obtains each next one from its neighbour by the ratio of consecutive
//   binomial probabilities, in chunks whose ratios are formed apart from the
//   chain of products;
// - the tails of Y are grown from one value at the far end of the walk by
//   adding the probabilities of Y that the reach passes over, taken from a
//   window of Y's probabilities that grows only as far as a bound on what it
//   leaves out requires;
// - when both samples have the same size the two distributions coincide: the
//   walk's probabilities serve for Y as well, and where the bound allows, the
//   upper sum stands for the lower one too.
// Every term is positive and every tail is accumulated from its small end, so
// the relative error stays near the rounding error of the recurrence; Boost
// is consulted every kReanchorSteps steps, where the walk's stopping test is
// too close to call, and for tails that no window reaches. The exceedances of
// c and x_size - c are one number, which the evaluation computes once.

namespace {

// The walk over the first sample stops at the first probability below this.
const double kNegligible = 1e-25;
// Probabilities of the second sample below this are taken as 0: the
// recurrence would run into subnormal numbers, and no term this small can
// change a p-value.
const double kUnderflow = 1e-300;
// Where the cheaper first pass stops the second sample's probabilities.
const double kCoarse = 1e-28;
// Steps of the recurrence between two Boost evaluations; each step adds a few
// rounding errors, so this keeps the drift below 1e-12.
const int64_t kReanchorSteps = 1024;
// Recurrence steps that cost about as much as one Boost tail evaluation.
const int64_t kStepsPerSpecialCall = 64;
// A tail is summed term by term from the window when its terms fall at least
// by this factor per step (at most ~400 steps to 2^-56), else taken from Boost.
const double kSeriesRatio = 0.9;

typedef boost::math::binomial Binomial;

// One binomial distribution with the ratios between neighbouring
// probabilities: P(k + 1) / P(k) = (n - k) / (k + 1) * odds.
struct BinomialSteps {
    Binomial dist;
    int64_t trials;
    double odds;
    double inverse_odds;
    ExceedanceCost* cost;
    // 1 / j for j = 0, ..., trials, or null where the sizes are too large
    // for such a table and the recurrence divides instead.
    const double* reciprocals;
};

BinomialSteps make_steps(int64_t trials, double lambda, ExceedanceCost* cost, const double* reciprocals) {
    return {Binomial((double)trials, lambda), trials, lambda / (1.0 - lambda), (1.0 - lambda) / lambda,
            cost, reciprocals};
}

double pdf(const BinomialSteps& b, int64_t k) {
    b.cost->special_calls++;
    return boost::math::pdf(b.dist, (double)k);
}

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

// floor(z / d) for d > 0, rounding toward minus infinity where C++ rounds
// toward 0.
inline __int128 floor_div(__int128 z, __int128 d) {
    __int128 q = z / d;
    if (z % d != 0 && z < 0) q--;
    return q;
}
// The same in 64 bits, where z fits them: a 128-bit division is a library
// call.
inline int64_t floor_div_narrow(int64_t z, int64_t d) {
    int64_t q = z / d;
    if (z % d != 0 && z < 0) q--;
    return q;
}

// z / x_size for z = y_size n + offset at consecutive n, as the quotient
// q = floor(z / x_size) and the remainder r = z - q x_size, stepped without a
// division: a step of n moves z by y_size = per_step x_size + extra. `Int`
// is int64_t where every z fits it, __int128 otherwise.
template <typename Int>
struct Reach {
    Int q, r, x_size, per_step, extra;
};

template <typename Int>
Reach<Int> make_reach(__int128 z, __int128 x_size, __int128 y_size) {
    const __int128 q = floor_div(z, x_size);
    return {(Int)q, (Int)(z - q * x_size), (Int)x_size, (Int)(y_size / x_size), (Int)(y_size % x_size)};
}
template <typename Int>
inline void reach_up(Reach<Int>* s) {
    s->q += s->per_step;
    s->r += s->extra;
    if (s->r >= s->x_size) s->r -= s->x_size, s->q++;
}
template <typename Int>
inline int64_t reach_floor(const Reach<Int>& s) {
    return (int64_t)s.q;
}
template <typename Int>
inline int64_t reach_ceil(const Reach<Int>& s) {
    return (int64_t)(s.q + (s.r != 0));
}

// Sizes below which the recurrence takes reciprocals from a table (8 MiB at
// most per evaluation thread) instead of dividing.
const int64_t kReciprocalLimit = (int64_t)1 << 20;
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

// Runs the recurrence from p = P(from - direction) over k = from, from +
// direction, ... up to `to` (inclusive, in the direction of travel), appending
// each P(k) to `out` and stopping at the first below `stop`. Every
// kReanchorSteps-th value, and values within `near` of `stop` when `near` is
// positive (where the recurrence's last bits could decide the stop), come
// from Boost. The steps between those run without a call, so their values
// stay in registers. Returns the number of recurrence steps.
uint64_t run_recurrence(const BinomialSteps& b, int direction, int64_t from, int64_t to, double p,
                        double stop, double near, std::vector<double>& out) {
    const int64_t trials = b.trials;
    const double odds = direction > 0 ? b.odds : b.inverse_odds;
    const double fast_above = stop + (near > 0 ? near : 0);
    uint64_t steps = 0;
    int64_t since = 0, k = from;
    for (;;) {
        const int64_t left = direction > 0 ? to - k + 1 : k - to + 1;
        if (left <= 0) break;
        const int64_t block = std::min(std::min(left, kChunk), kReanchorSteps - 1 - since);
        // The ratios of a chunk first, free of the chain of products, so that
        // their divisions overlap; then their running products within each
        // group of four, so that the chain multiplies once per group.
        double ratio[kChunk];
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
        const size_t size = out.size();
        out.resize(size + (size_t)block);
        double* w = out.data() + size;
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
        // The rest of the chunk, or the group where a value came near the
        // stop, one value at a time.
        for (; i < block; i++) {
            const double q = base * ratio[i];
            if (q <= fast_above) break;
            w[i] = q;
            if ((i & 3) == 3) base = q;
        }
        if (i > 0) p = w[i - 1];
        out.resize(size + (size_t)i);
        steps += (uint64_t)i;
        since += i;
        k += direction * i;
        if (i == left) break;
        // One step by the slow rule: a value near or below the stop, or due
        // for a Boost evaluation.
        double q;
        if (p < kUnderflow) {
            q = pdf(b, k);
        } else {
            q = direction > 0 ? p * ((double)(trials - k + 1) / (double)k) * odds
                              : p * ((double)(k + 1) / (double)(trials - k)) * odds;
        }
        steps++;
        if (++since >= kReanchorSteps || (near > 0 && fabs(q - stop) <= near)) since = 0, q = pdf(b, k);
        if (q < stop) break;
        out.push_back(p = q);
        k += direction;
    }
    return steps;
}

// Walks the first sample's counts outward from `start`: first down from
// start - 1, then up from start, each direction ending at the first
// probability below kNegligible or at the end of the range. Leaves
// P(X = lo), ..., P(X = lo + size - 1) in `walk` and returns lo.
int64_t walk_first_sample(const BinomialSteps& b, int64_t start, ExceedanceScratch* s) {
    std::vector<double>& walk = s->walk;
    std::vector<double>& down = s->below;
    walk.clear();
    down.clear();
    const double at_start = saddle_point_pdf(b, start);
    // Near the cut-off the recurrence's last bits could end the walk one
    // step away from where Boost's own values end it.
    const double near = 1e-9 * kNegligible;
    uint64_t steps = run_recurrence(b, -1, start - 1, 0, at_start, kNegligible, near, down);
    const int64_t lo = start - (int64_t)down.size();
    walk.assign(down.rbegin(), down.rend());
    if (at_start >= kNegligible) {
        walk.push_back(at_start);
        steps += run_recurrence(b, 1, start + 1, b.trials, at_start, kNegligible, near, walk);
    }
    b.cost->recurrence_steps += steps;
    return lo;
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

// The sum over n in [n0, n1] of walk[n - lo] tails[index(n)], where index(n)
// = floor((y_size n + offset) / x_size) - base (`ceil` rounds up instead).
// Four partial sums in a fixed order keep the additions from waiting on one
// another; the value does not depend on where or when it is evaluated.
template <typename Int>
double weighted_tails(const double* walk, int64_t lo, int64_t n0, int64_t n1, __int128 offset, bool ceil,
                      int64_t x_size, int64_t y_size, const double* tails, int64_t base) {
    double sum[4] = {0, 0, 0, 0};
    if (x_size == y_size) {
        // The reach moves by one count per step of n.
        Reach<Int> reach = make_reach<Int>((__int128)y_size * n0 + offset, x_size, y_size);
        const double* t = tails + ((ceil ? reach_ceil(reach) : reach_floor(reach)) - base);
        const double* w = walk + (n0 - lo);
        const int64_t m = n1 - n0 + 1;
        int64_t i = 0;
        for (; i + 4 <= m; i += 4) {
            for (int j = 0; j < 4; j++) sum[j] += w[i + j] * t[i + j];
        }
        for (; i < m; i++) sum[0] += w[i] * t[i];
    } else {
        Reach<Int> reach = make_reach<Int>((__int128)y_size * n0 + offset, x_size, y_size);
        for (int64_t n = n0; n <= n1; n++, reach_up(&reach)) {
            const int64_t index = (ceil ? reach_ceil(reach) : reach_floor(reach)) - base;
            sum[n & 3] += walk[n - lo] * tails[index];
        }
    }
    return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

}  // namespace

int significance_exceedance(uint64_t c, int64_t x_size, int64_t y_size, double result,
                            ExceedanceScratch* scratch, double* out, ExceedanceCost* cost) {
    ExceedanceCost own_cost;
    if (!cost) cost = &own_cost;
    *cost = {0, 0, false};
    *out = 0.0;
    const double lambda = (c + 1.0) / (x_size + 2.0);
    const double raw_units = nearbyint(result * (double)x_size * (double)y_size);
    // A bound that is not finite (an empty sample) adds no tail term.
    if (!isfinite(raw_units) || x_size <= 0 || y_size <= 0) return 0;
    try {
        // The recurrence multiplies by reciprocals from a table, grown once
        // per thread, where the sizes keep it small.
        const int64_t largest = std::max(x_size, y_size);
        std::vector<double>& reciprocals = scratch->reciprocals;
        if (largest < kReciprocalLimit && (int64_t)reciprocals.size() <= largest) {
            for (int64_t j = (int64_t)reciprocals.size(); j <= largest; j++) reciprocals.push_back(1.0 / (double)j);
        }
        const double* table = largest < kReciprocalLimit ? reciprocals.data() : NULL;
        const BinomialSteps first = make_steps(x_size, lambda, cost, table);
        const BinomialSteps second = make_steps(y_size, lambda, cost, table);
        std::vector<double>& walk = scratch->walk;
        const int64_t lo = walk_first_sample(first, (int64_t)floor(x_size * lambda), scratch);
        if (walk.empty()) return 0;
        const int64_t hi = lo + (int64_t)walk.size() - 1;

        // `result` is an observed difference raw / (x_size * y_size), and
        // differences equal to it must not count as larger. The reach of n,
        // the second-sample counts y with |y / y_size - n / x_size| <= result,
        // runs from ceil((y_size n - raw) / x_size) to floor((y_size n + raw) /
        // x_size); it is formed in integers, since rounded in floating point
        // the bounds often land a hair off a whole number and would move an
        // equal difference across the boundary. Where y_size (x_size + 1) and
        // raw leave room in 62 bits, 64-bit integers hold every step.
        const __int128 raw = (__int128)raw_units;
        const __int128 nx = x_size, ny = y_size;
        const bool narrow = ny * (nx + 1) + raw < ((__int128)1 << 62);
        auto top_of = [&](int64_t n) {
            return narrow ? (int64_t)floor_div_narrow(y_size * n + (int64_t)raw, x_size)
                          : (int64_t)floor_div(ny * n + raw, nx);
        };
        auto bottom_of = [&](int64_t n) {
            return narrow ? -floor_div_narrow((int64_t)raw - y_size * n, x_size) : (int64_t)-floor_div(raw - ny * n, nx);
        };
        // The upper tail counts while the reach ends below y_size, that is
        // while y_size n + raw < x_size y_size; the lower tail once the reach
        // starts above 0, that is once y_size n > raw.
        const int64_t raw_per_y = (int64_t)(raw / ny);
        const int64_t upper_last = std::min(hi, x_size - 1 - raw_per_y);
        const int64_t lower_first = std::max(lo, raw_per_y + 1);
        const int64_t upper_terms = upper_last >= lo ? upper_last - lo + 1 : 0;
        const int64_t lower_terms = lower_first <= hi ? hi - lower_first + 1 : 0;
        if (upper_terms + lower_terms == 0) return 0;

        // Probabilities of Y that the tails pass over: (top(lo), top(upper_last)]
        // and [bottom(lower_first), bottom(hi)).
        const int64_t top_low = upper_terms ? top_of(lo) : 0;
        const int64_t top_high = upper_terms ? top_of(upper_last) : 0;
        const int64_t bottom_low = lower_terms ? bottom_of(lower_first) : 0;
        const int64_t bottom_high = lower_terms ? bottom_of(hi) : 0;
        int64_t a = INT64_MAX, b = INT64_MIN;
        if (top_high > top_low) a = std::min(a, top_low + 1), b = std::max(b, top_high);
        if (bottom_high > bottom_low) a = std::min(a, bottom_low), b = std::max(b, bottom_high - 1);
        // The window holds at most the counts within ~38 standard deviations
        // of Y's mean; beyond them its probabilities fall below kUnderflow.
        const double spread = sqrt((double)y_size * lambda * (1.0 - lambda));
        const double window_cost = a <= b ? std::min((double)(b - a + 1), 80.0 * spread + 64.0) : 0.0;
        cost->direct_tails = window_cost > (double)(kStepsPerSpecialCall * (upper_terms + lower_terms));

        if (cost->direct_tails) {
            // Every tail from Boost, once per distinct reach bound.
            double upper_sum = 0, lower_sum = 0;
            int64_t bound = INT64_MIN;
            double tail = 0;
            for (int64_t n = upper_last; n >= lo; n--) {
                const int64_t t = top_of(n);
                if (t != bound) {
                    cost->special_calls++;
                    tail = boost::math::cdf(boost::math::complement(second.dist, (double)t));
                    bound = t;
                }
                upper_sum += walk[n - lo] * tail;
            }
            bound = INT64_MIN;
            for (int64_t n = lower_first; n <= hi; n++) {
                const int64_t f = bottom_of(n);
                if (f != bound) {
                    cost->special_calls++;
                    tail = boost::math::cdf(second.dist, (double)(f - 1));
                    bound = f;
                }
                lower_sum += walk[n - lo] * tail;
            }
            *out = std::min(upper_sum + lower_sum, 1.0);
            return 0;
        }

        // The second sample's probabilities over [a, b], as far as they stay
        // above kUnderflow. With equal sizes the two distributions coincide:
        // the walk is extended in place and serves as the window.
        const bool shared = x_size == y_size && a <= hi && lo <= b;
        std::vector<double>& window = shared ? walk : scratch->window;
        // The window first stops at kCoarse: what it leaves out of every
        // tail is bounded by tail_bound, and where that bound is below 2^-45
        // of the sum, the sum stands. Otherwise the sum so far, a lower bound
        // of the whole, sets how much further the window must grow for the
        // bound to be met, down to kUnderflow at most, and the sums are
        // formed again.
        double stop = kCoarse;
        // With equal sizes X and Y are alike: the lower sum, P(X - Y > k)
        // with X on the walk, equals the upper one, P(Y - X > k), but for
        // the pairs with a count outside the walk, which differ by at most
        // `mirror_error`, a bound from the walk's cut-offs. Where the
        // exceedance is clearly not tiny (a normal approximation puts it above
        // ~3e-11), the upper sum alone is formed and counted twice, and the
        // window only grows upward, as long as the bound allows; else both
        // sums are formed. [wa, wb] is the part of [a, b] the sums read.
        const double variance = lambda * (1.0 - lambda) * (1.0 / (double)x_size + 1.0 / (double)y_size);
        bool one_side = shared && upper_terms && lower_terms && top_high > top_low &&
                        result * result < 44.0 * variance;
        const double mirror_error = (lo > 0 ? tail_bound(first, lo, false, kNegligible) : 0.0) +
                                    (hi < x_size ? tail_bound(first, hi, true, kNegligible) : 0.0);
        int64_t wa = one_side ? top_low + 1 : a, wb = one_side ? top_high : b;
        int64_t window_first = lo;
        if (!shared) {
            window.clear();
            if (a <= b) {
                const int64_t anchor = std::min(std::max((int64_t)floor((y_size + 1.0) * lambda), a), b);
                window_first = anchor;
                window.push_back(saddle_point_pdf(second, anchor));
                if (window.front() < kUnderflow) window.clear();
                if (window.empty() || window.front() < stop) stop = kUnderflow;
            }
        }
        const int64_t mode = (int64_t)floor((y_size + 1.0) * lambda);
        std::vector<double>& tails = scratch->tails;
        // Grown only: shrinking and growing again from key to key would
        // clear the storage each time.
        const size_t tails_needed = (size_t)(std::max(top_high - top_low, bottom_high - bottom_low) + 1);
        if (tails.size() < tails_needed) tails.resize(tails_needed);
        for (;;) {
            if (!window.empty()) {
                window_first = extend_window(second, window_first, wa, wb, stop, window, scratch->below);
            }
            // Where the walk's own values now sit in `walk`.
            const double* walked = walk.data() + (shared ? lo - window_first : 0);

            // The tails at the far ends of the walk, P(Y > top_high) and
            // P(Y < bottom_low): summed on from the window where its terms
            // fall fast; 0 where the count lies on the far side of the mode
            // and its probability fell below the stop (the window ended
            // before it, or never began); from Boost otherwise.
            const int64_t window_last = window_first + (int64_t)window.size() - 1;
            auto far_tail = [&](int64_t t, bool up) {
                double tail;
                if (!window.empty() && t >= window_first && t <= window_last &&
                    series_tail(second, t, window[t - window_first], up, &tail)) {
                    return tail;
                }
                const bool beyond_window = window.empty() || (up ? t > window_last : t < window_first);
                if (wa <= t && t <= wb && beyond_window && (up ? t > mode : t < mode)) return 0.0;
                cost->special_calls++;
                return up ? boost::math::cdf(boost::math::complement(second.dist, (double)t))
                          : boost::math::cdf(second.dist, (double)(t - 1));
            };

            // Every tail the sums reach, grown from the far one by the
            // window's probabilities, then summed against the walk. Where
            // the far tail is 0, the tails beyond the window's end are 0
            // too, and the counts n of the walk that reach only them are
            // left out.
            double upper_sum = 0, lower_sum = 0;
            if (upper_terms) {
                const double far = far_tail(top_high, true);
                int64_t t1 = top_high, n1 = upper_last;
                if (far == 0 && window_last < top_high) {
                    t1 = std::max(window_last, top_low);
                    // The last n with floor((y_size n + raw) / x_size) <= t1.
                    n1 = (int64_t)std::min((__int128)upper_last, floor_div(nx * (t1 + 1) - raw - 1, ny));
                }
                if (n1 >= lo) {
                    upper_tails(far, top_low, t1, window, window_first, tails.data());
                    upper_sum = narrow ? weighted_tails<int64_t>(walked, lo, lo, n1, raw, false, x_size, y_size,
                                                                 tails.data(), top_low)
                                       : weighted_tails<__int128>(walked, lo, lo, n1, raw, false, x_size, y_size,
                                                                  tails.data(), top_low);
                }
            }
            if (lower_terms && !one_side) {
                const double far = far_tail(bottom_low, false);
                int64_t f0 = bottom_low, n0 = lower_first;
                if (far == 0 && window_first > bottom_low) {
                    f0 = std::min(window_first, bottom_high);
                    // The first n with ceil((y_size n - raw) / x_size) >= f0.
                    n0 = (int64_t)std::max((__int128)lower_first,
                                           -floor_div(-(nx * (f0 - 1) + raw + 1), ny));
                }
                if (n0 <= hi) {
                    lower_tails(far, f0, bottom_high, window, window_first, tails.data());
                    lower_sum = narrow ? weighted_tails<int64_t>(walked, lo, n0, hi, -raw, true, x_size, y_size,
                                                                 tails.data(), f0)
                                       : weighted_tails<__int128>(walked, lo, n0, hi, -raw, true, x_size, y_size,
                                                                  tails.data(), f0);
                }
            }
            const double sum = one_side ? 2.0 * upper_sum : upper_sum + lower_sum;
            if (stop > kUnderflow || one_side) {
                // What the early stops left out of every tail the sums used,
                // and with one side formed, what the other may differ by.
                double omitted = 0;
                if (!window.empty() && window_last < wb) omitted += tail_bound(second, window_last, true, stop);
                if (!window.empty() && window_first > wa) omitted += tail_bound(second, window_first, false, stop);
                const double error = one_side ? 2.0 * omitted + mirror_error : omitted;
                if (!(sum >= error * 0x1p45)) {
                    if (one_side && (stop == kUnderflow || !(sum >= mirror_error * 0x1p46))) {
                        one_side = false;
                        wa = a;
                        wb = b;
                    } else {
                        // The bound shrinks at least in proportion to the stop.
                        const double needed = stop * (sum * (one_side ? 0x1p-48 : 0x1p-46) / omitted);
                        stop = needed > kUnderflow && needed < stop ? needed : kUnderflow;
                    }
                    continue;
                }
            }
            // A probability: rounding must not carry it past 1, where the
            // logarithm of its complement would not be defined.
            *out = std::min(sum, 1.0);
            return 0;
        }
    } catch (const std::bad_alloc&) {
        report_worker_error("out of memory error - significance_exceedance[scratch]");
    } catch (const std::exception& e) {
        char message[ERROR_BUFFER_SIZE];
        snprintf(message, sizeof(message), "binomial significance failed - %s", e.what());
        report_worker_error(message);
    }
    return 1;
}

static void significance_worker(void* context, uint32_t) {
    SignificanceWork* w = (SignificanceWork*)context;
    ExceedanceScratch* scratch = new (std::nothrow) ExceedanceScratch();
    pthread_mutex_lock(w->mutex);
    if (!scratch) {
        report_worker_error("out of memory error - significance_worker[scratch]");
        w->failed = true;
    }
    while (scratch && w->next < w->count && keep_running() && !w->failed) {
        const int run = w->next++;
        pthread_mutex_unlock(w->mutex);
        const size_t per_run = w->size / (size_t)w->count;
        const size_t from = (size_t)run * per_run, to = run == w->count - 1 ? w->size : from + per_run;
        bool failed = false;
        for (size_t i = from; i < to && keep_running() && !failed; i++) {
            failed = significance_exceedance(w->keys[i], w->x_size, w->y_size, w->result, scratch, &w->values[i],
                                             NULL) != 0;
        }
        pthread_mutex_lock(w->mutex);
        w->failed = w->failed || failed;
    }
    pthread_mutex_unlock(w->mutex);
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

double significance_finalize(double result, const DataSet* d, const Options* options,
                             SignificanceRuntime* r) {
    significance_fold_dense(r);
    if (r->failed) {
        report_worker_error("out of memory error - significance_push[m_t]");
        return -1.0;
    }
    const std::map<uint64_t, uint64_t>& histogram = *r->m_t;
    const uint32_t T = options->thread_no;
    // The distinct keys to evaluate, in ascending order; entries of weight 0
    // contribute nothing, even where their exceedance is 1 and the logarithm
    // -infinity.
    std::vector<uint64_t> keys;
    std::vector<double> values;
    try {
        // In key order, the keys that stand for themselves come ascending
        // and the mirrored ones descending: one merge orders them all.
        std::vector<uint64_t> mirrored;
        keys.reserve(histogram.size());
        for (const auto& entry : histogram) {
            if (!entry.second) continue;
            const uint64_t key = mirrored_key(entry.first, d->size_x);
            (key == entry.first ? keys : mirrored).push_back(key);
        }
        const size_t own = keys.size();
        keys.insert(keys.end(), mirrored.rbegin(), mirrored.rend());
        std::inplace_merge(keys.begin(), keys.begin() + (std::ptrdiff_t)own, keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        // Keys left unevaluated (no threads, or an interruption) keep 0.
        values.assign(keys.size(), 0.0);
    } catch (const std::bad_alloc&) {
        report_worker_error("out of memory error - significance_finalize[keys]");
        return -1.0;
    }
    SignificanceWork work = {&r->mutex, keys.data(), keys.size(), T == 1 ? 1 : 10 * (int)T, 0,
                             (int64_t)d->size_x, (int64_t)d->size_y, result, values.data(), false};
    // Threads that cannot be started leave their share to the others.
    if (T > 0) run_parallel(T, significance_worker, &work);
    // The terms log(1 - P_c) w_c added in key order, so the value is the same
    // on every run and for every thread count.
    // Keys that stand for themselves come ascending, mirrored ones
    // descending: each kind's position in `keys` moves one way only.
    double log_p_D = 0;
    size_t own_at = 0, mirrored_at = keys.size();
    for (const auto& entry : histogram) {
        if (!entry.second) continue;
        const uint64_t key = mirrored_key(entry.first, d->size_x);
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
    // 1 - exp(log_p_D) without the cancellation of forming exp near 1.
    return work.failed ? -1.0 : 0.0 - expm1(log_p_D);
}
