"""The statistic against the brute-force oracle, across dimensions, element
types, layouts, multiplicities, thread counts and both orthant kernels."""
import numpy as np
import pytest
import scipy.stats

import oracle

SETTINGS = [dict(max_alpha_beta=m, scale_result=s) for m in (True, False) for s in (False, True)]


def kwargs_of(cdf, counts_rvs, counts_cdf):
    given = dict(cdf=cdf, counts_rvs=counts_rvs, counts_cdf=counts_cdf)
    return {k: v for k, v in given.items() if v is not None}


def assert_matches(module, rvs, cdf=None, counts_rvs=None, counts_cdf=None, settings=SETTINGS, **options):
    for setting in settings:
        got = module.test(rvs, **kwargs_of(cdf, counts_rvs, counts_cdf), **setting, **options)
        want = oracle.statistic(rvs, cdf, counts_rvs, counts_cdf, **setting)
        assert got == pytest.approx(want, rel=1e-14, abs=0), setting


def points(rng, n, d, high=None):
    return rng.normal(size=(n, d)) if high is None else rng.integers(0, high, (n, d))


def distinct_points(rng, count, d, high=3):
    """`count` pairwise different rows of a small integer grid."""
    grid = np.array(np.meshgrid(*[np.arange(high)] * d, indexing="ij")).reshape(d, -1).T
    return grid[rng.choice(len(grid), count, replace=False)]


class TestAgainstOracle:
    @pytest.mark.parametrize("d", [0, 1, 2, 3, 5, 6, 10, 16, 17, 20, 40, 63])
    @pytest.mark.parametrize("high", [None, 2, 4])
    def test_random_data_sets(self, module, d, high):
        rng = np.random.default_rng(100 * d + (high or 0))
        for _ in range(2):
            n1, n2 = rng.integers(1, 25, 2)
            assert_matches(module, points(rng, n1, d, high), points(rng, n2, d, high))

    def test_worked_examples(self, module):
        rvs, cdf = np.array([[0], [1]]), np.array([[2], [3]])
        assert module.test(rvs, cdf) == 1.0
        assert module.test(rvs, cdf, max_alpha_beta=False) == 0.75
        assert module.test(rvs, cdf, scale_result=True) == 1.0  # sqrt((2 + 2) / 4)
        # X at 0 and Y at 1: only the Y corner separates them (alpha 0, beta 1).
        assert module.test(np.array([[0]]), np.array([[1]])) == 1.0
        assert module.test(np.array([[0]]), np.array([[1]]), max_alpha_beta=False) == 0.5

    @pytest.mark.parametrize("seed", range(4))
    def test_one_dimension_is_ks_2samp(self, module, seed):
        rng = np.random.default_rng(seed)
        x, y = rng.integers(0, 8, 30 + seed), rng.integers(2, 10, 17)
        got = module.test(x[:, None], y[:, None])
        assert got == pytest.approx(scipy.stats.ks_2samp(x, y).statistic, rel=1e-12)

    @pytest.mark.parametrize("d", [2, 6])
    def test_extra_labellings_leave_the_statistic(self, module, d):
        # Permutation columns switch the kernels to their multi-labelling loops.
        rng = np.random.default_rng(d)
        rvs, cdf, counts_rvs = points(rng, 30, d, 3), points(rng, 20, d, 3), rng.integers(0, 3, 30)
        counts_rvs[0] = 1
        want = oracle.statistic(rvs, cdf, counts_rvs)
        for extra in (dict(permutation_samples=5), dict(permutation_samples=17, draw_samples=True),
                      dict(binomial_significance=True), dict(permutation_samples=3, binomial_significance=True)):
            assert module.test(rvs, cdf, counts_rvs=counts_rvs, n_jobs=2, **extra)[0] == want, extra

    def test_debug_flag_changes_nothing(self, module):
        rng = np.random.default_rng(5)
        rvs, cdf = points(rng, 20, 3), points(rng, 15, 3)
        assert module.test(rvs, cdf, debug=True) == module.test(rvs, cdf)


