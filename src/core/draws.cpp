// The permutation samples: labellings of the pooled observations drawn
// without replacement (random splits) or with it, into columns 1 to
// samples - 1 of the multiplicity tables. Large draws run on several
// threads, with the same labellings for every thread count.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "loading.h"
#include "parallel.h"

static_assert(RAND_MAX == 2147483647, "the draws assume rand() yields 31 random bits");

void seed_random(RandomSource* r, uint32_t seed) {
    r->own = true;
    // The additive feedback generator x[i] = x[i - 3] + x[i - 31] of the GNU
    // C library's random(), seeded as srandom() seeds it: a Lehmer sequence
    // fills the table, and the first 310 outputs are thrown away.
    int64_t word = (int32_t)(seed ? seed : 1);
    r->table[0] = (int32_t)word;
    for (int i = 1; i < 31; i++) {
        const int64_t hi = word / 127773, lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0) word += 2147483647;
        r->table[i] = (int32_t)word;
    }
    r->front = 3;
    r->rear = 0;
    for (int i = 0; i < 310; i++) (void)next_random(r);
}

uint32_t next_random(RandomSource* r) {
    if (!r->own) return (uint32_t)rand();
    const uint32_t value = (uint32_t)r->table[r->front] + (uint32_t)r->table[r->rear];
    r->table[r->front] = (int32_t)value;
    r->front = r->front == 30 ? 0 : r->front + 1;
    r->rear = r->rear == 30 ? 0 : r->rear + 1;
    return value >> 1;
}

