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
    const Data* d;
    const Options* options;
    Runtime* runtime;
};

// The result of one test; a member that was not computed is -1.0.
// statistic_x and statistic_y are the observed maxima over the corners of the
// first and of the second sample, as differences of fractions.
struct TestResult {
    double value;
    double binomial_significance;
    double permutation_significance;
    double statistic_x;
    double statistic_y;
};

// One point's orthant around the current corner, for the sparse kernel.
struct BinStruct {
    uint64_t bin;
    uint64_t index;
};

static inline bool operator<(const BinStruct& lhs, const BinStruct& rhs) { return lhs.bin < rhs.bin; }

// The orthant primitives, the only code that differs between the AVX-512
// build and the portable one. Bit b of an orthant index is set exactly when
// the corner's coordinate b is greater than the point's (signed 32-bit): ties
// count as at-or-above, so a corner lies in its own orthant 0. Padding lanes
// are 0 in every point and never set a bit.
//
// calculate_bin: the orthant index of point j around corner i, from BLOCKS
//   16-lane blocks per point (fixed at compile time, so that the comparison
//   unrolls and the corner's blocks stay in registers).
// calculate_bins: bit l set when lane l of `corner_lanes` is greater than the
//   point's coordinate spread[l], for the first `live` lanes: several corners
//   packed into one block are compared with a point at once.
// accumulate_lane_sums: with sixteen corners of D <= 4 dimensions held
//   dimension by dimension in `corner_coordinate`, adds weight[j] to lane c
//   of lane_sums[o] for each of `count` points, o being the orthant of point j
//   around corner c. The caller keeps the 32-bit sums from overflowing.
#ifdef TESSARIN_AVX512
// Only the kernels are compiled for AVX-512, so the loader and the processor
// check stay runnable on any x86-64 and can refuse the call cleanly.
#define KERNEL_TARGET __attribute__((target("avx512f")))
template <int BLOCKS>
static inline KERNEL_TARGET void calculate_bin(uint64_t& i, uint64_t& j, uint64_t& bin, Task* t) {
    const __m512i* blocks = (const __m512i*)t->d->avx512_data;
    bin = 0;
    for (int32_t b = 0; b < BLOCKS; b++) {
        const __m512i corner = _mm512_load_si512(blocks + i * BLOCKS + b);
        const __m512i point = _mm512_load_si512(blocks + j * BLOCKS + b);
        bin |= (uint64_t)_mm512_cmpgt_epi32_mask(corner, point) << (16 * b);
    }
}

static inline KERNEL_TARGET uint32_t calculate_bins(const int32_t* corner_lanes, const int32_t* point,
                                                     const int32_t* spread, uint32_t live) {
    (void)live;
    const __m512i point_lanes =
        _mm512_maskz_permutexvar_epi32(0xFFFF, _mm512_load_si512(spread), _mm512_load_si512(point));
    return _mm512_cmpgt_epi32_mask(_mm512_load_si512(corner_lanes), point_lanes);
}

