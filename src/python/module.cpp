// The module's face to the interpreter, the two orthant kernels and the
// worker driver that runs them over the corners and forms the test result.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <math.h>

#include <algorithm>

#include "binomial_significance.h"
#include "common.h"
#include "data.h"
#include "dominance_counts.h"
#include "maximum_location.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#ifdef TESSARIN_AVX512
#include <immintrin.h>
#endif

// The per-call runtime shared by all kernel threads.
struct Runtime {
    SignificanceRuntime significance;
};

// One kernel thread's share of the scan: the corners [from, to).
struct Task {
    uint64_t from;
    uint64_t to;
    const DataSet* data;
    const Options* options;
    Runtime* runtime;
};

// The result of one test; a member that was not computed is -1.0.
// statistic_x and statistic_y are the observed maxima over the corners of the
// first and of the second sample, as differences of fractions.
// The location says where the larger of the two observed maxima is reached:
// the corner's first row among the rows of rvs followed by those of cdf
// (UINT64_MAX when no corner was scanned), the orthant, whether the first
// sample's share is the larger there, and whether the corners are those of
// the second sample.
struct TestResult {
    double value;
    double binomial_significance;
    double permutation_significance;
    double statistic_x;
    double statistic_y;
    uint64_t location_row;
    uint64_t location_orthant;
    bool location_positive;
    bool location_in_y;
    double* null_distribution;  // with details: the resampled labellings'
                                // statistics, scaled like value; owned here
};

// One point's orthant around the current corner, for the sparse kernel.
struct BinStruct {
    uint64_t bin;
    uint64_t index;
};

static inline bool operator<(const BinStruct& lhs, const BinStruct& rhs) { return lhs.bin < rhs.bin; }

#include "orthant_primitives.h"

// Raises the labelling maxima with the counts of orthant `orthant` of corner
// `corner`: alpha is the orthant's difference of empirical measures times
// size_x * size_y. It counts for the first half when the corner belongs to X
// under that labelling and for the second half when it belongs to Y; the
// observed labelling's maxima keep their location.
static inline KERNEL_TARGET void update_maxima(const uint64_t* x_cap, const uint64_t* y_cap,
                                                const uint32_t* corner_x, const uint32_t* corner_y,
                                                uint64_t size_x, uint64_t size_y, uint64_t samples,
                                                uint64_t corner, uint64_t orthant, uint64_t* max_alpha) {
    uint64_t* max_beta = max_alpha + samples;
    const uint64_t a0 = size_y * x_cap[0], b0 = size_x * y_cap[0];
    raise_observed(max_alpha, samples, corner_x[0] != 0, corner_y[0] != 0, a0 > b0 ? a0 - b0 : b0 - a0, corner,
                   orthant, a0 > b0);
    for (uint64_t k = 1; k < samples; k++) {
        const uint64_t a = size_y * x_cap[k], b = size_x * y_cap[k];
        const uint64_t alpha = a > b ? a - b : b - a;
        if (max_alpha[k] < alpha && corner_x[k] != 0) max_alpha[k] = alpha;
        if (max_beta[k] < alpha && corner_y[k] != 0) max_beta[k] = alpha;
    }
}

// Adds one point's row of multiplicities to an orthant's counters.
static inline KERNEL_TARGET void add_counts(uint64_t* x_cap, uint64_t* y_cap, const uint32_t* counts_x,
                                             const uint32_t* counts_y, uint64_t samples) {
    for (uint64_t k = 0; k < samples; k++) {
        x_cap[k] += counts_x[k];
        y_cap[k] += counts_y[k];
    }
}

// How many items a kernel handles between two polls of the interrupt flag,
// as a mask: an item costing `work` simple operations is polled about every
// 2^18 operations, well under a millisecond.
static inline uint64_t poll_mask(uint64_t work) {
    uint64_t items = 1;
    while (items * 2 * std::max<uint64_t>(work, 1) <= ((uint64_t)1 << 18)) items *= 2;
    return items - 1;
}

// The single-labelling scans of the dense path hold one counter per orthant
// with the folded weight size_y * cx - size_x * cy of each point, the scaled
// difference itself, and scan a group of corners per pass over the points:
// each point is read once for the whole group, and the corners' counters are
// independent, so updates of one orthant by consecutive points overlap. A
// group may repeat its last corner to fill up; a repeat changes no maximum.
constexpr int MAX_CORNER_GROUP = 32;

// Raises both maxima with the finished counters of a group of corners.
static inline void update_folded_maxima(const uint64_t* corners, int group, const Task* t,
                                        const int64_t* counters, uint64_t* max_alpha) {
    const uint64_t orthants = t->data->orthants;
    for (int c = 0; c < group; c++) {
        const bool in_x = t->data->counts_x[corners[c]] != 0, in_y = t->data->counts_y[corners[c]] != 0;
        const int64_t* counter = counters + c * orthants;
        for (uint64_t o = 0; o < orthants; o++) {
            const uint64_t alpha = counter[o] < 0 ? -(uint64_t)counter[o] : (uint64_t)counter[o];
            raise_observed(max_alpha, 1, in_x, in_y, alpha, corners[c], o, counter[o] > 0);
        }
    }
}

// A scan of one group of corners. Returns false when it was interrupted
// before the group was complete; its maxima are then left untouched.
typedef bool (*GroupScan)(const uint64_t* corners, Task* t, int64_t* counters, uint64_t* max_alpha);

// The packed scan's counters are 32-bit where that is safe and cheap, which
// halves the table of a group of corners: every partial sum of the folded
// weights lies within size_x * size_y of zero, so when that product fits 32
// bits the counters never overflow; otherwise they are added into 64-bit
// totals and cleared before they could, every `flush_every` points (a whole
// number of batches: the counters move by at most largest_weight a point).
// A flush costs a pass over the table, so 32-bit counters are used only when
// flushes come no more often than every max(orthants, ORTHANT_BATCH) points;
// returns 0 when they are not used.
static uint64_t narrow_flush_period(const DataSet* s) {
    uint64_t product;
    if (!__builtin_mul_overflow(s->size_x, s->size_y, &product) && product <= (uint64_t)INT32_MAX) return UINT64_MAX;
    const uint64_t largest = (uint64_t)std::max<int64_t>(s->largest_weight, 1);
    const uint64_t period = (uint64_t)INT32_MAX / largest / ORTHANT_BATCH * ORTHANT_BATCH;
    return period >= std::max(s->orthants, ORTHANT_BATCH) ? period : 0;
}

// With at most 16 dimensions, the coordinates of P = 16 / d corners share one
// 16-lane vector: one comparison places a point around P corners at once, its
// mask holding their orthant indices side by side, d bits each. `totals`
// holds the group's 64-bit counters, followed, for 32-bit Counter, by room
// for the group's 32-bit ones. The masks of ORTHANT_BATCH points come before
// their counter updates.
template <int P, typename Counter>
static KERNEL_TARGET bool scan_packed_group(const uint64_t* corners, Task* t, int64_t* totals,
                                            uint64_t* max_alpha) {
    constexpr int VECTORS = 2, GROUP = VECTORS * P;
    constexpr bool NARROW = sizeof(Counter) < sizeof(int64_t);
    const uint64_t n = t->data->n, d = t->data->d, orthants = t->data->orthants, table = GROUP * orthants;
    const int32_t* lanes = (const int32_t*)t->data->rank_vectors;
    const int64_t* weight = t->data->folded;
    alignas(64) int32_t packed[VECTORS][16] = {};
    alignas(64) int32_t spread[16] = {};
    for (uint64_t l = 0; l < P * d; l++) spread[l] = (int32_t)(l % d);
    for (int c = 0; c < GROUP; c++) {
        for (uint64_t k = 0; k < d; k++) packed[c / P][(c % P) * d + k] = lanes[corners[c] * 16 + k];
    }
    Counter* counters = NARROW ? (Counter*)(totals + table) : (Counter*)totals;
    memset(totals, 0, table * sizeof(int64_t));
    if (NARROW) memset(counters, 0, table * sizeof(Counter));
    const uint64_t flush_every = NARROW ? narrow_flush_period(t->data) : UINT64_MAX;
    const uint32_t live = (uint32_t)(P * d), low_bits = (uint32_t)(orthants - 1);
    const uint64_t mask = poll_mask(GROUP * ORTHANT_BATCH);
    uint32_t bins[ORTHANT_BATCH][VECTORS];
    uint64_t since_flush = 0;
    for (uint64_t first = 0; first < n; first += ORTHANT_BATCH) {
        if (((first / ORTHANT_BATCH) & mask) == 0 && !keep_running()) return false;
        const uint64_t batch = std::min(ORTHANT_BATCH, n - first);
        for (uint64_t b = 0; b < batch; b++) {
            for (int v = 0; v < VECTORS; v++) {
                bins[b][v] = calculate_bins<P>(packed[v], lanes + (first + b) * 16, spread, live);
            }
        }
        for (uint64_t b = 0; b < batch; b++) {
            const Counter w = (Counter)weight[first + b];
            for (int v = 0; v < VECTORS; v++) {
                for (int c = 0; c < P; c++) {
                    counters[(v * P + c) * orthants + ((bins[b][v] >> (c * d)) & low_bits)] += w;
                }
            }
        }
        since_flush += ORTHANT_BATCH;
        if (NARROW && (since_flush >= flush_every || first + batch == n)) {
            for (uint64_t e = 0; e < table; e++) totals[e] += counters[e];
            memset(counters, 0, table * sizeof(Counter));
            since_flush = 0;
        }
    }
    update_folded_maxima(corners, GROUP, t, totals, max_alpha);
    return true;
}

