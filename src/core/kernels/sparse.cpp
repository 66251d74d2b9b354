// The sparse scan: every corner sorts the points by orthant and walks the
// runs of equal orthants.
#include "kernels/scan_kernel.h"

// Sparse kernel: the same maxima without 2^d tables. Sorts the points by
// their orthant index around each corner and walks the runs of equal indices,
// each run being one occupied orthant; empty orthants cannot raise a maximum.
template <int BLOCKS>
static KERNEL_TARGET Table<uint64_t> sparse_kernel(Task* t) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, n = s->n;
    Table<uint64_t> x_counts = Table<uint64_t>::large(samples);
    Table<uint64_t> y_counts = Table<uint64_t>::large(samples);
    Table<uint64_t> max_alpha = alloc_maxima(samples);
    Table<BinStruct> unique_bins = Table<BinStruct>::large(n ? n : 1);
    if (!x_counts || !y_counts || !max_alpha || !unique_bins) {
        report_worker_error("out of memory error - max_diff[unique_bins]");
        return Table<uint64_t>();
    }
    const uint32_t* counts_x = s->counts_x;
    const uint32_t* counts_y = s->counts_y;
    SignificanceRuntime* significance = t->histogram;
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
        std::stable_sort(unique_bins.get(), unique_bins + n);
        for (uint64_t l = 0; l < n;) {
            const uint64_t bin = unique_bins[l].bin;
            uint64_t j = unique_bins[l].index;
            for (uint64_t k = 0; k < samples; k++) {
                x_counts[k] = counts_x[j * samples + k];
                y_counts[k] = counts_y[j * samples + k];
            }
            for (l++; l < n && unique_bins[l].bin == bin; l++) {
                j = unique_bins[l].index;
                add_counts(x_counts, y_counts, counts_x + j * samples, counts_y + j * samples,
                           samples);
            }
            update_maxima(x_counts, y_counts, counts_x + i * samples, counts_y + i * samples,
                          s->size_x, s->size_y, samples, i, bin, max_alpha);
        }
        if (significance) {
            // Occupied orthants add the corner's weight under their own count;
            // the empty ones, at least one since n < 2^d, add it under key 0.
            const uint64_t i_count = (uint64_t)counts_x[i * samples] + counts_y[i * samples];
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
        }
        progress_add(1);
    }
    return max_alpha;
}

Table<uint64_t> sparse_scan(Task* task) {
    static const KernelBody bodies[5] = {sparse_kernel<0>, sparse_kernel<1>, sparse_kernel<2>, sparse_kernel<3>,
                                         sparse_kernel<4>};
    return run_kernel(task, bodies);
}