namespace {

// A position drawn uniformly from [0, total), total > 0. One call of the
// generator gives 2^31 equally likely values, two calls 2^62; the values of
// the incomplete top block (range mod total of them) are drawn again, so that
// no position comes up more often than another.
inline uint64_t uniform_below(RandomSource* r, uint64_t total) {
    const uint64_t range = (uint64_t)1 << 31;
    uint64_t value;
    if (total <= range) {
        const uint64_t limit = range - range % total;
        do value = next_random(r);
        while (value >= limit);
    } else {
        const uint64_t wide = range * range, limit = wide - wide % total;
        do value = ((uint64_t)next_random(r) << 31) | next_random(r);
        while (value >= limit);
    }
    return value % total;
}

// The point whose block of positions contains `position`, the points'
// observations laid out one after the other in the sum tree. Without
// replacement the observation is taken out of every entry on its path.
inline uint64_t descend_tree(uint32_t* count_tree, uint64_t size, bool remove, uint64_t position) {
    uint64_t element_index = 1;
    while (element_index < size) {
        if (remove) count_tree[element_index]--;
        // Without a branch: which way the position goes is a coin toss.
        const uint64_t left = count_tree[2 * element_index];
        const uint64_t right = position >= left;
        position -= left & (0 - right);
        element_index = 2 * element_index + right;
    }
    if (remove) count_tree[element_index]--;
    return element_index - size;
}

// One draw from the pooled observations held by the sum tree: the point at a
// random position. Returns the point's index.
inline uint64_t draw_point(uint32_t* count_tree, uint64_t size, bool remove,
                                  RandomSource* random) {
    return descend_tree(count_tree, size, remove, uniform_below(random, count_tree[1]));
}

// Sets the leaves to the pooled multiplicities and sums them up the tree,
// asking the caller whether to stop when `poll` is set (on the calling thread
// alone).
int build_count_tree(const DataSet* s, uint32_t* count_tree, uint64_t size, const Loading* poll) {
    for (uint64_t i = 0; i < s->n; i++) {
        if (poll && poll->stopped_at(i)) return 1;
        count_tree[size + i] = s->counts_x[i * s->samples] + s->counts_y[i * s->samples];
    }
    for (uint64_t j = size - 1; j >= 1; j--) {
        if (poll && poll->stopped_at(j)) return 1;
        count_tree[j] = count_tree[2 * j] + count_tree[2 * j + 1];
    }
    return 0;
}

// Draws `draws` observations into column p of `table`.
int draw_column(const DataSet* s, uint32_t* count_tree, uint64_t size, uint64_t draws, bool remove,
                uint32_t* table, uint64_t p, RandomSource* random, const Loading& load) {
    for (uint64_t t = 0; t < draws; t++) {
        if (load.stopped_at(t)) return 1;
        table[draw_point(count_tree, size, remove, random) * s->samples + p]++;
    }
    return 0;
}

// Labellings drawn on several threads. Every draw is a position below the
// number of observations still in the pool, which is known in advance (the
// pool loses one observation a draw without replacement and none with it),
// so the calling thread can take the random positions of each labelling from
// the generator in the usual sequence, while the workers, each with a sum
// tree of its own, turn the positions of earlier labellings into points. The
// tables come out exactly as one thread draws them. The positions pass
// through a ring of `ring` columns; the calling thread draws positions until
// the ring is full, then turns positions into points itself until a column is
// free again. Each labelling's multiplicities go to a column of `drawn` of
// its own, which the threads copy into the point-major tables at the end:
// threads writing neighbouring labellings straight into those tables would
// keep taking each other's cache lines. Only the calling thread polls for
// signals; it sets `stop` for the workers.
struct DrawRing {
    DataSet* s;
    bool remove;
    uint64_t draws;          // positions a labelling takes
    uint64_t columns;        // labellings to draw: samples - 1
    uint64_t ring;
    uint32_t threads;
    Table<uint32_t> positions;  // ring x draws
    Table<bool> busy;           // a column's positions wait in the slot or are in use
    Table<uint32_t> trees;      // one sum tree of 2 x size counters per thread
    uint64_t size;
    Table<uint32_t> drawn;      // columns x n first-sample multiplicities, then as
                                // many second-sample ones with replacement
    uint64_t produced;       // columns whose positions are in the ring
    uint64_t claimed;        // columns taken by a thread
    bool stop;
    bool failed;             // the caller asked the calling thread to stop
    RandomSource* random;
    const Loading* load;
    pthread_mutex_t mutex;
    pthread_cond_t changed;  // a column was produced or freed, or stop was set
};

// Turns the positions of column c (labelling c + 1) into multiplicities, with
// the thread's own tree. Without replacement the tree's leaves end up holding
// what each point keeps for the second sample. Returns false when stopped.
bool draw_from_positions(DrawRing* ring, uint32_t* tree, uint64_t c) {
    const DataSet* s = ring->s;
    const uint64_t n = s->n;
    const uint32_t* positions = ring->positions + c % ring->ring * ring->draws;
    uint32_t* drawn_x = ring->drawn + c * n;
    uint32_t* drawn_y = ring->drawn + (ring->columns + c) * n;
    if (ring->remove) {
        (void)build_count_tree(s, tree, ring->size, nullptr);
    } else {
        memset(drawn_x, 0, n * sizeof(uint32_t));
        memset(drawn_y, 0, n * sizeof(uint32_t));
    }
    for (uint64_t t = 0; t < ring->draws; t++) {
        if ((t & 4095) == 0 && __atomic_load_n(&ring->stop, __ATOMIC_RELAXED)) return false;
        const uint64_t point = descend_tree(tree, ring->size, ring->remove, positions[t]);
        if (!ring->remove) (t < s->size_x ? drawn_x : drawn_y)[point]++;
    }
    if (ring->remove) {
        for (uint64_t i = 0; i < n; i++) {
            drawn_x[i] = s->counts_x[i * s->samples] + s->counts_y[i * s->samples] - tree[ring->size + i];
        }
    }
    return true;
}

// Takes the next column whose positions are ready, waiting for one unless
// `wait` is false. Returns the column, or UINT64_MAX when there is none to
// take (or none yet, without waiting).
uint64_t claim_column(DrawRing* ring, bool wait) {
    pthread_mutex_lock(&ring->mutex);
    while (wait && ring->claimed == ring->produced && ring->produced < ring->columns && !ring->stop) {
        pthread_cond_wait(&ring->changed, &ring->mutex);
    }
    uint64_t c = UINT64_MAX;
    if (!ring->stop && ring->claimed < ring->produced) c = ring->claimed++;
    pthread_mutex_unlock(&ring->mutex);
    return c;
}

void release_column(DrawRing* ring, uint64_t c) {
    pthread_mutex_lock(&ring->mutex);
    ring->busy[c % ring->ring] = false;
    pthread_cond_broadcast(&ring->changed);
    pthread_mutex_unlock(&ring->mutex);
}

void stop_drawing(DrawRing* ring) {
    pthread_mutex_lock(&ring->mutex);
    __atomic_store_n(&ring->stop, true, __ATOMIC_RELAXED);
    pthread_cond_broadcast(&ring->changed);
    pthread_mutex_unlock(&ring->mutex);
}

// Fills slot c % ring with the positions of column c, in the generator's
// sequence. Returns false on a pending signal.
bool draw_positions(DrawRing* ring, RandomSource* random, uint64_t c) {
    uint32_t* positions = ring->positions + c % ring->ring * ring->draws;
    const uint64_t pool = ring->s->size_x + ring->s->size_y;
    for (uint64_t t = 0; t < ring->draws; t++) {
        if (ring->load->stopped_at(t)) return false;
        positions[t] = (uint32_t)uniform_below(random, ring->remove ? pool - t : pool);
    }
    return true;
}

// The calling thread's part: draws the positions of every column in turn,
// and turns columns into points while the ring is full.
bool produce_columns(DrawRing* ring, RandomSource* random) {
    for (uint64_t c = 0; c < ring->columns; c++) {
        for (;;) {
            pthread_mutex_lock(&ring->mutex);
            const bool free_slot = !ring->busy[c % ring->ring];
            pthread_mutex_unlock(&ring->mutex);
            if (free_slot) break;
            if (ring->load->stopped()) return false;
            const uint64_t mine = claim_column(ring, false);
            if (mine != UINT64_MAX) {
                if (!draw_from_positions(ring, ring->trees.get(), mine)) return false;
                release_column(ring, mine);
                continue;
            }
            // Every waiting column is in a worker's hands: wait a little for
            // one to come free, and poll again.
            struct timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += 2000000;
            if (until.tv_nsec >= 1000000000) {
                until.tv_sec++;
                until.tv_nsec -= 1000000000;
            }
            pthread_mutex_lock(&ring->mutex);
            if (ring->busy[c % ring->ring]) pthread_cond_timedwait(&ring->changed, &ring->mutex, &until);
            pthread_mutex_unlock(&ring->mutex);
        }
        if (!draw_positions(ring, random, c)) return false;
        pthread_mutex_lock(&ring->mutex);
        ring->busy[c % ring->ring] = true;
        ring->produced = c + 1;
        pthread_cond_broadcast(&ring->changed);
        pthread_mutex_unlock(&ring->mutex);
    }
    for (uint64_t c; (c = claim_column(ring, false)) != UINT64_MAX;) {
        if (ring->load->stopped() || !draw_from_positions(ring, ring->trees.get(), c)) return false;
        release_column(ring, c);
    }
    return true;
}

void draw_part(void* vargp, uint32_t t) {
    DrawRing* ring = (DrawRing*)vargp;
    if (!ring->remove) (void)build_count_tree(ring->s, ring->trees + t * 2 * ring->size, ring->size, nullptr);
    if (t == 0) {
        if (!produce_columns(ring, ring->random)) {
            ring->failed = true;
            stop_drawing(ring);
        }
        return;
    }
    for (uint64_t c; (c = claim_column(ring, true)) != UINT64_MAX;) {
        if (!draw_from_positions(ring, ring->trees + t * 2 * ring->size, c)) return;
        release_column(ring, c);
    }
}

// Copies the drawn columns into the point-major tables, thread t taking the
// t-th share of the points. Without replacement the second sample holds what
// the first did not draw.
void store_drawn(void* vargp, uint32_t t) {
    const DrawRing* ring = (const DrawRing*)vargp;
    DataSet* s = ring->s;
    const uint64_t n = s->n, samples = s->samples;
    const uint64_t from = n * t / ring->threads, to = n * (t + 1) / ring->threads;
    for (uint64_t i = from; i < to; i++) {
        uint32_t* cx = s->counts_x + i * samples;
        uint32_t* cy = s->counts_y + i * samples;
        const uint32_t pooled = cx[0] + cy[0];
        for (uint64_t p = 1; p < samples; p++) {
            cx[p] = ring->drawn[(p - 1) * n + i];
            cy[p] = ring->remove ? pooled - cx[p] : ring->drawn[(ring->columns + p - 1) * n + i];
        }
    }
}

// Drawing side by side holds the positions of a ring of twice as many
// columns as threads, and the drawn columns besides the tables; where that
// would take more than the multiplicity tables themselves (and more than 64
// MiB), or with a single labelling or thread, one thread draws.
bool draw_side_by_side(const DataSet* s, bool draw_samples, uint32_t threads) {
    const uint64_t draws = draw_samples ? s->size_x + s->size_y : s->size_x;
    const double ring = 2.0 * std::min<uint64_t>(threads, s->samples - 1) * (double)draws * sizeof(uint32_t);
    const double drawn = (draw_samples ? 2.0 : 1.0) * (double)s->n * (double)(s->samples - 1) * sizeof(uint32_t);
    const double tables = 2.0 * (double)s->n * (double)s->samples * sizeof(uint32_t);
    return threads > 1 && s->samples > 2 && ring + drawn <= std::max(tables, 64.0 * (1 << 20));
}

// Draws the labellings with the ring above.
int draw_in_parallel(DataSet* s, bool draw_samples, RandomSource* random, uint32_t threads, uint64_t size,
                     const Loading& load) {
    threads = (uint32_t)std::min<uint64_t>(threads, s->samples - 1);
    DrawRing ring = {};
    ring.s = s;
    ring.remove = !draw_samples;
    ring.draws = draw_samples ? s->size_x + s->size_y : s->size_x;
    ring.columns = s->samples - 1;
    ring.ring = 2 * (uint64_t)threads;
    ring.threads = threads;
    ring.size = size;
    ring.random = random;
    ring.load = &load;
    ring.positions = Table<uint32_t>::large(ring.ring, ring.draws);
    ring.busy = Table<bool>::zeroed(ring.ring);
    ring.trees = Table<uint32_t>::zeroed(threads, 2 * size);
    ring.drawn = Table<uint32_t>::large(ring.columns * (draw_samples ? 2 : 1), s->n);
    if (!ring.positions || !ring.busy || !ring.trees || !ring.drawn) {
        set_error(load.error, ErrorKind::runtime, "out of memory error - generate_permutations[count_tree]");
        return 1;
    }
    pthread_mutex_init(&ring.mutex, NULL);
    pthread_cond_init(&ring.changed, NULL);
    run_parallel(threads, draw_part, &ring);
    pthread_cond_destroy(&ring.changed);
    pthread_mutex_destroy(&ring.mutex);
    if (ring.failed) return 1;
    run_parallel(threads, store_drawn, &ring);
    return 0;
}

}  // namespace

