// The packed scan: one labelling, folded weights, the coordinates of 16 / d
// corners packed into one 16-lane comparison, for one to sixteen dimensions.
#include "kernels/scan_kernel.h"

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

template <typename Counter>
static Table<uint64_t> packed_kernel_with(Task* t) {
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

static Table<uint64_t> packed_kernel(Task* t) {
    return narrow_flush_period(t->data) ? packed_kernel_with<int32_t>(t) : packed_kernel_with<int64_t>(t);
}

Table<uint64_t> packed_scan(Task* task) {
    static const KernelBody bodies[5] = {packed_kernel, packed_kernel, packed_kernel, packed_kernel, packed_kernel};
    return run_kernel(task, bodies);
}

