// Orthant counts of all corners from dominance counts.
//
// Around a corner c, let N_S(c) be the weight of the points that lie strictly
// below c in every dimension of the set S (with no condition on the other
// dimensions); N_{} is the total weight. The weight of the orthant whose
// "strictly below" dimensions are exactly B follows by inclusion-exclusion
// over the supersets of B:
//     W_B(c) = sum over S containing B of (-1)^(|S| - |B|) N_S(c),
// which the reduction evaluates in place, one dimension at a time. N_S for all
// corners at once is an offline |S|-dimensional dominance count over the
// points' ranks: a prefix sum over one dimension's ranks for |S| = 1, a sweep
// over one dimension with a Fenwick tree over the other for |S| = 2, and
// divide and conquer over the first dimension with that sweep inside for
// |S| = 3. A tie is not "strictly below", so a point equal to the corner in a
// dimension counts as at or above there, as in the scans.
//
// The weights are columns of 64-bit words summed modulo 2^64: either the
// folded weights size_y * cx - size_x * cy of each labelling, whose orthant
// sums lie within size_x * size_y of zero, or the two multiplicities of each
// labelling side by side, whose orthant sums are at most the sample sizes.
// The true orthant sums fit, so the wrap-around of intermediate terms cancels.
// The orders and the divide and conquer depend only on the points; a call
// builds them once and runs the counts for C columns at a time, so several
// labellings share each pass.
#include "dominance_counts.h"


#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "binomial_significance.h"
#include "common.h"
#include "memory.h"
#include "parallel.h"
#include "data_set.h"
#include "maximum_location.h"

// Dense ranks of every point in every dimension, and the points in order of
// each dimension's ranks (ties by point index).
struct DominancePlan {
    uint64_t n;
    uint64_t d;
    uint32_t* rank[3];
    uint32_t* order[3];
    uint32_t* tables;     // one block holding every rank and order
    uint32_t rank_no[3];  // distinct values in the dimension
    uint32_t bucket_bits; // low bits of the bucketed sweep's ranks; 0: chosen by size
};

// Working storage of one worker: the columns of one chunk of labellings, the
// dominance sums of every corner, and per-thread scratch for the sweeps.
struct DominanceScratch {
    uint64_t* values;    // n x C column values
    uint64_t* sums;      // n x 2^d x C: N_S of every corner, S = 0 unused
    uint64_t** fenwick;  // one tree per thread, of as many nodes as the sweeps need, C words each
    uint64_t* totals;    // threads x C: each thread's share of the columns' totals
    uint32_t* points;    // n point indices, the divide and conquer's order
    uint32_t* merge;     // n point indices, its merge buffer
    void* entries;       // n BucketEntry<C>, for pairs whose sweep runs in buckets
    uint64_t* split_tables;  // the tables of a BucketSplit, for the most buckets
    uint64_t* cursors;   // parts x buckets: where each part writes next
    uint64_t split_buckets;  // the most buckets of any pair, 0 when no pair splits
    uint32_t split_parts;    // parts along a of every split
    uint32_t threads;
    bool sums_touched;   // every page of the sums has been written
};

// What one call shares between its workers.
struct DominanceCall {
    const DataSet* s;
    const DominancePlan* plan;
    SignificanceRuntime* significance;
    int labellings;       // per chunk: C when folded, C / 2 otherwise
    bool folded;
    uint64_t first_labelling;  // the block of labellings [first, end) to run
    uint64_t end_labelling;
    uint64_t chunks;
    uint64_t** maxima;    // per worker: 2 x samples maxima
    DominanceScratch* scratch;
    uint32_t workers;     // chunks run side by side
    uint32_t inner;       // threads inside one chunk
};

// ---------------------------------------------------------------------------
// The plan

static void free_plan(DominancePlan* plan) { free_large(plan->tables); }

// Ranks one dimension: a counting sort when the values span little more than
// the number of points (as ranks from the loader do), else a sort of the
// values packed with their point indices. Returns false for lack of memory.
// Polls the interrupt flag every 65536 points of a quick loop. A plan cut
// short is of no use, and the call ends without it.
static inline bool stopped_every(uint64_t i) { return (i & 65535) == 0 && !keep_running(); }

static bool rank_dimension(const DataSet* s, uint64_t b, uint32_t* rank, uint32_t* order, uint32_t* rank_no) {
    const uint64_t n = s->n, d = s->d;
    int32_t low = INT32_MAX, high = INT32_MIN;
    for (uint64_t p = 0; p < n; p++) {
        low = std::min(low, s->coordinates[p * d + b]);
        high = std::max(high, s->coordinates[p * d + b]);
    }
    const uint64_t span = (uint64_t)((int64_t)high - low) + 1;
    if (span == n) {
        // n values over a span of n, as the ranks of a dimension without
        // ties: each value's point goes straight to its place, and the value
        // less the lowest is its rank. A place taken twice means a tie, and
        // the counting sort below takes over.
        memset(order, 0xff, n * sizeof(uint32_t));
        uint64_t p = 0;
        for (; p < n; p++) {
            if (stopped_every(p)) return true;
            uint32_t* place = order + (s->coordinates[p * d + b] - low);
            if (*place != UINT32_MAX) break;
            *place = (uint32_t)p;
        }
        if (p == n) {
            for (uint64_t q = 0; q < n; q++) rank[q] = (uint32_t)(s->coordinates[q * d + b] - low);
            *rank_no = (uint32_t)n;
            return true;
        }
    }
    if (span <= 2 * n + 1024) {
        uint32_t* start = (uint32_t*)calloc(span + 1, sizeof(uint32_t));
        if (!start) return false;
        for (uint64_t p = 0; p < n; p++) {
            if (stopped_every(p)) {
                free(start);
                return true;
            }
            start[s->coordinates[p * d + b] - low + 1]++;
        }
        for (uint64_t v = 0; v < span; v++) start[v + 1] += start[v];
        for (uint64_t p = 0; p < n; p++) order[start[s->coordinates[p * d + b] - low]++] = (uint32_t)p;
        free(start);
    } else {
        uint64_t* keys = (uint64_t*)malloc(n * sizeof(uint64_t));
        if (!keys) return false;
        for (uint64_t p = 0; p < n; p++) {
            keys[p] = ((uint64_t)((uint32_t)s->coordinates[p * d + b] ^ 0x80000000u) << 32) | p;
        }
        std::sort(keys, keys + n);
        for (uint64_t r = 0; r < n; r++) order[r] = (uint32_t)keys[r];
        free(keys);
    }
    uint32_t next = 0;
    for (uint64_t r = 0; r < n; r++) {
        if (stopped_every(r)) return true;
        if (r > 0 && s->coordinates[(uint64_t)order[r] * d + b] != s->coordinates[(uint64_t)order[r - 1] * d + b]) next++;
        rank[order[r]] = next;
    }
    *rank_no = n ? next + 1 : 0;
    return true;
}