// With at most four dimensions there are few enough orthants to keep a
// counter for every orthant of each of sixteen corners and to update them all
// for every point: the corners are the lanes of the vector operations, so the
// scan needs no per-pair table lookups. The lane counters are 32-bit and are
// moved into 64-bit sums before they could overflow: the largest magnitude of
// a weight is at most INT32_MAX.
template <int D>
static KERNEL_TARGET bool scan_lane_group(const uint64_t* corners, Task* t, int64_t* counters,
                                          uint64_t* max_alpha) {
    constexpr int ORTANTS = 1 << D;
    const uint64_t n = t->data->n;
    const int32_t* lanes = (const int32_t*)t->data->rank_vectors;
    alignas(64) int32_t corner_coordinate[D][16];
    for (int c = 0; c < 16; c++) {
        for (int k = 0; k < D; k++) corner_coordinate[k][c] = lanes[corners[c] * 16 + k];
    }
    const uint64_t flush_every =
        std::min<uint64_t>(poll_mask(16) + 1, (uint64_t)(INT32_MAX / std::max<int64_t>(t->data->largest_weight, 1)));
    alignas(64) int32_t lane_sums[ORTANTS][16];
    int64_t sums[ORTANTS][16] = {};
    for (uint64_t j = 0; j < n;) {
        if (!keep_running()) return false;
        const uint64_t end = std::min(n, j + flush_every);
        accumulate_lane_sums<D>(corner_coordinate, lanes + j * 16, t->data->folded + j, end - j, lane_sums);
        for (int o = 0; o < ORTANTS; o++) {
            for (int c = 0; c < 16; c++) sums[o][c] += lane_sums[o][c];
        }
        j = end;
    }
    for (int c = 0; c < 16; c++) {
        for (int o = 0; o < ORTANTS; o++) counters[c * ORTANTS + o] = sums[o][c];
    }
    update_folded_maxima(corners, 16, t, counters, max_alpha);
    return true;
}

// Scans the task's corners group by group with one of the folded scans.
static void* folded_kernel(Task* t, GroupScan scan, int group) {
    uint64_t* max_alpha = alloc_maxima(1);
    // 64-bit counters, then room for as many 32-bit ones.
    int64_t* counters = (int64_t*)malloc(group * t->data->orthants * (sizeof(int64_t) + sizeof(int32_t)));
    if (!max_alpha || !counters) {
        free(max_alpha);
        free(counters);
        report_worker_error("out of memory error - max_diff[counters]");
        return NULL;
    }
    for (uint64_t i = t->from; i < t->to && keep_running(); i += group) {
        uint64_t corners[MAX_CORNER_GROUP];
        for (int c = 0; c < group; c++) corners[c] = std::min(i + c, t->to - 1);
        if (!scan(corners, t, counters, max_alpha)) break;
        progress_add(std::min<uint64_t>(group, t->to - i));
    }
    free(counters);
    return max_alpha;
}

static void* lanes_kernel(Task* t) {
    switch (t->data->d) {
        case 1: return folded_kernel(t, scan_lane_group<1>, 16);
        case 2: return folded_kernel(t, scan_lane_group<2>, 16);
        case 3: return folded_kernel(t, scan_lane_group<3>, 16);
        default: return folded_kernel(t, scan_lane_group<4>, 16);
    }
}

template <typename Counter>
static void* packed_kernel_with(Task* t) {
    switch (16 / t->data->d) {
        case 16: return folded_kernel(t, scan_packed_group<16, Counter>, 32);
        case 8: return folded_kernel(t, scan_packed_group<8, Counter>, 16);
        case 5: return folded_kernel(t, scan_packed_group<5, Counter>, 10);
        case 4: return folded_kernel(t, scan_packed_group<4, Counter>, 8);
        case 3: return folded_kernel(t, scan_packed_group<3, Counter>, 6);
        case 2: return folded_kernel(t, scan_packed_group<2, Counter>, 4);
        default: return folded_kernel(t, scan_packed_group<1, Counter>, 2);
    }
}

static void* packed_kernel(Task* t) {
    return narrow_flush_period(t->data) ? packed_kernel_with<int32_t>(t) : packed_kernel_with<int64_t>(t);
}

// Several labellings and no histogram, when size_x * size_y fits a signed
// 32-bit word: each point's multiplicities under the labellings fold into one
// row of weights size_y * cx - size_x * cy (the loader's labelling_weights),
// which is added to the row of its orthant in a table of 32-bit differences
// per corner. Every partial sum stays within size_x * size_y of zero. A group
// of corners shares each pass over the points: the group's orthant of every
// point is found once, then the weights are added a chunk of labellings at a
// time, so that the group's tables stay in the first-level cache and each
// row of weights is read once for the whole group.
constexpr int MAX_LABELLING_GROUP = 32;

static inline int labelling_group(uint64_t orthants, uint64_t samples) {
    const uint64_t width = std::min(LABELLING_CHUNK, (samples + 7) / 8 * 8);
    const uint64_t table_bytes = orthants * width * sizeof(int32_t);
    return (int)std::max<uint64_t>(1, std::min<uint64_t>(MAX_LABELLING_GROUP, (24 << 10) / table_bytes));
}

// Eight 32-bit lanes, at any 4-byte boundary: one 256-bit register in the
// vector builds, two 128-bit ones in the portable build.
typedef int32_t Lanes8 __attribute__((vector_size(32), aligned(4)));

// Adds each point's row of weights to its orthant's row in the group's
// tables, for a chunk of `width` labellings (a multiple of 8; WIDTH when it
// is not 0). The row of weights is held in registers across the group.
template <uint64_t WIDTH>
static inline KERNEL_TARGET bool add_group_weights(const DataSet* s, const uint16_t* bins, int group, uint64_t first,
                                                   uint64_t width, int32_t* differences) {
    const uint64_t n = s->n, table = s->orthants * width, mask = poll_mask(group * width);
    const int32_t* block = s->labelling_weights + n * first;
    for (uint64_t j = 0; j < n; j++) {
        if ((j & mask) == 0 && !keep_running()) return false;
        const Lanes8* weights = (const Lanes8*)(block + j * width);
        const uint16_t* bin = bins + j * group;
        if constexpr (WIDTH != 0) {
            Lanes8 w[WIDTH / 8];
            for (uint64_t v = 0; v < WIDTH / 8; v++) w[v] = weights[v];
            for (int c = 0; c < group; c++) {
                Lanes8* row = (Lanes8*)(differences + c * table + bin[c] * WIDTH);
                for (uint64_t v = 0; v < WIDTH / 8; v++) row[v] += w[v];
            }
        } else {
            for (int c = 0; c < group; c++) {
                Lanes8* row = (Lanes8*)(differences + c * table + bin[c] * width);
                for (uint64_t v = 0; v < width / 8; v++) row[v] += weights[v];
            }
        }
    }
    return true;
}

