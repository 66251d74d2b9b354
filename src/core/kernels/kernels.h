// The entries of the scan paths, and the task record they take.
#ifndef TESSARIN_KERNELS_H
#define TESSARIN_KERNELS_H

#include <stdint.h>

#include "memory.h"

struct DataSet;
struct Options;
struct SignificanceRuntime;

// One share of a computation: the units [from, to) of the data set, and
// the histogram of the binomial significance that its corners go to (the
// running worker's own), or null when none is asked for.
struct Task {
    uint64_t from;
    uint64_t to;
    const DataSet* data;
    const Options* options;
    SignificanceRuntime* histogram;
};

// The single-labelling scans of the dense path hold one counter per orthant
// with the folded weight size_y * cx - size_x * cy of each point, the scaled
// difference itself, and scan a group of corners per pass over the points:
// each point is read once for the whole group, and the corners' counters are
// independent, so updates of one orthant by consecutive points overlap. A
// group may repeat its last corner to fill up; a repeat changes no maximum.
constexpr int MAX_CORNER_GROUP = 32;

// Each returns the result array of the task's corners (maximum_location.h),
// or an empty table on failure with the message reported through
// report_worker_error; an interruption returns what was done so far.
Table<uint64_t> dense_scan(Task* task);
Table<uint64_t> sparse_scan(Task* task);
Table<uint64_t> lanes_scan(Task* task);
Table<uint64_t> packed_scan(Task* task);
Table<uint64_t> labellings_scan(Task* task);
Table<uint64_t> hashed_scan(Task* task);
// Its units are labellings, which it shares out over options->thread_no
// threads itself.
Table<uint64_t> dominance_scan(Task* task);

#endif
