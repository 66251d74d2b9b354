// The dense scan: every corner counts both samples in all 2^d orthants.
#include "kernels/scan_kernel.h"

// Dense kernel: for every corner of the task, counts both samples in all 2^d
// orthants and raises the per-labelling maxima. The general path when
// n >= 2^d, so its tables are never larger than the data set's count tables.
template <int BLOCKS>
static KERNEL_TARGET Table<uint64_t> dense_kernel(Task* t) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, n = s->n, orthants = s->orthants;
    Table<uint64_t> x_counts = Table<uint64_t>::large(orthants, samples);
    Table<uint64_t> y_counts = Table<uint64_t>::large(orthants, samples);
    Table<uint64_t> max_alpha = alloc_maxima(samples);
    if (!x_counts || !y_counts || !max_alpha) {
        report_worker_error(!x_counts   ? "out of memory error - max_diff[x_counts]"
                            : !y_counts ? "out of memory error - max_diff[y_counts]"
                                            : "out of memory error - max_diff[max_alpha]");
        return Table<uint64_t>();
    }
    const size_t table_bytes = orthants * samples * sizeof(uint64_t);
    const uint32_t* counts_x = s->counts_x;
    const uint32_t* counts_y = s->counts_y;
    const uint64_t mask = poll_mask(2 * samples * ORTHANT_BATCH);
    uint64_t bins[ORTHANT_BATCH];
    for (uint64_t i = t->from; i < t->to && keep_running(); i++) {
        memset(x_counts, 0, table_bytes);
        memset(y_counts, 0, table_bytes);
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
                add_counts(x_counts + bins[b] * samples, y_counts + bins[b] * samples,
                           counts_x + j * samples, counts_y + j * samples, samples);
            }
        }
        if (abandoned) break;
        for (uint64_t o = 0; o < orthants; o++) {
            update_maxima(x_counts + o * samples, y_counts + o * samples, counts_x + i * samples,
                          counts_y + i * samples, s->size_x, s->size_y, samples, i, o, max_alpha);
        }
        if (t->histogram) significance_push(i, x_counts, t->histogram, s);
        progress_add(1);
    }
    return max_alpha;
}

Table<uint64_t> dense_scan(Task* task) {
    static const KernelBody bodies[5] = {dense_kernel<0>, dense_kernel<1>, dense_kernel<2>, dense_kernel<3>,
                                         dense_kernel<4>};
    return run_kernel(task, bodies);
}