struct PlanJob {
    const DataSet* s;
    DominancePlan* plan;
    bool failed[3];
};

static void rank_part(void* vargp, uint32_t b) {
    PlanJob* job = (PlanJob*)vargp;
    DominancePlan* plan = job->plan;
    job->failed[b] = !rank_dimension(job->s, b, plan->rank[b], plan->order[b], &plan->rank_no[b]);
}

// Ranks the dimensions side by side, one thread each.
static bool build_plan(const DataSet* s, DominancePlan* plan, uint32_t threads) {
    memset(plan, 0, sizeof(*plan));
    plan->n = s->n;
    plan->d = s->d;
    // One block, which can take the place of the ranking's released scratch.
    plan->tables = (uint32_t*)alloc_large(2 * s->d * (s->n ? s->n : 1) * sizeof(uint32_t));
    bool ok = plan->tables != NULL;
    for (uint64_t b = 0; ok && b < s->d; b++) {
        plan->rank[b] = plan->tables + 2 * b * s->n;
        plan->order[b] = plan->tables + (2 * b + 1) * s->n;
    }
    plan->bucket_bits = s->bucket_bits;
    PlanJob job = {s, plan, {false, false, false}};
    if (ok) run_parallel(std::min<uint32_t>(threads, (uint32_t)s->d), rank_part, &job);
    for (uint32_t b = (uint32_t)std::min<uint64_t>(threads, s->d); ok && b < s->d; b++) rank_part(&job, b);
    ok = ok && !job.failed[0] && !job.failed[1] && !job.failed[2];
    if (!ok) free_plan(plan);
    return ok;
}

// ---------------------------------------------------------------------------
// Dominance counts for C columns

// Fenwick tree over ranks, C words a node: add_at adds a point's columns at
// its rank, sum_below adds the columns of every rank below r into `out`.
// The columns are copied into locals first, so that the compiler knows the
// tree and the point's row do not overlap and keeps them in vector registers.
template <int C>
static inline void add_at(uint64_t* tree, uint32_t size, uint32_t rank, const uint64_t* value) {
    uint64_t add[C];
    for (int c = 0; c < C; c++) add[c] = value[c];
    for (uint32_t i = rank + 1; i <= size; i += i & (0u - i)) {
        uint64_t* node = tree + (uint64_t)i * C;
        for (int c = 0; c < C; c++) node[c] += add[c];
    }
}

template <int C>
static inline void clear_at(uint64_t* tree, uint32_t size, uint32_t rank) {
    for (uint32_t i = rank + 1; i <= size; i += i & (0u - i)) {
        for (int c = 0; c < C; c++) tree[(uint64_t)i * C + c] = 0;
    }
}

template <int C>
static inline void sum_below(const uint64_t* tree, uint32_t rank, uint64_t* out) {
    uint64_t sum[C] = {};
    for (uint32_t i = rank; i > 0; i -= i & (0u - i)) {
        const uint64_t* node = tree + (uint64_t)i * C;
        for (int c = 0; c < C; c++) sum[c] += node[c];
    }
    for (int c = 0; c < C; c++) out[c] += sum[c];
}

// Polls the interrupt flag every 4096 points.
static inline bool stopped_at(uint64_t i) { return (i & 4095) == 0 && !keep_running(); }

// Points ahead of the sweep whose memory is fetched early.
static const uint64_t kSweepAhead = 16;

// N_S for S = {b} of every corner: the points are walked in order of b's
// ranks with a running sum of the runs of equal rank passed, which each
// point of the next run takes as its sum.
template <int C>
static void below_in_one(const DominancePlan* plan, uint64_t b, const uint64_t* values, uint64_t* sums) {
    const uint64_t n = plan->n, slots = (uint64_t)1 << plan->d, S = (uint64_t)1 << b;
    const uint32_t* order = plan->order[b];
    const uint32_t* rank = plan->rank[b];
    const bool ties = plan->rank_no[b] < n;
    uint64_t below[C] = {}, run[C] = {};
    uint32_t run_rank = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (stopped_every(i)) return;
        if (i + 2 * kSweepAhead < n && ties) __builtin_prefetch(rank + order[i + 2 * kSweepAhead]);
        if (i + kSweepAhead < n) {
            const uint32_t q = order[i + kSweepAhead];
            __builtin_prefetch(values + (uint64_t)q * C);
            __builtin_prefetch(sums + (q * slots + S) * C, 1);
        }
        const uint32_t p = order[i];
        // Without ties every point is a run of its own.
        if (!ties || rank[p] != run_rank) {
            if (ties) run_rank = rank[p];
            for (int c = 0; c < C; c++) {
                below[c] += run[c];
                run[c] = 0;
            }
        }
        for (int c = 0; c < C; c++) {
            sums[((uint64_t)p * slots + S) * C + c] = below[c];
            run[c] += values[(uint64_t)p * C + c];
        }
    }
}

// The first position of part `part` of `parts` of the points in order of a's
// ranks, moved back to the start of its run of equal ranks, so that every
// point of an earlier part is strictly below every point of a later part in a.
static uint64_t part_start(const DominancePlan* plan, uint64_t a, uint32_t part, uint32_t parts) {
    const uint32_t* order = plan->order[a];
    const uint32_t* rank = plan->rank[a];
    uint64_t start = plan->n * part / parts;
    while (start > 0 && start < plan->n && rank[order[start - 1]] == rank[order[start]]) start--;
    return start;
}

