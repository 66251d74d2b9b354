// The scan paths: the ways of computing every labelling's maxima, in one
// table that says for each what calls it serves, what it needs prepared, its
// entry and its units of work. The choice of path, the names callers force
// and report, and the split of a distributed computation all read the table.
#ifndef TESSARIN_SCAN_PATHS_H
#define TESSARIN_SCAN_PATHS_H

#include <stdint.h>

#include "memory.h"

struct DataSet;
struct Error;
struct Options;
struct Task;

// The paths, in the order the automatic choice tries them.
enum ScanPath {
    SCAN_DOMINANCE,   // dominance counts instead of a scan of all pairs
    SCAN_HASHED,      // folded weights, occupied orthants in a hash table
    SCAN_SPARSE,      // sorts the points by orthant around each corner
    SCAN_LANES,       // folded weights, sixteen corners in vector lanes
    SCAN_PACKED,      // folded weights, corners packed into one comparison
    SCAN_LABELLINGS,  // folded 32-bit weights of several labellings
    SCAN_DENSE,       // counts both samples in all 2^d orthants of each corner
    SCAN_PATH_COUNT
};

// What a path needs laid out besides the coordinates and multiplicities.
enum Preparation : uint32_t {
    PREPARE_RANK_VECTORS = 1,       // DataSet::rank_vectors
    PREPARE_FOLDED_WEIGHTS = 2,     // DataSet::folded and largest_weight
    PREPARE_LABELLING_WEIGHTS = 4,  // DataSet::labelling_weights
};

// The units of work a path's entry takes. Corners are split by the driver
// into shares that the threads claim; labellings go to the path whole, and
// it shares them out over the threads itself.
enum class WorkUnit : uint8_t { corners, labellings };

// A path's entry: the result array (see maximum_location.h) of the units
// [task->from, task->to), or an empty table on failure, with the message
// reported through report_worker_error.
typedef Table<uint64_t> (*ScanEntry)(Task* task);

struct ScanPathRow {
    const char* name;     // as forced, and as reported in details["scan"]
    const char* serves;   // the calls it serves, in words
    // Whether the path computes the call's maxima exactly: the binomial
    // histogram is asked for of collecting paths alone, before this.
    bool (*can_serve)(const DataSet* data);
    // Whether the automatic choice takes the path, among those that can
    // serve, when no earlier row was taken.
    bool (*preferred)(const DataSet* data);
    bool collects_histogram;  // fills the binomial histogram as it scans
    uint32_t prepares;        // Preparation bits
    WorkUnit unit;
    uint64_t block;           // blocks of a split computation best hold a
                              // multiple of this many units
    ScanEntry entry;
};

extern const ScanPathRow scan_paths[SCAN_PATH_COUNT];

// The units a data set's computation splits into under its chosen path.
uint64_t work_units(const DataSet* data, const Options* options);

// The one place where a call's scan path is decided (see scan_paths.cpp).
// `forced` is a name to force, or null; `setting` is how the caller names
// the setting in messages. Returns 0, or 1 with the refusal in *error.
[[nodiscard]] int choose_scan(const DataSet* data, Options* options, const char* forced, const char* setting,
                              Error* error);

#endif