// Returns false when interrupted; the maxima then miss this group.
template <int BLOCKS>
static KERNEL_TARGET bool scan_corners_labellings(const uint64_t* corners, int group, Task* t, uint16_t* bins,
                                                  int32_t* differences, uint64_t* max_alpha) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, n = s->n, orthants = s->orthants;
    uint64_t* max_beta = max_alpha + samples;
    // The group's orthant of every point, point-major.
    const uint64_t mask = poll_mask(group);
    for (uint64_t j = 0; j < n; j++) {
        if ((j & mask) == 0 && !keep_running()) return false;
        for (int c = 0; c < group; c++) {
            uint64_t bin, i = corners[c];
            calculate_bin<BLOCKS>(i, j, bin, t);
            bins[j * group + c] = (uint16_t)bin;
        }
    }
    for (uint64_t first = 0; first < samples; first += LABELLING_CHUNK) {
        const uint64_t chunk = std::min(LABELLING_CHUNK, samples - first), width = (chunk + 7) / 8 * 8;
        const uint64_t table = orthants * width;
        memset(differences, 0, group * table * sizeof(int32_t));
        const bool added = width == LABELLING_CHUNK
                               ? add_group_weights<LABELLING_CHUNK>(s, bins, group, first, width, differences)
                               : add_group_weights<0>(s, bins, group, first, width, differences);
        if (!added) return false;
        for (int c = 0; c < group; c++) {
            const uint32_t* corner_x = s->counts_x + corners[c] * samples + first;
            const uint32_t* corner_y = s->counts_y + corners[c] * samples + first;
            for (uint64_t o = 0; o < orthants; o++) {
                const int32_t* row = differences + c * table + o * width;
                if (first == 0) {
                    raise_observed(max_alpha, samples, corner_x[0] != 0, corner_y[0] != 0,
                                   (uint64_t)(row[0] < 0 ? -(int64_t)row[0] : (int64_t)row[0]), corners[c], o, row[0] > 0);
                }
                for (uint64_t k = first == 0; k < chunk; k++) {
                    const uint64_t alpha = (uint64_t)(row[k] < 0 ? -(int64_t)row[k] : (int64_t)row[k]);
                    if (max_alpha[first + k] < alpha && corner_x[k] != 0) max_alpha[first + k] = alpha;
                    if (max_beta[first + k] < alpha && corner_y[k] != 0) max_beta[first + k] = alpha;
                }
            }
        }
    }
    return true;
}

template <int BLOCKS>
static void* labellings_kernel(Task* t) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, orthants = s->orthants;
    const int group = labelling_group(orthants, samples);
    const uint64_t width = std::min(LABELLING_CHUNK, (samples + 7) / 8 * 8);
    uint64_t* max_alpha = alloc_maxima(samples);
    uint16_t* bins = (uint16_t*)malloc((s->n ? s->n : 1) * group * sizeof(uint16_t));
    int32_t* differences = (int32_t*)malloc(group * orthants * width * sizeof(int32_t));
    if (!max_alpha || !bins || !differences) {
        free(max_alpha);
        free(bins);
        free(differences);
        report_worker_error("out of memory error - max_diff[differences]");
        return NULL;
    }
    for (uint64_t i = t->from; i < t->to && keep_running(); i += group) {
        uint64_t corners[MAX_LABELLING_GROUP];
        for (int c = 0; c < group; c++) corners[c] = std::min(i + c, t->to - 1);
        if (!scan_corners_labellings<BLOCKS>(corners, group, t, bins, differences, max_alpha)) break;
        progress_add(std::min<uint64_t>(group, t->to - i));
    }
    free(bins);
    free(differences);
    return max_alpha;
}

// Dense kernel: for every corner of the task, counts both samples in all 2^d
// orthants and raises the per-labelling maxima. The general path when
// n >= 2^d, so its tables are never larger than the data set's count tables.
template <int BLOCKS>
static KERNEL_TARGET void* dense_kernel(Task* t) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, n = s->n, orthants = s->orthants;
    size_t table_bytes;
    uint64_t* x_cap_ortant = NULL;
    if (!__builtin_mul_overflow(orthants, samples * sizeof(uint64_t), &table_bytes)) {
        x_cap_ortant = (uint64_t*)malloc(table_bytes);
    }
    if (!x_cap_ortant) {
        report_worker_error("out of memory error - max_diff[x_cap_ortant]");
        return NULL;
    }
    uint64_t* y_cap_ortant = (uint64_t*)malloc(table_bytes);
    if (!y_cap_ortant) {
        free(x_cap_ortant);
        report_worker_error("out of memory error - max_diff[y_cap_ortant]");
        return NULL;
    }
    uint64_t* max_alpha = alloc_maxima(samples);
    if (!max_alpha) {
        free(x_cap_ortant);
        free(y_cap_ortant);
        report_worker_error("out of memory error - max_diff[max_alpha]");
        return NULL;
    }
    const uint32_t* counts_x = s->counts_x;
    const uint32_t* counts_y = s->counts_y;
    const uint64_t mask = poll_mask(2 * samples * ORTHANT_BATCH);
    uint64_t bins[ORTHANT_BATCH];
    for (uint64_t i = t->from; i < t->to && keep_running(); i++) {
        memset(x_cap_ortant, 0, table_bytes);
        memset(y_cap_ortant, 0, table_bytes);
        bool abandoned = false;
        for (uint64_t first = 0; first < n; first += ORTHANT_BATCH) {
            if (((first / ORTHANT_BATCH) & mask) == 0 && !keep_running()) {
                abandoned = true;
                break;
            }
            const uint64_t batch = std::min(ORTHANT_BATCH, n - first);
            for (uint64_t b = 0; b < batch; b++) {
                uint64_t j = first + b;
                calculate_bin<BLOCKS>(i, j, bins[b], t);
            }
            for (uint64_t b = 0; b < batch; b++) {
                const uint64_t j = first + b;
                add_counts(x_cap_ortant + bins[b] * samples, y_cap_ortant + bins[b] * samples,
                           counts_x + j * samples, counts_y + j * samples, samples);
            }
        }
        if (abandoned) break;
        for (uint64_t o = 0; o < orthants; o++) {
            update_maxima(x_cap_ortant + o * samples, y_cap_ortant + o * samples, counts_x + i * samples,
                          counts_y + i * samples, s->size_x, s->size_y, samples, i, o, max_alpha);
        }
        if (t->options->calculate_binomial_significance) {
            significance_push(i, x_cap_ortant, &t->runtime->significance, s);
        }
        progress_add(1);
    }
    free(x_cap_ortant);
    free(y_cap_ortant);
    return max_alpha;
}

// A kernel body compiled for one number of blocks per point, 0 to 4.
typedef void* (*KernelBody)(Task*);

// Runs the body compiled for the data set's number of blocks per point. Each
// thread works on private copies of its task and of the record: nothing the
// kernel stores can alias them, so their fields stay in registers.
static void* run_kernel(void* vargp, const KernelBody bodies[5]) {
    const DataSet data = *((Task*)vargp)->data;
    Task task = *(Task*)vargp;
    task.data = &data;
    return bodies[std::min<uint64_t>(data.vector_blocks, 4)](&task);
}

void* max_diff_from_counts(void* vargp) {
    static const KernelBody bodies[5] = {dense_kernel<0>, dense_kernel<1>, dense_kernel<2>, dense_kernel<3>,
                                         dense_kernel<4>};
    return run_kernel(vargp, bodies);
}

static void* max_diff_lanes(void* vargp) {
    static const KernelBody bodies[5] = {lanes_kernel, lanes_kernel, lanes_kernel, lanes_kernel, lanes_kernel};
    return run_kernel(vargp, bodies);
}

static void* max_diff_packed(void* vargp) {
    static const KernelBody bodies[5] = {packed_kernel, packed_kernel, packed_kernel, packed_kernel, packed_kernel};
    return run_kernel(vargp, bodies);
}

static void* max_diff_labellings(void* vargp) {
    static const KernelBody bodies[5] = {labellings_kernel<0>, labellings_kernel<1>, labellings_kernel<2>,
                                         labellings_kernel<3>, labellings_kernel<4>};
    return run_kernel(vargp, bodies);
}

// Single-labelling path of the sparse kernel: the occupied orthants of a
// corner are found with an open-addressing hash table instead of a sort, each
// slot holding an orthant index and the sum of the folded weights of its
// points, side by side so that a probe reads one cache line. The table has at
// least four times as many slots as there are points, which keeps collisions,
// and so mispredicted probe loops, rare; `touched` lists the slots in use, so
// a corner clears only what it filled. Keys are an orthant index or EMPTY,
// which no index reaches (indices stay below 2^63). The table outgrows the
// nearest caches, so every build computes the orthants of a batch of points
// and prefetches their slots before probing them, and prefetches the touched
// slots some way ahead of the one read.
constexpr uint64_t EMPTY = UINT64_MAX;
constexpr uint64_t PROBE_BATCH = 64;
constexpr uint64_t READ_AHEAD = 16;

struct OrthantSlot {
    uint64_t key;
    int64_t sum;
};