class TestElementTypes:
    # Values chosen per type to reach its extremes while staying exact as doubles.
    VALUES = {
        "int8": [-128, -1, 0, 5, 127],
        "int16": [-32768, -7, 0, 100, 32767],
        "int32": [-(2**31), -5, 0, 3, 2**31 - 1],
        "uint32": [0, 7, 2**31 - 1, 2**31, 2**32 - 1],
        "int64": [-(2**63), -(2**40), 0, 2**40, 2**63 - 1],
        "uint64": [0, 3, 2**63, 2**63 + 2**40, 2**64 - 2**40],
        "float16": [-np.inf, -2.5, 0.0, 1.0, 65504.0],
        "float32": [-np.inf, -1.5, -0.0, 0.0, 2.25, np.inf],
        "float64": [-np.inf, -1e300, -0.0, 0.0, 1e-300, np.inf],
        "bool": [False, True],
    }

    @pytest.mark.parametrize("dtype", list(VALUES))
    def test_types(self, module, dtype):
        rng = np.random.default_rng(len(dtype))
        values = np.array(self.VALUES[dtype], dtype=dtype)
        for d in (1, 3):
            rvs, cdf = rng.choice(values, (14, d)), rng.choice(values, (9, d))
            assert_matches(module, rvs, cdf, settings=SETTINGS[:2])

    @pytest.mark.parametrize("rvs_type,cdf_type", [("int64", "int32"), ("float64", "int64"), ("int32", "bool"),
                                                   ("uint32", "uint8"), ("float64", "float32")])
    def test_mixed_types(self, module, rvs_type, cdf_type):
        rng = np.random.default_rng(3)
        rvs, cdf = rng.integers(0, 6, (12, 2)).astype(rvs_type), rng.integers(0, 2, (10, 2)).astype(cdf_type)
        assert_matches(module, rvs, cdf, settings=SETTINGS[:1])

    @pytest.mark.parametrize("dtype", ["int32", "int64", "float64"])
    def test_fortran_order_and_slices(self, module, dtype):
        rng = np.random.default_rng(7)
        big_rvs, big_cdf = rng.integers(-50, 50, (40, 9)).astype(dtype), rng.integers(-50, 50, (30, 9)).astype(dtype)
        counts_x, counts_y = rng.integers(1, 4, 80), rng.integers(1, 4, 30)
        views = [(np.asfortranarray(big_rvs[:, :5]), np.asfortranarray(big_cdf[:, :5])),
                 (big_rvs[::2, ::2], big_cdf[::-3, ::-2]),
                 (big_rvs[5:35:3, [0, 8, 4]], big_cdf[::2, 3:6].T.copy().T)]
        for rvs, cdf in views:
            counts_rvs, counts_cdf = counts_x[: 2 * len(rvs) : 2], counts_y[-len(cdf):][::-1]
            want = module.test(np.ascontiguousarray(rvs), np.ascontiguousarray(cdf),
                               counts_rvs=counts_rvs.copy(), counts_cdf=counts_cdf.copy())
            assert module.test(rvs, cdf, counts_rvs=counts_rvs, counts_cdf=counts_cdf) == want
            assert want == oracle.statistic(rvs, cdf, counts_rvs, counts_cdf)


class TestMultiplicities:
    @pytest.mark.parametrize("count_type", ["int64", "int32", "uint8", "uint32", "bool"])
    def test_counts_with_zeros(self, module, count_type):
        rng = np.random.default_rng(11)
        for d in (1, 2, 5):
            rvs, cdf = points(rng, 18, d, 4), points(rng, 13, d, 4)
            counts_rvs, counts_cdf = rng.integers(0, 4, 18).astype(count_type), rng.integers(0, 3, 13).astype(count_type)
            counts_rvs[0] = counts_cdf[0] = 1
            assert_matches(module, rvs, cdf, counts_rvs, counts_cdf)
            assert_matches(module, rvs, cdf, None, counts_cdf, settings=SETTINGS[:1])

    @pytest.mark.parametrize("d", [1, 3, 7])
    def test_counts_cdf_without_cdf(self, module, d):
        rng = np.random.default_rng(d)
        rvs = points(rng, 25, d, 5)
        counts_rvs, counts_cdf = rng.integers(0, 3, 25), rng.integers(0, 3, 25)
        counts_rvs[0] = counts_cdf[1] = 2
        assert_matches(module, rvs, None, counts_rvs, counts_cdf)
        assert_matches(module, rvs, None, None, counts_cdf, settings=SETTINGS[:2])

    def test_large_multiplicities_use_unsigned_64_bit_products(self, module):
        # size_x * size_y is just below 2^64; the Y corner separates the samples.
        big = np.array([2**32 - 1])
        args = (np.array([[0]]), np.array([[1]]))
        assert module.test(*args, counts_rvs=big, counts_cdf=big) == 1.0
        assert module.test(*args, counts_rvs=big, counts_cdf=big, max_alpha_beta=False) == 0.5


