// The C++ API of the core: load a data set from arrays of points, run the
// test on it, read the result. Everything a program needs is here; it links
// the core library of one build (tessarin_core_portable, say) and no Python.
//
//   tessarin::Input input;               // the samples, read in place
//   input.type = tessarin::ValueType::float64;
//   input.rvs = {(const char*)x, n_x, d, d * 8, 8};
//   input.cdf = {(const char*)y, n_y, d, d * 8, 8};
//   input.has_cdf = true;
//   tessarin::Options options;           // n_jobs, permutations, p-values
//   tessarin::DataSet data;
//   tessarin::Error error;
//   if (tessarin::load(input, &options, &data, &error) != 0) ...
//   tessarin::TestResult result;
//   if (tessarin::run(data, options, &result, &error) != 0) ...
//   result.value, result.permutation_significance, result.location_row ...
//
// Failures come back as a nonzero status with the kind and message in
// `error`; nothing throws.
#ifndef TESSARIN_H
#define TESSARIN_H

#include "common.h"
#include "data_set.h"
#include "scan_paths.h"
#include "workers.h"

namespace tessarin {

using ::DataSet;
using ::Error;
using ::ErrorKind;
using ::Input;
using ::Options;
using ::PointArray;
using ::CountArray;
using ::StopPoll;
using ::TestResult;
using ::ValueType;

// Prepares the data set (load_data_set); options->scan receives the chosen
// scan path. Returns 0, or 1 with *error set.
[[nodiscard]] inline int load(const Input& input, Options* options, DataSet* data, Error* error) {
    return load_data_set(input, options, data, error);
}

// Computes the statistic, its location and the p-values the options ask for,
// on options.thread_no threads. Computations of the process take turns. A
// computation stops early when options.cancel's byte becomes nonzero
// ("Cancelled by the caller"), or when `*signals` becomes 0 ("Interrupted by
// signal"; a signal handler of the caller's clears it), both as
// ErrorKind::stopped. Returns 0, or 1 with *error set.
[[nodiscard]] int run(const DataSet& data, const Options& options, TestResult* result, Error* error,
                      volatile int* signals = nullptr);

// The name of the scan path the options hold, as details["scan"] reports it.
inline const char* scan_name(const Options& options) { return scan_paths[options.scan].name; }

}  // namespace tessarin

#endif