// N_S for S = {a, b}, for the corners of one part of the points in order of
// a: the weight of the earlier parts below each corner in b comes from a
// prefix sum over b's ranks, that of the part itself from a sweep in order of
// a with a Fenwick tree over b, each run of equal ranks in a queried before
// any of it is added.
template <int C>
static void below_in_two(const DominancePlan* plan, uint64_t a, uint64_t b, const uint64_t* values,
                         uint64_t* sums, uint64_t* tree, uint32_t part, uint32_t parts) {
    const uint64_t slots = (uint64_t)1 << plan->d, S = ((uint64_t)1 << a) | ((uint64_t)1 << b);
    const uint32_t* order = plan->order[a];
    const uint32_t* rank_a = plan->rank[a];
    const uint32_t* rank_b = plan->rank[b];
    const uint32_t size = plan->rank_no[b];
    const uint64_t from = part_start(plan, a, part, parts), to = part_start(plan, a, part + 1, parts);
    memset(tree, 0, ((uint64_t)size + 1) * C * sizeof(uint64_t));
    if (from > 0) {
        for (uint64_t i = 0; i < from; i++) {
            if (stopped_at(i)) return;
            if (i + 2 * kSweepAhead < from) __builtin_prefetch(rank_b + order[i + 2 * kSweepAhead]);
            if (i + kSweepAhead < from) {
                const uint32_t q = order[i + kSweepAhead];
                __builtin_prefetch(values + (uint64_t)q * C);
                __builtin_prefetch(tree + ((uint64_t)rank_b[q] + 1) * C, 1);
            }
            const uint32_t p = order[i];
            for (int c = 0; c < C; c++) tree[((uint64_t)rank_b[p] + 1) * C + c] += values[(uint64_t)p * C + c];
        }
        for (uint64_t r = 1; r <= size; r++) {
            for (int c = 0; c < C; c++) tree[r * C + c] += tree[(r - 1) * C + c];
        }
        for (uint64_t i = from; i < to; i++) {
            if (stopped_at(i - from)) return;
            if (i + 2 * kSweepAhead < to) __builtin_prefetch(rank_b + order[i + 2 * kSweepAhead]);
            if (i + kSweepAhead < to) {
                const uint32_t q = order[i + kSweepAhead];
                __builtin_prefetch(sums + (q * slots + S) * C, 1);
                __builtin_prefetch(tree + (uint64_t)rank_b[q] * C);
            }
            const uint32_t p = order[i];
            for (int c = 0; c < C; c++) sums[(p * slots + S) * C + c] = tree[(uint64_t)rank_b[p] * C + c];
        }
        memset(tree, 0, ((uint64_t)size + 1) * C * sizeof(uint64_t));
    } else {
        for (uint64_t i = from; i < to; i++) {
            for (int c = 0; c < C; c++) sums[((uint64_t)order[i] * slots + S) * C + c] = 0;
        }
    }
    for (uint64_t i = from; i < to;) {
        if (stopped_at(i)) return;
        uint64_t end = i + 1;
        while (end < to && rank_a[order[end]] == rank_a[order[i]]) end++;
        for (uint64_t k = i; k < end; k++) {
            // The points come in order of a, scattered in memory: what the
            // points a few steps ahead will read is fetched now, their rank
            // in b a little earlier than what it addresses.
            if (k + 2 * kSweepAhead < to) __builtin_prefetch(rank_b + order[k + 2 * kSweepAhead]);
            if (k + kSweepAhead < to) {
                const uint32_t q = order[k + kSweepAhead];
                __builtin_prefetch(values + (uint64_t)q * C);
                __builtin_prefetch(sums + (q * slots + S) * C, 1);
                __builtin_prefetch(tree + ((uint64_t)rank_b[q] + 1) * C, 1);
                __builtin_prefetch(tree + (uint64_t)rank_b[q] * C);
            }
            const uint32_t p = order[k];
            sum_below<C>(tree, rank_b[p], sums + (p * slots + S) * C);
        }
        for (uint64_t k = i; k < end; k++) {
            const uint32_t p = order[k];
            add_at<C>(tree, size, rank_b[p], values + (uint64_t)p * C);
        }
        i = end;
    }
}

// ---------------------------------------------------------------------------
// Pairs whose second dimension has many ranks: the sweep in buckets
//
// A Fenwick tree over all of b's ranks outgrows the caches from about 10^5
// points, and then every step of the sweep above waits on memory. Here the
// points are instead split by the high bits of their rank in b into buckets,
// each keeping the order of a. While they are split, a small tree over the
// buckets gives each point the weight earlier in a and in lower buckets. A
// sweep of each bucket on its own, with a tree over the low bits that stays
// in the second-level cache, adds the weight earlier in a, in the same bucket
// and lower in b. The buckets' sweeps are independent, so the threads share
// them; the split runs in parts along a, which the threads share too, each
// part's buckets starting from the weights of the earlier parts.

// A bucket's tree is at most 256 KiB: 2^15 ranks of one column. The
// environment variable TESSARIN_BUCKET_BITS sets the bits instead (from 1 to
// 31), so that tests can split small data sets into many buckets.
static inline uint32_t bucket_low_bits(const DominancePlan* plan, int columns, uint32_t rank_no) {
    if (plan->bucket_bits) return plan->bucket_bits;
    uint32_t bits = 15;
    for (int c = columns; c > 1; c >>= 1) bits--;
    // At most 4096 buckets, so that the split writes few streams.
    while (((uint64_t)rank_no >> bits) >= 4096) bits++;
    return bits;
}

static inline bool bucketed(const DominancePlan* plan, uint64_t b, int columns) {
    return plan->rank_no[b] > ((uint32_t)1 << bucket_low_bits(plan, columns, plan->rank_no[b]));
}

// The most parts along a that a split takes.
constexpr uint64_t kMostParts = 64;

// Set in an entry's `low` when the entry before it in its bucket has the same
// rank in a: a run of such entries is queried before any of it is added.
static const uint32_t kTiedInA = 0x80000000u;

template <int C>
struct BucketEntry {
    uint32_t low;         // rank in b less the bucket's first, and kTiedInA
    uint32_t point;
    uint64_t value[C];
    uint64_t partial[C];  // the weight earlier in a and in lower buckets
};

// One pair's split: `parts` parts along a, `buckets` buckets of 2^low_bits
// ranks of b. Tables are bucket-major, part-minor.
struct BucketSplit {
    uint64_t a, b;
    uint32_t low_bits;
    uint32_t parts;
    uint32_t scanners;   // threads that tally the points
    uint64_t buckets;
    uint32_t* bound;     // parts + 1: the first rank in a of each part, then rank_no[a]
    uint64_t* start;     // buckets x parts + 1: where each part's entries of each bucket start
    uint64_t* lower;     // buckets x parts x C: weight of the earlier parts in lower buckets
    uint64_t* tally;     // scanners x buckets x parts x (1 + C): counts, then weights
    uint32_t* last;      // buckets x parts: the rank in a of each bucket's last entry
};