class TestDuplicates:
    @pytest.mark.parametrize("case", ["within_rvs", "within_cdf", "across", "all_equal", "zero_counts"])
    def test_merging_keeps_the_statistic(self, module, case):
        rng = np.random.default_rng(21)
        rvs, cdf = points(rng, 12, 3, 10), points(rng, 9, 3, 10)
        counts_rvs, counts_cdf = rng.integers(1, 4, 12), rng.integers(1, 4, 9)
        if case == "within_rvs":
            rvs[6:] = rvs[:6]
        elif case == "within_cdf":
            cdf[::2] = cdf[1]
        elif case == "across":
            cdf[:5] = rvs[3:8]
        elif case == "all_equal":
            rvs[:], cdf[:] = rvs[0], rvs[0]
        else:
            cdf[:4], counts_rvs[3:7] = rvs[3:7], 0
        for dedup in (True, False):
            assert_matches(module, rvs, cdf, counts_rvs, counts_cdf, deduplicate_data=dedup)
        if case == "all_equal":
            assert module.test(rvs, cdf) == 0.0

    def test_zero_dimensions(self, module):
        rvs, cdf = np.empty((4, 0)), np.empty((3, 0))
        for dedup in (True, False):
            assert module.test(rvs, cdf, deduplicate_data=dedup) == 0.0
            assert module.test(rvs.astype(np.int32), cdf.astype(np.int32), deduplicate_data=dedup) == 0.0

    @pytest.mark.parametrize("d", [2, 6, 17])
    def test_dedup_on_and_off_agree_on_heavy_ties(self, module, d):
        rng = np.random.default_rng(d)
        rvs, cdf = points(rng, 300, d, 2), points(rng, 250, d, 2)
        assert module.test(rvs, cdf, deduplicate_data=False) == module.test(rvs, cdf)
        assert_matches(module, rvs, cdf, settings=SETTINGS[:1])


class TestKernelChoice:
    # The sparse kernel runs when the distinct points number fewer than 2^d.
    @pytest.mark.parametrize("d,distinct", [(4, 15), (4, 16), (4, 17), (6, 63), (6, 64), (6, 65)])
    def test_around_two_to_the_d(self, module, d, distinct):
        rng = np.random.default_rng(distinct)
        pts = distinct_points(rng, distinct, d)
        split = distinct // 2
        assert_matches(module, pts[:split], pts[split:], settings=SETTINGS[:2])
        # Repeating rows leaves n unchanged after merging, but not without it.
        rvs, cdf = np.concatenate([pts[:split], pts[:3]]), np.concatenate([pts[split:], pts[-2:]])
        for dedup in (True, False):
            assert_matches(module, rvs, cdf, settings=SETTINGS[:2], deduplicate_data=dedup)

    def test_dense_with_weights_in_both_samples(self, module):
        rng = np.random.default_rng(8)
        pts = distinct_points(rng, 20, 4)
        counts_rvs, counts_cdf = rng.integers(0, 3, 20), rng.integers(0, 3, 20)
        counts_rvs[0] = counts_cdf[0] = 1
        assert_matches(module, pts, None, counts_rvs, counts_cdf)
        assert_matches(module, pts[:15], None, counts_rvs[:15], counts_cdf[:15])

    def test_sixty_three_dimensions_need_no_orthant_tables(self, module):
        # Every column is the same value under a random monotone map, rising or
        # falling: each corner splits the points into those below, above and
        # equal to it, so the statistic is the one-dimensional one.
        rng = np.random.default_rng(63)
        x, y = rng.normal(size=2000), rng.normal(0.1, 1.0, size=2000)
        signs, scales = rng.choice([-1.0, 1.0], 63), rng.uniform(0.5, 2.0, 63)
        got = module.test(np.outer(x, signs * scales), np.outer(y, signs * scales), n_jobs=2)
        assert got == pytest.approx(scipy.stats.ks_2samp(x, y).statistic, rel=1e-12)


