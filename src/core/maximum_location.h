// The maxima that a kernel returns, and where the observed labelling's two
// maxima are reached.
//
// A kernel's result array holds 2 x samples maxima (the alpha half, then the
// beta half) followed by LOCATION_WORDS words: for the alpha maximum and then
// the beta maximum of labelling 0, the corner (its index in the loader's
// order of points), the orthant, and 1 when the first sample's share of that
// orthant is the larger there, 0 otherwise. Among equal differences the
// first corner in that order and then the lowest orthant index win, so the
// location depends neither on the number of threads nor on the scan path.
#ifndef TESSARIN_MAXIMUM_LOCATION_H
#define TESSARIN_MAXIMUM_LOCATION_H

#include <stdint.h>
#include <stdlib.h>

#include "memory.h"

constexpr uint64_t LOCATION_WORDS = 6;

// A zero-filled result array with no location yet (corner UINT64_MAX), or
// an empty table when it cannot be had.
static inline Table<uint64_t> alloc_maxima(uint64_t samples) {
    Table<uint64_t> maxima = Table<uint64_t>::zeroed(2 * samples + LOCATION_WORDS);
    if (maxima) maxima[2 * samples] = maxima[2 * samples + 3] = UINT64_MAX;
    return maxima;
}

// Raises one of labelling 0's maxima, `*value` with its location `where`, by
// the difference `alpha` seen at `corner` and `orthant`.
static inline void raise_located(uint64_t* value, uint64_t* where, uint64_t alpha, uint64_t corner,
                                 uint64_t orthant, bool positive) {
    if (alpha > *value ||
        (alpha == *value && (corner < where[0] || (corner == where[0] && orthant < where[1])))) {
        *value = alpha;
        where[0] = corner;
        where[1] = orthant;
        where[2] = positive;
    }
}

// Raises labelling 0's two maxima for one (corner, orthant): the alpha one
// when the corner belongs to the first sample, the beta one when it belongs
// to the second.
static inline void raise_observed(uint64_t* maxima, uint64_t samples, bool in_x, bool in_y, uint64_t alpha,
                                  uint64_t corner, uint64_t orthant, bool positive) {
    if (in_x) raise_located(maxima, maxima + 2 * samples, alpha, corner, orthant, positive);
    if (in_y) raise_located(maxima + samples, maxima + 2 * samples + 3, alpha, corner, orthant, positive);
}

// Merges the result array `from` into `into`: element-wise maxima, and for
// labelling 0 the location of the larger (or, among equals, the first).
static inline void merge_maxima(uint64_t* into, const uint64_t* from, uint64_t samples) {
    for (uint64_t half = 0; half < 2; half++) {
        const uint64_t* where = from + 2 * samples + 3 * half;
        if (where[0] != UINT64_MAX) {
            raise_located(into + half * samples, into + 2 * samples + 3 * half, from[half * samples], where[0],
                          where[1], where[2] != 0);
        }
    }
    for (uint64_t k = 0; k < 2 * samples; k++) into[k] = into[k] > from[k] ? into[k] : from[k];
}

#endif
