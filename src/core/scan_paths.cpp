// The table of scan paths and the choice among them.
#include "scan_paths.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "data_set.h"
#include "dominance_counts.h"
#include "kernels/kernels.h"
#include "layouts.h"

namespace {

// Whether counting the orthants of all corners through dominance counts is
// expected to beat scanning all pairs of points, by a cost model fitted on an
// AMD EPYC (portable build, one thread, 2 x 4096 points with and without 15
// permutation samples):
//   a scan costs about 30 us to start plus, per (corner, point, labelling),
//   1.0, 1.9 and 2.6 ns at d = 1, 2, 3 with one labelling (the lane scan) and
//   0.55, 0.62 and 0.74 ns with several (the labelling scan);
//   dominance costs about 5 us plus, per point and labelling, 15, 3 to 6 x
//   log2 n and 2.1 to 6.9 x log2^2 n ns at d = 1, 2, 3 (passes shared by
//   several labellings cost less per labelling).
// With the histogram of the binomial significance both collect the same
// 2^d entries per corner, and its evaluation dominates either way. At these
// rates dominance wins from a few dozen points on, and its fixed cost is the
// smaller, so the model picks it for every call of one or two dimensions and
// for all but a band of small three-dimensional data sets with many
// labellings (about 20 to 150 points with 200 labellings), where the
// labelling scan is a little faster; the scans remain for larger d.
bool dominance_is_cheaper(const DataSet* data) {
    static const double scan_one_ns[4] = {1.0, 1.0, 1.9, 2.6}, scan_several_ns[4] = {0.55, 0.55, 0.62, 0.74};
    static const double dominance_one_ns[4] = {15, 15, 6, 6.9}, dominance_several_ns[4] = {15, 15, 3, 2.1};
    const double n = (double)data->n, labellings = (double)data->samples, log_n = log2(std::max(n, 2.0));
    const bool one = data->samples == 1;
    const double scan = 30e3 + (one ? scan_one_ns : scan_several_ns)[data->d] * n * n * labellings;
    const double dominance = 5e3 + (one ? dominance_one_ns : dominance_several_ns)[data->d] * n *
                                       pow(log_n, data->d > 1 ? data->d - 1.0 : 0.0) * labellings;
    return dominance < scan;
}

bool always(const DataSet*) { return true; }
// Fewer points than orthants: most orthants of a corner are empty.
bool few_points(const DataSet* data) { return data->n < data->orthants; }
bool many_points(const DataSet* data) { return data->n >= data->orthants; }

}  // namespace

