// What the scan kernels share: the orthant primitives of the build, the
// updates of the maxima and counters, the polling interval, the scan of a
// task's corners group by group, and the dispatch on the number of vector
// blocks per point. Included by the kernel files alone.
#ifndef TESSARIN_SCAN_KERNEL_H
#define TESSARIN_SCAN_KERNEL_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "binomial_significance.h"
#include "common.h"
#include "data_set.h"
#include "kernels/kernels.h"
#include "maximum_location.h"

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

// Scans the task's corners group by group with one of the folded scans.
static inline Table<uint64_t> folded_kernel(Task* t, GroupScan scan, int group) {
    Table<uint64_t> max_alpha = alloc_maxima(1);
    // 64-bit counters, then room for as many 32-bit ones: 1.5 words each.
    Table<int64_t> counters = Table<int64_t>::large(group * t->data->orthants * 3 / 2 + 1);
    if (!max_alpha || !counters) {
        report_worker_error("out of memory error - max_diff[counters]");
        return Table<uint64_t>();
    }
    for (uint64_t i = t->from; i < t->to && keep_running(); i += group) {
        uint64_t corners[MAX_CORNER_GROUP];
        for (int c = 0; c < group; c++) corners[c] = std::min(i + c, t->to - 1);
        if (!scan(corners, t, counters, max_alpha)) break;
        progress_add(std::min<uint64_t>(group, t->to - i));
    }
    return max_alpha;
}

// A kernel body compiled for one number of blocks per point, 0 to 4.
typedef Table<uint64_t> (*KernelBody)(Task*);

// Runs the body compiled for the data set's number of blocks per point. Each
// thread works on private copies of its task and of the record: nothing the
// kernel stores can alias them, so their fields stay in registers.
static inline Table<uint64_t> run_kernel(Task* shared, const KernelBody bodies[5]) {
    const DataSet data = shared->data->view();
    Task task = *shared;
    task.data = &data;
    return bodies[std::min<uint64_t>(data.vector_blocks, 4)](&task);
}

#endif