// Where the points of one share [from, to) of the point indices fall: each
// point's part from its rank in a, its bucket from its rank in b.
template <int C>
static void tally_share(const DominancePlan* plan, const BucketSplit* split, const uint64_t* values,
                        uint64_t* tally, uint64_t from, uint64_t to) {
    const uint32_t *rank_a = plan->rank[split->a], *rank_b = plan->rank[split->b];
    const uint64_t P = split->parts, cells = split->buckets * P;
    const uint32_t low_bits = split->low_bits;
    uint64_t* count = tally;
    uint64_t* weight = tally + cells;
    memset(tally, 0, cells * (1 + C) * sizeof(uint64_t));
    // The parts' first ranks in a, in locals that the tallies cannot alias,
    // padded to a power of two with ranks no point has.
    uint32_t bound[kMostParts];
    uint32_t span = 1;
    while (span < P) span *= 2;
    for (uint64_t r = 0; r < span; r++) bound[r] = r < P ? split->bound[r] : UINT32_MAX;
    for (uint64_t p = from; p < to; p++) {
        // The part by a search of the parts' first ranks without branches:
        // the points come in no order of a.
        uint32_t q = 0;
        for (uint32_t step = span / 2; step > 0; step /= 2) q += rank_a[p] >= bound[q + step] ? step : 0;
        const uint64_t cell = ((uint64_t)(rank_b[p] >> low_bits)) * P + q;
        count[cell]++;
        for (int c = 0; c < C; c++) weight[cell * C + c] += values[p * C + c];
    }
}

// Sums the scanners' tallies into where each part's entries of each bucket
// start and what weight of earlier parts lies in lower buckets.
template <int C>
static void lay_out_buckets(BucketSplit* split) {
    const uint64_t P = split->parts, cells = split->buckets * P;
    uint64_t* count = split->tally;
    uint64_t* weight = split->tally + cells;
    for (uint64_t t = 1; t < split->scanners; t++) {
        const uint64_t* other = split->tally + t * cells * (1 + C);
        for (uint64_t i = 0; i < cells; i++) count[i] += other[i];
        for (uint64_t i = 0; i < cells * C; i++) weight[i] += other[cells + i];
    }
    uint64_t position = 0;
    for (uint64_t cell = 0; cell < cells; cell++) {
        split->start[cell] = position;
        position += count[cell];
    }
    split->start[cells] = position;
    // lower[h][q] = sum over q' < q and h' < h of weight[h'][q']: `below`
    // holds those sums for the buckets passed so far, `earlier` the weight
    // of bucket h's parts before q.
    uint64_t below[kMostParts * C] = {};
    for (uint64_t h = 0; h < split->buckets; h++) {
        uint64_t earlier[C] = {};
        for (uint64_t q = 0; q < P; q++) {
            for (int c = 0; c < C; c++) {
                split->lower[(h * P + q) * C + c] = below[q * C + c];
                below[q * C + c] += earlier[c];
                earlier[c] += weight[(h * P + q) * C + c];
            }
        }
    }
}

// Splits part q of the points in order of a into the buckets, giving each
// entry the weight earlier in a and in lower buckets: the lower buckets of
// the earlier parts, and those of this part from a tree over the buckets.
template <int C>
static void split_part(const DominancePlan* plan, const BucketSplit* split, const uint64_t* values,
                       BucketEntry<C>* entries, uint64_t* tree, uint64_t* cursor, uint32_t q) {
    const uint32_t* order = plan->order[split->a];
    const uint32_t *rank_a = plan->rank[split->a], *rank_b = plan->rank[split->b];
    const uint64_t P = split->parts;
    const uint32_t low_bits = split->low_bits, low_mask = ((uint32_t)1 << low_bits) - 1;
    const bool ties = plan->rank_no[split->a] < plan->n;
    const uint64_t from = part_start(plan, split->a, q, split->parts), to = part_start(plan, split->a, q + 1, split->parts);
    uint32_t* last = split->last;
    for (uint64_t h = 0; h < split->buckets; h++) {
        cursor[h] = split->start[h * P + q];
        last[h * P + q] = UINT32_MAX;
    }
    memset(tree, 0, (split->buckets + 1) * C * sizeof(uint64_t));
    for (uint64_t i = from; i < to;) {
        if (stopped_at(i - from)) return;
        uint64_t end = i + 1;
        if (ties) {
            while (end < to && rank_a[order[end]] == rank_a[order[i]]) end++;
        }
        for (uint64_t k = i; k < end; k++) {
            if (k + 2 * kSweepAhead < to) {
                __builtin_prefetch(rank_b + order[k + 2 * kSweepAhead]);
                if (ties) __builtin_prefetch(rank_a + order[k + 2 * kSweepAhead]);
            }
            if (k + kSweepAhead < to) __builtin_prefetch(values + (uint64_t)order[k + kSweepAhead] * C);
            const uint32_t p = order[k];
            const uint32_t h = rank_b[p] >> low_bits;
            BucketEntry<C>* e = entries + cursor[h]++;
            if (ties) {
                const uint32_t ra = rank_a[p];
                e->low = (rank_b[p] & low_mask) | (last[h * P + q] == ra ? kTiedInA : 0);
                last[h * P + q] = ra;
            } else {
                e->low = rank_b[p] & low_mask;
            }
            e->point = p;
            for (int c = 0; c < C; c++) {
                e->value[c] = values[(uint64_t)p * C + c];
                e->partial[c] = split->lower[((uint64_t)h * P + q) * C + c];
            }
            sum_below<C>(tree, h, e->partial);
        }
        for (uint64_t k = i; k < end; k++) {
            const uint32_t p = order[k];
            add_at<C>(tree, (uint32_t)split->buckets, rank_b[p] >> low_bits, values + (uint64_t)p * C);
        }
        i = end;
    }
}

// Sweeps bucket h: its entries in order of a, each run tied in a queried
// before any of it is added to the bucket's tree.
template <int C>
static void sweep_bucket(const DominancePlan* plan, const BucketSplit* split, const BucketEntry<C>* entries,
                         uint64_t* sums, uint64_t* tree, uint64_t h) {
    const uint64_t slots = (uint64_t)1 << plan->d, S = ((uint64_t)1 << split->a) | ((uint64_t)1 << split->b);
    const uint64_t P = split->parts;
    const uint64_t from = split->start[h * P], to = split->start[(h + 1) * P];
    const uint32_t size = (uint32_t)std::min<uint64_t>((uint64_t)1 << split->low_bits,
                                                       plan->rank_no[split->b] - (h << split->low_bits));
    memset(tree, 0, ((uint64_t)size + 1) * C * sizeof(uint64_t));
    for (uint64_t i = from; i < to;) {
        if (stopped_at(i - from)) return;
        uint64_t run_end = i + 1;
        while (run_end < to && (entries[run_end].low & kTiedInA)) run_end++;
        for (uint64_t k = i; k < run_end; k++) {
            if (k + kSweepAhead < to) __builtin_prefetch(sums + ((uint64_t)entries[k + kSweepAhead].point * slots + S) * C, 1);
            const BucketEntry<C>* e = entries + k;
            uint64_t* out = sums + ((uint64_t)e->point * slots + S) * C;
            for (int c = 0; c < C; c++) out[c] = e->partial[c];
            sum_below<C>(tree, e->low & ~kTiedInA, out);
        }
        for (uint64_t k = i; k < run_end; k++) {
            add_at<C>(tree, size, entries[k].low & ~kTiedInA, entries[k].value);
        }
        i = run_end;
    }
}