class TestDenseScan:
    """With one labelling and no histogram the dense kernel folds both samples
    into signed weights and scans groups of corners: sixteen corners in lanes
    with 32-bit sums up to four dimensions, packed comparisons up to sixteen.
    Binomial or permutation requests take the general path."""

    @pytest.mark.parametrize("d", range(1, 11))
    @pytest.mark.parametrize("weights", ["unit", "flushing", "wide"])
    def test_each_path_matches_oracle(self, module, d, weights):
        rng = np.random.default_rng(100 * d + len(weights))
        n = max(2**d + 7, 60)
        rvs, cdf = points(rng, n // 2, d, high=4), points(rng, n - n // 2, d, high=4)
        counts = {}
        if weights == "flushing":
            # Folded weights size_y * cx and size_x * cy just below 2^31 leave
            # room for one or two points per 32-bit lane sum before the sums
            # move into 64-bit ones.
            unit = int(np.sqrt(2**30 / (2.5 * n)))
            counts = dict(counts_rvs=rng.integers(1, 3, len(rvs)) * unit,
                          counts_cdf=rng.integers(1, 3, len(cdf)) * unit)
            sizes = counts["counts_rvs"].sum(), counts["counts_cdf"].sum()
            largest = max(sizes[1] * counts["counts_rvs"].max(), sizes[0] * counts["counts_cdf"].max())
            assert 2**29 < largest < 2**31
        elif weights == "wide":
            # Folded weights beyond 32 bits.
            counts = dict(counts_rvs=rng.integers(2**20, 2**21, len(rvs)),
                          counts_cdf=rng.integers(2**20, 2**21, len(cdf)))
        want = oracle.statistic(rvs, cdf, counts.get("counts_rvs"), counts.get("counts_cdf"))
        for dedup in (True, False):
            got = module.test(rvs, cdf, **counts, deduplicate_data=dedup, n_jobs=3)
            assert got == want
        if weights == "unit":  # resampling billions of observations would take minutes
            assert module.test(rvs, cdf, binomial_significance=True)[0] == want
            assert module.test(rvs, cdf, permutation_samples=2)[0] == want


class TestThreads:
    @pytest.mark.parametrize("d,high", [(2, 5), (3, None), (8, 3), (12, None)])
    def test_thread_counts_agree(self, module, d, high):
        rng = np.random.default_rng(d)
        rvs, cdf = points(rng, 30, d, high), points(rng, 21, d, high)
        counts_rvs = rng.integers(0, 3, 30)
        counts_rvs[0] = 1
        want = oracle.statistic(rvs, cdf, counts_rvs)
        for n_jobs in (1, 2, 3, 7, 51, 60):
            assert module.test(rvs, cdf, counts_rvs=counts_rvs, n_jobs=n_jobs) == want, n_jobs


    @pytest.mark.parametrize("dtype", [np.float64, np.int64])
    def test_ranking_on_several_threads_keeps_order_and_ties(self, module, dtype):
        # Float and int64 coordinates are ranked, a column per thread (and by
        # radix sort from 2048 values on); int32 ones are taken as they are.
        # Equal orders and ties give equal results, location included.
        rng = np.random.default_rng(5)
        rvs, cdf = rng.integers(-50, 50, (1500, 3)), rng.integers(-50, 50, (1200, 3))
        rvs[:, 2] *= 10**6
        want = module.test(rvs.astype(np.int32), cdf.astype(np.int32), details=True, permutation_samples=3, seed=1)
        for n_jobs in (1, 2, 3, 4):
            got = module.test(rvs.astype(dtype), cdf.astype(dtype), details=True, permutation_samples=3, seed=1,
                              n_jobs=n_jobs)
            assert got == want, n_jobs

    def test_points_told_apart_by_one_dimension(self, module):
        # Ranked points that one of the first dimensions tells apart need no
        # merging; ties in the other dimensions, and repeated rows, which do,
        # must give what the unmerged points give.
        rng = np.random.default_rng(12)
        rvs, cdf = rng.normal(size=(900, 3)), rng.normal(size=(700, 3))
        rvs[:, 0], cdf[:, 0] = np.round(rvs[:, 0]), np.round(cdf[:, 0])
        cases = [(rvs, cdf), (rvs[:, ::-1], cdf[:, ::-1]), (rvs[:, :2], cdf[:, :2]),
                 (np.vstack([rvs, rvs[:60]]), cdf), ((rvs * 1000).astype(np.int64), cdf.astype(np.int64))]
        for x, y in cases:
            x, y = np.ascontiguousarray(x), np.ascontiguousarray(y)
            counts = dict(counts_rvs=rng.integers(0, 3, len(x)), counts_cdf=rng.integers(1, 3, len(y)))
            for n_jobs in (1, 2):
                got = module.test(x, y, details=True, n_jobs=n_jobs, **counts)
                assert got == module.test(x, y, details=True, deduplicate_data=False, **counts)

    def test_merging_on_several_threads(self, module):
        # From 65536 rows equal points are merged in parts, one per thread;
        # the merged points, their order of first appearance (which places
        # the statistic's row, as the first corner reaching it does unmerged)
        # and their weights do not depend on the number of parts.
        rng = np.random.default_rng(9)
        rvs, cdf = rng.integers(0, 150, (40000, 2)), rng.integers(0, 150, (30000, 2))
        counts = dict(counts_rvs=rng.integers(0, 3, 40000), counts_cdf=rng.integers(1, 3, 30000))
        unmerged = module.test(rvs, cdf, details=True, deduplicate_data=False, **counts)
        want = module.test(rvs, cdf, details=True, **counts)
        assert want == unmerged
        for n_jobs in (2, 3):
            assert module.test(rvs, cdf, details=True, n_jobs=n_jobs, **counts) == want, n_jobs
