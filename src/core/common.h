// Process-wide state shared by the loader, the kernels and the significance
// workers of one build: the last worker error, the stop flag and sources, and
// the progress counters.
#ifndef TESSARIN_COMMON_H
#define TESSARIN_COMMON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define ERROR_BUFFER_SIZE 255

// The kinds of failure a caller tells apart; the Python layer raises each as
// its documented exception.
enum class ErrorKind : uint8_t {
    none,
    value,      // a bad value in the input (ValueError)
    runtime,    // no memory, a missing processor feature (RuntimeError)
    stopped,    // the caller's stop poll ended the load; the caller knows why
};

// A failure of loading or of a call's set-up: its kind and its message.
struct Error {
    ErrorKind kind = ErrorKind::none;
    char message[ERROR_BUFFER_SIZE] = "";
};

// Records a failure with a printf-style message, cut to the buffer's size.
void set_error(Error* error, ErrorKind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Text of the first failure of a computation's worker threads, written
// through report_worker_error and read back with read_error_message once the
// workers are joined. The loader reports its failures in an Error instead.
extern char error_buffer[ERROR_BUFFER_SIZE];

// 1 while a computation may go on; the signal handler stores 0 and the
// kernels and significance workers poll it without locking. It is shared
// between threads and a signal handler, so every access goes through
// keep_running and set_keep_running, which make it a relaxed atomic: as cheap
// as a plain access, and free of data races.
extern volatile int keepRunning;

static inline void set_keep_running(int value) { __atomic_store_n(&keepRunning, value, __ATOMIC_RELAXED); }

// What stops the running computation. Signals reach only calls made on the
// interpreter's main thread, so `signals` is &keepRunning for those and null
// otherwise; `cancel` is the byte of the caller's cancellation flag, or null.
// Computations take turns, so one record serves them all: the test call sets
// it before its workers start and clears it after they are joined.
struct StopSources {
    volatile int* signals;
    unsigned char* cancel;
};
extern StopSources stop_sources;

static inline bool flag_cancelled(unsigned char* flag) {
    return flag && __atomic_load_n(flag, __ATOMIC_RELAXED) != 0;
}

static inline bool keep_running() {
    const StopSources sources = stop_sources;
    return !(sources.signals && __atomic_load_n(sources.signals, __ATOMIC_RELAXED) == 0) &&
           !flag_cancelled(sources.cancel);
}

// Progress of the running computation, in units of work that the scan path
// defines (a corner for the scans of all pairs, a corner of one phase of one
// chunk of labellings for the dominance counts): how many are done out of how
// many. Computations take turns, so there is one pair for the process; the
// workers add with relaxed atomics, and any thread may read it while they run.
extern volatile uint64_t progressDone;
extern volatile uint64_t progressTotal;

static inline void progress_start(uint64_t total) {
    __atomic_store_n(&progressDone, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&progressTotal, total, __ATOMIC_RELAXED);
}
static inline void progress_add(uint64_t units) { __atomic_fetch_add(&progressDone, units, __ATOMIC_RELAXED); }
static inline uint64_t progress_done() { return __atomic_load_n(&progressDone, __ATOMIC_RELAXED); }
static inline uint64_t progress_total() { return __atomic_load_n(&progressTotal, __ATOMIC_RELAXED); }


// Every access to error_buffer takes one lock.

// Copy the current message into `out` (ERROR_BUFFER_SIZE bytes).
void read_error_message(char* out);

// Forget any failure recorded by a previous computation. Called by the test
// call before its worker threads start.
void reset_worker_error();

// Computations share error_buffer, the stop sources and the progress
// counters, so computations take turns: each runs with this lock held.
void lock_computation();
void unlock_computation();

// Puts the process-wide state back to that of a fresh process. Run in the
// child of fork(), where a lock held by a thread that does not exist there
// would otherwise stay locked for ever.
void reset_common_state_after_fork();

// Record the failure of a worker thread. Several workers may fail at once;
// only the first message is kept, so error_buffer always holds one whole text.
void report_worker_error(const char* message);

#endif
