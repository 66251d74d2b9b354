// The lane scan: one labelling, folded weights, sixteen corners in the lanes
// of the vector operations, for one to four dimensions.
#include "kernels/scan_kernel.h"

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

static Table<uint64_t> lanes_kernel(Task* t) {
    switch (t->data->d) {
        case 1: return folded_kernel(t, scan_lane_group<1>, 16);
        case 2: return folded_kernel(t, scan_lane_group<2>, 16);
        case 3: return folded_kernel(t, scan_lane_group<3>, 16);
        default: return folded_kernel(t, scan_lane_group<4>, 16);
    }
}

Table<uint64_t> lanes_scan(Task* task) {
    static const KernelBody bodies[5] = {lanes_kernel, lanes_kernel, lanes_kernel, lanes_kernel, lanes_kernel};
    return run_kernel(task, bodies);
}

