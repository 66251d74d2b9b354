// The dominance sums over all three dimensions of every corner, by divide
// and conquer over dimension 0 with a sweep over dimensions 1 and 2 in each
// merge.
#include <string.h>

#include <algorithm>

#include "dominance_internal.h"
#include "parallel.h"

namespace dominance {

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
static void solve_three_part(void* vargp, uint32_t part) {
    const ThreeDimensionsRange<C>* range = (const ThreeDimensionsRange<C>*)vargp + part;
    solve_three<C>(range->job, range->from, range->to, range->first_tree, range->trees);
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
static void merge_queries_part(void* vargp, uint32_t part) {
    const MergeQueries<C>* m = (const MergeQueries<C>*)vargp + part;
    merge_queries<C>(m->job, m->from, m->mid, m->k_from, m->k_to, m->tree);
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

    // Side by side, each half has trees of its own; a half whose thread
    // cannot be had runs after the other, with the same result.
    const bool side_by_side = trees > 1 && to - from > 4096;
    if (side_by_side) {
        const ThreeDimensionsRange<C> halves[2] = {{job, mid, to, first_tree, trees / 2},
                                                   {job, from, mid, first_tree + trees / 2, trees - trees / 2}};
        run_parallel(2, solve_three_part<C>, (void*)halves);
    } else {
        solve_three<C>(job, from, mid, first_tree, trees);
        solve_three<C>(job, mid, to, first_tree, trees);
    }
    if (!keep_running()) return;

    // The right half's queries, split in two side by side where the halves
    // were solved so, each with its own tree.
    uint64_t** fenwick = job->scratch->fenwick;
    if (side_by_side) {
        const uint64_t quarter = mid + (to - mid) / 2;
        const MergeQueries<C> queries[2] = {{job, from, mid, mid, quarter, fenwick[first_tree]},
                                            {job, from, mid, quarter, to, fenwick[first_tree + trees / 2]}};
        run_parallel(2, merge_queries_part<C>, (void*)queries);
    } else {
        merge_queries<C>(job, from, mid, mid, to, fenwick[first_tree]);
    }
    // The order of the whole set by dimension 1 is of no further use.
    if (from == 0 && to == plan->n) return;
    uint32_t* merge = job->scratch->merge;
    std::merge(points + from, points + mid, points + mid, points + to, merge + from, by_rank1);
    memcpy(points + from, merge + from, (to - from) * sizeof(uint32_t));
}

template <int C>
void below_in_three(const DominancePlan* plan, const uint64_t* values, uint64_t* sums, DominanceScratch* scratch) {
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

#define INSTANTIATE(C) \
    template void below_in_three<C>(const DominancePlan*, const uint64_t*, uint64_t*, DominanceScratch*);
DOMINANCE_FOR_EACH_WIDTH(INSTANTIATE)
#undef INSTANTIATE

}  // namespace dominance
