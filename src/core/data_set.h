// The records of one test: the caller's input as the loader reads it, the
// call's options, and the prepared data set that the scan paths read.
#ifndef TESSARIN_DATA_SET_H
#define TESSARIN_DATA_SET_H

#include <stdbool.h>
#include <stdint.h>

#include "common.h"
#include "memory.h"
#include "scan_paths.h"

// The prepared data set. Points 0 to n1 - 1 come from rvs, the rest from cdf
// (until duplicate merging reorders them by first appearance). Coordinates
// are ranks within their dimension, or the int32 input values themselves;
// only their order and equality matter. Multiplicity tables are point-major:
// the entry of point i under labelling p is at i * samples + p, labelling 0
// being the observed one. The record owns its tables; view() gives a thread
// a private copy that borrows them.
struct DataSet {
    uint64_t n = 0;           // number of points (distinct points after merging)
    uint64_t d = 0;           // dimensions, at most 63
    uint64_t orthants = 1;    // 2^d orthants around every corner
    uint64_t samples = 1;     // labellings: permutation samples + 1
    uint64_t size_x = 0;      // total multiplicity of the first sample
    uint64_t size_y = 0;      // total multiplicity of the second sample
    Table<int32_t> coordinates;  // n x d, point-major
    Table<uint32_t> counts_x;    // n x samples multiplicities in the first sample
    Table<uint32_t> counts_y;    // n x samples multiplicities in the second sample
    uint64_t vector_blocks = 0;  // 16-lane blocks per point: (d + 15) / 16
    Table<int32_t> rank_vectors;  // n x vector_blocks blocks of 16 coordinates,
                                  // 64-byte aligned, zero-padded: the vector
                                  // layout every build's kernels read; empty
                                  // when the chosen path does not read it
    Table<int64_t> folded;    // n weights size_y * cx - size_x * cy of the observed
                              // labelling, or empty when the chosen path does not fold
    int64_t largest_weight = 0;  // largest magnitude among the folded weights, 0 when not stored
    Table<int32_t> labelling_weights;  // the folded weights of every labelling, in
                              // chunks of LABELLING_CHUNK labellings: chunk q holds
                              // n rows of its labellings, padded with zeros to a
                              // multiple of 8, from n * q * LABELLING_CHUNK on;
                              // empty unless the several-labelling scan runs
    Table<uint64_t> origin;   // n row indices: where each point first appears among
                              // the rows of rvs followed by those of cdf
    uint64_t rvs_rows = 0;    // rows of rvs
    bool ranked = false;      // coordinates are dense ranks (float and int64 input),
                              // not int32 values copied as given
    uint32_t bucket_bits = 0;  // the dominance counts' bucketed sweeps: 1 to 31
                               // bits, or 0 to choose by size

    // A copy of the record whose tables borrow this one's.
    DataSet view() const {
        DataSet copy;
        copy.n = n;
        copy.d = d;
        copy.orthants = orthants;
        copy.samples = samples;
        copy.size_x = size_x;
        copy.size_y = size_y;
        copy.coordinates = coordinates.view();
        copy.counts_x = counts_x.view();
        copy.counts_y = counts_y.view();
        copy.vector_blocks = vector_blocks;
        copy.rank_vectors = rank_vectors.view();
        copy.folded = folded.view();
        copy.largest_weight = largest_weight;
        copy.labelling_weights = labelling_weights.view();
        copy.origin = origin.view();
        copy.rvs_rows = rvs_rows;
        copy.ranked = ranked;
        copy.bucket_bits = bucket_bits;
        return copy;
    }
};

// Labellings per chunk of the several-labelling scan's weights (a multiple
// of 8).
constexpr uint64_t LABELLING_CHUNK = 32;

// The call's options. The caller sets all but `scan`, which the loader
// chooses once the data set is known.
struct Options {
    uint32_t thread_no = 1;                       // n_jobs
    uint32_t permutation_significance = 0;        // permutation_samples
    bool calculate_binomial_significance = false;  // binomial_significance
    bool max_alpha_beta = true;                    // max_alpha_beta
    bool scale_result = false;                     // scale_result
    bool deduplicate_data = true;                  // deduplicate_data
    bool draw_samples = false;                     // draw_samples
    bool details = false;  // keep the null distribution for the result
    ScanPath scan = SCAN_DENSE;
    // The caller's cancellation byte: the computation stops once it is
    // nonzero. Null when there is none.
    unsigned char* cancel = nullptr;
};

// The element type of the caller's coordinates: int32 values are copied as
// they are, int64 and float64 values are ranked per dimension.
enum class ValueType : uint8_t { int32, int64, float64 };

// A two-dimensional array of the caller's points, read in place: element
// (i, k) is the aligned value at base + i * row_stride + k * column_stride.
struct PointArray {
    const char* base = nullptr;
    uint64_t rows = 0;
    uint64_t columns = 0;
    int64_t row_stride = 0;
    int64_t column_stride = 0;
};

// A one-dimensional array of int64 multiplicities, read in place.
struct CountArray {
    const char* base = nullptr;
    uint64_t length = 0;
    int64_t stride = 0;
};

// How the loader asks its caller whether to stop: asked on the calling
// thread alone, between items; true ends the load with ErrorKind::stopped.
struct StopPoll {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return requested && requested(context); }
};

// What the loader reads: the two samples' points (cdf may be left out when
// counts_cdf gives the second sample's multiplicities over rvs's points),
// optional multiplicities, and the settings that are not options of the
// test itself.
struct Input {
    ValueType type = ValueType::float64;
    PointArray rvs;
    PointArray cdf;
    bool has_cdf = false;
    CountArray counts_rvs;
    bool has_counts_rvs = false;
    CountArray counts_cdf;
    bool has_counts_cdf = false;
    bool seeded = false;    // the draws come from a generator of the call's own
    uint32_t seed = 0;
    const char* scan = nullptr;            // a scan path to force, or null
    const char* scan_setting = "scan";     // how the caller names that setting
    uint32_t bucket_bits = 0;
    StopPoll stop;
};

// Refuses a build whose instructions this processor lacks: running its
// kernels would end the whole process. Returns 0, or 1 with *error set.
[[nodiscard]] int check_processor(Error* error);

// Prepares the data set of a test: checks the processor, loads the
// coordinates (copied or ranked) and multiplicities, merges equal points,
// draws the permutation samples, chooses the scan path into options->scan
// and lays out what it reads. Returns 0, or 1 with the failure in *error
// (ErrorKind::stopped when input.stop asked for it).
[[nodiscard]] int load_data_set(const Input& input, Options* options, DataSet* data, Error* error);

#endif
