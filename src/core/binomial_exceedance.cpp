#include "binomial_exceedance.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <boost/math/distributions/binomial.hpp>
#include <exception>
#include <new>

#include "binomial_probabilities.h"
#include "common.h"

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
// is consulted every so many steps of the recurrence, where the walk's
// stopping test is too close to call, and for tails that no window reaches.
// The exceedances of c and x_size - c are one number, which the evaluation
// computes once.

using namespace binomial;

namespace {

// The walk over the first sample stops at the first probability below this.
const double kNegligible = 1e-25;
// Where the cheaper first pass stops the second sample's probabilities.
const double kCoarse = 1e-28;
// Recurrence steps that cost about as much as one Boost tail evaluation.
const int64_t kStepsPerSpecialCall = 64;
// Sizes below which the recurrence takes reciprocals from a table (8 MiB at
// most per evaluation thread) instead of dividing.
const int64_t kReciprocalLimit = (int64_t)1 << 20;

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

// The reciprocals 1 / j for j up to the larger size, from a table grown once
// per thread, or null where the sizes are too large for one and the
// recurrence divides instead.
const double* reciprocal_table(ExceedanceScratch* scratch, int64_t x_size, int64_t y_size) {
    const int64_t largest = std::max(x_size, y_size);
    std::vector<double>& reciprocals = scratch->reciprocals;
    if (largest < kReciprocalLimit && (int64_t)reciprocals.size() <= largest) {
        for (int64_t j = (int64_t)reciprocals.size(); j <= largest; j++) reciprocals.push_back(1.0 / (double)j);
    }
    return largest < kReciprocalLimit ? reciprocals.data() : NULL;
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

// Where the reaches of the walk's counts [lo, hi] end. `result` is an observed
// difference raw / (x_size * y_size), and differences equal to it must not
// count as larger. The reach of n, the second-sample counts y with
// |y / y_size - n / x_size| <= result, runs from bottom(n) = ceil((y_size n -
// raw) / x_size) to top(n) = floor((y_size n + raw) / x_size); it is formed
// in integers, since rounded in floating point the bounds often land a hair
// off a whole number and would move an equal difference across the
// boundary. Where y_size (x_size + 1) and raw leave room in 62 bits
// (`narrow`), 64-bit integers hold every step.
struct ReachBounds {
    __int128 raw, nx, ny;
    int64_t x_size, y_size;
    bool narrow;
    int64_t lo, hi;
    // The counts n of the walk with an upper tail run over [lo, upper_last],
    // those with a lower tail over [lower_first, hi]; the terms count them.
    int64_t upper_last, lower_first;
    int64_t upper_terms, lower_terms;
    // Probabilities of Y that the tails pass over: (top_low, top_high] =
    // (top(lo), top(upper_last)] and [bottom_low, bottom_high) =
    // [bottom(lower_first), bottom(hi)), together within [a, b].
    int64_t top_low, top_high, bottom_low, bottom_high;
    int64_t a, b;
};

int64_t top_of(const ReachBounds& r, int64_t n) {
    return r.narrow ? (int64_t)floor_div_narrow(r.y_size * n + (int64_t)r.raw, r.x_size)
                    : (int64_t)floor_div(r.ny * n + r.raw, r.nx);
}

int64_t bottom_of(const ReachBounds& r, int64_t n) {
    return r.narrow ? -floor_div_narrow((int64_t)r.raw - r.y_size * n, r.x_size)
                    : (int64_t)-floor_div(r.raw - r.ny * n, r.nx);
}

// Fills *r for the walk [lo, hi] and the rounded bound raw_units; returns
// false where no count of the walk has a tail beyond its reach.
bool find_reach_bounds(double raw_units, int64_t x_size, int64_t y_size, int64_t lo, int64_t hi,
                       ReachBounds* r) {
    r->raw = (__int128)raw_units;
    r->nx = x_size;
    r->ny = y_size;
    r->x_size = x_size;
    r->y_size = y_size;
    r->narrow = r->ny * (r->nx + 1) + r->raw < ((__int128)1 << 62);
    r->lo = lo;
    r->hi = hi;
    // The upper tail counts while the reach ends below y_size, that is
    // while y_size n + raw < x_size y_size; the lower tail once the reach
    // starts above 0, that is once y_size n > raw.
    const int64_t raw_per_y = (int64_t)(r->raw / r->ny);
    r->upper_last = std::min(hi, x_size - 1 - raw_per_y);
    r->lower_first = std::max(lo, raw_per_y + 1);
    r->upper_terms = r->upper_last >= lo ? r->upper_last - lo + 1 : 0;
    r->lower_terms = r->lower_first <= hi ? hi - r->lower_first + 1 : 0;
    if (r->upper_terms + r->lower_terms == 0) return false;
    r->top_low = r->upper_terms ? top_of(*r, lo) : 0;
    r->top_high = r->upper_terms ? top_of(*r, r->upper_last) : 0;
    r->bottom_low = r->lower_terms ? bottom_of(*r, r->lower_first) : 0;
    r->bottom_high = r->lower_terms ? bottom_of(*r, hi) : 0;
    r->a = INT64_MAX;
    r->b = INT64_MIN;
    if (r->top_high > r->top_low) r->a = std::min(r->a, r->top_low + 1), r->b = std::max(r->b, r->top_high);
    if (r->bottom_high > r->bottom_low) {
        r->a = std::min(r->a, r->bottom_low), r->b = std::max(r->b, r->bottom_high - 1);
    }
    return true;
}

// Whether Y's tails are better taken from Boost at every distinct reach bound
// than grown from a window of its probabilities: the window holds at most
// the counts within ~38 standard deviations of Y's mean (beyond them its
// probabilities fall below kUnderflow), and it costs more than the Boost
// calls when longer than kStepsPerSpecialCall steps per term.
bool prefers_direct_tails(const ReachBounds& r, double lambda) {
    const double spread = sqrt((double)r.y_size * lambda * (1.0 - lambda));
    const double window_cost = r.a <= r.b ? std::min((double)(r.b - r.a + 1), 80.0 * spread + 64.0) : 0.0;
    return window_cost > (double)(kStepsPerSpecialCall * (r.upper_terms + r.lower_terms));
}

// The exceedance with every tail of Y from Boost, once per distinct reach
// bound.
double direct_exceedance(const ReachBounds& r, const BinomialSteps& second, const std::vector<double>& walk,
                         ExceedanceCost* cost) {
    double upper_sum = 0, lower_sum = 0;
    int64_t bound = INT64_MIN;
    double tail = 0;
    for (int64_t n = r.upper_last; n >= r.lo; n--) {
        const int64_t t = top_of(r, n);
        if (t != bound) {
            cost->special_calls++;
            tail = boost::math::cdf(boost::math::complement(second.dist, (double)t));
            bound = t;
        }
        upper_sum += walk[n - r.lo] * tail;
    }
    bound = INT64_MIN;
    for (int64_t n = r.lower_first; n <= r.hi; n++) {
        const int64_t f = bottom_of(r, n);
        if (f != bound) {
            cost->special_calls++;
            tail = boost::math::cdf(second.dist, (double)(f - 1));
            bound = f;
        }
        lower_sum += walk[n - r.lo] * tail;
    }
    return std::min(upper_sum + lower_sum, 1.0);
}

// The second sample's probabilities over [a, b], held in `values` for the
// counts first, ..., first + size - 1 as far as they stay above `stop`. With
// equal sizes the two distributions coincide: the walk is extended in place
// and serves as the window (`shared`).
//
// The window first stops at kCoarse: what it leaves out of every tail is
// bounded by tail_bound, and where that bound is below 2^-45 of the sum, the
// sum stands. Otherwise the sum so far, a lower bound of the whole, sets how
// much further the window must grow for the bound to be met, down to
// kUnderflow at most, and the sums are formed again.
//
// With equal sizes X and Y are alike: the lower sum, P(X - Y > k) with X on
// the walk, equals the upper one, P(Y - X > k), but for the pairs with a
// count outside the walk, which differ by at most `mirror_error`, a bound
// from the walk's cut-offs. Where the exceedance is clearly not tiny, the
// upper sum alone is formed and counted twice (`one_side`), and the window
// only grows upward, as long as the bound allows; else both sums are formed.
// [wa, wb] is the part of [a, b] the sums read.
struct TailWindow {
    std::vector<double>* values;
    bool shared;
    int64_t first;
    int64_t wa, wb;
    // Y's mode, floor((y_size + 1) lambda): a far tail beyond it and past the
    // window's end is taken as 0, its terms having fallen below the stop.
    int64_t mode;
    double stop;
    bool one_side;
    double mirror_error;
};

// One key's evaluation: its fraction and bound, the two distributions, where
// the reaches of the walk over the first end, and the working storage that
// holds the walk.
struct KeyEvaluation {
    double lambda;
    double result;
    BinomialSteps first, second;
    ReachBounds reach;
    ExceedanceScratch* scratch;
    ExceedanceCost* cost;
};

int64_t window_last(const TailWindow& w) { return w.first + (int64_t)w.values->size() - 1; }

// The window before its first extension: the walk itself where shared, else
// Y's probability at its bulk (clamped into [a, b]), or nothing where that is
// below kUnderflow already. A window that starts below kCoarse goes straight
// on to kUnderflow.
TailWindow open_window(const KeyEvaluation& e) {
    const ReachBounds& r = e.reach;
    TailWindow w;
    w.shared = r.x_size == r.y_size && r.a <= r.hi && r.lo <= r.b;
    w.values = w.shared ? &e.scratch->walk : &e.scratch->window;
    w.stop = kCoarse;
    // One side where the exceedance is clearly not tiny: a normal
    // approximation puts it above ~3e-11.
    const double variance = e.lambda * (1.0 - e.lambda) * (1.0 / (double)r.x_size + 1.0 / (double)r.y_size);
    w.one_side = w.shared && r.upper_terms && r.lower_terms && r.top_high > r.top_low &&
                 e.result * e.result < 44.0 * variance;
    w.mirror_error = (r.lo > 0 ? tail_bound(e.first, r.lo, false, kNegligible) : 0.0) +
                     (r.hi < r.x_size ? tail_bound(e.first, r.hi, true, kNegligible) : 0.0);
    w.wa = w.one_side ? r.top_low + 1 : r.a;
    w.wb = w.one_side ? r.top_high : r.b;
    w.first = r.lo;
    if (!w.shared) {
        std::vector<double>& window = *w.values;
        window.clear();
        if (r.a <= r.b) {
            const int64_t anchor = std::min(std::max((int64_t)floor((r.y_size + 1.0) * e.lambda), r.a), r.b);
            w.first = anchor;
            window.push_back(saddle_point_pdf(e.second, anchor));
            if (window.front() < kUnderflow) window.clear();
            if (window.empty() || window.front() < w.stop) w.stop = kUnderflow;
        }
    }
    w.mode = (int64_t)floor((r.y_size + 1.0) * e.lambda);
    return w;
}

// The tail at a far end of the walk, P(Y > t) (`up`) or P(Y < t): summed on
// from the window where its terms fall fast; 0 where the count lies on the
// far side of the mode and its probability fell below the stop (the window
// ended before it, or never began); from Boost otherwise.
double far_tail(const TailWindow& w, const BinomialSteps& second, int64_t t, bool up, ExceedanceCost* cost) {
    const std::vector<double>& window = *w.values;
    const int64_t last = window_last(w);
    double tail;
    if (!window.empty() && t >= w.first && t <= last &&
        series_tail(second, t, window[t - w.first], up, &tail)) {
        return tail;
    }
    const bool beyond_window = window.empty() || (up ? t > last : t < w.first);
    if (w.wa <= t && t <= w.wb && beyond_window && (up ? t > w.mode : t < w.mode)) return 0.0;
    cost->special_calls++;
    return up ? boost::math::cdf(boost::math::complement(second.dist, (double)t))
              : boost::math::cdf(second.dist, (double)(t - 1));
}

// The upper sum, over the walk's counts n of P(X = n) P(Y > top(n)): every
// tail the sum reaches, grown from the far one by the window's
// probabilities. Where the far tail is 0, the tails beyond the window's end
// are 0 too, and the counts n that reach only them are left out. `walked`
// holds P(X = lo), ...
double upper_sum(const KeyEvaluation& e, const TailWindow& w, const double* walked) {
    const ReachBounds& r = e.reach;
    double* tails = e.scratch->tails.data();
    const double far = far_tail(w, e.second, r.top_high, true, e.cost);
    const int64_t last = window_last(w);
    int64_t t1 = r.top_high, n1 = r.upper_last;
    if (far == 0 && last < r.top_high) {
        t1 = std::max(last, r.top_low);
        // The last n with floor((y_size n + raw) / x_size) <= t1.
        n1 = (int64_t)std::min((__int128)r.upper_last, floor_div(r.nx * (t1 + 1) - r.raw - 1, r.ny));
    }
    if (n1 < r.lo) return 0;
    upper_tails(far, r.top_low, t1, *w.values, w.first, tails);
    return r.narrow ? weighted_tails<int64_t>(walked, r.lo, r.lo, n1, r.raw, false, r.x_size, r.y_size, tails,
                                              r.top_low)
                    : weighted_tails<__int128>(walked, r.lo, r.lo, n1, r.raw, false, r.x_size, r.y_size, tails,
                                               r.top_low);
}

// The lower sum, over the walk's counts n of P(X = n) P(Y < bottom(n)), in
// the same way.
double lower_sum(const KeyEvaluation& e, const TailWindow& w, const double* walked) {
    const ReachBounds& r = e.reach;
    double* tails = e.scratch->tails.data();
    const double far = far_tail(w, e.second, r.bottom_low, false, e.cost);
    int64_t f0 = r.bottom_low, n0 = r.lower_first;
    if (far == 0 && w.first > r.bottom_low) {
        f0 = std::min(w.first, r.bottom_high);
        // The first n with ceil((y_size n - raw) / x_size) >= f0.
        n0 = (int64_t)std::max((__int128)r.lower_first, -floor_div(-(r.nx * (f0 - 1) + r.raw + 1), r.ny));
    }
    if (n0 > r.hi) return 0;
    lower_tails(far, f0, r.bottom_high, *w.values, w.first, tails);
    return r.narrow ? weighted_tails<int64_t>(walked, r.lo, n0, r.hi, -r.raw, true, r.x_size, r.y_size, tails, f0)
                    : weighted_tails<__int128>(walked, r.lo, n0, r.hi, -r.raw, true, r.x_size, r.y_size, tails, f0);
}

// Whether `sum` stands: what the early stops left out of every tail the sums
// used, and with one side formed, what the other may differ by, is below
// 2^-45 of it. Otherwise prepares the next pass: both sides formed where one
// side cannot meet the bound, else a stop far enough out for it.
bool sum_stands(TailWindow* w, const KeyEvaluation& e, double sum) {
    if (!(w->stop > kUnderflow || w->one_side)) return true;
    const std::vector<double>& window = *w->values;
    double omitted = 0;
    if (!window.empty() && window_last(*w) < w->wb) omitted += tail_bound(e.second, window_last(*w), true, w->stop);
    if (!window.empty() && w->first > w->wa) omitted += tail_bound(e.second, w->first, false, w->stop);
    const double error = w->one_side ? 2.0 * omitted + w->mirror_error : omitted;
    if (sum >= error * 0x1p45) return true;
    if (w->one_side && (w->stop == kUnderflow || !(sum >= w->mirror_error * 0x1p46))) {
        w->one_side = false;
        w->wa = e.reach.a;
        w->wb = e.reach.b;
    } else {
        // The bound shrinks at least in proportion to the stop.
        const double needed = w->stop * (sum * (w->one_side ? 0x1p-48 : 0x1p-46) / omitted);
        w->stop = needed > kUnderflow && needed < w->stop ? needed : kUnderflow;
    }
    return false;
}

// The exceedance with Y's tails grown from a window of its probabilities,
// extended pass by pass until the sum stands.
double windowed_exceedance(const KeyEvaluation& e) {
    const ReachBounds& r = e.reach;
    TailWindow w = open_window(e);
    // Grown only: shrinking and growing again from key to key would clear
    // the storage each time.
    std::vector<double>& tails = e.scratch->tails;
    const size_t tails_needed = (size_t)(std::max(r.top_high - r.top_low, r.bottom_high - r.bottom_low) + 1);
    if (tails.size() < tails_needed) tails.resize(tails_needed);
    for (;;) {
        if (!w.values->empty()) {
            w.first = extend_window(e.second, w.first, w.wa, w.wb, w.stop, *w.values, e.scratch->below);
        }
        // Where the walk's own values now sit in `walk`.
        const double* walked = e.scratch->walk.data() + (w.shared ? r.lo - w.first : 0);
        const double upper = r.upper_terms ? upper_sum(e, w, walked) : 0;
        const double lower = r.lower_terms && !w.one_side ? lower_sum(e, w, walked) : 0;
        const double sum = w.one_side ? 2.0 * upper : upper + lower;
        // A probability: rounding must not carry it past 1, where the
        // logarithm of its complement would not be defined.
        if (sum_stands(&w, e, sum)) return std::min(sum, 1.0);
    }
}

// The exceedance of the key with fraction lambda against the rounded bound
// raw_units; 0 where the walk is empty or no count of it has a tail.
double key_exceedance(int64_t x_size, int64_t y_size, double lambda, double result, double raw_units,
                      ExceedanceScratch* scratch, ExceedanceCost* cost) {
    const double* table = reciprocal_table(scratch, x_size, y_size);
    KeyEvaluation e;
    e.lambda = lambda;
    e.result = result;
    e.first = make_steps(x_size, lambda, cost, table);
    e.second = make_steps(y_size, lambda, cost, table);
    e.scratch = scratch;
    e.cost = cost;
    const int64_t lo = walk_first_sample(e.first, (int64_t)floor(x_size * lambda), scratch);
    if (scratch->walk.empty()) return 0;
    const int64_t hi = lo + (int64_t)scratch->walk.size() - 1;
    if (!find_reach_bounds(raw_units, x_size, y_size, lo, hi, &e.reach)) return 0;
    cost->direct_tails = prefers_direct_tails(e.reach, lambda);
    return cost->direct_tails ? direct_exceedance(e.reach, e.second, scratch->walk, cost) : windowed_exceedance(e);
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
        *out = key_exceedance(x_size, y_size, lambda, result, raw_units, scratch, cost);
        return 0;
    } catch (const std::bad_alloc&) {
        report_worker_error("out of memory error - significance_exceedance[scratch]");
    } catch (const std::exception& e) {
        char message[ERROR_BUFFER_SIZE];
        snprintf(message, sizeof(message), "binomial significance failed - %s", e.what());
        report_worker_error(message);
    }
    return 1;
}
