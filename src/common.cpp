#include "common.h"

#include <pthread.h>
#include <string.h>

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