// Parts along a: four per thread, which the threads claim in turn, so that
// a thread held up leaves its later parts to the others; fewer where every
// thread's tallies of every part would weigh more than the points' own
// column.
static uint32_t split_parts(uint64_t n, uint32_t threads, uint64_t buckets, int columns) {
    uint64_t parts = threads > 1 ? std::min<uint64_t>(4 * (uint64_t)threads, kMostParts) : 1;
    const uint64_t budget = std::max<uint64_t>((uint64_t)1 << 17, n);
    while (parts > 1 && threads * parts * buckets * (1 + columns) > budget) parts--;
    return (uint32_t)parts;
}

static uint64_t split_words(uint64_t buckets, uint64_t parts, uint64_t scanners, int columns) {
    return (parts + 2) / 2 + buckets * parts + 1 + buckets * parts * columns +
           scanners * buckets * parts * (1 + columns) + (buckets * parts + 1) / 2;
}

// The split of pair (a, b), its tables carved from the scratch's.
static BucketSplit carve_split(const DominancePlan* plan, const DominanceScratch* scratch, uint64_t a, uint64_t b,
                               int columns) {
    BucketSplit split;
    split.a = a;
    split.b = b;
    split.low_bits = bucket_low_bits(plan, columns, plan->rank_no[b]);
    split.buckets = (((uint64_t)plan->rank_no[b] - 1) >> split.low_bits) + 1;
    split.parts = scratch->split_parts;
    split.scanners = scratch->threads;
    const uint64_t P = split.parts;
    uint64_t* words = scratch->split_tables;
    split.bound = (uint32_t*)words;
    words += (P + 2) / 2;
    split.start = words;
    words += split.buckets * P + 1;
    split.lower = words;
    words += split.buckets * P * columns;
    split.tally = words;
    words += split.scanners * split.buckets * P * (1 + columns);
    split.last = (uint32_t*)words;
    for (uint32_t q = 0; q < P; q++) {
        const uint64_t at = part_start(plan, a, q, split.parts);
        split.bound[q] = at < plan->n ? plan->rank[a][plan->order[a][at]] : plan->rank_no[a];
    }
    split.bound[P] = plan->rank_no[a];
    return split;
}

// N_S for S = {0, 1, 2} by divide and conquer over the points in order of
// dimension 0. A range is split at a change of rank in dimension 0, so every
// point on the left is strictly below every point on the right there; each
// half is solved and left sorted by rank in dimension 1; then the left
// half's points are added to a Fenwick tree over dimension 2 in order of
// dimension 1 while the right half's points, taken in that order too, read
// the weight strictly below them in 1 and 2. Ranges with threads to spare
// solve their halves side by side, each with its own tree.
template <int C>
struct ThreeDimensions {
    const DominancePlan* plan;
    const uint64_t* values;
    uint64_t* sums;
    DominanceScratch* scratch;
};

template <int C>
struct ThreeDimensionsRange {
    const ThreeDimensions<C>* job;
    uint64_t from;
    uint64_t to;
    uint32_t first_tree;
    uint32_t trees;
};

template <int C>
static void solve_three(const ThreeDimensions<C>* job, uint64_t from, uint64_t to, uint32_t first_tree,
                        uint32_t trees);

template <int C>
static void* solve_three_thread(void* vargp) {
    const ThreeDimensionsRange<C>* range = (const ThreeDimensionsRange<C>*)vargp;
    solve_three<C>(range->job, range->from, range->to, range->first_tree, range->trees);
    return NULL;
}

// The merge step's queries of the right half's points [k_from, k_to), taken
// in order of dimension 1, against the left half [from, mid), with `tree`
// empty on entry and on return. The left points strictly below the first
// query in dimension 1 are below every query there: their weights go into a
// prefix table over dimension 2 at once, and only the others into the tree
// as the queries pass them. Sums add modulo 2^64, so the split changes no bit.
template <int C>
static void merge_queries(const ThreeDimensions<C>* job, uint64_t from, uint64_t mid, uint64_t k_from,
                          uint64_t k_to, uint64_t* tree) {
    const DominancePlan* plan = job->plan;
    const uint32_t* points = job->scratch->points;
    const uint32_t *rank1 = plan->rank[1], *rank2 = plan->rank[2];
    const uint32_t size = plan->rank_no[2];
    const uint64_t slots = (uint64_t)1 << plan->d;
    uint64_t i = from;
    if (k_from > mid && k_from < k_to) {
        const uint32_t start = rank1[points[k_from]];
        while (i < mid && rank1[points[i]] < start) i++;
        if (i > from) {
            for (uint64_t k = from; k < i; k++) {
                const uint32_t p = points[k];
                for (int c = 0; c < C; c++) tree[((uint64_t)rank2[p] + 1) * C + c] += job->values[(uint64_t)p * C + c];
            }
            for (uint64_t r = 1; r <= size; r++) {
                for (int c = 0; c < C; c++) tree[r * C + c] += tree[(r - 1) * C + c];
            }
            for (uint64_t k = k_from; k < k_to; k++) {
                if (stopped_at(k - k_from)) return;
                const uint32_t q = points[k];
                for (int c = 0; c < C; c++) job->sums[((uint64_t)q * slots + 7) * C + c] += tree[(uint64_t)rank2[q] * C + c];
            }
            memset(tree, 0, ((uint64_t)size + 1) * C * sizeof(uint64_t));
        }
    }
    const uint64_t first_added = i;
    for (uint64_t k = k_from; k < k_to; k++) {
        // Stopped, the tree is left as it is: the call ends without it.
        if (stopped_at(k - k_from)) return;
        const uint32_t q = points[k];
        for (; i < mid && rank1[points[i]] < rank1[q]; i++) {
            add_at<C>(tree, size, rank2[points[i]], job->values + (uint64_t)points[i] * C);
        }
        sum_below<C>(tree, rank2[q], job->sums + ((uint64_t)q * slots + 7) * C);
    }
    for (uint64_t k = first_added; k < i; k++) clear_at<C>(tree, size, rank2[points[k]]);
}

template <int C>
struct MergeQueries {
    const ThreeDimensions<C>* job;
    uint64_t from, mid, k_from, k_to;
    uint64_t* tree;
};

