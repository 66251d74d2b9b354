#include "binomial_significance.h"

#include <math.h>
#include <stdlib.h>

#include <algorithm>
#include <boost/math/distributions/binomial.hpp>
#include <exception>
#include <iterator>
#include <new>

#include "common.h"
#include "data.h"

typedef std::map<uint64_t, uint64_t>::const_iterator HistogramIterator;

// One contiguous run of histogram entries, in key order; `index` is the
// position of its first entry in the histogram.
struct SignificanceJob {
    HistogramIterator from;
    HistogramIterator to;
    size_t index;
};

// The job list shared by the evaluation threads; `iterator` is the next job
// to hand out and is only touched under `mutex`.
struct SignificanceJobs {
    pthread_mutex_t* mutex;
    SignificanceJob* jobs;
    int count;
    int iterator;
};

// One evaluation thread's arguments and outcome. Each entry's term,
// log(1 - P_c) w_c, goes to its own slot of `terms`, so that the caller can
// add them in key order whichever thread evaluated them; `failed` is set when
// the thread could not finish its jobs.
struct SignificanceTask {
    SignificanceJobs* jobs;
    int64_t x_size;
    int64_t y_size;
    double result;
    double* terms;
    bool failed;
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

// P(|X / x_size - Y / y_size| > result), with X and Y independent binomials of
// one fraction, is the sum over the counts n of X, walked outward from its
// bulk, of P(X = n) times the two tails of Y beyond the reach of n. Evaluating
// each of these probabilities with Boost.Math costs an incomplete beta
// function apiece; instead the walk obtains P(X = n) from its neighbour by the
// ratio of consecutive binomial probabilities, and the tails of Y are grown
// from one Boost value at the far end of the walk by adding the probabilities
// of Y that the reach passes over. Every term is positive and every tail is
// accumulated from its small end, so the relative error stays near the
// rounding error of the recurrence; Boost is consulted again at the start of
// each entry, every kReanchorSteps steps, and where the walk's stopping test
// is too close to call. When both samples have the same size the two
// distributions coincide, and the walk's probabilities serve for Y as well.

namespace {

// The walk over the first sample stops at the first probability below this.
const double kNegligible = 1e-25;
// Probabilities of the second sample below this are taken as 0: the
// recurrence would run into subnormal numbers, and no term this small can
// change a p-value.
const double kUnderflow = 1e-300;
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
};

BinomialSteps make_steps(int64_t trials, double lambda, ExceedanceCost* cost) {
    return {Binomial((double)trials, lambda), trials, lambda / (1.0 - lambda), (1.0 - lambda) / lambda,
            cost};
}

double pdf(const BinomialSteps& b, int64_t k) {
    b.cost->special_calls++;
    return boost::math::pdf(b.dist, (double)k);
}

// P(k + 1) from P(k), and P(k - 1) from P(k).
inline double step_up(const BinomialSteps& b, int64_t k, double p) {
    return p * ((double)(b.trials - k) / (double)(k + 1)) * b.odds;
}
inline double step_down(const BinomialSteps& b, int64_t k, double p) {
    return p * ((double)k / (double)(b.trials - k + 1)) * b.inverse_odds;
}

// z / x_size for z = y_size n + offset at consecutive n, as the quotient
// q = floor(z / x_size) and the remainder r = z - q x_size, stepped without a
// division: a step of n moves z by y_size = per_step x_size + extra.
struct Reach {
    __int128 q, r, x_size, per_step, extra;
};

Reach make_reach(__int128 z, __int128 x_size, __int128 y_size) {
    __int128 q = z / x_size;
    if (z % x_size != 0 && z < 0) q--;
    return {q, z - q * x_size, x_size, y_size / x_size, y_size % x_size};
}
inline void reach_up(Reach* s) {
    s->q += s->per_step;
    s->r += s->extra;
    if (s->r >= s->x_size) s->r -= s->x_size, s->q++;
}
inline void reach_down(Reach* s) {
    s->q -= s->per_step;
    s->r -= s->extra;
    if (s->r < 0) s->r += s->x_size, s->q--;
}
inline int64_t reach_floor(const Reach& s) { return (int64_t)s.q; }
inline int64_t reach_ceil(const Reach& s) { return (int64_t)(s.q + (s.r != 0)); }

// Walks the first sample's counts outward from `start`: first down from
// start - 1, then up from start, each direction ending at the first
// probability below kNegligible or at the end of the range. Leaves
// P(X = lo), ..., P(X = lo + size - 1) in `walk` and returns lo.
int64_t walk_first_sample(const BinomialSteps& b, int64_t start, std::vector<double>& walk) {
    walk.clear();
    const double at_start = pdf(b, start);
    // Near the cut-off the recurrence's last bits could end the walk one
    // step away from where Boost's own values end it.
    auto settle = [&b](int64_t k, double p, int64_t* since) {
        if (++*since >= kReanchorSteps || fabs(p - kNegligible) <= 1e-9 * kNegligible) {
            *since = 0;
            return pdf(b, k);
        }
        return p;
    };
    double p = at_start;
    int64_t since = 0;
    for (int64_t k = start - 1; k >= 0; k--) {
        p = p >= kUnderflow ? step_down(b, k + 1, p) : pdf(b, k);
        b.cost->recurrence_steps++;
        p = settle(k, p, &since);
        if (p < kNegligible) break;
        walk.push_back(p);
    }
    const int64_t lo = start - (int64_t)walk.size();
    std::reverse(walk.begin(), walk.end());
    if (at_start < kNegligible) return lo;
    walk.push_back(at_start);
    p = at_start;
    since = 0;
    for (int64_t k = start + 1; k <= b.trials; k++) {
        p = step_up(b, k - 1, p);
        b.cost->recurrence_steps++;
        p = settle(k, p, &since);
        if (p < kNegligible) break;
        walk.push_back(p);
    }
    return lo;
}

// Extends the probabilities held in `window` for the counts first, ...,
// first + size - 1 (at least one, with the distribution's mode inside or at
// the near edge) outward to cover [a, b], stopping in each direction where
// they fall below kUnderflow. Returns the new first count.
int64_t extend_window(const BinomialSteps& b, int64_t first, int64_t a, int64_t bound,
                      ExceedanceScratch* s) {
    std::vector<double>& window = s->window;
    int64_t since = 0;
    double p = window.back();
    for (int64_t k = first + (int64_t)window.size(); k <= bound && p >= kUnderflow; k++) {
        p = ++since >= kReanchorSteps ? (since = 0, pdf(b, k)) : step_up(b, k - 1, p);
        b.cost->recurrence_steps++;
        if (p >= kUnderflow) window.push_back(p);
    }
    std::vector<double>& below = s->below;
    below.clear();
    since = 0;
    p = window.front();
    for (int64_t k = first - 1; k >= a && p >= kUnderflow; k--) {
        p = ++since >= kReanchorSteps ? (since = 0, pdf(b, k)) : step_down(b, k + 1, p);
        b.cost->recurrence_steps++;
        if (p >= kUnderflow) below.push_back(p);
    }
    if (below.empty()) return first;
    window.insert(window.begin(), below.rbegin(), below.rend());
    return first - (int64_t)below.size();
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
    for (int64_t k = t;; up ? k++ : k--) {
        const double ratio = up ? (double)(b.trials - k) / (double)(k + 1) * b.odds
                                : (double)k / (double)(b.trials - k + 1) * b.inverse_odds;
        if (k == t && ratio > kSeriesRatio) return false;
        p *= ratio;
        sum += p;
        b.cost->recurrence_steps++;
        if (p == 0 || p * ratio <= eps * sum * (1.0 - ratio)) break;
    }
    *out = sum;
    return true;
}

// The sum of window probabilities over the counts [y0, y1], 0 outside the
// window.
inline double window_sum(const std::vector<double>& window, int64_t first, int64_t y0, int64_t y1) {
    const int64_t from = y0 > first ? y0 : first;
    const int64_t last = first + (int64_t)window.size() - 1;
    const int64_t to = y1 < last ? y1 : last;
    double sum = 0;
    for (int64_t y = from; y <= to; y++) sum += window[y - first];
    return sum;
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
        const BinomialSteps first = make_steps(x_size, lambda, cost);
        const BinomialSteps second = make_steps(y_size, lambda, cost);
        std::vector<double>& walk = scratch->walk;
        const int64_t lo = walk_first_sample(first, (int64_t)floor(x_size * lambda), walk);
        if (walk.empty()) return 0;
        const int64_t hi = lo + (int64_t)walk.size() - 1;

        // `result` is an observed difference raw / (x_size * y_size), and
        // differences equal to it must not count as larger. The reach of n,
        // the second-sample counts y with |y / y_size - n / x_size| <= result,
        // runs from ceil((y_size n - raw) / x_size) to floor((y_size n + raw) /
        // x_size); it is formed in integers, since rounded in floating point
        // the bounds often land a hair off a whole number and would move an
        // equal difference across the boundary.
        const __int128 raw = (__int128)raw_units;
        const __int128 nx = x_size, ny = y_size;
        auto reach_top = [&](int64_t n) { return make_reach(ny * n + raw, nx, ny); };
        auto reach_bottom = [&](int64_t n) { return make_reach(ny * n - raw, nx, ny); };
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
        const int64_t top_low = upper_terms ? reach_floor(reach_top(lo)) : 0;
        const int64_t top_high = upper_terms ? reach_floor(reach_top(upper_last)) : 0;
        const int64_t bottom_low = lower_terms ? reach_ceil(reach_bottom(lower_first)) : 0;
        const int64_t bottom_high = lower_terms ? reach_ceil(reach_bottom(hi)) : 0;
        int64_t a = INT64_MAX, b = INT64_MIN;
        if (top_high > top_low) a = std::min(a, top_low + 1), b = std::max(b, top_high);
        if (bottom_high > bottom_low) a = std::min(a, bottom_low), b = std::max(b, bottom_high - 1);
        // The window holds at most the counts within ~38 standard deviations
        // of Y's mean; beyond them its probabilities fall below kUnderflow.
        const double spread = sqrt((double)y_size * lambda * (1.0 - lambda));
        const double window_cost = a <= b ? std::min((double)(b - a + 1), 80.0 * spread + 64.0) : 0.0;
        cost->direct_tails = window_cost > (double)(kStepsPerSpecialCall * (upper_terms + lower_terms));

        std::vector<double>& window = scratch->window;
        window.clear();
        int64_t window_first = 0;
        if (!cost->direct_tails && a <= b) {
            if (x_size == y_size && a <= hi && lo <= b) {
                // One distribution: the walk already holds its bulk.
                window_first = std::max(a, lo);
                window.assign(walk.begin() + (window_first - lo), walk.begin() + (std::min(b, hi) - lo + 1));
            } else {
                const int64_t anchor = std::min(std::max((int64_t)floor((y_size + 1.0) * lambda), a), b);
                window_first = anchor;
                window.push_back(pdf(second, anchor));
            }
            if (window.front() >= kUnderflow) {
                window_first = extend_window(second, window_first, a, b, scratch);
            } else {
                window.clear();
            }
        }

        // The tails at the far ends of the walk, P(Y > top_high) and
        // P(Y < bottom_low): summed on from the window where its terms fall
        // fast; 0 where the count lies on the far side of the mode and its
        // probability fell below kUnderflow (the window ended before it, or
        // never began); from Boost otherwise.
        const int64_t window_last = window_first + (int64_t)window.size() - 1;
        const bool windowed = !cost->direct_tails && a <= b;
        const int64_t mode = (int64_t)floor((y_size + 1.0) * lambda);
        auto far_tail = [&](int64_t t, bool up) {
            double tail;
            if (windowed && !window.empty() && t >= window_first && t <= window_last &&
                series_tail(second, t, window[t - window_first], up, &tail)) {
                return tail;
            }
            const bool beyond_window = window.empty() || (up ? t > window_last : t < window_first);
            if (windowed && a <= t && t <= b && beyond_window && (up ? t > mode : t < mode)) {
                return 0.0;
            }
            cost->special_calls++;
            return up ? boost::math::cdf(boost::math::complement(second.dist, (double)t))
                      : boost::math::cdf(second.dist, (double)(t - 1));
        };

        double upper_sum = 0, lower_sum = 0;
        if (upper_terms) {
            // Down the walk the reach's top falls and P(Y > top) grows from
            // its value at the highest top.
            Reach reach = reach_top(upper_last);
            int64_t top = top_high;
            double tail = far_tail(top, true);
            for (int64_t n = upper_last; n >= lo; n--, reach_down(&reach)) {
                const int64_t t = reach_floor(reach);
                if (t != top) {
                    if (cost->direct_tails) {
                        cost->special_calls++;
                        tail = boost::math::cdf(boost::math::complement(second.dist, (double)t));
                    } else {
                        tail += window_sum(window, window_first, t + 1, top);
                    }
                    top = t;
                }
                upper_sum += walk[n - lo] * tail;
            }
        }
        if (lower_terms) {
            // Up the walk the reach's bottom rises and P(Y < bottom) grows
            // from its value at the lowest bottom.
            Reach reach = reach_bottom(lower_first);
            int64_t bottom = bottom_low;
            double tail = far_tail(bottom, false);
            for (int64_t n = lower_first; n <= hi; n++, reach_up(&reach)) {
                const int64_t f = reach_ceil(reach);
                if (f != bottom) {
                    if (cost->direct_tails) {
                        cost->special_calls++;
                        tail = boost::math::cdf(second.dist, (double)(f - 1));
                    } else {
                        tail += window_sum(window, window_first, bottom, f - 1);
                    }
                    bottom = f;
                }
                lower_sum += walk[n - lo] * tail;
            }
        }
        // A probability: rounding must not carry it past 1, where the
        // logarithm of its complement would not be defined.
        *out = std::min(upper_sum + lower_sum, 1.0);
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

void* significance_worker(void* vargp) {
    SignificanceTask* t = (SignificanceTask*)vargp;
    SignificanceJobs* list = t->jobs;
    ExceedanceScratch* scratch = new (std::nothrow) ExceedanceScratch();
    if (!scratch) {
        report_worker_error("out of memory error - significance_worker[scratch]");
        t->failed = true;
        return NULL;
    }
    pthread_mutex_lock(list->mutex);
    while (list->iterator < list->count && keep_running() && !t->failed) {
        const SignificanceJob job = list->jobs[list->iterator++];
        pthread_mutex_unlock(list->mutex);
        size_t index = job.index;
        for (HistogramIterator it = job.from; it != job.to && keep_running(); ++it, index++) {
            double exceedance;
            if (significance_exceedance(it->first, t->x_size, t->y_size, t->result, scratch, &exceedance,
                                        NULL) != 0) {
                t->failed = true;
                break;
            }
            // An entry of weight 0 contributes nothing, even where its
            // exceedance is 1 and the logarithm -infinity.
            if (it->second) t->terms[index] = log1p(-exceedance) * (double)it->second;
        }
        pthread_mutex_lock(list->mutex);
    }
    pthread_mutex_unlock(list->mutex);
    delete scratch;
    return NULL;
}

double significance_finalize(double result, const Data* d, const Options* options,
                             SignificanceRuntime* r) {
    if (r->failed) {
        report_worker_error("out of memory error - significance_push[m_t]");
        return -1.0;
    }
    const std::map<uint64_t, uint64_t>& histogram = *r->m_t;
    const uint32_t T = options->thread_no;
    SignificanceJobs list;
    list.iterator = 0;
    list.count = T == 1 ? 1 : 10 * (int)T;
    list.mutex = &r->mutex;
    pthread_t* thread_ids = (pthread_t*)malloc(sizeof(pthread_t) * (T ? T : 1));
    SignificanceTask* tasks = (SignificanceTask*)malloc(sizeof(SignificanceTask) * (T ? T : 1));
    list.jobs = (SignificanceJob*)malloc(sizeof(SignificanceJob) * (list.count ? list.count : 1));
    // Entries left unevaluated (no threads, or an interruption) keep 0.
    double* terms = (double*)calloc(histogram.size() ? histogram.size() : 1, sizeof(double));
    const char* missing = !thread_ids ? "out of memory error - significance_finalize[thread_ids]"
                          : !tasks    ? "out of memory error - significance_finalize[tasks]"
                          : !list.jobs ? "out of memory error - significance_finalize[jobs]"
                          : !terms     ? "out of memory error - significance_finalize[terms]"
                                       : NULL;
    if (missing) {
        free(thread_ids);
        free(tasks);
        free(list.jobs);
        free(terms);
        report_worker_error(missing);
        return -1.0;
    }
    const size_t per_job = list.count ? histogram.size() / (size_t)list.count : 0;
    HistogramIterator start = histogram.begin();
    for (int i = 0; i < list.count; i++) {
        list.jobs[i].from = start;
        list.jobs[i].to = i == list.count - 1 ? histogram.end() : std::next(start, per_job);
        list.jobs[i].index = (size_t)i * per_job;
        start = list.jobs[i].to;
    }

    bool error = false;
    uint32_t started = 0;
    for (; started < T; started++) {
        tasks[started] = {&list, (int64_t)d->size_x, (int64_t)d->size_y, result, terms, false};
        if (pthread_create(&thread_ids[started], NULL, significance_worker, &tasks[started]) != 0) {
            report_worker_error("could not start a thread - significance_finalize[thread_ids]");
            error = true;
            break;
        }
    }
    for (uint32_t i = 0; i < started; i++) {
        pthread_join(thread_ids[i], NULL);
        error = error || tasks[i].failed;
    }
    // Added in key order, so the value is the same on every run and for
    // every thread count.
    double log_p_D = 0;
    for (size_t i = 0; i < histogram.size(); i++) log_p_D += terms[i];
    free(list.jobs);
    free(thread_ids);
    free(tasks);
    free(terms);
    // 1 - exp(log_p_D) without the cancellation of forming exp near 1.
    return error ? -1.0 : 0.0 - expm1(log_p_D);
}
