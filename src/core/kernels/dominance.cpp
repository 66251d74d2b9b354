// The dominance counts as a scan path: a block of labellings, every corner at
// once.
#include "common.h"
#include "data_set.h"
#include "dominance_counts.h"
#include "kernels/kernels.h"
#include "maximum_location.h"

Table<uint64_t> dominance_scan(Task* task) {
    Table<uint64_t> maxima = alloc_maxima(task->data->samples);
    if (!maxima) {
        report_worker_error("out of memory error - run_workers[max_alpha]");
        return Table<uint64_t>();
    }
    if (dominance_block_maxima(task->data, task->options->thread_no, task->histogram, task->from, task->to,
                               maxima) != 0) {
        return Table<uint64_t>();
    }
    return maxima;
}