template <int D>
static inline KERNEL_TARGET void accumulate_lane_sums(const int32_t (*corner_coordinate)[16], const int32_t* points,
                                                      const int64_t* weight, uint64_t count,
                                                      int32_t (*lane_sums)[16]) {
    constexpr int ORTANTS = 1 << D;
    __m512i corner[D], sum[ORTANTS];
    for (int k = 0; k < D; k++) corner[k] = _mm512_load_si512(corner_coordinate[k]);
    for (int o = 0; o < ORTANTS; o++) sum[o] = _mm512_setzero_si512();
    for (uint64_t j = 0; j < count; j++) {
        __m512i bin = _mm512_setzero_si512();
        for (int k = 0; k < D; k++) {
            const __mmask16 below = _mm512_cmpgt_epi32_mask(corner[k], _mm512_set1_epi32(points[j * 16 + k]));
            bin = _mm512_mask_or_epi32(bin, below, bin, _mm512_set1_epi32(1 << k));
        }
        const __m512i w = _mm512_set1_epi32((int32_t)weight[j]);
        for (int o = 0; o < ORTANTS; o++) {
            sum[o] = _mm512_mask_add_epi32(sum[o], _mm512_cmpeq_epi32_mask(bin, _mm512_set1_epi32(o)), sum[o], w);
        }
    }
    for (int o = 0; o < ORTANTS; o++) _mm512_store_si512(lane_sums[o], sum[o]);
}
#else
#define KERNEL_TARGET
template <int BLOCKS>
static inline void calculate_bin(uint64_t& i, uint64_t& j, uint64_t& bin, Task* t) {
    const int32_t* lanes = (const int32_t*)t->d->avx512_data;
    const int32_t* corner = lanes + i * 16 * BLOCKS;
    const int32_t* point = lanes + j * 16 * BLOCKS;
    const uint64_t d = t->d->d;
    bin = 0;
    for (uint64_t k = 0; k < d; k++) bin |= (uint64_t)(corner[k] > point[k]) << k;
}

static inline uint32_t calculate_bins(const int32_t* corner_lanes, const int32_t* point, const int32_t* spread,
                                      uint32_t live) {
    uint32_t mask = 0;
    for (uint32_t l = 0; l < live && l < 16; l++) mask |= (uint32_t)(corner_lanes[l] > point[spread[l]]) << l;
    return mask;
}

template <int D>
static inline void accumulate_lane_sums(const int32_t (*corner_coordinate)[16], const int32_t* points,
                                        const int64_t* weight, uint64_t count, int32_t (*lane_sums)[16]) {
    memset(lane_sums, 0, sizeof(int32_t) * 16 * (1 << D));
    for (uint64_t j = 0; j < count; j++) {
        for (int c = 0; c < 16; c++) {
            int bin = 0;
            for (int k = 0; k < D; k++) bin |= (corner_coordinate[k][c] > points[j * 16 + k]) << k;
            lane_sums[bin][c] += (int32_t)weight[j];
        }
    }
}
#endif

