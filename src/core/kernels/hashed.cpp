// The hashed scan: one labelling, folded weights, the occupied orthants of a
// corner found with a hash table.
#include "kernels/scan_kernel.h"

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
static Table<uint64_t> hashed_kernel(Task* t) {
    const uint64_t n = t->data->n ? t->data->n : 1;
    int slot_bits = 1;
    while (((uint64_t)1 << slot_bits) < 4 * n) slot_bits++;
    const uint64_t slot_no = (uint64_t)1 << slot_bits;
    Table<uint64_t> max_alpha = alloc_maxima(1);
    Table<OrthantSlot> slots = Table<OrthantSlot>::large(slot_no);
    Table<uint64_t> touched = Table<uint64_t>::large(n);
    if (!max_alpha || !slots || !touched) {
        report_worker_error("out of memory error - max_diff[slots]");
        return Table<uint64_t>();
    }
    for (uint64_t k = 0; k < slot_no; k++) slots[k].key = EMPTY;
    sparse_scan_folded<BLOCKS>(t, slots, touched, slot_bits, max_alpha);
    return max_alpha;
}

Table<uint64_t> hashed_scan(Task* task) {
    static const KernelBody bodies[5] = {hashed_kernel<0>, hashed_kernel<1>, hashed_kernel<2>, hashed_kernel<3>,
                                         hashed_kernel<4>};
    return run_kernel(task, bodies);
}