int generate_permutations(DataSet* s, bool draw_samples, RandomSource* random, uint32_t threads,
                          const Loading& load) {
    const uint64_t n = s->n, samples = s->samples;
    // The tree's counters are 32-bit: a larger pool cannot be drawn from.
    if (s->size_x + s->size_y > UINT32_MAX) {
        set_error(load.error, ErrorKind::value,
                  "permutation samples need the pooled total multiplicity below 4294967296 (got %llu)",
                  (unsigned long long)(s->size_x + s->size_y));
        return 1;
    }
    uint64_t size = 1;
    while (size < n) size *= 2;
    if (draw_side_by_side(s, draw_samples, threads)) return draw_in_parallel(s, draw_samples, random, threads, size, load);
    for (uint64_t i = 0; i < n; i++) {
        memset(s->counts_x + i * samples + 1, 0, (samples - 1) * sizeof(uint32_t));
        if (draw_samples) memset(s->counts_y + i * samples + 1, 0, (samples - 1) * sizeof(uint32_t));
    }
    Table<uint32_t> count_tree = Table<uint32_t>::zeroed(2 * size);
    if (!count_tree) {
        set_error(load.error, ErrorKind::runtime, "out of memory error - generate_permutations[count_tree]");
        return 1;
    }
    const bool remove = !draw_samples;
    for (uint64_t p = 1; p < samples; p++) {
        if (load.stopped() || ((p == 1 || remove) && build_count_tree(s, count_tree, size, &load)) ||
            draw_column(s, count_tree, size, s->size_x, remove, s->counts_x, p, random, load)) {
            return 1;
        }
        if (remove) {
            for (uint64_t i = 0; i < n; i++) s->counts_y[i * samples + p] = count_tree[size + i];
        } else if (draw_column(s, count_tree, size, s->size_y, false, s->counts_y, p, random, load)) {
            return 1;
        }
    }
    return 0;
}
