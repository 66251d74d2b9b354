// The dominance sums over pairs of dimensions whose second dimension has many
// ranks: the sweep in buckets.
//
// A Fenwick tree over all of b's ranks outgrows the caches from about 10^5
// points, and then every step of below_in_two's sweep waits on memory. Here the
// points are instead split by the high bits of their rank in b into buckets,
// each keeping the order of a. While they are split, a small tree over the
// buckets gives each point the weight earlier in a and in lower buckets. A
// sweep of each bucket on its own, with a tree over the low bits that stays
// in the second-level cache, adds the weight earlier in a, in the same bucket
// and lower in b. The buckets' sweeps are independent, so the threads share
// them; the split runs in parts along a, which the threads share too, each
// part's buckets starting from the weights of the earlier parts.
#include <string.h>

#include <algorithm>

#include "dominance_internal.h"

namespace dominance {

// The most parts along a that a split takes.
constexpr uint64_t kMostParts = 64;

// Set in an entry's `low` when the entry before it in its bucket has the same
// rank in a: a run of such entries is queried before any of it is added.
static const uint32_t kTiedInA = 0x80000000u;

// Where the points of one share [from, to) of the point indices fall: each
// point's part from its rank in a, its bucket from its rank in b.
template <int C>
void tally_share(const DominancePlan* plan, const BucketSplit* split, const uint64_t* values, uint64_t* tally,
                 uint64_t from, uint64_t to) {
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
void lay_out_buckets(BucketSplit* split) {
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
void split_part(const DominancePlan* plan, const BucketSplit* split, const uint64_t* values,
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
void sweep_bucket(const DominancePlan* plan, const BucketSplit* split, const BucketEntry<C>* entries,
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
uint32_t split_parts(uint64_t n, uint32_t threads, uint64_t buckets, int columns) {
    uint64_t parts = threads > 1 ? std::min<uint64_t>(4 * (uint64_t)threads, kMostParts) : 1;
    const uint64_t budget = std::max<uint64_t>((uint64_t)1 << 17, n);
    while (parts > 1 && threads * parts * buckets * (1 + columns) > budget) parts--;
    return (uint32_t)parts;
}

uint64_t split_words(uint64_t buckets, uint64_t parts, uint64_t scanners, int columns) {
    return (parts + 2) / 2 + buckets * parts + 1 + buckets * parts * columns +
           scanners * buckets * parts * (1 + columns) + (buckets * parts + 1) / 2;
}

// The split of pair (a, b), its tables carved from the scratch's.
BucketSplit carve_split(const DominancePlan* plan, const DominanceScratch* scratch, uint64_t a, uint64_t b,
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

#define INSTANTIATE(C)                                                                                             \
    template void tally_share<C>(const DominancePlan*, const BucketSplit*, const uint64_t*, uint64_t*, uint64_t,   \
                                 uint64_t);                                                                        \
    template void lay_out_buckets<C>(BucketSplit*);                                                                \
    template void split_part<C>(const DominancePlan*, const BucketSplit*, const uint64_t*, BucketEntry<C>*,        \
                                uint64_t*, uint64_t*, uint32_t);                                                   \
    template void sweep_bucket<C>(const DominancePlan*, const BucketSplit*, const BucketEntry<C>*, uint64_t*,      \
                                  uint64_t*, uint64_t);
DOMINANCE_FOR_EACH_WIDTH(INSTANTIATE)
#undef INSTANTIATE

}  // namespace dominance
