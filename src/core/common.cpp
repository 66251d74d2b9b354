#include "common.h"

#include "memory.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char error_buffer[ERROR_BUFFER_SIZE] = "";
volatile uint64_t progressDone = 0;
volatile uint64_t progressTotal = 0;
volatile int keepRunning = 1;
StopSources stop_sources = {NULL, NULL};

static pthread_mutex_t error_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t computation_mutex = PTHREAD_MUTEX_INITIALIZER;
static bool worker_error_reported = false;


// Copies a message into error_buffer; the caller holds error_mutex.
static void copy_message(const char* message) {
    strncpy(error_buffer, message, ERROR_BUFFER_SIZE - 1);
    error_buffer[ERROR_BUFFER_SIZE - 1] = '\0';
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

void lock_computation() { pthread_mutex_lock(&computation_mutex); }
void unlock_computation() { pthread_mutex_unlock(&computation_mutex); }

void reset_common_state_after_fork() {
    pthread_mutex_init(&error_mutex, NULL);
    pthread_mutex_init(&computation_mutex, NULL);
    reset_large_tables_after_fork();
    worker_error_reported = false;
    keepRunning = 1;
    stop_sources = {NULL, NULL};
}


void set_error(Error* error, ErrorKind kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(error->message, ERROR_BUFFER_SIZE, format, args);
    va_end(args);
    error->kind = kind;
}