// The rows, in the order the automatic choice tries them; each serves calls
// exactly, with the same maxima, location and (where it collects one)
// histogram as every other:
//   dominance   at most three dimensions: orthant counts of all corners at
//               once from dominance counts, in O(n log^(d-1) n) per labelling;
//               taken where the cost model expects it to beat the scans.
//   hashed      one labelling, folded weights, occupied orthants of a corner
//               found with a hash table; for n < 2^d.
//   sparse      every corner sorts the points by orthant and walks the runs;
//               the general path when n < 2^d.
//   lanes       one labelling, folded weights, 1 to 4 dimensions: sixteen
//               corners are the lanes of the vector operations (32-bit lane
//               sums, so the largest weight must fit 31 bits, which takes a
//               pass over the weights: asked only when this row is reached).
//   packed      one labelling, folded weights, 1 to 16 dimensions: 16 / d
//               corners share one 16-lane comparison.
//   labellings  several labellings, folded into 32-bit differences (needs
//               size_x * size_y < 2^31), corners in groups sharing each pass;
//               its orthant indices are 16-bit, so at most 16 dimensions.
//   dense       every corner counts both samples in all 2^d orthants (tables
//               of 2^d x labellings words); the general path when n >= 2^d.
// The paths that do not collect the binomial histogram serve no call that
// asks for it.
const ScanPathRow scan_paths[SCAN_PATH_COUNT] = {
    {"dominance", "at most three dimensions; any labellings", [](const DataSet* data) { return data->d <= 3; },
     dominance_is_cheaper, true, 0, WorkUnit::labellings, DOMINANCE_BLOCK, dominance_scan},
    {"hashed", "one labelling whose weights fold; fewer points than orthants", weights_fold, few_points, false,
     PREPARE_RANK_VECTORS | PREPARE_FOLDED_WEIGHTS, WorkUnit::corners, MAX_CORNER_GROUP, hashed_scan},
    {"sparse", "any call; fewer points than orthants", always, few_points, true, PREPARE_RANK_VECTORS,
     WorkUnit::corners, MAX_CORNER_GROUP, sparse_scan},
    {"lanes", "one labelling whose weights fold into 32 bits; 1 to 4 dimensions",
     [](const DataSet* data) {
         return weights_fold(data) && data->d >= 1 && data->d <= 4 && largest_folded_weight(data) <= INT32_MAX;
     },
     many_points, false, PREPARE_RANK_VECTORS | PREPARE_FOLDED_WEIGHTS, WorkUnit::corners, MAX_CORNER_GROUP,
     lanes_scan},
    {"packed", "one labelling whose weights fold; 1 to 16 dimensions",
     [](const DataSet* data) { return weights_fold(data) && data->d >= 1 && data->d <= 16; }, many_points, false,
     PREPARE_RANK_VECTORS | PREPARE_FOLDED_WEIGHTS, WorkUnit::corners, MAX_CORNER_GROUP, packed_scan},
    {"labellings", "several labellings with size_x * size_y below 2^31; at most 16 dimensions",
     [](const DataSet* data) { return labelling_weights_fit(data) && data->d <= 16; }, many_points, false,
     PREPARE_RANK_VECTORS | PREPARE_LABELLING_WEIGHTS, WorkUnit::corners, MAX_CORNER_GROUP, labellings_scan},
    {"dense", "any call", always, always, true, PREPARE_RANK_VECTORS, WorkUnit::corners, MAX_CORNER_GROUP,
     dense_scan},
};

uint64_t work_units(const DataSet* data, const Options* options) {
    return scan_paths[options->scan].unit == WorkUnit::labellings ? data->samples : data->n;
}

// Besides the rows' names, `forced` may be null, empty or "auto" for the
// automatic choice, "scan" for the automatic choice among the scans of all
// pairs (the rows whose units are corners), or "general" for the general
// path. A forced path that cannot serve the call is refused.
int choose_scan(const DataSet* data, Options* options, const char* forced, const char* setting, Error* error) {
    const bool binomial = options->calculate_binomial_significance;
    const auto serves = [&](int p) {
        return (!binomial || scan_paths[p].collects_histogram) && scan_paths[p].can_serve(data);
    };
    const bool scan_only = forced && strcmp(forced, "scan") == 0;
    if (forced && *forced && strcmp(forced, "auto") != 0 && !scan_only) {
        if (strcmp(forced, "general") == 0) {
            options->scan = few_points(data) ? SCAN_SPARSE : SCAN_DENSE;
            return 0;
        }
        for (int p = 0; p < SCAN_PATH_COUNT; p++) {
            if (strcmp(forced, scan_paths[p].name) != 0) continue;
            if (!serves(p)) {
                set_error(error, ErrorKind::value, "%s=%s cannot serve this call (%llu dimensions, %llu labellings%s)",
                          setting, forced, (unsigned long long)data->d, (unsigned long long)data->samples,
                          binomial ? ", binomial significance" : "");
                return 1;
            }
            options->scan = (ScanPath)p;
            return 0;
        }
        char names[160] = "auto, scan, general";
        for (int p = 0; p < SCAN_PATH_COUNT; p++) {
            strncat(names, ", ", sizeof(names) - strlen(names) - 1);
            strncat(names, scan_paths[p].name, sizeof(names) - strlen(names) - 1);
        }
        set_error(error, ErrorKind::value, "%s must be one of %s (got '%.40s')", setting, names, forced);
        return 1;
    }
    for (int p = 0; p < SCAN_PATH_COUNT; p++) {
        if (scan_only && scan_paths[p].unit != WorkUnit::corners) continue;
        if (serves(p) && scan_paths[p].preferred(data)) {
            options->scan = (ScanPath)p;
            return 0;
        }
    }
    options->scan = SCAN_DENSE;
    return 0;
}