template <int C>
static void* merge_queries_thread(void* vargp) {
    const MergeQueries<C>* m = (const MergeQueries<C>*)vargp;
    merge_queries<C>(m->job, m->from, m->mid, m->k_from, m->k_to, m->tree);
    return NULL;
}

template <int C>
static void solve_three(const ThreeDimensions<C>* job, uint64_t from, uint64_t to, uint32_t first_tree,
                        uint32_t trees) {
    const DominancePlan* plan = job->plan;
    uint32_t* points = job->scratch->points;
    const uint32_t *rank0 = plan->rank[0], *rank1 = plan->rank[1];
    if (to - from < 2 || !keep_running()) return;
    const auto by_rank1 = [rank1](uint32_t p, uint32_t q) { return rank1[p] < rank1[q]; };
    if (rank0[points[from]] == rank0[points[to - 1]]) {
        std::stable_sort(points + from, points + to, by_rank1);
        return;
    }
    // The change of rank in dimension 0 nearest the middle.
    uint64_t mid = from + (to - from) / 2;
    uint64_t left = mid, right = mid;
    while (left > from && rank0[points[left - 1]] == rank0[points[left]]) left--;
    while (right < to && rank0[points[right - 1]] == rank0[points[right]]) right++;
    mid = left > from && (right == to || mid - left <= right - mid) ? left : right;

    bool side_by_side = false;
    pthread_t id;
    ThreeDimensionsRange<C> left_range = {job, from, mid, first_tree + trees / 2, trees - trees / 2};
    if (trees > 1 && to - from > 4096) {
        side_by_side = pthread_create(&id, NULL, solve_three_thread<C>, &left_range) == 0;
    }
    if (side_by_side) {
        solve_three<C>(job, mid, to, first_tree, trees / 2);
        pthread_join(id, NULL);
    } else {
        solve_three<C>(job, from, mid, first_tree, trees);
        solve_three<C>(job, mid, to, first_tree, trees);
    }
    if (!keep_running()) return;

    // The right half's queries, split in two side by side where the halves
    // were solved so, each with its own tree.
    MergeQueries<C> upper = {job, from, mid, mid + (to - mid) / 2, to, job->scratch->fenwick[first_tree + trees / 2]};
    const bool split = side_by_side && pthread_create(&id, NULL, merge_queries_thread<C>, &upper) == 0;
    merge_queries<C>(job, from, mid, mid, split ? upper.k_from : to, job->scratch->fenwick[first_tree]);
    if (split) pthread_join(id, NULL);
    // The order of the whole set by dimension 1 is of no further use.
    if (from == 0 && to == plan->n) return;
    uint32_t* merge = job->scratch->merge;
    std::merge(points + from, points + mid, points + mid, points + to, merge + from, by_rank1);
    memcpy(points + from, merge + from, (to - from) * sizeof(uint32_t));
}

template <int C>
static void below_in_three(const DominancePlan* plan, const uint64_t* values, uint64_t* sums,
                           DominanceScratch* scratch) {
    const uint64_t n = plan->n;
    for (uint64_t p = 0; p < n; p++) {
        for (int c = 0; c < C; c++) sums[(p * 8 + 7) * C + c] = 0;
    }
    memcpy(scratch->points, plan->order[0], n * sizeof(uint32_t));
    for (uint32_t t = 0; t < scratch->threads; t++) {
        memset(scratch->fenwick[t], 0, ((uint64_t)plan->rank_no[2] + 1) * C * sizeof(uint64_t));
    }
    const ThreeDimensions<C> job = {plan, values, sums, scratch};
    solve_three<C>(&job, 0, n, 0, scratch->threads);
}

// ---------------------------------------------------------------------------
// One chunk of labellings

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
                          uint64_t* max_alpha) {
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
    if (call->significance && first == 0) {
        const uint64_t weight = (uint64_t)corner_x[0] + corner_y[0];
        pthread_mutex_lock(&call->significance->mutex);
        for (uint64_t o = 0; o < slots; o++) significance_add(call->significance, v[o * C], weight);
        pthread_mutex_unlock(&call->significance->mutex);
    }
}

// The part of one chunk's work that thread `t` of `threads` does in a phase.
struct ChunkPhase {
    const DominanceCall* call;
    uint64_t chunk;
    DominanceScratch* scratch;
    int phase;
    uint64_t* totals;
    BucketSplit* split;  // the pair being split in buckets
    uint64_t next;       // the next part, bucket or block of corners to claim
};

template <int C>
static void chunk_phase_part(void* vargp, uint32_t t) {
    ChunkPhase* job = (ChunkPhase*)vargp;
    const DominanceCall* call = job->call;
    const DominancePlan* plan = call->plan;
    DominanceScratch* scratch = job->scratch;
    const uint32_t threads = scratch->threads;
    const uint64_t d = plan->d, n = plan->n, slots = (uint64_t)1 << d;
    if (job->phase == -1) {
        fill_values<C>(call, job->chunk, scratch->values, n * t / threads, n * (t + 1) / threads,
                       scratch->totals + t * C);
        // The first chunk also writes a byte of every page of its share of
        // the sums, which later phases write in no order: the fresh memory's
        // faults are taken here, side by side and in order.
        if (!scratch->sums_touched) {
            char* from = (char*)(scratch->sums + n * t / threads * slots * C);
            char* to = (char*)(scratch->sums + n * (t + 1) / threads * slots * C);
            for (char* page = from; page < to; page += 4096) {
                if (stopped_every((uint64_t)(page - from) >> 3)) return;  // every 512 pages
                *page = 0;
            }
        }
    } else if (job->phase == 0) {
        // A dimension per thread at a time.
        for (uint64_t b = t; b < d; b += threads) below_in_one<C>(plan, b, scratch->values, scratch->sums);
    } else if (job->phase == 1) {
        // Each pair of dimensions split into parts along its first dimension.
        for (uint64_t a = 0; a < d; a++) {
            for (uint64_t b = a + 1; b < d; b++) {
                if (!bucketed(plan, b, C)) {
                    below_in_two<C>(plan, a, b, scratch->values, scratch->sums, scratch->fenwick[t], t, threads);
                }
            }
        }
    } else if (job->phase == 3) {
        const BucketSplit* split = job->split;
        tally_share<C>(plan, split, scratch->values, split->tally + t * split->buckets * split->parts * (1 + C),
                       n * t / threads, n * (t + 1) / threads);
    } else if (job->phase == 4) {
        // Parts claimed in turn, each thread with its own tree.
        for (uint64_t q; (q = __atomic_fetch_add(&job->next, 1, __ATOMIC_RELAXED)) < job->split->parts;) {
            if (!keep_running()) return;
            split_part<C>(plan, job->split, scratch->values, (BucketEntry<C>*)scratch->entries, scratch->fenwick[t],
                          scratch->cursors + q * job->split->buckets, (uint32_t)q);
        }
    } else if (job->phase == 5) {
        // Buckets claimed in turn.
        for (uint64_t h; (h = __atomic_fetch_add(&job->next, 1, __ATOMIC_RELAXED)) < job->split->buckets;) {
            if (!keep_running()) return;
            sweep_bucket<C>(plan, job->split, (const BucketEntry<C>*)scratch->entries, scratch->sums,
                            scratch->fenwick[t], h);
        }
    } else {
        // Blocks of corners claimed in turn; each thread raises maxima of its
        // own.
        uint64_t* max_alpha = call->maxima[t];
        for (uint64_t block; (block = __atomic_fetch_add(&job->next, 512, __ATOMIC_RELAXED)) < n;) {
            if (!keep_running()) return;
            const uint64_t end = std::min<uint64_t>(block + 512, n);
            for (uint64_t p = block; p < end; p++) {
                uint64_t* v = scratch->sums + p * slots * C;
                for (int c = 0; c < C; c++) v[c] = job->totals[c];
                reduce_corner<C>(call, job->chunk, p, v, max_alpha);
            }
        }
    }
}