template <int BLOCKS>
static KERNEL_TARGET void sparse_scan_folded(Task* t, OrthantSlot* slots, uint64_t* touched, int slot_bits,
                                             uint64_t* max_alpha) {
    const DataSet* s = t->data;
    const int64_t* weight = s->folded;
    const uint64_t n = s->n, slot_mask = ((uint64_t)1 << slot_bits) - 1, mask = poll_mask(8 * PROBE_BATCH);
    uint64_t bins[PROBE_BATCH], homes[PROBE_BATCH];
    for (uint64_t i = t->from; i < t->to && keep_running(); i++) {
        uint64_t used = 0;
        bool abandoned = false;
        for (uint64_t first = 0; first < n; first += PROBE_BATCH) {
            if (((first / PROBE_BATCH) & mask) == 0 && !keep_running()) {
                abandoned = true;
                break;
            }
            const uint64_t batch = std::min(PROBE_BATCH, n - first);
            for (uint64_t b = 0; b < batch; b++) {
                uint64_t j = first + b;
                calculate_bin<BLOCKS>(i, j, bins[b], t);
                homes[b] = (bins[b] * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits);
                __builtin_prefetch(slots + homes[b], 1);
            }
            for (uint64_t b = 0; b < batch; b++) {
                const uint64_t bin = bins[b];
                uint64_t slot = homes[b];
                while (slots[slot].key != bin && slots[slot].key != EMPTY) slot = (slot + 1) & slot_mask;
                if (slots[slot].key == EMPTY) {
                    slots[slot].key = bin;
                    slots[slot].sum = weight[first + b];
                    touched[used++] = slot;
                } else {
                    slots[slot].sum += weight[first + b];
                }
            }
        }
        const bool in_x = s->counts_x[i] != 0, in_y = s->counts_y[i] != 0;
        for (uint64_t u = 0; u < used; u++) {
            if (u + READ_AHEAD < used) __builtin_prefetch(slots + touched[u + READ_AHEAD], 1);
            OrthantSlot* slot = slots + touched[u];
            const uint64_t alpha = slot->sum < 0 ? -(uint64_t)slot->sum : (uint64_t)slot->sum;
            if (!abandoned) raise_observed(max_alpha, 1, in_x, in_y, alpha, i, slot->key, slot->sum > 0);
            slot->key = EMPTY;
        }
        if (abandoned) break;
        progress_add(1);
    }
}

template <int BLOCKS>
static void* hashed_kernel(Task* t) {
    const uint64_t n = t->data->n ? t->data->n : 1;
    int slot_bits = 1;
    while (((uint64_t)1 << slot_bits) < 4 * n) slot_bits++;
    const uint64_t slot_no = (uint64_t)1 << slot_bits;
    uint64_t* max_alpha = alloc_maxima(1);
    OrthantSlot* slots = (OrthantSlot*)malloc(slot_no * sizeof(OrthantSlot));
    uint64_t* touched = (uint64_t*)malloc(n * sizeof(uint64_t));
    if (!max_alpha || !slots || !touched) {
        free(max_alpha);
        free(slots);
        free(touched);
        report_worker_error("out of memory error - max_diff[slots]");
        return NULL;
    }
    for (uint64_t k = 0; k < slot_no; k++) slots[k].key = EMPTY;
    sparse_scan_folded<BLOCKS>(t, slots, touched, slot_bits, max_alpha);
    free(slots);
    free(touched);
    return max_alpha;
}

static void* max_diff_hashed(void* vargp) {
    static const KernelBody bodies[5] = {hashed_kernel<0>, hashed_kernel<1>, hashed_kernel<2>, hashed_kernel<3>,
                                         hashed_kernel<4>};
    return run_kernel(vargp, bodies);
}

// Sparse kernel: the same maxima without 2^d tables. Sorts the points by
// their orthant index around each corner and walks the runs of equal indices,
// each run being one occupied orthant; empty orthants cannot raise a maximum.
template <int BLOCKS>
static KERNEL_TARGET void* sparse_kernel(Task* t) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, n = s->n;
    uint64_t* x_cap_ortant = (uint64_t*)malloc(samples * sizeof(uint64_t));
    if (!x_cap_ortant) {
        report_worker_error("out of memory error - max_diff[x_cap_ortant]");
        return NULL;
    }
    uint64_t* y_cap_ortant = (uint64_t*)malloc(samples * sizeof(uint64_t));
    if (!y_cap_ortant) {
        free(x_cap_ortant);
        report_worker_error("out of memory error - max_diff[y_cap_ortant]");
        return NULL;
    }
    uint64_t* max_alpha = alloc_maxima(samples);
    if (!max_alpha) {
        free(x_cap_ortant);
        free(y_cap_ortant);
        report_worker_error("out of memory error - max_diff[max_alpha]");
        return NULL;
    }
    BinStruct* unique_bins = (BinStruct*)malloc((n ? n : 1) * sizeof(BinStruct));
    if (!unique_bins) {
        free(x_cap_ortant);
        free(y_cap_ortant);
        free(max_alpha);
        report_worker_error("out of memory error - max_diff[unique_bins]");
        return NULL;
    }
    const uint32_t* counts_x = s->counts_x;
    const uint32_t* counts_y = s->counts_y;
    SignificanceRuntime* significance = &t->runtime->significance;
    for (uint64_t i = t->from; i < t->to && keep_running(); i++) {
        bool abandoned = false;
        for (uint64_t j = 0; j < n; j++) {
            if (!keep_running()) {
                abandoned = true;
                break;
            }
            calculate_bin<BLOCKS>(i, j, unique_bins[j].bin, t);
            unique_bins[j].index = j;
        }
        if (abandoned) break;
        std::stable_sort(unique_bins, unique_bins + n);
        for (uint64_t l = 0; l < n;) {
            const uint64_t bin = unique_bins[l].bin;
            uint64_t j = unique_bins[l].index;
            for (uint64_t k = 0; k < samples; k++) {
                x_cap_ortant[k] = counts_x[j * samples + k];
                y_cap_ortant[k] = counts_y[j * samples + k];
            }
            for (l++; l < n && unique_bins[l].bin == bin; l++) {
                j = unique_bins[l].index;
                add_counts(x_cap_ortant, y_cap_ortant, counts_x + j * samples, counts_y + j * samples,
                           samples);
            }
            update_maxima(x_cap_ortant, y_cap_ortant, counts_x + i * samples, counts_y + i * samples,
                          s->size_x, s->size_y, samples, i, bin, max_alpha);
        }
        if (t->options->calculate_binomial_significance) {
            // Occupied orthants add the corner's weight under their own count;
            // the empty ones, at least one since n < 2^d, add it under key 0.
            const uint64_t i_count = (uint64_t)counts_x[i * samples] + counts_y[i * samples];
            pthread_mutex_lock(&significance->mutex);
            uint64_t zeros = s->orthants;
            for (uint64_t l = 0; l < n;) {
                const uint64_t bin = unique_bins[l].bin;
                uint64_t true_in_orthant = 0;
                for (; l < n && unique_bins[l].bin == bin; l++) {
                    true_in_orthant += counts_x[unique_bins[l].index * samples];
                }
                zeros--;
                significance_add(significance, true_in_orthant, i_count);
            }
            significance_add(significance, 0, i_count * zeros);
            pthread_mutex_unlock(&significance->mutex);
        }
        progress_add(1);
    }
    free(x_cap_ortant);
    free(y_cap_ortant);
    free(unique_bins);
    return max_alpha;
}

void* max_diff_from_counts_sparse(void* vargp) {
    static const KernelBody bodies[5] = {sparse_kernel<0>, sparse_kernel<1>, sparse_kernel<2>, sparse_kernel<3>,
                                         sparse_kernel<4>};
    return run_kernel(vargp, bodies);
}

// The thread entry point of each scan path that splits the corners over
// threads (every path but dominance, which splits its own work).
static void* (*scan_entry(ScanPath path))(void*) {
    switch (path) {
        case SCAN_SPARSE: return max_diff_from_counts_sparse;
        case SCAN_LANES: return max_diff_lanes;
        case SCAN_PACKED: return max_diff_packed;
        case SCAN_LABELLINGS: return max_diff_labellings;
        case SCAN_HASHED: return max_diff_hashed;
        default: return max_diff_from_counts;
    }
}

// The histogram's keys are first-sample counts, 0 to size_x.
void init_runtime(Runtime* r, const DataSet* d) { significance_init_runtime(&r->significance, d->size_x + 1); }

// The units a computation splits into: corners for the scans of all pairs,
// labellings for the dominance counts, which visit every corner at once.
static uint64_t work_units(const DataSet* d, const Options* options) {
    return options->scan == SCAN_DOMINANCE ? d->samples : d->n;
}

