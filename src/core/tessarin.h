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

// Runs `body`, a computation that returns 0, or 1 with its message reported
// through report_worker_error, the way every computation runs: under the
// computation lock (computations of the process take turns), with the stop
// sources set to options.cancel and `signals`, and the first worker error
// read back. A stop comes back as ErrorKind::stopped, "Interrupted by signal"
// when `*signals` became 0, "Cancelled by the caller" when the cancellation
// byte became nonzero; both win over what the body returned. Returns 0, or 1
// with *error set.
template <typename Body>
[[nodiscard]] int run_computation(const Options& options, volatile int* signals, Error* error, Body body) {
    char message[ERROR_BUFFER_SIZE];
    lock_computation();
    stop_sources = {signals, options.cancel};
    reset_worker_error();
    const int status = body();
    const bool interrupted = signals && !__atomic_load_n(signals, __ATOMIC_RELAXED);
    const bool cancelled = flag_cancelled(options.cancel);
    stop_sources = {nullptr, nullptr};
    read_error_message(message);
    unlock_computation();
    if (interrupted || cancelled) {
        set_error(error, ErrorKind::stopped, "%s", interrupted ? "Interrupted by signal" : "Cancelled by the caller");
        return 1;
    }
    if (status != 0) {
        set_error(error, ErrorKind::runtime, "%s", message);
        return 1;
    }
    return 0;
}

// Prepares the data set (load_data_set); options->scan receives the chosen
// scan path. Returns 0, or 1 with *error set.
[[nodiscard]] inline int load(const Input& input, Options* options, DataSet* data, Error* error) {
    return load_data_set(input, options, data, error);
}

// Computes the statistic, its location and the p-values the options ask for,
// on options.thread_no threads, as run_computation runs it: it stops early
// when options.cancel's byte becomes nonzero or `*signals` becomes 0 (a
// signal handler of the caller's clears it). Returns 0, or 1 with *error set.
[[nodiscard]] inline int run(const DataSet& data, const Options& options, TestResult* result, Error* error,
                             volatile int* signals = nullptr) {
    return run_computation(options, signals, error, [&]() { return run_test(result, &data, &options); });
}

// The name of the scan path the options hold, as details["scan"] reports it.
inline const char* scan_name(const Options& options) { return scan_paths[options.scan].name; }

}  // namespace tessarin

#endif
