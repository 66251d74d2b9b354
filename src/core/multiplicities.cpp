// The observed labelling's multiplicities: column 0 of the two tables, from
// the caller's counts or one per row, and the samples' sizes.
#include <string.h>

#include <algorithm>

#include "loading.h"

namespace {

// Stores the values of a count array at column 0 of `table` from point
// `first` on, adding them to *size. Counts must fit in 32 bits.
int store_counts(const CountArray& counts, const char* name, uint32_t* table, uint64_t samples, uint64_t first,
                 uint64_t* size, const Loading& load) {
    for (uint64_t i = 0; i < counts.length; i++) {
        if (load.stopped_at(i)) return 1;
        const int64_t value = *(const int64_t*)(counts.base + (int64_t)i * counts.stride);
        if (value < 0 || value > (int64_t)UINT32_MAX) {
            set_error(load.error, ErrorKind::value,
                      "%s values should be between 0 and 4294967295 (got %lld at index %lu)", name,
                      (long long)value, (unsigned long)i);
            return 1;
        }
        table[(first + i) * samples] = (uint32_t)value;
        *size += (uint64_t)value;
    }
    return 0;
}

// Sets column 0 of `table` to `value` for points [from, to), polling the
// caller with the running index.
int fill_column(uint32_t* table, uint64_t samples, uint64_t from, uint64_t to, uint32_t value,
                const Loading& load) {
    // Stretches between the polls, filled without a test per point.
    for (uint64_t i = from; i < to;) {
        if (load.stopped_at(i)) return 1;
        const uint64_t end = std::min(to, i + (10000 - i % 10000));
        if (samples == 1) {
            for (; i < end; i++) table[i] = value;
        } else {
            for (; i < end; i++) table[i * samples] = value;
        }
    }
    return 0;
}

int load_counts_x(DataSet* s, const Input& input, const Loading& load) {
    const uint64_t n1 = input.rvs.rows, n2 = s->n - n1;
    if (!(s->counts_x = Table<uint32_t>::large(s->n, s->samples))) {
        set_error(load.error, ErrorKind::runtime, "out of memory error - load_counts_x[counts_x]");
        return 1;
    }
    s->size_x = 0;
    if (!input.has_counts_rvs) {
        s->size_x = n1;
        if (fill_column(s->counts_x, s->samples, 0, n1, 1, load)) return 1;
    } else if (store_counts(input.counts_rvs, "counts_rvs", s->counts_x, s->samples, 0, &s->size_x, load)) {
        return 1;
    }
    if (s->samples == 1) {
        memset(s->counts_x + n1, 0, n2 * sizeof(uint32_t));
    } else {
        for (uint64_t i = 0; i < n2; i++) s->counts_x[(n1 + i) * s->samples] = 0;
    }
    return 0;
}

int load_counts_y(DataSet* s, const Input& input, const Loading& load) {
    const uint64_t n1 = input.rvs.rows, n2 = s->n - n1;
    if (!(s->counts_y = Table<uint32_t>::large(s->n, s->samples))) {
        set_error(load.error, ErrorKind::runtime, "out of memory error - load_counts_y[counts_y]");
        return 1;
    }
    s->size_y = 0;
    if (!input.has_counts_cdf) {
        s->size_y = n2;
        return fill_column(s->counts_y, s->samples, 0, n1, 0, load) ||
               fill_column(s->counts_y, s->samples, n1, s->n, 1, load);
    }
    if (n2 > 0 || input.counts_cdf.length != n1) {
        // cdf was given (its rows carry the counts) and the rvs rows weigh
        // nothing. With no cdf rows and no rvs rows both readings store
        // nothing.
        return fill_column(s->counts_y, s->samples, 0, n1, 0, load) ||
               store_counts(input.counts_cdf, "counts_cdf", s->counts_y, s->samples, n1, &s->size_y, load);
    }
    return store_counts(input.counts_cdf, "counts_cdf", s->counts_y, s->samples, 0, &s->size_y, load);
}

}  // namespace

int load_multiplicities(DataSet* s, const Input& input, const Loading& load) {
    return load_counts_x(s, input, load) || load_counts_y(s, input, load);
}
