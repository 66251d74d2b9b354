// The plan of the dominance counts: the dense ranks of every point in every
// dimension and the points in order of each dimension's ranks, which depend
// only on the points and serve every chunk of labellings of a call.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "data_set.h"
#include "dominance_internal.h"

namespace dominance {

void free_plan(DominancePlan* plan) { free_large(plan->tables); }

// Ranks one dimension: a counting sort when the values span little more than
// the number of points (as ranks from the loader do), else a sort of the
// values packed with their point indices. Returns false for lack of memory.
// Polls the interrupt flag every 65536 points of a quick loop. A plan cut
// short is of no use, and the call ends without it.
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

// Ranks the dimensions side by side, one thread each; with fewer threads
// than dimensions, the calling thread ranks the rest in turn.
bool build_plan(const DataSet* s, DominancePlan* plan, uint32_t threads) {
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

uint64_t part_start(const DominancePlan* plan, uint64_t a, uint32_t part, uint32_t parts) {
    const uint32_t* order = plan->order[a];
    const uint32_t* rank = plan->rank[a];
    uint64_t start = plan->n * part / parts;
    while (start > 0 && start < plan->n && rank[order[start - 1]] == rank[order[start]]) start--;
    return start;
}

}  // namespace dominance
