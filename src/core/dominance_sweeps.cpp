// The dominance sums of every corner over one dimension (a prefix sum over
// its ranks) and over a pair of dimensions (a sweep over the first with a
// Fenwick tree over the second), for pairs whose second dimension has few
// enough ranks for the tree to stay in the caches.
#include <string.h>

#include "dominance_internal.h"

namespace dominance {

// N_S for S = {b} of every corner: the points are walked in order of b's
// ranks with a running sum of the runs of equal rank passed, which each
// point of the next run takes as its sum.
template <int C>
void below_in_one(const DominancePlan* plan, uint64_t b, const uint64_t* values, uint64_t* sums) {
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

// The weight of the earlier parts [0, from) of the points in order of a below
// each corner of the part [from, to) in b, written as the corners' sums: a
// prefix sum over b's ranks in `tree`, which is left empty again. Returns
// false when stopped.
template <int C>
static bool sums_from_earlier_parts(const DominancePlan* plan, uint64_t a, uint64_t b, const uint64_t* values,
                                    uint64_t* sums, uint64_t* tree, uint64_t from, uint64_t to) {
    const uint64_t slots = (uint64_t)1 << plan->d, S = ((uint64_t)1 << a) | ((uint64_t)1 << b);
    const uint32_t* order = plan->order[a];
    const uint32_t* rank_b = plan->rank[b];
    const uint32_t size = plan->rank_no[b];
    for (uint64_t i = 0; i < from; i++) {
        if (stopped_at(i)) return false;
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
        if (stopped_at(i - from)) return false;
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
    return true;
}

// N_S for S = {a, b}, for the corners of one part of the points in order of
// a: the weight of the earlier parts below each corner in b comes from a
// prefix sum over b's ranks, that of the part itself from a sweep in order of
// a with a Fenwick tree over b, each run of equal ranks in a queried before
// any of it is added.
template <int C>
void below_in_two(const DominancePlan* plan, uint64_t a, uint64_t b, const uint64_t* values, uint64_t* sums,
                  uint64_t* tree, uint32_t part, uint32_t parts) {
    const uint64_t slots = (uint64_t)1 << plan->d, S = ((uint64_t)1 << a) | ((uint64_t)1 << b);
    const uint32_t* order = plan->order[a];
    const uint32_t* rank_a = plan->rank[a];
    const uint32_t* rank_b = plan->rank[b];
    const uint32_t size = plan->rank_no[b];
    const uint64_t from = part_start(plan, a, part, parts), to = part_start(plan, a, part + 1, parts);
    memset(tree, 0, ((uint64_t)size + 1) * C * sizeof(uint64_t));
    if (from > 0) {
        if (!sums_from_earlier_parts<C>(plan, a, b, values, sums, tree, from, to)) return;
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

#define INSTANTIATE(C)                                                                                        \
    template void below_in_one<C>(const DominancePlan*, uint64_t, const uint64_t*, uint64_t*);                \
    template void below_in_two<C>(const DominancePlan*, uint64_t, uint64_t, const uint64_t*, uint64_t*, uint64_t*, \
                                  uint32_t, uint32_t);
DOMINANCE_FOR_EACH_WIDTH(INSTANTIATE)
#undef INSTANTIATE

}  // namespace dominance
