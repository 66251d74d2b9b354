// Orthant counts of all corners from dominance counts: the entry point, which
// builds the plan, gives the chunks of labellings to workers with scratch of
// their own, and merges the workers' maxima.
#include "dominance_counts.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "common.h"
#include "data_set.h"
#include "dominance_internal.h"
#include "memory.h"
#include "parallel.h"
#include "workers.h"
#include "maximum_location.h"

namespace dominance {

// ---------------------------------------------------------------------------
// Storage

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
static_assert(CHUNK_COLUMNS == 8 && NARROW_CHUNK_COLUMNS == 2, "the passes are compiled for 1, 2 and 8 columns");

static bool wide_chunks_fit(const DataSet* s, uint32_t threads) {
    const double wide = (double)std::min<uint64_t>(threads, (s->samples + 3) / 4) * (double)s->n *
                        (double)(((uint64_t)1 << s->d) + 1) * CHUNK_COLUMNS * sizeof(uint64_t);
    const double tables = 2.0 * (double)s->n * (double)s->samples * sizeof(uint32_t);
    return wide <= std::max(tables, 64.0 * (1 << 20));
}

static_assert(DOMINANCE_BLOCK % CHUNK_COLUMNS == 0 && DOMINANCE_BLOCK % NARROW_CHUNK_COLUMNS == 0,
              "a block must hold whole chunks");

// ---------------------------------------------------------------------------
// Workers

// The units of progress of one call: a point per phase per chunk.
static inline uint64_t progress_units(const DominanceCall* call) {
    return call->chunks * (call->plan->d + 1) * call->plan->n;
}

// Worker w of several runs chunks w, w + workers, ... with one thread each.
template <int C>
static void chunk_worker(void* vargp, uint32_t w) {
    DominanceCall* call = (DominanceCall*)vargp;
    DominanceScratch* scratch = &call->scratch[w];
    // The reduction writes into maxima[0] and histograms[0] of a one-thread
    // scratch; give it this worker's own.
    DominanceCall mine = *call;
    mine.maxima = call->maxima + w;
    if (call->histograms) mine.histograms = call->histograms + w;
    for (uint64_t chunk = w; chunk < call->chunks && keep_running(); chunk += call->workers) {
        run_chunk<C>(&mine, chunk, scratch);
    }
}

// Runs the call's chunks of C columns on `threads` threads and merges their
// maxima into `max_alpha`. Returns 0, or 1 for lack of memory.
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
    // Maxima and histogram entries are kept per thread and merged after the
    // join, in the one way every partial result merges.
    const uint32_t arrays = std::max(call->workers, call->inner);
    ThreadPartials partials(arrays, s, call->significance != nullptr);
    call->maxima = partials.maxima;
    call->histograms = partials.histograms;
    call->scratch = (DominanceScratch*)calloc(call->workers, sizeof(DominanceScratch));
    bool ok = partials.ready && call->scratch;
    for (uint32_t w = 0; ok && w < call->workers; w++) ok = make_scratch(&call->scratch[w], call->plan, C, call->inner);
    if (ok) {
        if (call->workers > 1) {
            run_parallel(call->workers, chunk_worker<C>, call);
        } else {
            for (uint64_t chunk = 0; chunk < call->chunks && keep_running(); chunk++) {
                run_chunk<C>(call, chunk, &call->scratch[0]);
            }
        }
        partials.merge_into(max_alpha, call->significance);
    }
    if (call->scratch) {
        for (uint32_t w = 0; w < call->workers; w++) free_scratch(&call->scratch[w]);
    }
    free(call->scratch);
    return ok ? 0 : 1;
}

}  // namespace dominance

int dominance_block_maxima(const DataSet* s, uint32_t threads, SignificanceRuntime* significance, uint64_t first,
                           uint64_t end, uint64_t* max_alpha) {
    using namespace dominance;
    if (threads == 0 || first >= end) return 0;
    DominancePlan plan;
    if (!build_plan(s, &plan, threads)) {
        report_worker_error("out of memory error - dominance_block_maxima[plan]");
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
    if (status) report_worker_error("out of memory error - dominance_block_maxima[sums]");
    return status;
}
