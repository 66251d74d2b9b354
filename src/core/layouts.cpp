// What the chosen scan path reads besides the coordinates and multiplicities.
#include "layouts.h"

#include <string.h>

#include <algorithm>

#include "scan_paths.h"

namespace {

// Every point's coordinates in blocks of 16 lanes, 64-byte aligned, the last
// block padded with zeros: the layout every build's kernels read (the AVX2
// build as two 32-byte halves per block, which the alignment keeps aligned).
int load_rank_vectors(DataSet* s, const Loading& load) {
    s->vector_blocks = (s->d + 15) / 16;
    uint64_t lanes;
    if (__builtin_mul_overflow(s->n, s->vector_blocks * 16, &lanes) ||
        !(s->rank_vectors = Table<int32_t>::aligned(lanes))) {
        set_error(load.error, ErrorKind::runtime, "out of memory - load_avx_data[rank_vectors]");
        return 1;
    }
    for (uint64_t i = 0; i < s->n; i++) {
        if (load.stopped_at(i)) return 1;
        for (uint64_t j = 0; j < s->vector_blocks; j++) {
            int32_t block[16] = {0};
            const uint64_t first = 16 * j;
            const uint64_t m = std::min<uint64_t>(16, s->d - first);
            memcpy(block, s->coordinates + i * s->d + first, m * sizeof(int32_t));
            memcpy(s->rank_vectors + (i * s->vector_blocks + j) * 16, block, sizeof(block));
        }
    }
    return 0;
}

inline int64_t folded_weight(const DataSet* s, uint64_t j) {
    return (int64_t)(s->size_y * s->counts_x[j]) - (int64_t)(s->size_x * s->counts_y[j]);
}

int load_folded_weights(DataSet* s, const Loading& load) {
    s->largest_weight = 0;
    if (!weights_fold(s)) return 0;
    if (!(s->folded = Table<int64_t>::large(s->n))) {
        set_error(load.error, ErrorKind::runtime, "out of memory - load_folded_weights[folded]");
        return 1;
    }
    for (uint64_t j = 0; j < s->n; j++) s->folded[j] = folded_weight(s, j);
    s->largest_weight = largest_folded_weight(s);
    return 0;
}

// The folded weights size_y * cx - size_x * cy of every labelling for the
// several-labelling scan (labelling_weights_fit holds).
int load_labelling_weights(DataSet* s, const Loading& load) {
    const uint64_t n = s->n, samples = s->samples;
    const uint64_t last = (samples - 1) / LABELLING_CHUNK * LABELLING_CHUNK;
    if (!(s->labelling_weights = Table<int32_t>::large(n, last + (samples - last + 7) / 8 * 8))) {
        set_error(load.error, ErrorKind::runtime, "out of memory - load_labelling_weights[labelling_weights]");
        return 1;
    }
    const uint32_t size_x = (uint32_t)s->size_x, size_y = (uint32_t)s->size_y;
    for (uint64_t first = 0; first < samples; first += LABELLING_CHUNK) {
        const uint64_t length = std::min(LABELLING_CHUNK, samples - first), width = (length + 7) / 8 * 8;
        int32_t* block = s->labelling_weights + n * first;
        for (uint64_t j = 0; j < n; j++) {
            if (load.stopped_at(j)) return 1;
            const uint32_t* cx = s->counts_x + j * samples + first;
            const uint32_t* cy = s->counts_y + j * samples + first;
            int32_t* row = block + j * width;
            for (uint64_t k = 0; k < length; k++) row[k] = (int32_t)(size_y * cx[k]) - (int32_t)(size_x * cy[k]);
            for (uint64_t k = length; k < width; k++) row[k] = 0;
        }
    }
    return 0;
}

}  // namespace

bool weights_fold(const DataSet* s) {
    uint64_t product;
    return s->samples == 1 && !__builtin_mul_overflow(s->size_x, s->size_y, &product) &&
           product <= (uint64_t)INT64_MAX;
}

int64_t largest_folded_weight(const DataSet* s) {
    int64_t largest = 0;
    if (!weights_fold(s)) return 0;
    for (uint64_t j = 0; j < s->n; j++) {
        const int64_t w = folded_weight(s, j);
        largest = std::max(largest, w < 0 ? -w : w);
    }
    return largest;
}

bool labelling_weights_fit(const DataSet* s) {
    uint64_t product;
    return s->samples > 1 && !__builtin_mul_overflow(s->size_x, s->size_y, &product) &&
           product <= (uint64_t)INT32_MAX;
}

int prepare_scan_path(DataSet* s, const Options* options, const Loading& load) {
    const uint32_t prepares = scan_paths[options->scan].prepares;
    if ((prepares & PREPARE_LABELLING_WEIGHTS) && load_labelling_weights(s, load)) return 1;
    if ((prepares & PREPARE_RANK_VECTORS) && load_rank_vectors(s, load)) return 1;
    return (prepares & PREPARE_FOLDED_WEIGHTS) ? load_folded_weights(s, load) : 0;
}
