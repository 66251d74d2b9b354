// The one way the core runs parts of a computation side by side.
#include "parallel.h"

#include <pthread.h>
#include <stdlib.h>

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
