// The data-set and options records of one test call, and the loader that
// fills them from the call's arguments.
#ifndef TESSARIN_DATA_H
#define TESSARIN_DATA_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdbool.h>
#include <stdint.h>

// The prepared data set. Points 0 to n1 - 1 come from rvs, the rest from cdf
// (until duplicate merging reorders them by first appearance). Coordinates
// are ranks within their dimension, or the int32 input values themselves;
// only their order and equality matter. Multiplicity tables are point-major:
// the entry of point i under labelling p is at i * samples + p, labelling 0
// being the observed one.
struct DataSet {
    uint64_t n;           // number of points (distinct points after merging)
    uint64_t d;           // dimensions, at most 63
    uint64_t orthants;   // 2^d orthants around every corner
    uint64_t samples;     // labellings: permutation samples + 1
    uint64_t size_x;      // total multiplicity of the first sample
    uint64_t size_y;      // total multiplicity of the second sample
    int32_t* coordinates; // n x d coordinates, point-major
    uint32_t* counts_x;   // n x samples multiplicities in the first sample
    uint32_t* counts_y;   // n x samples multiplicities in the second sample
    uint64_t vector_blocks;    // 16-lane vectors per point: (d + 15) / 16
    void* rank_vectors;    // n x vector_blocks blocks of 64 bytes, 64-byte aligned;
                          // null when the chosen scan does not read it
    int64_t* folded;      // n weights size_y * cx - size_x * cy of the observed
                          // labelling, or null when the chosen scan does not fold
    int64_t largest_weight;  // largest magnitude among the folded weights, 0 when not stored
    int32_t* labelling_weights;  // the folded weights of every labelling, in
                          // chunks of LABELLING_CHUNK labellings: chunk q holds
                          // n rows of its labellings, padded with zeros to a
                          // multiple of 8, from n * q * LABELLING_CHUNK on;
                          // null unless the several-labelling scan runs
    uint64_t* origin;     // n row indices: where each point first appears among
                          // the rows of rvs followed by those of cdf
    uint64_t rvs_rows;    // rows of rvs
    bool ranked;          // coordinates are dense ranks (float and int64 input),
                          // not int32 values copied as given
    uint32_t bucket_bits; // TESSARIN_BUCKET_BITS for the dominance counts'
                          // bucketed sweeps (1 to 31), or 0 to choose by size
};

// Labellings per chunk of the several-labelling scan's weights (a multiple
// of 8).
constexpr uint64_t LABELLING_CHUNK = 32;

// The ways of computing the labelling maxima; choose_scan says when each
// serves and which one a call gets.
enum ScanPath {
    SCAN_DENSE,       // counts both samples in all 2^d orthants of each corner
    SCAN_SPARSE,      // sorts the points by orthant around each corner
    SCAN_LANES,       // folded weights, sixteen corners in vector lanes
    SCAN_PACKED,      // folded weights, corners packed into one comparison
    SCAN_LABELLINGS,  // folded 32-bit weights of several labellings
    SCAN_HASHED,      // folded weights, occupied orthants in a hash table
    SCAN_DOMINANCE,   // dominance counts instead of a scan of all pairs
    SCAN_PATH_COUNT
};

// Short names of the paths, as reported and as TESSARIN_SCAN takes them.
extern const char* const scan_path_names[SCAN_PATH_COUNT];

// The call's options, with the defaults written by load_data.
struct Options {
    uint32_t thread_no;                    // n_jobs
    uint32_t permutation_significance;     // permutation_samples
    bool calculate_binomial_significance;  // binomial_significance
    bool max_alpha_beta;                   // max_alpha_beta
    bool scale_result;                     // scale_result
    bool deduplicate_data;                 // deduplicate_data
    bool draw_samples;                     // draw_samples
    bool details;  // return a dict that also holds the two directional maxima
    ScanPath scan;  // chosen by the loader once the data set is known
    // The caller's cancellation flag (`cancel`): a writable buffer whose first
    // byte stops the computation once it is nonzero. obj is null when none
    // was given; free_data releases it.
    Py_buffer cancel;
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

[[nodiscard]] int load_data(DataSet* s, Options* options, PyObject* args, PyObject* kwargs,
                            bool skip_samples);
void free_data(DataSet* s, Options* options);

// Loading stages, in the order load_data runs them.
[[nodiscard]] int validate_inputs(PyObject* data, PyObject* data2, PyObject* counts_x,
                                  PyObject* counts_y);
void load_shapes(DataSet* s, PyObject* data, PyObject* data2, uint64_t* n1, uint64_t* n2);
[[nodiscard]] int copy_data(DataSet* s, PyObject* data, PyObject* data2);
template <typename T>
[[nodiscard]] int32_t* load_ranking(PyObject* data, PyObject* data2, int typenum, uint32_t threads);
[[nodiscard]] int load_counts_x(DataSet* s, PyObject* counts_x, uint64_t n1, uint64_t n2);
[[nodiscard]] int load_counts_y(DataSet* s, PyObject* counts_y, uint64_t n1, uint64_t n2);
[[nodiscard]] int deduplicate_data(DataSet* s, uint32_t threads);
[[nodiscard]] int generate_permutations(DataSet* s, bool draw_samples, RandomSource* random,
                                        uint32_t threads);
[[nodiscard]] int load_rank_vectors(DataSet* s);
[[nodiscard]] int load_folded_weights(DataSet* s);
[[nodiscard]] int load_labelling_weights(DataSet* s);
[[nodiscard]] int choose_scan(const DataSet* s, Options* options, const char* forced);

#endif
