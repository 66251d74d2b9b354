// Orthant counts around every corner at once, from dominance counts, for data
// sets of at most three dimensions: O(n log^(d-1) n) work per labelling
// instead of the n^2 of a scan over all pairs of points.
#ifndef TESSARIN_DOMINANCE_COUNTS_H
#define TESSARIN_DOMINANCE_COUNTS_H

#include <stdint.h>

struct DataSet;
struct SignificanceRuntime;

// Computes the alpha and beta maxima of the block of labellings [first, end)
// of `s` (d <= 3), and where the observed labelling's are reached, into
// `max_alpha` (a result array from alloc_maxima), exactly as the scans define
// them, using up to `threads` threads; the maxima of the other labellings stay
// as they are. When `significance` is not null and the block holds labelling
// 0, it also adds every corner's first-sample orthant counts under the
// observed labelling to the histogram, weighted by the corner's multiplicity,
// as the scans do. Blocks that start at multiples of DOMINANCE_BLOCK keep the
// passes, which share several labellings, whole. Returns 0, or 1 with the
// message reported through report_worker_error. An interruption returns 0
// with incomplete maxima, which the caller discards.
constexpr uint64_t DOMINANCE_BLOCK = 8;
[[nodiscard]] int dominance_block_maxima(const DataSet* s, uint32_t threads, SignificanceRuntime* significance,
                                         uint64_t first, uint64_t end, uint64_t* max_alpha);

#endif