// The scans split a block of corners into shares, several per thread, which
// the threads claim in turn: a thread held up (by other work on the machine,
// say) leaves its later shares to the others. Shares hold whole multiples of
// SHARE_GRANULE corners where there are enough, so that the kernels that take
// corners a group at a time fill their groups.
constexpr uint64_t SHARES_PER_THREAD = 8, SHARE_GRANULE = 64;

struct ShareQueue {
    Task* tasks;
    uint64_t count;
    uint64_t next;         // the next share to claim
    void* (*kernel)(void*);
    uint64_t samples;
    bool failed;           // a kernel returned no maxima
};

struct ShareWorker {
    ShareQueue* queue;
    uint64_t* maxima;      // the worker's shares, merged
};

// Worker t's part: shares claimed until none is left.
static void run_shares(void* vargp, uint32_t t) {
    ShareWorker* worker = (ShareWorker*)vargp + t;
    ShareQueue* queue = worker->queue;
    while (keep_running() && !__atomic_load_n(&queue->failed, __ATOMIC_RELAXED)) {
        const uint64_t k = __atomic_fetch_add(&queue->next, 1, __ATOMIC_RELAXED);
        if (k >= queue->count) break;
        uint64_t* share = (uint64_t*)queue->kernel(&queue->tasks[k]);
        if (!share) {
            __atomic_store_n(&queue->failed, true, __ATOMIC_RELAXED);
            break;
        }
        merge_maxima(worker->maxima, share, queue->samples);
        free(share);
    }
}

// The partial result of the block of units [from, to): the corners' maxima
// for the scans, which split the block into shares, run the chosen kernel on
// each and merge the returned maxima element by element;
// the block's labellings for the dominance counts. The histogram part goes to
// the runtime. Returns null on failure, with the message in error_buffer.
uint64_t* run_workers(Options* options, const DataSet* d, Runtime* r, uint64_t from, uint64_t to) {
    const uint32_t T = options->thread_no;
    if (options->scan == SCAN_DOMINANCE) {
        uint64_t* max_alpha = alloc_maxima(d->samples);
        if (!max_alpha) {
            report_worker_error("out of memory error - run_workers[max_alpha]");
            return NULL;
        }
        SignificanceRuntime* significance = options->calculate_binomial_significance ? &r->significance : NULL;
        if (dominance_block_maxima(d, T, significance, from, to, max_alpha) != 0) {
            free(max_alpha);
            return NULL;
        }
        return max_alpha;
    }
    void* (*kernel)(void*) = scan_entry(options->scan);
    const uint64_t units = to - from;
    const uint32_t threads = (uint32_t)std::max<uint64_t>(1, std::min<uint64_t>(T, units));
    const uint64_t count = threads == 1 ? 1 : std::max<uint64_t>(threads, std::min<uint64_t>(
        (uint64_t)threads * SHARES_PER_THREAD, (units + SHARE_GRANULE - 1) / SHARE_GRANULE));
    ShareQueue queue = {(Task*)malloc(sizeof(Task) * count), count, 0, kernel, d->samples, false};
    ShareWorker* workers = (ShareWorker*)calloc(threads, sizeof(ShareWorker));
    uint64_t* max_alpha = alloc_maxima(d->samples);
    bool ok = queue.tasks && workers && max_alpha;
    for (uint32_t i = 0; ok && i < threads; i++) {
        workers[i].queue = &queue;
        ok = (workers[i].maxima = alloc_maxima(d->samples)) != NULL;
    }
    if (!ok) {
        if (workers) {
            for (uint32_t i = 0; i < threads; i++) free(workers[i].maxima);
        }
        free(queue.tasks);
        free(workers);
        free(max_alpha);
        report_worker_error("out of memory error - run_workers[shares]");
        return NULL;
    }
    const bool granular = count * SHARE_GRANULE <= units;
    for (uint64_t k = 0; k < count; k++) {
        uint64_t first = units * k / count, end = units * (k + 1) / count;
        if (granular) {
            first -= first % SHARE_GRANULE;
            if (k + 1 < count) end -= end % SHARE_GRANULE;
        }
        queue.tasks[k] = {from + first, from + end, d, options, r};
    }
    progress_start(units);
    // A worker whose thread cannot be had runs after the others and finds
    // the queue empty: its shares went to them.
    run_parallel(threads, run_shares, workers);
    const bool error = queue.failed;
    for (uint32_t i = 0; i < threads; i++) {
        merge_maxima(max_alpha, workers[i].maxima, d->samples);
        free(workers[i].maxima);
    }
    free(queue.tasks);
    free(workers);
    if (error) {
        free(max_alpha);
        return NULL;
    }
    return max_alpha;
}

// The raw statistic of one labelling: the larger directional maximum, or
// their mean.
static inline double combine_alpha_beta(uint64_t alpha, uint64_t beta, const Options* options) {
    if (options->max_alpha_beta) return (double)std::max(alpha, beta);
    return ((double)alpha + (double)beta) * 0.5;
}

// Turns the merged result array of all units into the test result: the
// statistic, its location and the permutation significance, and, when
// `significance` is not null, the binomial significance from its histogram.
// Returns 0, or 1 with the message in error_buffer.
static int finish_test(TestResult* res, const DataSet* d, const Options* options, const uint64_t* alphas_append_betas,
                       SignificanceRuntime* significance) {
    const uint64_t samples = d->samples;
    const uint64_t alpha = alphas_append_betas[0], beta = alphas_append_betas[samples];
    const double xy = (double)d->size_x * (double)d->size_y;
    const double ab = combine_alpha_beta(alpha, beta, options);
    res->value = ab / xy;
    // The binomial significance compares against the unscaled larger maximum,
    // whatever max_alpha_beta says.
    const double D = (double)std::max(alpha, beta) / xy;
    res->statistic_x = (double)alpha / xy;
    res->statistic_y = (double)beta / xy;
    // The larger half's location; among equal halves the first corner.
    const uint64_t* where_x = alphas_append_betas + 2 * samples;
    const uint64_t* where_y = where_x + 3;
    const bool in_y = beta > alpha || (beta == alpha && (where_y[0] < where_x[0] ||
                                                         (where_y[0] == where_x[0] && where_y[1] < where_x[1])));
    const uint64_t* where = in_y ? where_y : where_x;
    res->location_row = where[0] == UINT64_MAX ? UINT64_MAX : d->origin[where[0]];
    res->location_orthant = where[1];
    res->location_positive = where[2] != 0;
    res->location_in_y = in_y;
    const double scale = options->scale_result ? sqrt(((double)d->size_x + (double)d->size_y) / xy) : 1.0;
    if (options->scale_result) res->value = res->value * scale;
    res->null_distribution = NULL;
    if (options->details && samples > 1) {
        res->null_distribution = (double*)malloc((samples - 1) * sizeof(double));
        if (!res->null_distribution) {
            report_worker_error("out of memory error - run_test[null_distribution]");
            return 1;
        }
        for (uint64_t k = 1; k < samples; k++) {
            const double raw = combine_alpha_beta(alphas_append_betas[k], alphas_append_betas[samples + k], options);
            res->null_distribution[k - 1] = options->scale_result ? raw / xy * scale : raw / xy;
        }
    }
    if (samples < 2) {
        res->permutation_significance = -1.0;
    } else {
        // Ties count: a labelling as extreme as the observed one is evidence too.
        uint64_t sig = 0;
        for (uint64_t k = 1; k < samples; k++) {
            if (combine_alpha_beta(alphas_append_betas[k], alphas_append_betas[samples + k], options) >= ab) sig++;
        }
        res->permutation_significance = sig / (double)(samples - 1);
    }
    res->binomial_significance = -1.0;
    if (significance) {
        res->binomial_significance = significance_finalize(D, d, options, significance);
        if (res->binomial_significance == -1.0) {
            free(res->null_distribution);
            res->null_distribution = NULL;
            return 1;
        }
    }
    return 0;
}

int run_test(TestResult* res, const DataSet* d, Options* options) {
    Runtime runtime;
    const bool binomial = options->calculate_binomial_significance;
    if (binomial) init_runtime(&runtime, d);
    uint64_t* alphas_append_betas = run_workers(options, d, &runtime, 0, work_units(d, options));
    int status = 1;
    if (alphas_append_betas) {
        status = finish_test(res, d, options, alphas_append_betas, binomial ? &runtime.significance : NULL);
        free(alphas_append_betas);
    }
    if (binomial) significance_clear_runtime(&runtime.significance);
    return status;
}

// Only clears the flag: the kernels and significance workers of the
// main thread's call stop at their next poll and the call reports the
// interruption.
void intHandler(int dummy) {
    (void)dummy;
    set_keep_running(0);
}

