// The large tables: blocks of 2 MiB or more in mappings of their own, kept
// for reuse within a call.
#include "memory.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

// Guards the kept mappings of alloc_large (below).
static pthread_mutex_t cacheMutex = PTHREAD_MUTEX_INITIALIZER;

// Each block is preceded by where its mapping starts and how long it is (no
// mapping for the small blocks, which come from malloc).
struct LargeHeader {
    void* mapping;
    size_t length;
};

// Mappings released during a call, kept for the tables allocated after them
// (the ranking's scratch for the dominance counts' tables, say), whose pages
// are then already backed: a fresh mapping costs a fault and the zeroing of
// every page on first touch. release_large_cache returns them to the system.
constexpr int kCachedMappings = 16;
static LargeHeader cachedMappings[kCachedMappings];
static int cachedCount = 0;

// Takes the smallest kept mapping of at least `length` bytes, but not one
// more than twice as long; {NULL, 0} when there is none.
static LargeHeader take_cached_mapping(size_t length) {
    pthread_mutex_lock(&cacheMutex);
    int best = -1;
    for (int i = 0; i < cachedCount; i++) {
        const size_t have = cachedMappings[i].length;
        if (have >= length && have / 2 <= length && (best < 0 || have < cachedMappings[best].length)) best = i;
    }
    LargeHeader taken = {NULL, 0};
    if (best >= 0) {
        taken = cachedMappings[best];
        cachedMappings[best] = cachedMappings[--cachedCount];
    }
    pthread_mutex_unlock(&cacheMutex);
    return taken;
}

// Under a sanitizer every block comes from malloc, whose blocks it watches.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnMappings = false;
#else
constexpr bool kOwnMappings = true;
#endif

void* alloc_large(size_t bytes) {
    const size_t huge = (size_t)2 << 20;
    if (bytes < huge || !kOwnMappings) {
        LargeHeader* header = (LargeHeader*)malloc(sizeof(LargeHeader) + (bytes ? bytes : 1));
        if (!header) return NULL;
        *header = {NULL, 0};
        return header + 1;
    }
    // A mapping of its own: malloc would hand out blocks of this size from
    // mappings or from its heap depending on what it freed before, and only
    // fresh mappings reliably get huge pages. Lengths are whole huge pages,
    // with one more to align the block.
    size_t length;
    if (__builtin_add_overflow(bytes, 2 * huge - 1, &length)) return NULL;
    length &= ~(huge - 1);
    LargeHeader header = take_cached_mapping(length);
    if (header.mapping && header.length > length) {
        // The pages past the block go back, so that a kept mapping weighs no
        // more than a fresh one.
        madvise((char*)header.mapping + length, header.length - length, MADV_DONTNEED);
    } else if (!header.mapping) {
        void* mapping = mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) return NULL;
        madvise(mapping, length, MADV_HUGEPAGE);
        header = {mapping, length};
    }
    char* block = (char*)(((uintptr_t)header.mapping + sizeof(LargeHeader) + huge - 1) & ~(uintptr_t)(huge - 1));
    ((LargeHeader*)block)[-1] = header;
    return block;
}

void free_large(void* block) {
    if (!block) return;
    const LargeHeader header = ((LargeHeader*)block)[-1];
    if (!header.mapping) {
        free((LargeHeader*)block - 1);
        return;
    }
    pthread_mutex_lock(&cacheMutex);
    const bool kept = cachedCount < kCachedMappings;
    if (kept) cachedMappings[cachedCount++] = header;
    pthread_mutex_unlock(&cacheMutex);
    if (!kept) munmap(header.mapping, header.length);
}

void release_large_cache() {
    pthread_mutex_lock(&cacheMutex);
    for (int i = 0; i < cachedCount; i++) munmap(cachedMappings[i].mapping, cachedMappings[i].length);
    cachedCount = 0;
    pthread_mutex_unlock(&cacheMutex);
}


void reset_large_tables_after_fork() {
    // The kept mappings are the child's too; only the lock may be stale.
    pthread_mutex_init(&cacheMutex, NULL);
}