// Runs one chunk of labellings with the scratch's threads.
template <int C>
static void run_chunk(const DominanceCall* call, uint64_t chunk, DominanceScratch* scratch) {
    const DominancePlan* plan = call->plan;
    // The columns filled by shares of the points; the shares' totals add up
    // modulo 2^64 to the same words in any order.
    uint64_t totals[C] = {};
    ChunkPhase job = {call, chunk, scratch, -1, totals, NULL, 0};
    run_parallel(scratch->threads, chunk_phase_part<C>, &job);
    scratch->sums_touched = true;
    for (uint32_t t = 0; t < scratch->threads; t++) {
        for (int c = 0; c < C; c++) totals[c] += scratch->totals[t * C + c];
    }
    job.phase = 0;
    if (plan->d >= 1) {
        run_parallel(std::min<uint32_t>(scratch->threads, (uint32_t)plan->d), chunk_phase_part<C>, &job);
        progress_add(plan->n);
    }
    if (!keep_running()) return;
    job.phase = 1;
    if (plan->d >= 2) {
        run_parallel(scratch->threads, chunk_phase_part<C>, &job);
        for (uint64_t a = 0; a < plan->d; a++) {
            for (uint64_t b = a + 1; b < plan->d && keep_running(); b++) {
                if (!bucketed(plan, b, C)) continue;
                BucketSplit split = carve_split(plan, scratch, a, b, C);
                job.split = &split;
                job.phase = 3;
                run_parallel(split.scanners, chunk_phase_part<C>, &job);
                lay_out_buckets<C>(&split);
                job.phase = 4;
                job.next = 0;
                run_parallel(std::min(split.parts, scratch->threads), chunk_phase_part<C>, &job);
                if (!keep_running()) break;
                job.phase = 5;
                job.next = 0;
                run_parallel(scratch->threads, chunk_phase_part<C>, &job);
            }
        }
        progress_add(plan->n);
    }
    if (!keep_running()) return;
    if (plan->d == 3) {
        below_in_three<C>(plan, scratch->values, scratch->sums, scratch);
        progress_add(plan->n);
    }
    if (!keep_running()) return;
    job.phase = 2;
    job.next = 0;
    run_parallel(scratch->threads, chunk_phase_part<C>, &job);
    progress_add(plan->n);
}

// The units of progress of one call: a point per phase per chunk.
static inline uint64_t progress_units(const DominanceCall* call) {
    return call->chunks * (call->plan->d + 1) * call->plan->n;
}

// Worker w of several runs chunks w, w + workers, ... with one thread each.
template <int C>
static void chunk_worker(void* vargp, uint32_t w) {
    DominanceCall* call = (DominanceCall*)vargp;
    DominanceScratch* scratch = &call->scratch[w];
    // The reduction writes into maxima[0] of a one-thread scratch; give it
    // this worker's own array.
    uint64_t** own = call->maxima + w;
    DominanceCall mine = *call;
    mine.maxima = own;
    for (uint64_t chunk = w; chunk < call->chunks && keep_running(); chunk += call->workers) {
        run_chunk<C>(&mine, chunk, scratch);
    }
}

// ---------------------------------------------------------------------------
// Storage and the entry point

static void free_scratch(DominanceScratch* scratch) {
    free_large(scratch->values);
    free_large(scratch->sums);
    if (scratch->fenwick) {
        for (uint32_t t = 0; t < scratch->threads; t++) free_large(scratch->fenwick[t]);
    }
    free(scratch->fenwick);
    free(scratch->totals);
    free(scratch->points);
    free(scratch->merge);
    free_large(scratch->entries);
    free(scratch->split_tables);
    free(scratch->cursors);
    memset(scratch, 0, sizeof(*scratch));
}