// Computations share error_buffer and the stop sources, so calls from several
// interpreter threads take turns. The lock is taken only after the
// interpreter lock is released, so a waiting call never blocks the
// interpreter.
static pthread_mutex_t computation_mutex = PTHREAD_MUTEX_INITIALIZER;

// The dict result of details=True: the statistic with its directional parts,
// the p-values (-1.0 when not computed), the scan path, and where the
// statistic is reached: the corner's row and its array, the orthant's bits
// (set where the orthant lies strictly below the corner), the sign of the
// difference of shares (+1 when the first sample's share is the larger) and
// which sample's corners reach it; with resampled labellings, their
// statistics as "null_distribution".
static PyObject* details_dict(const TestResult* res, const Options* options, uint64_t rvs_rows,
                              uint64_t resampled) {
    PyObject* dict = Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:s}", "statistic", res->value, "statistic_x",
                                   res->statistic_x, "statistic_y", res->statistic_y, "binomial_significance",
                                   res->binomial_significance, "permutation_significance",
                                   res->permutation_significance, "scan", scan_path_names[options->scan]);
    if (dict && res->null_distribution) {
        PyObject* null = PyList_New((Py_ssize_t)resampled);
        for (uint64_t k = 0; null && k < resampled; k++) {
            PyObject* value = PyFloat_FromDouble(res->null_distribution[k]);
            if (!value) Py_CLEAR(null);
            else PyList_SET_ITEM(null, (Py_ssize_t)k, value);
        }
        if (!null || PyDict_SetItemString(dict, "null_distribution", null) != 0) Py_CLEAR(dict);
        Py_XDECREF(null);
    }
    if (!dict || res->location_row == UINT64_MAX) return dict;
    const bool in_rvs = res->location_row < rvs_rows;
    PyObject* location =
        Py_BuildValue("{s:K,s:s,s:K,s:i,s:s}", "location_row",
                      (unsigned long long)(in_rvs ? res->location_row : res->location_row - rvs_rows),
                      "location_array", in_rvs ? "rvs" : "cdf", "location_orthant",
                      (unsigned long long)res->location_orthant, "location_sign", res->location_positive ? 1 : -1,
                      "location_corners", res->location_in_y ? "cdf" : "rvs");
    if (!location || PyDict_Update(dict, location) != 0) {
        Py_XDECREF(location);
        Py_DECREF(dict);
        return NULL;
    }
    Py_DECREF(location);
    return dict;
}

// The interpreter runs signal handlers only on its main thread; only calls
// made there take SIGINT and SIGALRM for themselves.
static unsigned long main_thread_ident;

// A child forked while another thread computes inherits the locks in the
// state that thread left them; the child starts afresh instead, on the
// thread that forked, which the interpreter makes its main thread.
static void reset_after_fork() {
    pthread_mutex_init(&computation_mutex, NULL);
    reset_common_state_after_fork();
    main_thread_ident = PyThread_get_thread_ident();
}

// Puts back the handlers that install_signal_handlers replaced.
struct SavedHandlers {
    void (*sigint)(int);
    void (*sigalrm)(int);
};

static void restore_signal_handlers(const SavedHandlers* saved) {
    signal(SIGALRM, saved->sigalrm);
    signal(SIGINT, saved->sigint);
}

// Installs intHandler for the main thread's call, with the interpreter lock
// still held. A signal that came before the installation was recorded by the
// interpreter, so the signals it holds are run before and after: a signal at
// any moment ends the call, with the interpreter's exception up to here and
// "Interrupted by signal" from here on. Returns -1 with that exception set.
static int install_signal_handlers(SavedHandlers* saved) {
    if (PyErr_CheckSignals() != 0) return -1;
    set_keep_running(1);
    saved->sigint = signal(SIGINT, intHandler);
    saved->sigalrm = signal(SIGALRM, intHandler);
    if (PyErr_CheckSignals() != 0) {
        restore_signal_handlers(saved);
        return -1;
    }
    return 0;
}

static PyObject* tessarin_test(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    DataSet d;
    Options options;
    TestResult res;
    if (load_data(&d, &options, args, kwargs, false) != 0) {
        release_large_cache();
        return NULL;
    }
    const bool on_main_thread = PyThread_get_thread_ident() == main_thread_ident;
    SavedHandlers saved = {SIG_DFL, SIG_DFL};
    if (on_main_thread && install_signal_handlers(&saved) != 0) {
        free_data(&d, &options);
        return NULL;
    }
    unsigned char* cancel = options.cancel.obj ? (unsigned char*)options.cancel.buf : NULL;

    int status;
    bool interrupted, cancelled;
    char message[ERROR_BUFFER_SIZE];
    Py_BEGIN_ALLOW_THREADS;
    pthread_mutex_lock(&computation_mutex);
    stop_sources = {on_main_thread ? &keepRunning : NULL, cancel};
    reset_worker_error();
    status = run_test(&res, &d, &options);
    interrupted = on_main_thread && !__atomic_load_n(&keepRunning, __ATOMIC_RELAXED);
    cancelled = flag_cancelled(cancel);
    stop_sources = {NULL, NULL};
    read_error_message(message);
    pthread_mutex_unlock(&computation_mutex);
    if (on_main_thread) restore_signal_handlers(&saved);
    Py_END_ALLOW_THREADS;

    const uint64_t rvs_rows = d.rvs_rows, resampled = d.samples - 1;
    free_data(&d, &options);
    if (status == 0 && (interrupted || cancelled || !options.details)) {
        free(res.null_distribution);
        res.null_distribution = NULL;
    }
    if (interrupted || cancelled) {
        const char* reason = interrupted ? "Interrupted by signal" : "Cancelled by the caller";
        store_error_message(reason);
        PyErr_SetString(PyExc_RuntimeError, reason);
        return NULL;
    }
    if (status != 0) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return NULL;
    }
    const bool binomial = options.calculate_binomial_significance;
    const bool permutation = options.permutation_significance != 0;
    if (options.details) {
        PyObject* dict = details_dict(&res, &options, rvs_rows, resampled);
        free(res.null_distribution);
        return dict;
    }
    if (binomial && permutation) {
        return Py_BuildValue("(d,d,d)", res.value, res.binomial_significance, res.permutation_significance);
    }
    if (binomial) return Py_BuildValue("(d,d)", res.value, res.binomial_significance);
    if (permutation) return Py_BuildValue("(d,d)", res.value, res.permutation_significance);
    return Py_BuildValue("d", res.value);
}

// ---------------------------------------------------------------------------
// A test in parts, for computations spread over several processes or
// machines: `prepare` loads a data set once, `partial` computes the partial
// result of a block of units (corners, or labellings for the dominance
// counts) with every labelling, `merge` combines two partial results and
// `finish` turns the merged result of all units into what `test` returns
// with details=True. A partial result is a tuple of three uint64 arrays: the
// result array of the kernels (2 x samples maxima and the location words)
// and the histogram part of the binomial significance as its keys, in
// ascending order, and their summed weights. The local test call runs the
// same two pieces: run_workers for the block of all units, merge_maxima
// between its threads, and finish_test.

#define TESSARIN_STRING(name) #name
#define TESSARIN_NAME(name) TESSARIN_STRING(name)
// Each build names its prepared data sets, so one build never reads another's.
static const char* const PREPARED_NAME = "tessarin." TESSARIN_NAME(TESSARIN_MODULE) ".prepared";

// A loaded data set with the options it was loaded with.
struct PreparedTest {
    DataSet d;
    Options options;
};

static void free_prepared(PyObject* capsule) {
    PreparedTest* p = (PreparedTest*)PyCapsule_GetPointer(capsule, PREPARED_NAME);
    if (!p) {
        PyErr_Clear();
        return;
    }
    free_data(&p->d, &p->options);
    free(p);
}

static PreparedTest* prepared_from(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, PREPARED_NAME)) {
        PyErr_Format(PyExc_TypeError, "expected a data set prepared by %s.prepare", TESSARIN_NAME(TESSARIN_MODULE));
        return NULL;
    }
    return (PreparedTest*)PyCapsule_GetPointer(capsule, PREPARED_NAME);
}

static PyObject* tessarin_prepare(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    PreparedTest* p = (PreparedTest*)malloc(sizeof(PreparedTest));
    if (!p) return PyErr_NoMemory();
    const int status = load_data(&p->d, &p->options, args, kwargs, false);
    // The prepared tables stay; what loading released goes back now.
    release_large_cache();
    if (status != 0) {
        free(p);
        return NULL;
    }
    PyObject* capsule = PyCapsule_New(p, PREPARED_NAME, free_prepared);
    if (!capsule) {
        free_data(&p->d, &p->options);
        free(p);
    }
    return capsule;
}

