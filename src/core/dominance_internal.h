// The records and steps that the parts of the dominance counts share: the plan
// of ranks and orders, a worker's scratch, what one call shares between its
// workers, the Fenwick tree over ranks, the bucket split of a pair of
// dimensions, and the passes that fill the dominance sums of C columns.
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
#ifndef TESSARIN_DOMINANCE_INTERNAL_H
#define TESSARIN_DOMINANCE_INTERNAL_H

#include <stdint.h>

#include "common.h"
#include "memory.h"
#include "parallel.h"

struct DataSet;
struct SignificanceRuntime;

// The column counts every pass is compiled for: one labelling folded (1) or
// not (2), and the chunks of several labellings (2 or 8).
#define DOMINANCE_FOR_EACH_WIDTH(X) X(1) X(2) X(8)

namespace dominance {

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
    SignificanceRuntime* histograms;  // beside each maxima array, the histogram of
                          // the corners reduced into it; null when none is asked for
    DominanceScratch* scratch;
    uint32_t workers;     // chunks run side by side
    uint32_t inner;       // threads inside one chunk
};

// ---------------------------------------------------------------------------
// The plan (dominance_plan.cpp)

// Ranks the dimensions side by side, one thread each. Returns false for lack
// of memory. Interrupted, it returns true with a plan of no use, which the
// caller frees after seeing keep_running() false.
[[nodiscard]] bool build_plan(const DataSet* s, DominancePlan* plan, uint32_t threads);
void free_plan(DominancePlan* plan);

// The first position of part `part` of `parts` of the points in order of a's
// ranks, moved back to the start of its run of equal ranks, so that every
// point of an earlier part is strictly below every point of a later part in a.
uint64_t part_start(const DominancePlan* plan, uint64_t a, uint32_t part, uint32_t parts);

// Polls the interrupt flag every 65536 steps of a quick loop.
static inline bool stopped_every(uint64_t i) { return (i & 65535) == 0 && !keep_running(); }

// Polls the interrupt flag every 4096 points of a sweep.
static inline bool stopped_at(uint64_t i) { return (i & 4095) == 0 && !keep_running(); }

// Points ahead of a sweep whose memory is fetched early.
static const uint64_t kSweepAhead = 16;

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// The sweeps for one and two dimensions (dominance_sweeps.cpp)

// N_S for S = {b} of every corner.
template <int C>
void below_in_one(const DominancePlan* plan, uint64_t b, const uint64_t* values, uint64_t* sums);

// N_S for S = {a, b}, for the corners of part `part` of `parts` of the points
// in order of a, with `tree` (rank_no[b] + 1 nodes) left empty.
template <int C>
void below_in_two(const DominancePlan* plan, uint64_t a, uint64_t b, const uint64_t* values, uint64_t* sums,
                  uint64_t* tree, uint32_t part, uint32_t parts);

// ---------------------------------------------------------------------------
// Pairs swept in buckets (dominance_buckets.cpp)

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

// Whether pairs whose second dimension is b are swept in buckets.
static inline bool bucketed(const DominancePlan* plan, uint64_t b, int columns) {
    return plan->rank_no[b] > ((uint32_t)1 << bucket_low_bits(plan, columns, plan->rank_no[b]));
}

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

// Parts along a of the splits of a scratch of `threads` threads, and the
// words of the tables of a split.
uint32_t split_parts(uint64_t n, uint32_t threads, uint64_t buckets, int columns);
uint64_t split_words(uint64_t buckets, uint64_t parts, uint64_t scanners, int columns);

// The split of pair (a, b), its tables carved from the scratch's.
BucketSplit carve_split(const DominancePlan* plan, const DominanceScratch* scratch, uint64_t a, uint64_t b,
                        int columns);

// The steps of a split, in order: each scanner tallies a share of the point
// indices; the tallies are laid out; the parts along a are split into the
// buckets; the buckets are swept, each on its own.
template <int C>
void tally_share(const DominancePlan* plan, const BucketSplit* split, const uint64_t* values, uint64_t* tally,
                 uint64_t from, uint64_t to);
template <int C>
void lay_out_buckets(BucketSplit* split);
template <int C>
void split_part(const DominancePlan* plan, const BucketSplit* split, const uint64_t* values, BucketEntry<C>* entries,
                uint64_t* tree, uint64_t* cursor, uint32_t q);
template <int C>
void sweep_bucket(const DominancePlan* plan, const BucketSplit* split, const BucketEntry<C>* entries, uint64_t* sums,
                  uint64_t* tree, uint64_t h);

// ---------------------------------------------------------------------------
// Three dimensions (dominance_three.cpp)

// N_S for S = {0, 1, 2} of every corner, with the scratch's threads.
template <int C>
void below_in_three(const DominancePlan* plan, const uint64_t* values, uint64_t* sums, DominanceScratch* scratch);

// ---------------------------------------------------------------------------
// One chunk of labellings (dominance_chunk.cpp)

// Runs chunk `chunk` of the call's labellings with the scratch's threads,
// raising the maxima of call->maxima.
template <int C>
void run_chunk(const DominanceCall* call, uint64_t chunk, DominanceScratch* scratch);

}  // namespace dominance

#endif