static bool make_scratch(DominanceScratch* scratch, const DominancePlan* plan, int columns, uint32_t threads) {
    const uint64_t n = plan->n ? plan->n : 1, slots = (uint64_t)1 << plan->d;
    // Each thread's tree serves the sweeps: a node per rank of the second
    // dimension of a pair swept whole, per rank of a bucket or per bucket of
    // a pair swept in buckets, per rank of dimension 2 for the three.
    uint64_t tree_nodes = 1, split_buckets = 0;
    for (uint64_t b = 1; b < plan->d; b++) {
        if (!bucketed(plan, b, columns)) {
            tree_nodes = std::max<uint64_t>(tree_nodes, plan->rank_no[b]);
            continue;
        }
        const uint32_t bits = bucket_low_bits(plan, columns, plan->rank_no[b]);
        const uint64_t buckets = (((uint64_t)plan->rank_no[b] - 1) >> bits) + 1;
        split_buckets = std::max(split_buckets, buckets);
        tree_nodes = std::max<uint64_t>(tree_nodes, std::max<uint64_t>((uint64_t)1 << bits, buckets));
    }
    if (plan->d == 3) tree_nodes = std::max<uint64_t>(tree_nodes, plan->rank_no[2]);
    memset(scratch, 0, sizeof(*scratch));
    scratch->split_buckets = split_buckets;
    scratch->threads = threads;
    scratch->values = (uint64_t*)alloc_large(n * columns * sizeof(uint64_t));
    scratch->sums = (uint64_t*)alloc_large(n * slots * columns * sizeof(uint64_t));
    scratch->fenwick = (uint64_t**)calloc(threads, sizeof(uint64_t*));
    scratch->totals = (uint64_t*)malloc(threads * columns * sizeof(uint64_t));
    bool ok = scratch->values && scratch->sums && scratch->fenwick && scratch->totals;
    for (uint32_t t = 0; ok && t < threads; t++) {
        scratch->fenwick[t] = (uint64_t*)alloc_large((tree_nodes + 1) * columns * sizeof(uint64_t));
        ok = scratch->fenwick[t] != NULL;
    }
    if (ok && scratch->split_buckets) {
        const uint64_t buckets = scratch->split_buckets;
        scratch->split_parts = split_parts(n, threads, buckets, columns);
        const uint64_t entry_bytes = sizeof(uint32_t) * 2 + 2 * sizeof(uint64_t) * columns;
        static_assert(sizeof(BucketEntry<1>) == 24 && sizeof(BucketEntry<8>) == 136, "entries carry no padding");
        scratch->entries = alloc_large(n * entry_bytes);
        scratch->split_tables =
            (uint64_t*)malloc(split_words(buckets, scratch->split_parts, threads, columns) * sizeof(uint64_t));
        scratch->cursors = (uint64_t*)malloc(scratch->split_parts * buckets * sizeof(uint64_t));
        ok = scratch->entries && scratch->split_tables && scratch->cursors;
    }
    if (ok && plan->d == 3) {
        scratch->points = (uint32_t*)malloc(n * sizeof(uint32_t));
        scratch->merge = (uint32_t*)malloc(n * sizeof(uint32_t));
        ok = scratch->points && scratch->merge;
    }
    if (!ok) free_scratch(scratch);
    return ok;
}

// Several labellings share a pass in chunks of eight columns: eight folded
// labellings, or four labellings' two multiplicities. One labelling takes one
// column folded, two otherwise. Each worker's sums take n (2^d + 1) C words,
// so where eight columns on every thread would need more than the data set's
// own multiplicity tables (and more than 64 MiB), chunks of two columns keep
// the memory near theirs.
constexpr int CHUNK_COLUMNS = 8, NARROW_CHUNK_COLUMNS = 2;

static bool wide_chunks_fit(const DataSet* s, uint32_t threads) {
    const double wide = (double)std::min<uint64_t>(threads, (s->samples + 3) / 4) * (double)s->n *
                        (double)(((uint64_t)1 << s->d) + 1) * CHUNK_COLUMNS * sizeof(uint64_t);
    const double tables = 2.0 * (double)s->n * (double)s->samples * sizeof(uint32_t);
    return wide <= std::max(tables, 64.0 * (1 << 20));
}

static_assert(DOMINANCE_BLOCK % CHUNK_COLUMNS == 0 && DOMINANCE_BLOCK % NARROW_CHUNK_COLUMNS == 0,
              "a block must hold whole chunks");

template <int C>
static int run_call(DominanceCall* call, uint32_t threads, uint64_t* max_alpha) {
    const DataSet* s = call->s;
    call->labellings = call->folded ? C : C / 2;
    call->chunks = (call->end_labelling - call->first_labelling + call->labellings - 1) / call->labellings;
    progress_start(progress_units(call));
    // Chunks side by side when there are enough of them, else the threads
    // share each chunk's phases.
    call->workers = (uint32_t)std::min<uint64_t>(threads, call->chunks);
    if (call->workers < threads) call->workers = 1;
    call->inner = call->workers == 1 ? threads : 1;
    const uint32_t arrays = std::max(call->workers, call->inner);
    call->maxima = (uint64_t**)calloc(arrays, sizeof(uint64_t*));
    call->scratch = (DominanceScratch*)calloc(call->workers, sizeof(DominanceScratch));
    bool ok = call->maxima && call->scratch;
    Table<uint64_t>* owned = ok ? new (std::nothrow) Table<uint64_t>[arrays] : nullptr;
    ok = owned != nullptr;
    for (uint32_t a = 0; ok && a < arrays; a++) {
        owned[a] = alloc_maxima(s->samples);
        ok = (call->maxima[a] = owned[a]) != nullptr;
    }
    for (uint32_t w = 0; ok && w < call->workers; w++) ok = make_scratch(&call->scratch[w], call->plan, C, call->inner);
    if (ok) {
        if (call->workers > 1) {
            run_parallel(call->workers, chunk_worker<C>, call);
        } else {
            for (uint64_t chunk = 0; chunk < call->chunks && keep_running(); chunk++) {
                run_chunk<C>(call, chunk, &call->scratch[0]);
            }
        }
        for (uint32_t a = 0; a < arrays; a++) {
            merge_maxima(max_alpha, call->maxima[a], s->samples);
        }
    }
    if (call->scratch) {
        for (uint32_t w = 0; w < call->workers; w++) free_scratch(&call->scratch[w]);
    }
    delete[] owned;
    free(call->scratch);
    free(call->maxima);
    return ok ? 0 : 1;
}

int dominance_maxima(const DataSet* s, uint32_t threads, SignificanceRuntime* significance, uint64_t* max_alpha) {
    return dominance_block_maxima(s, threads, significance, 0, s->samples, max_alpha);
}

int dominance_block_maxima(const DataSet* s, uint32_t threads, SignificanceRuntime* significance, uint64_t first,
                           uint64_t end, uint64_t* max_alpha) {
    if (threads == 0 || first >= end) return 0;
    DominancePlan plan;
    if (!build_plan(s, &plan, threads)) {
        report_worker_error("out of memory error - dominance_maxima[plan]");
        return 1;
    }
    if (!keep_running()) {
        // Interrupted while ranking: the caller reports it.
        free_plan(&plan);
        return 0;
    }
    uint64_t product;
    DominanceCall call = {};
    call.s = s;
    call.plan = &plan;
    call.significance = significance;
    call.first_labelling = first;
    call.end_labelling = std::min(end, s->samples);
    call.folded = !significance && !__builtin_mul_overflow(s->size_x, s->size_y, &product) &&
                  product <= (uint64_t)INT64_MAX;
    int status;
    if (s->samples == 1) {
        status = call.folded ? run_call<1>(&call, threads, max_alpha) : run_call<2>(&call, threads, max_alpha);
    } else {
        status = wide_chunks_fit(s, threads) ? run_call<CHUNK_COLUMNS>(&call, threads, max_alpha)
                                             : run_call<NARROW_CHUNK_COLUMNS>(&call, threads, max_alpha);
    }
    free_plan(&plan);
    if (status) report_worker_error("out of memory error - dominance_maxima[sums]");
    return status;
}
