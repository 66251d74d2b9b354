// Memory of the core: the large tables, and Table, the owner of every array
// the core allocates.
#ifndef TESSARIN_MEMORY_H
#define TESSARIN_MEMORY_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

// Allocates `bytes` like malloc, for the large tables: a block of 2 MiB or
// more is a mapping of its own, starting on a 2 MiB boundary, that asks the
// kernel for huge pages, which cut both its page faults and the translation
// misses of reading it at random. Released with free_large, never free; the
// mappings released are kept for later blocks until release_large_cache,
// which each call runs as it ends. Smaller blocks come from malloc, 16-byte
// aligned.
void* alloc_large(size_t bytes);
void free_large(void* block);
void release_large_cache();

// Releases the kept mappings when it goes out of scope: a call's last act.
struct LargeCacheRelease {
    LargeCacheRelease() = default;
    LargeCacheRelease(const LargeCacheRelease&) = delete;
    LargeCacheRelease& operator=(const LargeCacheRelease&) = delete;
    ~LargeCacheRelease() { release_large_cache(); }
};

// Run in the child of fork(): the kept mappings' lock may have been held by
// a thread the child does not have.
void reset_large_tables_after_fork();

// Where a Table's block comes from, and so how it goes back.
enum class TableKind : uint8_t {
    none,      // no block
    large,     // alloc_large: 2 MiB aligned when 2 MiB or more, else 16
    aligned,   // aligned_alloc at 64 bytes, for the vector layout
    borrowed,  // another Table's block, viewed, never released
};

// An array of `size` entries of T that releases its block when it goes out
// of scope, so that a function with several allocations and several ways
// out needs no cleanup code: every early return releases what was taken.
// Move-only; an allocation that fails (or whose size overflows) leaves the
// Table empty, which the caller checks on the next line. The entries are not
// initialised unless asked for. view() lends the block to a thread's private
// copy of a record without giving up ownership.
template <typename T>
class Table {
  public:
    Table() = default;
    ~Table() { reset(); }
    Table(Table&& other) noexcept { take(other); }
    Table& operator=(Table&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // count x width entries from alloc_large; empty when the size in bytes
    // overflows or the block cannot be had.
    [[nodiscard]] static Table large(uint64_t count, uint64_t width = 1) {
        Table table;
        uint64_t entries;
        size_t bytes;
        if (__builtin_mul_overflow(count, width, &entries) || __builtin_mul_overflow(entries, sizeof(T), &bytes)) {
            return table;
        }
        table.data_ = (T*)alloc_large(bytes);
        if (table.data_) {
            table.size_ = entries;
            table.kind_ = TableKind::large;
        }
        return table;
    }

    // The same, every byte zero.
    [[nodiscard]] static Table zeroed(uint64_t count, uint64_t width = 1) {
        Table table = large(count, width);
        if (table.data_) memset(table.data_, 0, table.size_ * sizeof(T));
        return table;
    }

    // count entries starting on a 64-byte boundary.
    [[nodiscard]] static Table aligned(uint64_t count) {
        Table table;
        size_t bytes;
        if (__builtin_mul_overflow(count, sizeof(T), &bytes)) return table;
        // aligned_alloc wants a nonzero multiple of the alignment.
        bytes = bytes ? (bytes + 63) / 64 * 64 : 64;
        table.data_ = (T*)aligned_alloc(64, bytes);
        if (table.data_) {
            table.size_ = count;
            table.kind_ = TableKind::aligned;
        }
        return table;
    }

    // The same block, not owned: valid while this Table keeps it.
    Table view() const {
        Table table;
        table.data_ = data_;
        table.size_ = size_;
        table.kind_ = data_ ? TableKind::borrowed : TableKind::none;
        return table;
    }

    void reset() {
        if (kind_ == TableKind::large) free_large(data_);
        if (kind_ == TableKind::aligned) free(data_);
        data_ = nullptr;
        size_ = 0;
        kind_ = TableKind::none;
    }

    T* get() const { return data_; }
    uint64_t size() const { return size_; }
    // Tables read like the arrays they hold: t[i], t + offset, !t when empty.
    operator T*() const { return data_; }

  private:
    void take(Table& other) {
        data_ = other.data_;
        size_ = other.size_;
        kind_ = other.kind_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.kind_ = TableKind::none;
    }

    T* data_ = nullptr;
    uint64_t size_ = 0;
    TableKind kind_ = TableKind::none;
};

#endif
