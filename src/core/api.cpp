// The C++ API's computation: one test run with the stop sources set and the
// worker error read back under the computation lock.
#include "tessarin.h"

namespace tessarin {

int run(const DataSet& data, const Options& options, TestResult* result, Error* error, volatile int* signals) {
    char message[ERROR_BUFFER_SIZE];
    lock_computation();
    stop_sources = {signals, options.cancel};
    reset_worker_error();
    const int status = run_test(result, &data, &options);
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

}  // namespace tessarin