// A 64-bit digest of everything a partial result depends on: the sizes, the
// way the units split, the coordinates, every labelling's multiplicities and
// the points' rows. Two processes that prepared the same call agree on it.
static inline uint64_t digest_words(uint64_t h, const void* words, uint64_t bytes) {
    const unsigned char* b = (const unsigned char*)words;
    for (uint64_t i = 0; i < bytes; i++) h = (h ^ b[i]) * 0x100000001B3ull;
    return h;
}

static uint64_t prepared_digest(const PreparedTest* p) {
    const DataSet* d = &p->d;
    const uint64_t head[6] = {d->n, d->d, d->samples, d->size_x, d->size_y, p->options.scan == SCAN_DOMINANCE};
    uint64_t h = digest_words(0xCBF29CE484222325ull, head, sizeof(head));
    h = digest_words(h, d->coordinates, d->n * d->d * sizeof(int32_t));
    h = digest_words(h, d->counts_x, d->n * d->samples * sizeof(uint32_t));
    h = digest_words(h, d->counts_y, d->n * d->samples * sizeof(uint32_t));
    return digest_words(h, d->origin, d->n * sizeof(uint64_t));
}

static PyObject* tessarin_describe(PyObject* self, PyObject* arg) {
    (void)self;
    const PreparedTest* p = prepared_from(arg);
    if (!p) return NULL;
    uint64_t digest;
    Py_BEGIN_ALLOW_THREADS;
    digest = prepared_digest(p);
    Py_END_ALLOW_THREADS;
    const bool dominance = p->options.scan == SCAN_DOMINANCE;
    return Py_BuildValue("{s:K,s:s,s:K,s:s,s:K,s:K,s:K}", "units", (unsigned long long)work_units(&p->d, &p->options),
                         "split", dominance ? "labellings" : "corners", "block",
                         (unsigned long long)(dominance ? DOMINANCE_BLOCK : (uint64_t)MAX_CORNER_GROUP), "scan",
                         scan_path_names[p->options.scan], "points", (unsigned long long)p->d.n, "labellings",
                         (unsigned long long)p->d.samples, "digest", (unsigned long long)digest);
}

static PyObject* uint64_array(uint64_t length) {
    const npy_intp dims[1] = {(npy_intp)length};
    return PyArray_SimpleNew(1, dims, NPY_UINT64);
}

static uint64_t* array_words(PyObject* array) { return (uint64_t*)PyArray_DATA((PyArrayObject*)array); }

// The histogram of a runtime as a partial result's keys and weights.
static int histogram_arrays(SignificanceRuntime* r, PyObject** keys, PyObject** weights) {
    if (r) {
        significance_fold_dense(r);
        if (r->failed) {
            PyErr_NoMemory();
            return 1;
        }
    }
    const uint64_t size = r ? r->m_t->size() : 0;
    *keys = uint64_array(size);
    *weights = uint64_array(size);
    if (!*keys || !*weights) {
        Py_CLEAR(*keys);
        Py_CLEAR(*weights);
        return 1;
    }
    if (r) {
        uint64_t k = 0;
        for (const auto& entry : *r->m_t) {
            array_words(*keys)[k] = entry.first;
            array_words(*weights)[k++] = entry.second;
        }
    }
    return 0;
}

// Runs `body` with the interpreter lock released and the computation lock
// held, as the test call does, but without signal handlers: these calls are
// made from the threads of a cluster's workers, where cancellation comes
// from the cluster, or from the prepared call's `cancel` flag. Raises the
// failure, if any, once the lock is back.
template <typename Body>
static int run_unlocked(const Options* options, Body body) {
    unsigned char* cancel = options->cancel.obj ? (unsigned char*)options->cancel.buf : NULL;
    int status;
    bool cancelled;
    char message[ERROR_BUFFER_SIZE];
    Py_BEGIN_ALLOW_THREADS;
    pthread_mutex_lock(&computation_mutex);
    stop_sources = {NULL, cancel};
    reset_worker_error();
    status = body();
    cancelled = flag_cancelled(cancel);
    stop_sources = {NULL, NULL};
    read_error_message(message);
    pthread_mutex_unlock(&computation_mutex);
    Py_END_ALLOW_THREADS;
    if (cancelled) {
        PyErr_SetString(PyExc_RuntimeError, "Cancelled by the caller");
        return 1;
    }
    if (status != 0) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return 1;
    }
    return 0;
}

static PyObject* tessarin_partial(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    static const char* kwlist[] = {"", "first", "end", "n_jobs", NULL};
    PyObject* capsule;
    unsigned long long first, end;
    int n_jobs = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKK|i", const_cast<char**>(kwlist), &capsule, &first, &end,
                                     &n_jobs)) {
        return NULL;
    }
    PreparedTest* p = prepared_from(capsule);
    if (!p) return NULL;
    const uint64_t units = work_units(&p->d, &p->options);
    if (first > end || end > units) {
        PyErr_Format(PyExc_ValueError, "the block [%llu, %llu) is not within the %llu units of the data set", first,
                     end, (unsigned long long)units);
        return NULL;
    }
    if (n_jobs < 0) {
        PyErr_Format(PyExc_ValueError, "n_jobs should be at least 0 (got %d)", n_jobs);
        return NULL;
    }
    // Each call runs on its own copy of the options, so calls on one prepared
    // data set may use different thread counts.
    Options options = p->options;
    if (n_jobs > 0) options.thread_no = (uint32_t)n_jobs;
    const bool binomial = options.calculate_binomial_significance;
    Runtime runtime;
    if (binomial) init_runtime(&runtime, &p->d);
    uint64_t* maxima = NULL;
    int status = run_unlocked(&options, [&]() {
        maxima = run_workers(&options, &p->d, &runtime, first, end);
        release_large_cache();
        if (maxima && binomial && runtime.significance.failed) {
            report_worker_error("out of memory error - significance_push[m_t]");
            return 1;
        }
        return maxima ? 0 : 1;
    });
    PyObject *result = NULL, *max_array = NULL, *keys = NULL, *weights = NULL;
    if (status == 0 && (max_array = uint64_array(2 * p->d.samples + LOCATION_WORDS)) &&
        histogram_arrays(binomial ? &runtime.significance : NULL, &keys, &weights) == 0) {
        memcpy(array_words(max_array), maxima, (2 * p->d.samples + LOCATION_WORDS) * sizeof(uint64_t));
        result = PyTuple_Pack(3, max_array, keys, weights);
    }
    Py_XDECREF(max_array);
    Py_XDECREF(keys);
    Py_XDECREF(weights);
    free(maxima);
    if (binomial) significance_clear_runtime(&runtime.significance);
    return result;
}

// The three arrays of a partial result, as C-contiguous uint64 arrays (new
// references), with a maxima array of a whole number of labellings.
static int partial_arrays(PyObject* partial, PyObject* arrays[3]) {
    arrays[0] = arrays[1] = arrays[2] = NULL;
    if (!PyTuple_Check(partial) || PyTuple_GET_SIZE(partial) != 3) {
        PyErr_SetString(PyExc_TypeError, "a partial result is a tuple of three uint64 arrays");
        return 1;
    }
    for (int k = 0; k < 3; k++) {
        arrays[k] = PyArray_FROMANY(PyTuple_GET_ITEM(partial, k), NPY_UINT64, 1, 1, NPY_ARRAY_CARRAY_RO);
        if (!arrays[k]) break;
    }
    if (arrays[2] && (PyArray_SIZE((PyArrayObject*)arrays[0]) < (npy_intp)(2 + LOCATION_WORDS) ||
                      (PyArray_SIZE((PyArrayObject*)arrays[0]) - LOCATION_WORDS) % 2 != 0 ||
                      PyArray_SIZE((PyArrayObject*)arrays[1]) != PyArray_SIZE((PyArrayObject*)arrays[2]))) {
        PyErr_SetString(PyExc_ValueError, "a partial result's arrays do not fit together");
        Py_CLEAR(arrays[2]);
    }
    if (!arrays[2]) {
        for (int k = 0; k < 3; k++) Py_CLEAR(arrays[k]);
        return 1;
    }
    return 0;
}

static uint64_t array_length(PyObject* array) { return (uint64_t)PyArray_SIZE((PyArrayObject*)array); }

static void release_arrays(PyObject* arrays[3]) {
    for (int k = 0; k < 3; k++) Py_XDECREF(arrays[k]);
}

