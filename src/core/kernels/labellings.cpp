// The several-labelling scan: the folded 32-bit weights of every labelling,
// a group of corners sharing each pass over the points.
#include "kernels/scan_kernel.h"

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
static Table<uint64_t> labellings_kernel(Task* t) {
    const DataSet* s = t->data;
    const uint64_t samples = s->samples, orthants = s->orthants;
    const int group = labelling_group(orthants, samples);
    const uint64_t width = std::min(LABELLING_CHUNK, (samples + 7) / 8 * 8);
    Table<uint64_t> max_alpha = alloc_maxima(samples);
    Table<uint16_t> bins = Table<uint16_t>::large(s->n ? s->n : 1, group);
    Table<int32_t> differences = Table<int32_t>::large(group * orthants, width);
    if (!max_alpha || !bins || !differences) {
        report_worker_error("out of memory error - max_diff[differences]");
        return Table<uint64_t>();
    }
    for (uint64_t i = t->from; i < t->to && keep_running(); i += group) {
        uint64_t corners[MAX_LABELLING_GROUP];
        for (int c = 0; c < group; c++) corners[c] = std::min(i + c, t->to - 1);
        if (!scan_corners_labellings<BLOCKS>(corners, group, t, bins, differences, max_alpha)) break;
        progress_add(std::min<uint64_t>(group, t->to - i));
    }
    return max_alpha;
}

Table<uint64_t> labellings_scan(Task* task) {
    static const KernelBody bodies[5] = {labellings_kernel<0>, labellings_kernel<1>, labellings_kernel<2>,
                                         labellings_kernel<3>, labellings_kernel<4>};
    return run_kernel(task, bodies);
}

