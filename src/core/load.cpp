// The loader: the stages that turn a caller's input into the data set the
// scan paths read, in their fixed order.
#include <stdlib.h>

#include "cpu_features.h"
#include "data_set.h"
#include "layouts.h"
#include "loading.h"
#include "scan_paths.h"

int check_processor(Error* error) {
#if defined(TESSARIN_AVX512)
    if (!cpu_can_run(CPU_BUILD_AVX512)) {
        set_error(error, ErrorKind::runtime, "MISSING AVX512");
        return 1;
    }
#elif defined(TESSARIN_AVX2)
    if (!cpu_can_run(CPU_BUILD_AVX2)) {
        set_error(error, ErrorKind::runtime, "MISSING AVX2");
        return 1;
    }
#else
    (void)error;
#endif
    return 0;
}

namespace {

void load_shapes(DataSet* s, const Input& input, const Options* options) {
    s->d = input.rvs.columns;
    s->orthants = (uint64_t)1 << s->d;
    s->rvs_rows = input.rvs.rows;
    s->n = input.rvs.rows + (input.has_cdf ? input.cdf.rows : 0);
    s->samples = (uint64_t)options->permutation_significance + 1;
}

// Every point at its own row, until merging: origin is the identity.
int load_origin(DataSet* s, const Loading& load) {
    if (!(s->origin = Table<uint64_t>::large(s->n))) {
        set_error(load.error, ErrorKind::runtime, "out of memory - load_data[origin]");
        return 1;
    }
    for (uint64_t i = 0; i < s->n; i++) s->origin[i] = i;
    return 0;
}

// Refuses samples that weigh nothing and sizes whose product, the common
// denominator of the kernels' integer differences, does not fit in 64 bits.
int check_sample_sizes(const DataSet* s, const Loading& load) {
    if (s->size_x == 0) {
        set_error(load.error, ErrorKind::value, "the first sample is empty: rvs has no rows or counts_rvs sums to 0");
        return 1;
    }
    if (s->size_y == 0) {
        set_error(load.error, ErrorKind::value,
                  "the second sample is empty: cdf has no rows or counts_cdf sums to 0");
        return 1;
    }
    uint64_t product;
    if (__builtin_mul_overflow(s->size_x, s->size_y, &product)) {
        set_error(load.error, ErrorKind::value, "the product of the sample sizes (%llu x %llu) does not fit in 64 bits",
                  (unsigned long long)s->size_x, (unsigned long long)s->size_y);
        return 1;
    }
    return 0;
}

}  // namespace

int load_data_set(const Input& input, Options* options, DataSet* s, Error* error) {
    const Loading load = {input.stop, error};
    if (check_processor(error)) return 1;
    RandomSource random;
    random.own = false;
    if (input.seeded) seed_random(&random, input.seed);
    const uint32_t threads = options->thread_no;
    load_shapes(s, input, options);
    if (load_coordinates(s, input, threads, load) || load_origin(s, load) || load_multiplicities(s, input, load) ||
        check_sample_sizes(s, load)) {
        return 1;
    }
    if (options->deduplicate_data && deduplicate_data(s, threads, load)) return 1;
    if (options->permutation_significance != 0 &&
        generate_permutations(s, options->draw_samples, &random, threads, load)) {
        return 1;
    }
    s->bucket_bits = input.bucket_bits;
    return choose_scan(s, options, input.scan, input.scan_setting, error) || prepare_scan_path(s, options, load);
}
