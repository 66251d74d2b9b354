#include "common.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

char error_buffer[ERROR_BUFFER_SIZE] = "";
volatile uint64_t progressDone = 0;
volatile uint64_t progressTotal = 0;
volatile int keepRunning = 1;
bool debug_enabled = false;
StopSources stop_sources = {NULL, NULL};

static pthread_mutex_t error_mutex = PTHREAD_MUTEX_INITIALIZER;
static bool worker_error_reported = false;

void enable_debug() { debug_enabled = true; }

// Copies a message into error_buffer; the caller holds error_mutex.
static void copy_message(const char* message) {
    strncpy(error_buffer, message, ERROR_BUFFER_SIZE - 1);
    error_buffer[ERROR_BUFFER_SIZE - 1] = '\0';
}

void store_error_message(const char* message) {
    pthread_mutex_lock(&error_mutex);
    copy_message(message);
    pthread_mutex_unlock(&error_mutex);
}

void read_error_message(char* out) {
    pthread_mutex_lock(&error_mutex);
    memcpy(out, error_buffer, ERROR_BUFFER_SIZE);
    pthread_mutex_unlock(&error_mutex);
}

void reset_worker_error() {
    pthread_mutex_lock(&error_mutex);
    worker_error_reported = false;
    pthread_mutex_unlock(&error_mutex);
}

void report_worker_error(const char* message) {
    pthread_mutex_lock(&error_mutex);
    if (!worker_error_reported) {
        worker_error_reported = true;
        copy_message(message);
    }
    pthread_mutex_unlock(&error_mutex);
}

void reset_common_state_after_fork() {
    pthread_mutex_init(&error_mutex, NULL);
    worker_error_reported = false;
    keepRunning = 1;
    stop_sources = {NULL, NULL};
}

// One part of a run_parallel call, handed to its thread.
struct ParallelPart {
    void (*body)(void*, uint32_t);
    void* context;
    uint32_t index;
};

static void* parallel_part(void* vargp) {
    ParallelPart* part = (ParallelPart*)vargp;
    part->body(part->context, part->index);
    return NULL;
}

void* alloc_large(size_t bytes) {
    const size_t huge = (size_t)2 << 20;
    if (bytes < 4 * huge) return malloc(bytes ? bytes : 1);
    void* block = NULL;
    if (posix_memalign(&block, huge, bytes) != 0) return NULL;
    madvise(block, bytes & ~(huge - 1), MADV_HUGEPAGE);
    return block;
}

void run_parallel(uint32_t count, void (*body)(void*, uint32_t), void* context) {
    ParallelPart* parts = count > 1 ? (ParallelPart*)malloc(count * sizeof(ParallelPart)) : NULL;
    pthread_t* ids = count > 1 ? (pthread_t*)malloc(count * sizeof(pthread_t)) : NULL;
    bool* started = count > 1 ? (bool*)calloc(count, sizeof(bool)) : NULL;
    if (!parts || !ids || !started) {
        free(parts);
        free(ids);
        free(started);
        for (uint32_t t = 0; t < count; t++) body(context, t);
        return;
    }
    for (uint32_t t = 1; t < count; t++) {
        parts[t] = {body, context, t};
        started[t] = pthread_create(&ids[t], NULL, parallel_part, &parts[t]) == 0;
    }
    body(context, 0);
    for (uint32_t t = 1; t < count; t++) {
        if (started[t]) {
            pthread_join(ids[t], NULL);
        } else {
            body(context, t);
        }
    }
    free(parts);
    free(ids);
    free(started);
}
