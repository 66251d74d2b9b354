// The coordinates of the data set: int32 values copied as given, or every
// dimension ranked densely over both samples together. Large data sets rank
// their dimensions on several threads, which give the same ranks for every
// thread count.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "loading.h"
#include "parallel.h"

namespace {

// The array a point index below the number of rows of rvs, or at or above
// it, belongs to, and the element (i, k) of a caller's array.
template <typename T>
inline T element_at(const PointArray& array, uint64_t i, uint64_t k) {
    return *(const T*)(array.base + (int64_t)i * array.row_stride + (int64_t)k * array.column_stride);
}

// Copies the rows of one array into s->coordinates from point `first` on.
int copy_rows(DataSet* s, const PointArray& array, uint64_t first, const Loading& load) {
    for (uint64_t i = 0; i < array.rows; i++) {
        if (load.stopped_at(i)) return 1;
        int32_t* out = s->coordinates + (first + i) * s->d;
        for (uint64_t k = 0; k < s->d; k++) out[k] = element_at<int32_t>(array, i, k);
    }
    return 0;
}

int copy_data(DataSet* s, const Input& input, const Loading& load) {
    if (!(s->coordinates = Table<int32_t>::large(s->n, s->d))) {
        set_error(load.error, ErrorKind::runtime, "out of memory error - load_data[data]");
        return 1;
    }
    if (copy_rows(s, input.rvs, 0, load)) return 1;
    return input.has_cdf ? copy_rows(s, input.cdf, input.rvs.rows, load) : 0;
}

template <typename T>
struct RankEntry {
    T value;
    uint64_t index;
};

// A key whose unsigned order is the order of the value: -0.0 and 0.0 get one
// key, as they compare equal. NaN never reaches here.
inline uint64_t order_key(double value) {
    if (value == 0) value = 0;
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return bits >> 63 ? ~bits : bits | ((uint64_t)1 << 63);
}

inline uint64_t order_key(int64_t value) { return (uint64_t)value ^ ((uint64_t)1 << 63); }

// Ranks one dimension from its order keys by a least-significant-digit radix
// sort of (key, point) pairs, skipping the passes in which every key has the
// same digit, then hands out dense ranks in key order, a new rank at each
// change of key. Large data sets take 16 bits a pass, smaller ones 11, so
// that the digit counts stay small beside the entries. `keyed` holds the n
// pairs followed by n more of scratch; the order among equal keys is of no
// consequence.
// `stopped()` is asked before each pass; when it says so, the ranking is
// abandoned and the ranks are left unwritten.
template <typename Stopped>
void radix_rank(RankEntry<uint64_t>* keyed, uint64_t n, uint64_t* counts, int bits, int32_t* ranks,
                       uint64_t d, uint64_t k, Stopped stopped) {
    const uint64_t digits = (uint64_t)1 << bits, digit_mask = digits - 1;
    const int passes = (64 + bits - 1) / bits;
    RankEntry<uint64_t>* from = keyed;
    RankEntry<uint64_t>* to = keyed + n;
    // Every pass's digit counts from one reading of the keys.
    memset(counts, 0, passes * digits * sizeof(uint64_t));
    for (uint64_t i = 0; i < n; i++) {
        const uint64_t key = from[i].value;
        for (int pass = 0; pass < passes; pass++) counts[pass * digits + ((key >> (pass * bits)) & digit_mask)]++;
    }
    for (int pass = 0; pass < passes; pass++) {
        if (stopped()) return;
        const int shift = pass * bits;
        uint64_t* count = counts + pass * digits;
        if (count[(from[0].value >> shift) & digit_mask] == n) continue;
        uint64_t total = 0;
        for (uint64_t digit = 0; digit < digits; digit++) {
            const uint64_t here = count[digit];
            count[digit] = total;
            total += here;
        }
        for (uint64_t i = 0; i < n; i++) to[count[(from[i].value >> shift) & digit_mask]++] = from[i];
        std::swap(from, to);
    }
    if (stopped()) return;
    int32_t rank = 0;
    for (uint64_t r = 0; r < n; r++) {
        if (r > 0 && from[r].value != from[r - 1].value) rank++;
        ranks[from[r].index * d + k] = rank;
    }
}

// A ranking thread's buffer, which serves every dimension it ranks: 2n radix
// entries with the radix sort's digit counts, or n entries for a comparison
// sort (digits empty).
struct RankScratch {
    Table<RankEntry<uint64_t>> order;
    Table<uint64_t> digits;
};

// At most one thread per dimension.
constexpr uint32_t MAX_RANKING_THREADS = 64;

// The dimensions to rank and where their ranks go, shared by the threads that
// rank them: thread t ranks dimensions t, t + threads, ... in a buffer of its
// own. Only the calling thread (part 0) asks the caller whether to stop; it
// sets `stop` for the others when told so.
template <typename T>
struct RankingJob {
    const PointArray* arrays[2];  // rvs and cdf (no rows when not given)
    uint64_t rows[2];
    uint64_t d;
    int32_t* ranks;        // n x d, point-major
    RankScratch* scratch;  // per thread
    uint64_t* nan_at;      // per dimension: the first point holding NaN, or UINT64_MAX
    uint32_t threads;
    bool stop;
    const Loading* load;
};

// Ranks one dimension: its values sorted together with their point indices
// hand out dense ranks, a new rank at each change of value (order keys and ==
// both make -0.0 and 0.0 one value). Large dimensions take the radix sort
// when its scratch could be had, others a comparison sort, in the thread's
// own buffer. A NaN, which has no place in the order, leaves the dimension
// unranked and is recorded in nan_at.
inline int radix_bits(uint64_t n) { return n >= ((uint64_t)1 << 18) ? 16 : 11; }
inline int radix_passes(uint64_t n) { return (64 + radix_bits(n) - 1) / radix_bits(n); }

// Whether the ranking should stop: the calling thread (part 0) asks the
// caller and tells the others.
template <typename T>
bool ranking_stopped(RankingJob<T>* job, uint32_t t) {
    if (t == 0 && job->load->stopped()) __atomic_store_n(&job->stop, true, __ATOMIC_RELAXED);
    return __atomic_load_n(&job->stop, __ATOMIC_RELAXED);
}

template <typename T>
void rank_column(RankingJob<T>* job, uint32_t t, uint64_t k) {
    const uint64_t n1 = job->rows[0], n2 = job->rows[1], n = n1 + n2, d = job->d;
    job->nan_at[k] = UINT64_MAX;
    RankEntry<T>* order = (RankEntry<T>*)job->scratch[t].order.get();
    uint64_t* counts = job->scratch[t].digits;
    if (counts) {
        RankEntry<uint64_t>* keyed = (RankEntry<uint64_t>*)order;
        for (uint64_t i = 0; i < n; i++) {
            const T value = i < n1 ? element_at<T>(*job->arrays[0], i, k) : element_at<T>(*job->arrays[1], i - n1, k);
            if (value != value) {
                job->nan_at[k] = i;
                break;
            }
            keyed[i] = {order_key(value), i};
        }
        if (job->nan_at[k] == UINT64_MAX) {
            radix_rank(keyed, n, counts, radix_bits(n), job->ranks, d, k, [job, t]() { return ranking_stopped(job, t); });
        }
        return;
    }
    for (uint64_t i = 0; i < n1; i++) order[i] = {element_at<T>(*job->arrays[0], i, k), i};
    for (uint64_t i = 0; i < n2; i++) order[n1 + i] = {element_at<T>(*job->arrays[1], i, k), n1 + i};
    for (uint64_t i = 0; i < n; i++) {
        if (order[i].value != order[i].value) {
            job->nan_at[k] = i;
            return;
        }
    }
    std::sort(order, order + n, [](const RankEntry<T>& a, const RankEntry<T>& b) { return a.value < b.value; });
    int32_t rank = 0;
    for (uint64_t r = 0; r < n; r++) {
        if (r > 0 && order[r].value != order[r - 1].value) rank++;
        job->ranks[order[r].index * d + k] = rank;
    }
}

template <typename T>
void rank_columns(void* vargp, uint32_t t) {
    RankingJob<T>* job = (RankingJob<T>*)vargp;
    for (uint64_t k = t; k < job->d; k += job->threads) {
        if (ranking_stopped(job, t)) return;
        rank_column(job, t, k);
    }
}

// Ranks every dimension densely over both arrays together: a value's rank is
// the number of distinct smaller values in its column. Up to `threads`
// threads rank dimensions side by side. A NaN coordinate is refused.
template <typename T>
int load_ranking(DataSet* s, const Input& input, uint32_t threads, const Loading& load) {
    const uint64_t d = s->d, n1 = input.rvs.rows, n2 = input.has_cdf ? input.cdf.rows : 0, n = n1 + n2;
    threads = (uint32_t)std::max<uint64_t>(1, std::min<uint64_t>(threads, d));
    static_assert(sizeof(RankEntry<T>) == sizeof(RankEntry<uint64_t>), "one buffer serves both sorts");
    RankScratch scratch[MAX_RANKING_THREADS];
    Table<int32_t> ranks = Table<int32_t>::large(n, d);
    Table<uint64_t> nan_at = Table<uint64_t>::large(d);
    bool ok = ranks && nan_at;
    for (uint32_t t = 0; ok && t < threads; t++) {
        if (n >= 2048) {
            scratch[t].order = Table<RankEntry<uint64_t>>::large(n, 2);
            scratch[t].digits = Table<uint64_t>::large(radix_passes(n), (uint64_t)1 << radix_bits(n));
            if (!scratch[t].order || !scratch[t].digits) {
                scratch[t].order.reset();
                scratch[t].digits.reset();
            }
        }
        if (!scratch[t].order) scratch[t].order = Table<RankEntry<uint64_t>>::large(n);
        ok = scratch[t].order;
    }
    if (!ok) {
        set_error(load.error, ErrorKind::runtime, "out of memory error - load_ranking[%s]", ranks ? "order" : "ret");
        return 1;
    }
    RankingJob<T> job = {{&input.rvs, &input.cdf}, {n1, n2}, d, ranks, scratch, nan_at, threads, false, &load};
    run_parallel(threads, rank_columns<T>, &job);
    if (job.stop) return 1;
    // The first NaN in column order, as a scan of the columns one by one
    // would meet it.
    for (uint64_t k = 0; k < d; k++) {
        const uint64_t i = nan_at[k];
        if (i == UINT64_MAX) continue;
        set_error(load.error, ErrorKind::value, "%s contains NaN (row %lu, column %lu)", i < n1 ? "rvs" : "cdf",
                  (unsigned long)(i < n1 ? i : i - n1), (unsigned long)k);
        return 1;
    }
    s->coordinates = std::move(ranks);
    return 0;
}

}  // namespace

int load_coordinates(DataSet* s, const Input& input, uint32_t threads, const Loading& load) {
    s->ranked = false;
    if (input.type == ValueType::int32) return copy_data(s, input, load);
    // Ranks are stored as int32: at most 2^31 distinct values per dimension.
    if (s->n > (uint64_t)INT32_MAX + 1) {
        set_error(load.error, ErrorKind::value, "at most 2147483648 points can be ranked (got %llu)",
                  (unsigned long long)s->n);
        return 1;
    }
    const int status = input.type == ValueType::int64 ? load_ranking<int64_t>(s, input, threads, load)
                                                      : load_ranking<double>(s, input, threads, load);
    s->ranked = status == 0;
    return status;
}
