// One chunk of labellings: their columns of every point, the dominance sums
// of every corner in phases that the threads share, and the reduction of each
// corner's sums to orthant sums, which raises the labellings' maxima and
// collects the observed labelling's histogram.
#include <string.h>

#include <algorithm>

#include "binomial_significance.h"
#include "data_set.h"
#include "dominance_internal.h"
#include "maximum_location.h"

namespace dominance {

// The first labelling of a chunk and how many it holds.
static inline uint64_t chunk_first(const DominanceCall* call, uint64_t chunk) {
    return call->first_labelling + chunk * (uint64_t)call->labellings;
}

static inline uint64_t chunk_size(const DominanceCall* call, uint64_t chunk) {
    return std::min<uint64_t>(call->labellings, call->end_labelling - chunk_first(call, chunk));
}

// Fills the chunk's columns of the points [from, to): the folded weight of
// each labelling, or its two multiplicities (first-sample columns, then
// second-sample columns), and sums them into `totals` (C words). Columns past
// the last labelling stay 0.
template <int C>
static void fill_values(const DominanceCall* call, uint64_t chunk, uint64_t* values, uint64_t from, uint64_t to,
                        uint64_t* totals) {
    const DataSet* s = call->s;
    const uint64_t first = chunk_first(call, chunk), count = chunk_size(call, chunk), samples = s->samples;
    const int L = call->labellings;
    memset(values + from * C, 0, (to - from) * C * sizeof(uint64_t));
    uint64_t sum[C] = {};
    for (uint64_t p = from; p < to; p++) {
        if (stopped_every(p - from)) return;
        const uint32_t* cx = s->counts_x + p * samples + first;
        const uint32_t* cy = s->counts_y + p * samples + first;
        uint64_t* row = values + p * C;
        for (uint64_t k = 0; k < count; k++) {
            if (call->folded) {
                row[k] = s->size_y * cx[k] - s->size_x * cy[k];
            } else {
                row[k] = cx[k];
                row[L + k] = cy[k];
            }
        }
        for (int c = 0; c < C; c++) sum[c] += row[c];
    }
    for (int c = 0; c < C; c++) totals[c] = sum[c];
}

// Turns a corner's dominance sums into its orthant sums (in place) and raises
// the maxima of the chunk's labellings; with a histogram to collect, adds the
// observed labelling's first-sample orthant counts to it.
template <int C>
static void reduce_corner(const DominanceCall* call, uint64_t chunk, uint64_t p, uint64_t* v,
                          uint64_t* max_alpha, SignificanceRuntime* histogram) {
    const DataSet* s = call->s;
    const uint64_t slots = (uint64_t)1 << s->d, samples = s->samples;
    for (uint64_t b = 0; b < s->d; b++) {
        const uint64_t bit = (uint64_t)1 << b;
        for (uint64_t S = 0; S < slots; S++) {
            if (S & bit) continue;
            for (int c = 0; c < C; c++) v[S * C + c] -= v[(S | bit) * C + c];
        }
    }
    const uint64_t first = chunk_first(call, chunk), count = chunk_size(call, chunk);
    const uint32_t* corner_x = s->counts_x + p * samples + first;
    const uint32_t* corner_y = s->counts_y + p * samples + first;
    uint64_t* alpha_max = max_alpha + first;
    uint64_t* beta_max = max_alpha + samples + first;
    const int L = call->labellings;
    for (uint64_t o = 0; o < slots; o++) {
        const uint64_t* row = v + o * C;
        if (first == 0) {
            uint64_t alpha;
            bool positive;
            if (call->folded) {
                alpha = (int64_t)row[0] < 0 ? 0 - row[0] : row[0];
                positive = (int64_t)row[0] > 0;
            } else {
                const uint64_t a = s->size_y * row[0], b = s->size_x * row[L];
                alpha = a > b ? a - b : b - a;
                positive = a > b;
            }
            raise_observed(max_alpha, samples, corner_x[0] != 0, corner_y[0] != 0, alpha, p, o, positive);
        }
        for (uint64_t k = first == 0; k < count; k++) {
            uint64_t alpha;
            if (call->folded) {
                alpha = (int64_t)row[k] < 0 ? 0 - row[k] : row[k];
            } else {
                const uint64_t a = s->size_y * row[k], b = s->size_x * row[L + k];
                alpha = a > b ? a - b : b - a;
            }
            if (alpha_max[k] < alpha && corner_x[k] != 0) alpha_max[k] = alpha;
            if (beta_max[k] < alpha && corner_y[k] != 0) beta_max[k] = alpha;
        }
    }
    if (histogram && first == 0) {
        const uint64_t weight = (uint64_t)corner_x[0] + corner_y[0];
        for (uint64_t o = 0; o < slots; o++) significance_add(histogram, v[o * C], weight);
    }
}

// The phases of one chunk that the threads share, in the order they run. The
// three-dimensional sums, between the pairs and the reduction, divide the
// threads among themselves.
enum class Phase {
    FillColumns,       // the chunk's columns of every point, and their totals
    BelowInOne,        // N_S for each single dimension
    BelowInTwo,        // N_S for each pair swept whole, in parts along a
    TallyBuckets,      // where the points of a pair swept in buckets fall
    SplitIntoBuckets,  // that pair's parts along a split into the buckets
    SweepBuckets,      // the buckets swept, N_S for that pair
    ReduceCorners,     // every corner's orthant sums, and the maxima they raise
};

// The part of one chunk's work that thread `t` of `threads` does in a phase.
struct ChunkPhase {
    const DominanceCall* call;
    uint64_t chunk;
    DominanceScratch* scratch;
    Phase phase;
    uint64_t* totals;
    BucketSplit* split;  // the pair being split in buckets
    uint64_t next;       // the next part, bucket or block of corners to claim
};

// Thread t's share of the points' columns.
template <int C>
static void fill_columns(ChunkPhase* job, uint32_t t) {
    const DominanceCall* call = job->call;
    DominanceScratch* scratch = job->scratch;
    const uint32_t threads = scratch->threads;
    const uint64_t n = call->plan->n, slots = (uint64_t)1 << call->plan->d;
    fill_values<C>(call, job->chunk, scratch->values, n * t / threads, n * (t + 1) / threads, scratch->totals + t * C);
    // The first chunk also writes a byte of every page of its share of
    // the sums, which later phases write in no order: the fresh memory's
    // faults are taken here, side by side and in order.
    if (!scratch->sums_touched) {
        char* from = (char*)(scratch->sums + n * t / threads * slots * C);
        char* to = (char*)(scratch->sums + n * (t + 1) / threads * slots * C);
        for (char* page = from; page < to; page += 4096) {
            if (stopped_every((uint64_t)(page - from) >> 3)) return;  // every 128 pages
            *page = 0;
        }
    }
}

// Thread t's part along a of every pair swept whole.
template <int C>
static void pairs_swept_whole(ChunkPhase* job, uint32_t t) {
    const DominancePlan* plan = job->call->plan;
    DominanceScratch* scratch = job->scratch;
    // Each pair of dimensions split into parts along its first dimension.
    for (uint64_t a = 0; a < plan->d; a++) {
        for (uint64_t b = a + 1; b < plan->d; b++) {
            if (!bucketed(plan, b, C)) {
                below_in_two<C>(plan, a, b, scratch->values, scratch->sums, scratch->fenwick[t], t, scratch->threads);
            }
        }
    }
}

// The parts along a of the pair being split that thread t claims.
template <int C>
static void split_parts_claimed(ChunkPhase* job, uint32_t t) {
    DominanceScratch* scratch = job->scratch;
    // Parts claimed in turn, each thread with its own tree.
    for (uint64_t q; (q = __atomic_fetch_add(&job->next, 1, __ATOMIC_RELAXED)) < job->split->parts;) {
        if (!keep_running()) return;
        split_part<C>(job->call->plan, job->split, scratch->values, (BucketEntry<C>*)scratch->entries,
                      scratch->fenwick[t], scratch->cursors + q * job->split->buckets, (uint32_t)q);
    }
}

// The buckets of the pair being split that thread t claims.
template <int C>
static void sweep_buckets_claimed(ChunkPhase* job, uint32_t t) {
    DominanceScratch* scratch = job->scratch;
    // Buckets claimed in turn.
    for (uint64_t h; (h = __atomic_fetch_add(&job->next, 1, __ATOMIC_RELAXED)) < job->split->buckets;) {
        if (!keep_running()) return;
        sweep_bucket<C>(job->call->plan, job->split, (const BucketEntry<C>*)scratch->entries, scratch->sums,
                        scratch->fenwick[t], h);
    }
}

// The corners that thread t claims, reduced into maxima[t] and histograms[t].
template <int C>
static void reduce_corners_claimed(ChunkPhase* job, uint32_t t) {
    const DominanceCall* call = job->call;
    const uint64_t n = call->plan->n, slots = (uint64_t)1 << call->plan->d;
    // Blocks of corners claimed in turn; each thread raises maxima of its
    // own.
    uint64_t* max_alpha = call->maxima[t];
    SignificanceRuntime* histogram = call->histograms ? &call->histograms[t] : nullptr;
    for (uint64_t block; (block = __atomic_fetch_add(&job->next, 512, __ATOMIC_RELAXED)) < n;) {
        if (!keep_running()) return;
        const uint64_t end = std::min<uint64_t>(block + 512, n);
        for (uint64_t p = block; p < end; p++) {
            uint64_t* v = job->scratch->sums + p * slots * C;
            for (int c = 0; c < C; c++) v[c] = job->totals[c];
            reduce_corner<C>(call, job->chunk, p, v, max_alpha, histogram);
        }
    }
}

// Thread t's part of the job's phase, as run_parallel calls it.
template <int C>
static void chunk_phase_part(void* vargp, uint32_t t) {
    ChunkPhase* job = (ChunkPhase*)vargp;
    const DominancePlan* plan = job->call->plan;
    DominanceScratch* scratch = job->scratch;
    switch (job->phase) {
        case Phase::FillColumns:
            fill_columns<C>(job, t);
            break;
        case Phase::BelowInOne:
            // A dimension per thread at a time.
            for (uint64_t b = t; b < plan->d; b += scratch->threads) {
                below_in_one<C>(plan, b, scratch->values, scratch->sums);
            }
            break;
        case Phase::BelowInTwo:
            pairs_swept_whole<C>(job, t);
            break;
        case Phase::TallyBuckets: {
            const BucketSplit* split = job->split;
            tally_share<C>(plan, split, scratch->values, split->tally + t * split->buckets * split->parts * (1 + C),
                           plan->n * t / scratch->threads, plan->n * (t + 1) / scratch->threads);
            break;
        }
        case Phase::SplitIntoBuckets:
            split_parts_claimed<C>(job, t);
            break;
        case Phase::SweepBuckets:
            sweep_buckets_claimed<C>(job, t);
            break;
        case Phase::ReduceCorners:
            reduce_corners_claimed<C>(job, t);
            break;
    }
}

// Runs `phase` on `threads` threads, claims starting from the first.
template <int C>
static void run_phase(ChunkPhase* job, Phase phase, uint32_t threads) {
    job->phase = phase;
    job->next = 0;
    run_parallel(threads, chunk_phase_part<C>, job);
}

// N_S for every pair: the pairs swept whole side by side, then each pair
// swept in buckets in turn.
template <int C>
static void below_in_pairs(ChunkPhase* job) {
    const DominancePlan* plan = job->call->plan;
    DominanceScratch* scratch = job->scratch;
    run_phase<C>(job, Phase::BelowInTwo, scratch->threads);
    for (uint64_t a = 0; a < plan->d; a++) {
        for (uint64_t b = a + 1; b < plan->d && keep_running(); b++) {
            if (!bucketed(plan, b, C)) continue;
            BucketSplit split = carve_split(plan, scratch, a, b, C);
            job->split = &split;
            run_phase<C>(job, Phase::TallyBuckets, split.scanners);
            lay_out_buckets<C>(&split);
            run_phase<C>(job, Phase::SplitIntoBuckets, std::min(split.parts, scratch->threads));
            if (!keep_running()) break;
            run_phase<C>(job, Phase::SweepBuckets, scratch->threads);
        }
    }
}

template <int C>
void run_chunk(const DominanceCall* call, uint64_t chunk, DominanceScratch* scratch) {
    const DominancePlan* plan = call->plan;
    // The columns filled by shares of the points; the shares' totals add up
    // modulo 2^64 to the same words in any order.
    uint64_t totals[C] = {};
    ChunkPhase job = {call, chunk, scratch, Phase::FillColumns, totals, NULL, 0};
    run_phase<C>(&job, Phase::FillColumns, scratch->threads);
    scratch->sums_touched = true;
    for (uint32_t t = 0; t < scratch->threads; t++) {
        for (int c = 0; c < C; c++) totals[c] += scratch->totals[t * C + c];
    }
    if (plan->d >= 1) {
        run_phase<C>(&job, Phase::BelowInOne, std::min<uint32_t>(scratch->threads, (uint32_t)plan->d));
        progress_add(plan->n);
    }
    if (!keep_running()) return;
    if (plan->d >= 2) {
        below_in_pairs<C>(&job);
        progress_add(plan->n);
    }
    if (!keep_running()) return;
    if (plan->d == 3) {
        below_in_three<C>(plan, scratch->values, scratch->sums, scratch);
        progress_add(plan->n);
    }
    if (!keep_running()) return;
    run_phase<C>(&job, Phase::ReduceCorners, scratch->threads);
    progress_add(plan->n);
}

#define INSTANTIATE(C) template void run_chunk<C>(const DominanceCall*, uint64_t, DominanceScratch*);
DOMINANCE_FOR_EACH_WIDTH(INSTANTIATE)
#undef INSTANTIATE

}  // namespace dominance
