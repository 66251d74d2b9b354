// Compares two samples of points with the core's C++ API alone: no Python.
//
//   two_samples [n_x n_y d permutations seed]
//
// draws n_x points uniform on [0, 1)^d and n_y points uniform on
// [0.1, 1.1)^d from a fixed generator, runs the test with a permutation
// p-value, and prints the statistic, the p-value, the scan path and where the
// statistic is reached, one "name value" pair a line. The same points are
// what the test suite passes to ks_2samp to compare.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "tessarin.h"

namespace {

// SplitMix64: a small generator whose stream the test suite reproduces.
uint64_t next(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform(uint64_t* state) { return (double)(next(state) >> 11) * 0x1.0p-53; }

tessarin::PointArray points(const std::vector<double>& values, uint64_t rows, uint64_t d) {
    return {(const char*)values.data(), rows, d, (int64_t)(d * sizeof(double)), (int64_t)sizeof(double)};
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t n_x = argc > 1 ? strtoull(argv[1], NULL, 10) : 200;
    const uint64_t n_y = argc > 2 ? strtoull(argv[2], NULL, 10) : 150;
    const uint64_t d = argc > 3 ? strtoull(argv[3], NULL, 10) : 2;
    const uint32_t permutations = argc > 4 ? (uint32_t)strtoul(argv[4], NULL, 10) : 99;
    const uint32_t seed = argc > 5 ? (uint32_t)strtoul(argv[5], NULL, 10) : 1;

    uint64_t state = 42;
    std::vector<double> x(n_x * d), y(n_y * d);
    for (double& v : x) v = uniform(&state);
    for (double& v : y) v = uniform(&state) + 0.1;

    tessarin::Input input;
    input.type = tessarin::ValueType::float64;
    input.rvs = points(x, n_x, d);
    input.cdf = points(y, n_y, d);
    input.has_cdf = true;
    input.seeded = true;
    input.seed = seed;

    tessarin::Options options;
    options.thread_no = 2;
    options.permutation_significance = permutations;

    tessarin::DataSet data;
    tessarin::Error error;
    if (tessarin::load(input, &options, &data, &error) != 0) {
        fprintf(stderr, "loading failed: %s\n", error.message);
        return 1;
    }
    tessarin::TestResult result;
    if (tessarin::run(data, options, &result, &error) != 0) {
        fprintf(stderr, "the test failed: %s\n", error.message);
        return 1;
    }
    printf("statistic %.17g\n", result.value);
    printf("pvalue %.17g\n", result.permutation_significance);
    printf("scan %s\n", tessarin::scan_name(options));
    printf("location_row %llu\n", (unsigned long long)result.location_row);
    printf("location_orthant %llu\n", (unsigned long long)result.location_orthant);
    return 0;
}