// Raises the labelling maxima with one orthant's counts: alpha is the
// orthant's difference of empirical measures times size_x * size_y. It counts
// for the first half when the corner belongs to X under that labelling and for
// the second half when it belongs to Y.
static inline KERNEL_TARGET void update_maxima(const uint64_t* x_cap, const uint64_t* y_cap,
                                                const uint32_t* corner_x, const uint32_t* corner_y,
                                                uint64_t size_x, uint64_t size_y, uint64_t samples,
                                                uint64_t* max_alpha) {
    uint64_t* max_beta = max_alpha + samples;
    for (uint64_t k = 0; k < samples; k++) {
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

// With a single labelling and no histogram to collect, both kernels fold each
// point's two multiplicities into one signed weight size_y * cx - size_x * cy,
// provided that every difference fits a signed 64-bit word. Returns the
// weights (n of them, owned by the caller) or null when folding does not
// apply or the array cannot be had; the caller then counts both samples.
static int64_t* fold_weights(const Task* t) {
    const Data* s = t->d;
    uint64_t product;
    if (s->samples != 1 || t->options->calculate_binomial_significance ||
        __builtin_mul_overflow(s->size_x, s->size_y, &product) || product > (uint64_t)INT64_MAX) {
        return NULL;
    }
    int64_t* weight = (int64_t*)malloc((s->n ? s->n : 1) * sizeof(int64_t));
    if (!weight) return NULL;
    for (uint64_t j = 0; j < s->n; j++) {
        weight[j] = (int64_t)(s->size_y * s->counts_x[j]) - (int64_t)(s->size_x * s->counts_y[j]);
    }
    return weight;
}

// The single-labelling path of the dense kernel folds each point's two
// multiplicities into one signed weight, size_y * cx - size_x * cy, so that
// one counter per orthant holds the scaled difference itself, and scans a
// group of corners per pass over the points: each point is read once for the
// whole group, and the corners' counters are independent, so updates of one
// orthant by consecutive points overlap. A group may repeat its last corner
// to fill up; a repeat changes no maximum.
constexpr int MAX_CORNER_GROUP = 32;

// The most corners a group holds for d dimensions (1 to 16): sixteen lanes, or
// two blocks of 16 / d packed corners each.
static inline int max_corner_group(uint64_t d) { return d <= 4 ? MAX_CORNER_GROUP : 2 * (int)(16 / d); }

// Raises both maxima with the finished counters of a group of corners.
static inline void update_folded_maxima(const uint64_t* corners, int group, const Task* t,
                                        const int64_t* counters, uint64_t* max_alpha) {
    const uint64_t ortant_no = t->d->ortant_no;
    for (int c = 0; c < group; c++) {
        const bool in_x = t->d->counts_x[corners[c]] != 0, in_y = t->d->counts_y[corners[c]] != 0;
        const int64_t* counter = counters + c * ortant_no;
        for (uint64_t o = 0; o < ortant_no; o++) {
            const uint64_t alpha = counter[o] < 0 ? -(uint64_t)counter[o] : (uint64_t)counter[o];
            if (max_alpha[0] < alpha && in_x) max_alpha[0] = alpha;
            if (max_alpha[1] < alpha && in_y) max_alpha[1] = alpha;
        }
    }
}

// With at most 16 dimensions, the coordinates of P = 16 / d corners share one
// 16-lane vector: one comparison places a point around P corners at once, its
// mask holding their orthant indices side by side, d bits each.
template <int P>
static KERNEL_TARGET void scan_packed_group(const uint64_t* corners, Task* t, const int64_t* weight,
                                            int64_t largest, int64_t* counters, uint64_t* max_alpha) {
    (void)largest;
    constexpr int VECTORS = 2, GROUP = VECTORS * P;
    const uint64_t n = t->d->n, d = t->d->d, ortant_no = t->d->ortant_no;
    const int32_t* lanes = (const int32_t*)t->d->avx512_data;
    alignas(64) int32_t packed[VECTORS][16] = {};
    alignas(64) int32_t spread[16] = {};
    for (uint64_t l = 0; l < P * d; l++) spread[l] = (int32_t)(l % d);
    for (int c = 0; c < GROUP; c++) {
        for (uint64_t k = 0; k < d; k++) packed[c / P][(c % P) * d + k] = lanes[corners[c] * 16 + k];
    }
    memset(counters, 0, GROUP * ortant_no * sizeof(int64_t));
    const uint32_t live = (uint32_t)(P * d), low_bits = (uint32_t)(ortant_no - 1);
    for (uint64_t j = 0; j < n; j++) {
        const int64_t w = weight[j];
        for (int v = 0; v < VECTORS; v++) {
            const uint32_t mask = calculate_bins(packed[v], lanes + j * 16, spread, live);
            for (int c = 0; c < P; c++) counters[(v * P + c) * ortant_no + ((mask >> (c * d)) & low_bits)] += w;
        }
    }
    update_folded_maxima(corners, GROUP, t, counters, max_alpha);
}

// With at most four dimensions there are few enough orthants to keep a
// counter for every orthant of each of sixteen corners and to update them all
// for every point: the corners are the lanes of the vector operations, so the
// scan needs no per-pair table lookups. The lane counters are 32-bit and are
// moved into 64-bit sums before they could overflow: `largest`, the largest
// magnitude of a weight, is at most INT32_MAX.
template <int D>
static KERNEL_TARGET void scan_lane_group(const uint64_t* corners, Task* t, const int64_t* weight,
                                          int64_t largest, int64_t* counters, uint64_t* max_alpha) {
    constexpr int ORTANTS = 1 << D;
    const uint64_t n = t->d->n;
    const int32_t* lanes = (const int32_t*)t->d->avx512_data;
    alignas(64) int32_t corner_coordinate[D][16];
    for (int c = 0; c < 16; c++) {
        for (int k = 0; k < D; k++) corner_coordinate[k][c] = lanes[corners[c] * 16 + k];
    }
    const uint64_t flush_every = (uint64_t)(INT32_MAX / std::max<int64_t>(largest, 1));
    alignas(64) int32_t lane_sums[ORTANTS][16];
    int64_t sums[ORTANTS][16] = {};
    for (uint64_t j = 0; j < n;) {
        const uint64_t end = std::min(n, j + flush_every);
        accumulate_lane_sums<D>(corner_coordinate, lanes + j * 16, weight + j, end - j, lane_sums);
        for (int o = 0; o < ORTANTS; o++) {
            for (int c = 0; c < 16; c++) sums[o][c] += lane_sums[o][c];
        }
        j = end;
    }
    for (int c = 0; c < 16; c++) {
        for (int o = 0; o < ORTANTS; o++) counters[c * ORTANTS + o] = sums[o][c];
    }
    update_folded_maxima(corners, 16, t, counters, max_alpha);
}

// Scans the task's corners group by group on the single-labelling path, for
// data sets of 1 to 16 dimensions. The lane scan needs every weight to fit
// its 32-bit counters.
static void scan_folded(Task* t, const int64_t* weight, int64_t* counters, uint64_t* max_alpha) {
    const uint64_t d = t->d->d;
    int64_t largest = 0;
    for (uint64_t j = 0; j < t->d->n; j++) largest = std::max(largest, weight[j] < 0 ? -weight[j] : weight[j]);
    void (*scan)(const uint64_t*, Task*, const int64_t*, int64_t, int64_t*, uint64_t*);
    int group;
    if (d <= 4 && largest <= INT32_MAX) {
        group = 16;
        switch (d) {
            case 1: scan = scan_lane_group<1>; break;
            case 2: scan = scan_lane_group<2>; break;
            case 3: scan = scan_lane_group<3>; break;
            default: scan = scan_lane_group<4>; break;
        }
    } else {
        const int per_vector = (int)(16 / d);
        group = 2 * per_vector;
        switch (per_vector) {
            case 16: scan = scan_packed_group<16>; break;
            case 8: scan = scan_packed_group<8>; break;
            case 5: scan = scan_packed_group<5>; break;
            case 4: scan = scan_packed_group<4>; break;
            case 3: scan = scan_packed_group<3>; break;
            case 2: scan = scan_packed_group<2>; break;
            default: scan = scan_packed_group<1>; break;
        }
    }
    for (uint64_t i = t->from; i < t->to && keep_running(); i += group) {
        uint64_t corners[MAX_CORNER_GROUP];
        for (int c = 0; c < group; c++) corners[c] = std::min(i + c, t->to - 1);
        scan(corners, t, weight, largest, counters, max_alpha);
    }
}

// Several labellings and no histogram, when size_x * size_y fits a signed
// 32-bit word: each point's multiplicities under the labellings fold into one
// row of weights size_y * cx - size_x * cy, which is added to the row of its
// orthant in a table of 32-bit differences per corner. Every partial sum stays
// within size_x * size_y of zero. The multiplicity tables are the largest
// thing a pass reads, so a group of corners shares each pass, and the
// labellings are taken a chunk at a time so that the group's tables stay in
// the nearer caches however many labellings there are.
constexpr int MAX_LABELLING_GROUP = 32;
constexpr uint64_t LABELLING_CHUNK = 256;

static inline int labelling_group(uint64_t ortant_no, uint64_t samples) {
    const uint64_t table_bytes = ortant_no * std::min(samples, LABELLING_CHUNK) * sizeof(int32_t);
    return (int)std::max<uint64_t>(1, std::min<uint64_t>(MAX_LABELLING_GROUP, (256 << 10) / table_bytes));
}

template <int BLOCKS>
static KERNEL_TARGET void scan_corners_labellings(const uint64_t* corners, int group, Task* t, int32_t* row_weight,
                                                  int32_t* differences, uint64_t* max_alpha) {
    const Data* s = t->d;
    const uint64_t samples = s->samples, n = s->n, ortant_no = s->ortant_no;
    const uint32_t size_x = (uint32_t)s->size_x, size_y = (uint32_t)s->size_y;
    uint64_t* max_beta = max_alpha + samples;
    for (uint64_t first = 0; first < samples; first += LABELLING_CHUNK) {
        const uint64_t chunk = std::min(LABELLING_CHUNK, samples - first), table = ortant_no * chunk;
        memset(differences, 0, group * table * sizeof(int32_t));
        for (uint64_t j = 0; j < n; j++) {
            const uint32_t* cx = s->counts_x + j * samples + first;
            const uint32_t* cy = s->counts_y + j * samples + first;
            for (uint64_t k = 0; k < chunk; k++) row_weight[k] = (int32_t)(size_y * cx[k]) - (int32_t)(size_x * cy[k]);
            for (int c = 0; c < group; c++) {
                uint64_t bin, i = corners[c];
                calculate_bin<BLOCKS>(i, j, bin, t);
                int32_t* row = differences + c * table + bin * chunk;
                for (uint64_t k = 0; k < chunk; k++) row[k] += row_weight[k];
            }
        }
        for (int c = 0; c < group; c++) {
            const uint32_t* corner_x = s->counts_x + corners[c] * samples + first;
            const uint32_t* corner_y = s->counts_y + corners[c] * samples + first;
            for (uint64_t o = 0; o < ortant_no; o++) {
                const int32_t* row = differences + c * table + o * chunk;
                for (uint64_t k = 0; k < chunk; k++) {
                    const uint64_t alpha = (uint64_t)(row[k] < 0 ? -(int64_t)row[k] : (int64_t)row[k]);
                    if (max_alpha[first + k] < alpha && corner_x[k] != 0) max_alpha[first + k] = alpha;
                    if (max_beta[first + k] < alpha && corner_y[k] != 0) max_beta[first + k] = alpha;
                }
            }
        }
    }
}

// The dense kernel's scans that fold both samples into signed weights: one
// labelling (1 to 16 dimensions), or several when size_x * size_y fits 32
// bits. Returns the maxima, or null when neither applies or its working
// storage cannot be had; the general scan then runs.
template <int BLOCKS>
static uint64_t* dense_kernel_folded(Task* t) {
    const Data* s = t->d;
    const uint64_t samples = s->samples, ortant_no = s->ortant_no;
    uint64_t product;
    const bool narrow = samples > 1 && !t->options->calculate_binomial_significance &&
                        !__builtin_mul_overflow(s->size_x, s->size_y, &product) && product <= (uint64_t)INT32_MAX;
    int64_t* weight = BLOCKS == 1 ? fold_weights(t) : NULL;
    if (!weight && !narrow) return NULL;
    uint64_t* max_alpha = (uint64_t*)calloc(2 * samples, sizeof(uint64_t));
    bool scanned = false;
    if (max_alpha && weight) {
        int64_t* counters = (int64_t*)malloc(max_corner_group(s->d) * ortant_no * sizeof(int64_t));
        if (counters) scan_folded(t, weight, counters, max_alpha);
        scanned = counters != NULL;
        free(counters);
    } else if (max_alpha) {
        const int group = labelling_group(ortant_no, samples);
        const uint64_t chunk = std::min(samples, LABELLING_CHUNK);
        int32_t* row_weight = (int32_t*)malloc(chunk * sizeof(int32_t));
        int32_t* differences = (int32_t*)malloc(group * ortant_no * chunk * sizeof(int32_t));
        scanned = row_weight && differences;
        for (uint64_t i = t->from; scanned && i < t->to && keep_running(); i += group) {
            uint64_t corners[MAX_LABELLING_GROUP];
            for (int c = 0; c < group; c++) corners[c] = std::min(i + c, t->to - 1);
            scan_corners_labellings<BLOCKS>(corners, group, t, row_weight, differences, max_alpha);
        }
        free(row_weight);
        free(differences);
    }
    free(weight);
    if (!scanned) {
        free(max_alpha);
        return NULL;
    }
    return max_alpha;
}

// Dense kernel: for every corner of the task, counts both samples in all 2^d
// orthants and raises the per-labelling maxima. Used when n >= 2^d, so its
// tables are never larger than the data set's count tables.
template <int BLOCKS>
static KERNEL_TARGET void* dense_kernel(Task* t) {
    uint64_t* folded = dense_kernel_folded<BLOCKS>(t);
    if (folded) return folded;
    const Data* s = t->d;
    const uint64_t samples = s->samples, n = s->n, ortant_no = s->ortant_no;
    size_t table_bytes;
    uint64_t* x_cap_ortant = NULL;
    if (!__builtin_mul_overflow(ortant_no, samples * sizeof(uint64_t), &table_bytes)) {
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
    uint64_t* max_alpha = (uint64_t*)calloc(2 * samples, sizeof(uint64_t));
    if (!max_alpha) {
        free(x_cap_ortant);
        free(y_cap_ortant);
        report_worker_error("out of memory error - max_diff[max_alpha]");
        return NULL;
    }
    const uint32_t* counts_x = s->counts_x;
    const uint32_t* counts_y = s->counts_y;
    for (uint64_t i = t->from; i < t->to && keep_running(); i++) {
        memset(x_cap_ortant, 0, table_bytes);
        memset(y_cap_ortant, 0, table_bytes);
        for (uint64_t j = 0; j < n; j++) {
            uint64_t bin;
            calculate_bin<BLOCKS>(i, j, bin, t);
            add_counts(x_cap_ortant + bin * samples, y_cap_ortant + bin * samples, counts_x + j * samples,
                       counts_y + j * samples, samples);
        }
        for (uint64_t o = 0; o < ortant_no; o++) {
            update_maxima(x_cap_ortant + o * samples, y_cap_ortant + o * samples, counts_x + i * samples,
                          counts_y + i * samples, s->size_x, s->size_y, samples, max_alpha);
        }
        if (t->options->calculate_binomial_significance) {
            significance_push(i, x_cap_ortant, &t->runtime->significance, s);
        }
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
    const Data data = *((Task*)vargp)->d;
    Task task = *(Task*)vargp;
    task.d = &data;
    return bodies[std::min<uint64_t>(data.avx512_d, 4)](&task);
}

void* max_diff_from_counts(void* vargp) {
    static const KernelBody bodies[5] = {dense_kernel<0>, dense_kernel<1>, dense_kernel<2>, dense_kernel<3>,
                                         dense_kernel<4>};
    return run_kernel(vargp, bodies);
}

// Single-labelling path of the sparse kernel: the occupied orthants of a
// corner are found with an open-addressing hash table instead of a sort, each
// slot summing the folded weights of one orthant. The table has at least twice
// as many slots as there are points; `touched` lists the slots in use, so a
// corner clears only what it filled. Slots hold an orthant index or EMPTY,
// which no index reaches (indices stay below 2^63).
constexpr uint64_t EMPTY = UINT64_MAX;

template <int BLOCKS>
static KERNEL_TARGET void sparse_scan_folded(Task* t, const int64_t* weight, uint64_t* keys, int64_t* sums,
                                             uint64_t* touched, int slot_bits, uint64_t* max_alpha) {
    const Data* s = t->d;
    const uint64_t n = s->n, slot_mask = ((uint64_t)1 << slot_bits) - 1;
    for (uint64_t i = t->from; i < t->to && keep_running(); i++) {
        uint64_t used = 0;
        for (uint64_t j = 0; j < n; j++) {
            uint64_t bin;
            calculate_bin<BLOCKS>(i, j, bin, t);
            uint64_t slot = (bin * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits);
            while (keys[slot] != bin && keys[slot] != EMPTY) slot = (slot + 1) & slot_mask;
            if (keys[slot] == EMPTY) {
                keys[slot] = bin;
                sums[slot] = weight[j];
                touched[used++] = slot;
            } else {
                sums[slot] += weight[j];
            }
        }
        const bool in_x = s->counts_x[i] != 0, in_y = s->counts_y[i] != 0;
        for (uint64_t u = 0; u < used; u++) {
            const int64_t sum = sums[touched[u]];
            const uint64_t alpha = sum < 0 ? -(uint64_t)sum : (uint64_t)sum;
            if (max_alpha[0] < alpha && in_x) max_alpha[0] = alpha;
            if (max_alpha[1] < alpha && in_y) max_alpha[1] = alpha;
            keys[touched[u]] = EMPTY;
        }
    }
}

// Runs the single-labelling sparse path. Returns the maxima, or null when it
// does not apply or its tables cannot be had; the caller then sorts.
template <int BLOCKS>
static uint64_t* sparse_kernel_folded(Task* t) {
    int64_t* weight = fold_weights(t);
    if (!weight) return NULL;
    int slot_bits = 1;
    while (((uint64_t)1 << slot_bits) < 2 * t->d->n) slot_bits++;
    const uint64_t slots = (uint64_t)1 << slot_bits;
    uint64_t* max_alpha = (uint64_t*)calloc(2, sizeof(uint64_t));
    uint64_t* keys = (uint64_t*)malloc(slots * sizeof(uint64_t));
    int64_t* sums = (int64_t*)malloc(slots * sizeof(int64_t));
    uint64_t* touched = (uint64_t*)malloc((t->d->n ? t->d->n : 1) * sizeof(uint64_t));
    const bool ready = max_alpha && keys && sums && touched;
    if (ready) {
        for (uint64_t k = 0; k < slots; k++) keys[k] = EMPTY;
        sparse_scan_folded<BLOCKS>(t, weight, keys, sums, touched, slot_bits, max_alpha);
    }
    free(weight);
    free(keys);
    free(sums);
    free(touched);
    if (!ready) {
        free(max_alpha);
        return NULL;
    }
    return max_alpha;
}

// Sparse kernel: the same maxima without 2^d tables. Sorts the points by
// their orthant index around each corner and walks the runs of equal indices,
// each run being one occupied orthant; empty orthants cannot raise a maximum.
template <int BLOCKS>
static KERNEL_TARGET void* sparse_kernel(Task* t) {
    uint64_t* folded = sparse_kernel_folded<BLOCKS>(t);
    if (folded) return folded;
    const Data* s = t->d;
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
    uint64_t* max_alpha = (uint64_t*)calloc(2 * samples, sizeof(uint64_t));
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
                          s->size_x, s->size_y, samples, max_alpha);
        }
        if (t->options->calculate_binomial_significance) {
            // Occupied orthants add the corner's weight under their own count;
            // the empty ones, at least one since n < 2^d, add it under key 0.
            const uint64_t i_count = (uint64_t)counts_x[i * samples] + counts_y[i * samples];
            pthread_mutex_lock(&significance->mutex);
            uint64_t zeros = s->ortant_no;
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

void init_runtime(Runtime* r) { significance_init_runtime(&r->significance); }

// Splits the corners into thread_no contiguous shares, runs the chosen kernel
// on each and merges the returned maxima element by element. Returns null on
// failure, with the message in error_buffer.
uint64_t* run_workers(Options* options, const Data* d, Runtime* r) {
    const uint32_t T = options->thread_no;
    const uint64_t entries = 2 * d->samples;
    pthread_t* thread_ids = (pthread_t*)malloc(sizeof(pthread_t) * (T ? T : 1));
    if (!thread_ids) {
        report_worker_error("out of memory error - run_workers[thread_ids]");
        return NULL;
    }
    Task* tasks = (Task*)malloc(sizeof(Task) * (T ? T : 1));
    if (!tasks) {
        free(thread_ids);
        report_worker_error("out of memory error - run_workers[tasks]");
        return NULL;
    }
    uint64_t* max_alpha = (uint64_t*)calloc(entries, sizeof(uint64_t));
    if (!max_alpha) {
        free(thread_ids);
        free(tasks);
        report_worker_error("out of memory error - run_workers[max_alpha]");
        return NULL;
    }
    const bool is_sparse = d->n < d->ortant_no;
    void* (*kernel)(void*) = is_sparse ? max_diff_from_counts_sparse : max_diff_from_counts;
    bool error = false;
    uint32_t started = 0;
    for (; started < T; started++) {
        const uint64_t i = started;
        tasks[i] = {(d->n * i) / T, (d->n * (i + 1)) / T, d, options, r};
        if (pthread_create(&thread_ids[i], NULL, kernel, &tasks[i]) != 0) {
            // The shares assume every thread runs: without this one the result
            // would miss its corners, so the call fails once the others end.
            report_worker_error("could not start a thread - run_workers[thread_ids]");
            error = true;
            break;
        }
    }
    for (uint32_t i = 0; i < started; i++) {
        void* ret;
        pthread_join(thread_ids[i], &ret);
        if (!ret) {
            error = true;
            continue;
        }
        const uint64_t* thread_max = (const uint64_t*)ret;
        for (uint64_t k = 0; k < entries; k++) max_alpha[k] = std::max(max_alpha[k], thread_max[k]);
        free(ret);
    }
    free(thread_ids);
    free(tasks);
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

int run_test(TestResult* res, const Data* d, Options* options) {
    Runtime runtime;
    const bool binomial = options->calculate_binomial_significance;
    if (binomial) init_runtime(&runtime);
    uint64_t* alphas_append_betas = run_workers(options, d, &runtime);
    if (!alphas_append_betas) {
        if (binomial) significance_clear_runtime(&runtime.significance);
        return 1;
    }
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
    if (options->scale_result) {
        res->value = res->value * sqrt(((double)d->size_x + (double)d->size_y) / xy);
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
    free(alphas_append_betas);
    res->binomial_significance = -1.0;
    if (binomial) {
        res->binomial_significance = significance_finalize(D, d, options, &runtime.significance);
        significance_clear_runtime(&runtime.significance);
        if (res->binomial_significance == -1.0) return 1;
    }
    return 0;
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
    Data d;
    Options options;
    TestResult res;
    if (load_data(&d, &options, args, kwargs, false) != 0) return NULL;
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

    free_data(&d, &options);
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
        return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "statistic", res.value, "statistic_x", res.statistic_x,
                             "statistic_y", res.statistic_y, "binomial_significance",
                             res.binomial_significance, "permutation_significance",
                             res.permutation_significance);
    }
    if (binomial && permutation) {
        return Py_BuildValue("(d,d,d)", res.value, res.binomial_significance, res.permutation_significance);
    }
    if (binomial) return Py_BuildValue("(d,d)", res.value, res.binomial_significance);
    if (permutation) return Py_BuildValue("(d,d)", res.value, res.permutation_significance);
    return Py_BuildValue("d", res.value);
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

static PyMethodDef TessarinMethods[] = {
    {"test", (PyCFunction)(void (*)(void))tessarin_test, METH_VARARGS | METH_KEYWORDS, "Run tessarin test"},
    {"cancel", tessarin_cancel, METH_O, "Cancel the computations given this flag"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef tessarinmodule = {PyModuleDef_HEAD_INIT, "MODULE_NAME", NULL, -1, TessarinMethods,
                                             NULL, NULL, NULL, NULL};

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
    return PyModule_Create2(&tessarinmodule, 1013);
}
