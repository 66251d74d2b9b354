#include "common.h"

#include <pthread.h>
#include <string.h>

char error_buffer[ERROR_BUFFER_SIZE] = "";
volatile int keepRunning = 1;
bool debug_enabled = false;

static pthread_mutex_t worker_error_mutex = PTHREAD_MUTEX_INITIALIZER;
static bool worker_error_reported = false;

void enable_debug() { debug_enabled = true; }

void reset_worker_error() {
    pthread_mutex_lock(&worker_error_mutex);
    worker_error_reported = false;
    pthread_mutex_unlock(&worker_error_mutex);
}

void report_worker_error(const char* message) {
    pthread_mutex_lock(&worker_error_mutex);
    if (!worker_error_reported) {
        worker_error_reported = true;
        strncpy(error_buffer, message, ERROR_BUFFER_SIZE - 1);
        error_buffer[ERROR_BUFFER_SIZE - 1] = '\0';
    }
    pthread_mutex_unlock(&worker_error_mutex);
}
