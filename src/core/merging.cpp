// Duplicate merging: equal points become one, with the summed multiplicities
// of their rows, in order of first appearance. Large data sets merge in
// parts on several threads, with the same outcome for every thread count.
#include <string.h>

#include <algorithm>

#include "loading.h"
#include "parallel.h"

namespace {

// Hash of one rank vector; it only groups candidates for the full comparison.
inline uint64_t point_hash(const int32_t* ranks, uint64_t d) {
    uint64_t h = 122351221;
    for (uint64_t k = 0; k < d; k++) h = h * 234567913 + (uint64_t)(int64_t)ranks[k];
    return h;
}

inline bool same_point(const int32_t* a, const int32_t* b, uint64_t d) {
    for (uint64_t k = 0; k < d; k++) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

// An open-addressing table with at least twice as many slots as `entries`,
// every slot empty (all bits set); `bits` receives the slot index width.
Table<uint64_t> empty_slots(uint64_t entries, int* bits) {
    int slot_bits = 1;
    while (((uint64_t)1 << slot_bits) < 2 * entries) slot_bits++;
    *bits = slot_bits;
    Table<uint64_t> slots = Table<uint64_t>::large((uint64_t)1 << slot_bits);
    if (slots) memset(slots, 0xFF, slots.size() * sizeof(uint64_t));
    return slots;
}

int refuse_overflow(const Loading& load, bool first_sample) {
    set_error(load.error, ErrorKind::value,
              "equal points have a summed multiplicity above 4294967295 in the %s "
              "sample; merge them yourself with 64-bit counts or pass "
              "deduplicate_data=False",
              first_sample ? "first" : "second");
    return 1;
}

int refuse_for_memory(const Loading& load, const char* what) {
    set_error(load.error, ErrorKind::runtime, "out of memory - deduplicate_data[%s]", what);
    return 1;
}

// Merging on several threads. The points are split into parts by bits of
// their hash that the table slots do not use, so equal points fall in one
// part; thread t merges part t, walking all rows in order and taking those of
// its part, so that each part lists its distinct points in order of first
// appearance with their summed multiplicities. Merging the parts' lists by
// first row then gives the order, rows and sums one thread gives. Only the
// calling thread (part 0) asks the caller whether to stop; it sets `stop`
// for the others.
struct MergePart {
    Table<uint64_t> rows;   // first row of each distinct point, ascending
    Table<uint32_t> sum_x;  // the distinct points' summed multiplicities
    Table<uint32_t> sum_y;
    uint64_t distinct;
    uint64_t overflow_row;  // first row whose merge would overflow 32 bits, or UINT64_MAX
    bool overflow_x;        // ... in the first sample
    bool failed;            // out of memory
};

// At most this many parts: the output merge compares the parts' heads.
constexpr uint32_t MAX_MERGE_PARTS = 8;

struct MergeJob {
    const DataSet* s;
    uint32_t parts;
    Table<uint64_t> hashes;
    MergePart part[MAX_MERGE_PARTS];
    bool stop;
    const Loading* load;
};

inline uint32_t part_of(uint64_t hash, uint32_t parts) {
    return (uint32_t)((((hash >> 16) & 0xFFFF) * parts) >> 16);
}

void hash_rows(void* vargp, uint32_t t) {
    MergeJob* job = (MergeJob*)vargp;
    const uint64_t n = job->s->n, d = job->s->d;
    for (uint64_t i = n * t / job->parts; i < n * (t + 1) / job->parts; i++) {
        job->hashes[i] = point_hash(job->s->coordinates + i * d, d) * 0x9E3779B97F4A7C15ull;
    }
}

void merge_part(void* vargp, uint32_t t) {
    MergeJob* job = (MergeJob*)vargp;
    MergePart* part = &job->part[t];
    const DataSet* s = job->s;
    const uint64_t n = s->n, d = s->d, samples = s->samples;
    uint64_t rows = 0;
    for (uint64_t i = 0; i < n; i++) rows += part_of(job->hashes[i], job->parts) == t;
    int slot_bits;
    Table<uint64_t> slots = empty_slots(rows, &slot_bits);
    const uint64_t slot_mask = ((uint64_t)1 << slot_bits) - 1;
    part->rows = Table<uint64_t>::large(rows);
    part->sum_x = Table<uint32_t>::large(rows);
    part->sum_y = Table<uint32_t>::large(rows);
    part->distinct = 0;
    part->overflow_row = UINT64_MAX;
    part->failed = !slots || !part->rows || !part->sum_x || !part->sum_y;
    if (part->failed) return;
    for (uint64_t i = 0; i < n; i++) {
        if ((i & 4095) == 0) {
            if (t == 0 && job->load->stopped()) __atomic_store_n(&job->stop, true, __ATOMIC_RELAXED);
            if (__atomic_load_n(&job->stop, __ATOMIC_RELAXED)) break;
        }
        const uint64_t hash = job->hashes[i];
        if (part_of(hash, job->parts) != t) continue;
        const int32_t* ranks = s->coordinates + i * d;
        const uint64_t tag = ((hash * 0xD6E8FEB86659FD93ull) >> 32) << 32;
        uint64_t slot = hash >> (64 - slot_bits);
        while (slots[slot] != UINT64_MAX &&
               ((slots[slot] & ~(uint64_t)UINT32_MAX) != tag ||
                !same_point(s->coordinates + part->rows[slots[slot] & UINT32_MAX] * d, ranks, d))) {
            slot = (slot + 1) & slot_mask;
        }
        const uint32_t cx = s->counts_x[i * samples], cy = s->counts_y[i * samples];
        if (slots[slot] == UINT64_MAX) {
            slots[slot] = tag | part->distinct;
            part->rows[part->distinct] = i;
            part->sum_x[part->distinct] = cx;
            part->sum_y[part->distinct] = cy;
            part->distinct++;
            continue;
        }
        const uint64_t j = slots[slot] & UINT32_MAX;
        if ((uint64_t)part->sum_x[j] + cx > UINT32_MAX || (uint64_t)part->sum_y[j] + cy > UINT32_MAX) {
            part->overflow_row = i;
            part->overflow_x = (uint64_t)part->sum_x[j] + cx > UINT32_MAX;
            break;
        }
        part->sum_x[j] += cx;
        part->sum_y[j] += cy;
    }
}

// The merged tables of a data set, before they replace its own.
struct MergedTables {
    uint64_t n;
    Table<int32_t> coordinates;
    Table<uint32_t> counts_x;
    Table<uint32_t> counts_y;
    Table<uint64_t> origin;
};

// Tables for `n` merged points, every labelling's column; false when they
// cannot be had.
bool make_merged_tables(MergedTables* out, const DataSet* s, uint64_t n) {
    out->n = n;
    out->coordinates = Table<int32_t>::large(n, s->d);
    out->counts_x = Table<uint32_t>::large(n, s->samples);
    out->counts_y = Table<uint32_t>::large(n, s->samples);
    out->origin = Table<uint64_t>::large(n);
    return out->coordinates && out->counts_x && out->counts_y && out->origin;
}

// The data set takes the merged tables, releasing its own.
void adopt_tables(DataSet* s, MergedTables* merged) {
    s->n = merged->n;
    s->coordinates = std::move(merged->coordinates);
    s->counts_x = std::move(merged->counts_x);
    s->counts_y = std::move(merged->counts_y);
    s->origin = std::move(merged->origin);
}

// The distinct points of all parts in order of first row, written from the
// parts' lists: thread t takes the points whose first row lies in the t-th
// share of the rows, so each writes its own stretch of the output.
struct MergeOutput {
    MergeJob* job;
    MergedTables* out;
};

void merge_output(void* vargp, uint32_t r) {
    const MergeOutput* output = (const MergeOutput*)vargp;
    const MergeJob* job = output->job;
    MergedTables* out = output->out;
    const DataSet* s = job->s;
    const uint64_t n = s->n, d = s->d, samples = s->samples, threads = job->parts;
    const uint64_t first_row = n * r / threads, end_row = n * (r + 1) / threads;
    uint64_t next[MAX_MERGE_PARTS], end[MAX_MERGE_PARTS], u = 0;
    for (uint32_t t = 0; t < threads; t++) {
        const MergePart* part = &job->part[t];
        next[t] = (uint64_t)(std::lower_bound(part->rows.get(), part->rows + part->distinct, first_row) - part->rows);
        end[t] = (uint64_t)(std::lower_bound(part->rows.get(), part->rows + part->distinct, end_row) - part->rows);
        u += next[t];
    }
    for (;; u++) {
        uint32_t best = 0;
        uint64_t best_row = UINT64_MAX;
        for (uint32_t t = 0; t < threads; t++) {
            if (next[t] < end[t] && job->part[t].rows[next[t]] < best_row) {
                best_row = job->part[t].rows[next[t]];
                best = t;
            }
        }
        if (best_row == UINT64_MAX) break;
        const MergePart* part = &job->part[best];
        const uint64_t k = next[best]++;
        memcpy(out->coordinates + u * d, s->coordinates + best_row * d, d * sizeof(int32_t));
        out->origin[u] = s->origin[best_row];
        out->counts_x[u * samples] = part->sum_x[k];
        out->counts_y[u * samples] = part->sum_y[k];
    }
}

// Merges equal points on `threads` threads (see MergeJob).
int deduplicate_side_by_side(DataSet* s, uint32_t threads, const Loading& load) {
    MergeJob job = {s, threads, Table<uint64_t>::large(s->n), {}, false, &load};
    if (!job.hashes) return refuse_for_memory(load, "tmp");
    run_parallel(threads, hash_rows, &job);
    run_parallel(threads, merge_part, &job);
    job.hashes.reset();
    if (job.stop) return 1;
    uint64_t distinct = 0, overflow_row = UINT64_MAX;
    bool overflow_x = false, failed = false;
    for (uint32_t t = 0; t < threads; t++) {
        failed = failed || job.part[t].failed;
        distinct += job.part[t].distinct;
        if (job.part[t].overflow_row < overflow_row) {
            overflow_row = job.part[t].overflow_row;
            overflow_x = job.part[t].overflow_x;
        }
    }
    if (failed) return refuse_for_memory(load, "tmp");
    if (overflow_row != UINT64_MAX) return refuse_overflow(load, overflow_x);
    MergedTables merged;
    if (!make_merged_tables(&merged, s, distinct)) return refuse_for_memory(load, "s->coordinates");
    MergeOutput output = {&job, &merged};
    run_parallel(threads, merge_output, &output);
    adopt_tables(s, &merged);
    return 0;
}

// Whether one of the first few dimensions takes n distinct values, read from
// ranks: then no two points are equal. Looking further would cost about as
// much as the merge it might save.
bool all_points_distinct(const DataSet* s) {
    if (!s->ranked) return false;
    const uint64_t n = s->n, d = s->d;
    for (uint64_t b = 0; b < d && b < 2; b++) {
        int32_t largest = -1;
        for (uint64_t i = 0; i < n; i++) largest = std::max(largest, s->coordinates[i * d + b]);
        if ((uint64_t)largest + 1 == n) return true;
    }
    return false;
}

// Merges equal points on the calling thread, through an open-addressing
// table of the distinct points seen so far, by the hash of their rank
// vectors. Distinct points keep the order of their first appearance.
int deduplicate_in_one(DataSet* s, const Loading& load) {
    const uint64_t n = s->n, d = s->d, samples = s->samples;
    Table<int32_t> tmp_data = Table<int32_t>::large(n, d);
    Table<uint32_t> tmp_counts_x = Table<uint32_t>::large(n);
    Table<uint32_t> tmp_counts_y = Table<uint32_t>::large(n);
    int slot_bits;
    Table<uint64_t> slots = empty_slots(n, &slot_bits);
    if (!tmp_data || !tmp_counts_x || !tmp_counts_y || !slots) return refuse_for_memory(load, "tmp");
    const uint64_t slot_mask = ((uint64_t)1 << slot_bits) - 1;
    uint64_t distinct = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (load.stopped_at(i)) return 1;
        const int32_t* ranks = s->coordinates + i * d;
        const uint32_t cx = s->counts_x[i * samples], cy = s->counts_y[i * samples];
        uint64_t slot = (point_hash(ranks, d) * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits);
        while (slots[slot] != UINT64_MAX && !same_point(tmp_data + slots[slot] * d, ranks, d)) {
            slot = (slot + 1) & slot_mask;
        }
        if (slots[slot] == UINT64_MAX) {
            slots[slot] = distinct;
            s->origin[distinct] = s->origin[i];
            memcpy(tmp_data + distinct * d, ranks, d * sizeof(int32_t));
            tmp_counts_x[distinct] = cx;
            tmp_counts_y[distinct] = cy;
            distinct++;
            continue;
        }
        const uint64_t j = slots[slot];
        // Merged multiplicities must still fit the 32-bit tables.
        if ((uint64_t)tmp_counts_x[j] + cx > UINT32_MAX || (uint64_t)tmp_counts_y[j] + cy > UINT32_MAX) {
            return refuse_overflow(load, (uint64_t)tmp_counts_x[j] + cx > UINT32_MAX);
        }
        tmp_counts_x[j] += cx;
        tmp_counts_y[j] += cy;
    }
    slots.reset();
    MergedTables merged;
    if (!make_merged_tables(&merged, s, distinct)) return refuse_for_memory(load, "s->coordinates");
    memcpy(merged.coordinates, tmp_data, distinct * d * sizeof(int32_t));
    memcpy(merged.origin, s->origin, distinct * sizeof(uint64_t));
    for (uint64_t i = 0; i < distinct; i++) {
        merged.counts_x[i * samples] = tmp_counts_x[i];
        merged.counts_y[i * samples] = tmp_counts_y[i];
    }
    adopt_tables(s, &merged);
    return 0;
}

}  // namespace

// Every point already standing alone keeps its own multiplicities. Large data
// sets are merged in parts, one per thread up to MAX_MERGE_PARTS.
int deduplicate_data(DataSet* s, uint32_t threads, const Loading& load) {
    if (all_points_distinct(s)) return 0;
    if (s->n >= ((uint64_t)1 << 16) && s->n < UINT32_MAX) {
        return deduplicate_side_by_side(s, std::min<uint32_t>(std::max<uint32_t>(threads, 1), MAX_MERGE_PARTS), load);
    }
    return deduplicate_in_one(s, load);
}