// Merges two partial results: merge_maxima for the result arrays, and the
// histograms' weights summed key by key, as the scan's own histogram sums
// them (modulo 2^64).
static PyObject* tessarin_merge(PyObject* self, PyObject* args) {
    (void)self;
    PyObject *left, *right;
    if (!PyArg_ParseTuple(args, "OO", &left, &right)) return NULL;
    PyObject *a[3], *b[3];
    if (partial_arrays(left, a) != 0) return NULL;
    if (partial_arrays(right, b) != 0) {
        release_arrays(a);
        return NULL;
    }
    PyObject *result = NULL, *maxima = NULL, *keys = NULL, *weights = NULL;
    const uint64_t length = array_length(a[0]), na = array_length(a[1]), nb = array_length(b[1]);
    const uint64_t *ka = array_words(a[1]), *wa = array_words(a[2]), *kb = array_words(b[1]), *wb = array_words(b[2]);
    bool ascending = true;
    for (uint64_t i = 1; i < na; i++) ascending = ascending && ka[i - 1] < ka[i];
    for (uint64_t i = 1; i < nb; i++) ascending = ascending && kb[i - 1] < kb[i];
    if (length != array_length(b[0])) {
        PyErr_SetString(PyExc_ValueError, "partial results of different data sets cannot be merged");
    } else if (!ascending) {
        PyErr_SetString(PyExc_ValueError, "a partial result's histogram keys must be strictly ascending");
    } else {
        uint64_t merged = na + nb;
        for (uint64_t i = 0, j = 0; i < na && j < nb;) {
            if (ka[i] == kb[j]) merged--;
            if (ka[i] <= kb[j]) i++;
            else j++;
        }
        if ((maxima = uint64_array(length)) && (keys = uint64_array(merged)) && (weights = uint64_array(merged))) {
            memcpy(array_words(maxima), array_words(a[0]), length * sizeof(uint64_t));
            merge_maxima(array_words(maxima), array_words(b[0]), (length - LOCATION_WORDS) / 2);
            uint64_t *k = array_words(keys), *w = array_words(weights), i = 0, j = 0, m = 0;
            while (i < na || j < nb) {
                if (j == nb || (i < na && ka[i] < kb[j])) {
                    k[m] = ka[i];
                    w[m++] = wa[i++];
                } else if (i == na || kb[j] < ka[i]) {
                    k[m] = kb[j];
                    w[m++] = wb[j++];
                } else {
                    k[m] = ka[i];
                    w[m++] = wa[i++] + wb[j++];
                }
            }
            result = PyTuple_Pack(3, maxima, keys, weights);
        }
    }
    Py_XDECREF(maxima);
    Py_XDECREF(keys);
    Py_XDECREF(weights);
    release_arrays(a);
    release_arrays(b);
    return result;
}

// The dict of test(..., details=True) from the merged partial result of all
// units of a prepared data set.
static PyObject* tessarin_finish(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    static const char* kwlist[] = {"", "", "n_jobs", NULL};
    PyObject *capsule, *partial;
    int n_jobs = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|i", const_cast<char**>(kwlist), &capsule, &partial, &n_jobs)) {
        return NULL;
    }
    PreparedTest* p = prepared_from(capsule);
    if (!p) return NULL;
    if (n_jobs < 0) {
        PyErr_Format(PyExc_ValueError, "n_jobs should be at least 0 (got %d)", n_jobs);
        return NULL;
    }
    PyObject* arrays[3];
    if (partial_arrays(partial, arrays) != 0) return NULL;
    if (array_length(arrays[0]) != 2 * p->d.samples + LOCATION_WORDS) {
        release_arrays(arrays);
        PyErr_SetString(PyExc_ValueError, "the partial result does not belong to this data set");
        return NULL;
    }
    Options options = p->options;
    if (n_jobs > 0) options.thread_no = (uint32_t)n_jobs;
    const bool binomial = options.calculate_binomial_significance;
    Runtime runtime;
    TestResult res;
    if (binomial) {
        init_runtime(&runtime, &p->d);
        const uint64_t* keys = array_words(arrays[1]);
        const uint64_t* weights = array_words(arrays[2]);
        for (uint64_t k = 0; k < array_length(arrays[1]); k++) significance_add(&runtime.significance, keys[k], weights[k]);
    }
    const uint64_t* maxima = array_words(arrays[0]);
    // What test returns with details=True, the null distribution included.
    options.details = true;
    const int status = run_unlocked(&options, [&]() {
        return finish_test(&res, &p->d, &options, maxima, binomial ? &runtime.significance : NULL);
    });
    if (binomial) significance_clear_runtime(&runtime.significance);
    release_arrays(arrays);
    if (status != 0) return NULL;
    PyObject* dict = details_dict(&res, &options, p->d.rvs_rows, p->d.samples - 1);
    free(res.null_distribution);
    return dict;
}

// cancel(flag): sets the first byte of a writable buffer, such as
// bytearray(1), that was or will be passed to test() as `cancel`, so that the
// computation stops at its next poll. Safe to call from any thread while the
// computation runs.
static PyObject* tessarin_cancel(PyObject* self, PyObject* flag) {
    (void)self;
    Py_buffer view;
    if (PyObject_GetBuffer(flag, &view, PyBUF_WRITABLE) != 0) return NULL;
    if (view.len > 0) __atomic_store_n((unsigned char*)view.buf, 1, __ATOMIC_RELAXED);
    PyBuffer_Release(&view);
    if (view.len < 1) {
        PyErr_SetString(PyExc_ValueError, "cancel flag should hold at least one byte");
        return NULL;
    }
    Py_RETURN_NONE;
}

// The units of work done and to do by the running computation (or by the
// last one): any thread may ask while a computation runs without the
// interpreter lock.
static PyObject* tessarin_progress(PyObject* self, PyObject* args) {
    (void)self;
    (void)args;
    return Py_BuildValue("(KK)", (unsigned long long)progress_done(), (unsigned long long)progress_total());
}

static PyMethodDef TessarinMethods[] = {
    {"test", (PyCFunction)(void (*)(void))tessarin_test, METH_VARARGS | METH_KEYWORDS, "Run tessarin test"},
    {"cancel", tessarin_cancel, METH_O, "Cancel the computations given this flag"},
    {"progress", tessarin_progress, METH_NOARGS, "Units of work done and to do by the running computation"},
    {"prepare", (PyCFunction)(void (*)(void))tessarin_prepare, METH_VARARGS | METH_KEYWORDS,
     "Load a data set for partial computations; takes the arguments of test"},
    {"describe", (PyCFunction)tessarin_describe, METH_O,
     "The units a prepared data set splits into, its scan path and its digest"},
    {"partial", (PyCFunction)(void (*)(void))tessarin_partial, METH_VARARGS | METH_KEYWORDS,
     "Partial result (maxima, histogram keys, weights) of the units [first, end)"},
    {"merge", (PyCFunction)tessarin_merge, METH_VARARGS, "Merge two partial results"},
    {"finish", (PyCFunction)(void (*)(void))tessarin_finish, METH_VARARGS | METH_KEYWORDS,
     "The details dict of test from the merged partial result of all units"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef tessarinmodule = {PyModuleDef_HEAD_INIT, "tessarin." TESSARIN_NAME(TESSARIN_MODULE), NULL,
                                             -1, TessarinMethods, NULL, NULL, NULL, NULL};

#define TESSARIN_CONCAT(a, b) a##b
#define TESSARIN_INIT_NAME(name) TESSARIN_CONCAT(PyInit_, name)

PyMODINIT_FUNC TESSARIN_INIT_NAME(TESSARIN_MODULE)(void) {
    // The NumPy C API was imported while the library was loaded; a failure
    // left its ImportError set.
    if (PyErr_Occurred()) return NULL;
    static bool fork_handler_installed = false;
    if (!fork_handler_installed) {
        if (pthread_atfork(NULL, NULL, reset_after_fork) != 0) {
            PyErr_SetString(PyExc_ImportError, "could not register the fork handler");
            return NULL;
        }
        fork_handler_installed = true;
    }
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main_thread = threading ? PyObject_CallMethod(threading, "main_thread", NULL) : NULL;
    PyObject* ident = main_thread ? PyObject_GetAttrString(main_thread, "ident") : NULL;
    main_thread_ident = ident ? PyLong_AsUnsignedLong(ident) : 0;
    Py_XDECREF(ident);
    Py_XDECREF(main_thread);
    Py_XDECREF(threading);
    if (PyErr_Occurred()) return NULL;
    // This file's own view of the NumPy C API, for the partial results.
    if (_import_array() < 0) return NULL;
    return PyModule_Create2(&tessarinmodule, 1013);
}
