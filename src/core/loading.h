// The loading stages, in the order load_data_set runs them, and what they
// share: the caller's stop poll and the record a failure goes to. Each stage
// returns 0, or 1 with the failure in *error.
#ifndef TESSARIN_LOADING_H
#define TESSARIN_LOADING_H

#include <stdint.h>

#include "common.h"
#include "data_set.h"

struct Loading {
    StopPoll stop;
    Error* error;

    // Asks the caller whether to stop, and records that it did.
    bool stopped() const {
        if (!stop()) return false;
        error->kind = ErrorKind::stopped;
        return true;
    }
    // The same, before every 10000th item of a long loop.
    bool stopped_at(uint64_t index) const { return index % 10000 == 0 && stopped(); }
};

// The source of the permutation draws. Without a seed the draws continue
// libc's process-wide rand() sequence; with one, the call draws from a
// generator of its own that yields what rand() yields after srand(seed) in
// the GNU C library, and leaves the process-wide generator alone.
struct RandomSource {
    bool own;
    int32_t table[31];
    int front, rear;
};
void seed_random(RandomSource* r, uint32_t seed);
uint32_t next_random(RandomSource* r);  // 31 random bits

// The coordinates as int32 values or as dense ranks per dimension.
[[nodiscard]] int load_coordinates(DataSet* s, const Input& input, uint32_t threads, const Loading& load);
// Column 0 of both multiplicity tables, and the samples' sizes.
[[nodiscard]] int load_multiplicities(DataSet* s, const Input& input, const Loading& load);
// Equal points merged into one, with summed multiplicities.
[[nodiscard]] int deduplicate_data(DataSet* s, uint32_t threads, const Loading& load);
// Columns 1 to samples - 1 of the multiplicity tables.
[[nodiscard]] int generate_permutations(DataSet* s, bool draw_samples, RandomSource* random, uint32_t threads,
                                        const Loading& load);

#endif
