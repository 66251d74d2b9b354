"""The scan paths: each one forced through the `scan` keyword (or
TESSARIN_SCAN) must run (details report it), and give what the brute-force
oracle and the general scan give, with one labelling, several and the
binomial histogram; the automatic choice; and the dominance counts on their
own."""
import numpy as np
import pytest
import scipy.stats

import oracle

RESULT_KEYS = ("statistic", "statistic_x", "statistic_y", "permutation_significance", "binomial_significance")


def run(module, monkeypatch, scan, rvs, cdf=None, **kwargs):
    monkeypatch.delenv("TESSARIN_SCAN", raising=False)
    args = (rvs,) if cdf is None else (rvs, cdf)
    out = module.test(*args, details=True, scan=scan, **kwargs)
    if scan not in ("auto", "general", "scan"):
        assert out["scan"] == scan
    return out


def tied_points(rng, n, d, levels):
    return rng.integers(0, levels, (n, d)) if levels else rng.normal(size=(n, d))


# (path, dimensions, points per sample, options): data each path can serve.
ONE = {}
SEVERAL = dict(permutation_samples=9, seed=11)
DRAWS = dict(permutation_samples=9, draw_samples=True, seed=12)
BINOMIAL = dict(binomial_significance=True)
CASES = [
    ("dense", 2, 30, ONE), ("dense", 3, 25, SEVERAL), ("dense", 2, 20, BINOMIAL), ("dense", 3, 150, SEVERAL),
    ("sparse", 6, 20, ONE), ("sparse", 5, 12, SEVERAL), ("sparse", 7, 15, BINOMIAL),
    ("lanes", 1, 40, ONE), ("lanes", 2, 40, ONE), ("lanes", 3, 40, ONE), ("lanes", 4, 40, ONE),
    ("packed", 2, 30, ONE), ("packed", 5, 40, ONE), ("packed", 9, 300, ONE), ("packed", 16, 20, ONE),
    ("labellings", 2, 30, SEVERAL), ("labellings", 4, 40, DRAWS), ("labellings", 0, 10, SEVERAL),
    ("packed", 5, 200, ONE), ("hashed", 7, 20, ONE), ("hashed", 3, 30, ONE), ("hashed", 12, 150, ONE),
    ("dominance", 0, 9, ONE), ("dominance", 1, 50, ONE), ("dominance", 2, 50, ONE), ("dominance", 3, 50, ONE),
    ("dominance", 1, 30, SEVERAL), ("dominance", 2, 30, DRAWS), ("dominance", 3, 30, SEVERAL),
    ("dominance", 1, 25, BINOMIAL), ("dominance", 2, 25, BINOMIAL), ("dominance", 3, 25, BINOMIAL),
]


class TestForcedPaths:
    @pytest.mark.parametrize("path,d,n,options", CASES, ids=lambda v: str(v) if not isinstance(v, dict) else "")
    @pytest.mark.parametrize("levels", [3, None])
    def test_path_matches_oracle_and_general(self, module, monkeypatch, path, d, n, options, levels):
        rng = np.random.default_rng(hash((path, d, n, levels)) % 2**32)
        rvs, cdf = tied_points(rng, n, d, levels), tied_points(rng, n + 3, d, levels)
        counts_rvs = rng.integers(0, 4, n)
        counts_rvs[0] = 1
        got = run(module, monkeypatch, path, rvs, cdf, counts_rvs=counts_rvs, **options)
        general = run(module, monkeypatch, "general", rvs, cdf, counts_rvs=counts_rvs, **options)
        assert got["statistic"] == oracle.statistic(rvs, cdf, counts_rvs)
        assert {k: got[k] for k in RESULT_KEYS} == {k: general[k] for k in RESULT_KEYS}

    @pytest.mark.parametrize("path", ["dense", "sparse", "dominance"])
    def test_histogram_paths_agree_with_threads(self, module, monkeypatch, path):
        rng = np.random.default_rng(5)
        rvs, cdf = tied_points(rng, 40, 2, 4), tied_points(rng, 30, 2, 4)
        want = run(module, monkeypatch, "general", rvs, cdf, binomial_significance=True, permutation_samples=5,
                   seed=3)
        for n_jobs in (1, 2, 3):
            got = run(module, monkeypatch, path, rvs, cdf, binomial_significance=True, permutation_samples=5,
                      seed=3, n_jobs=n_jobs)
            assert got["statistic"] == want["statistic"]
            assert got["permutation_significance"] == want["permutation_significance"]
            assert got["binomial_significance"] == pytest.approx(want["binomial_significance"], rel=1e-12)

    @pytest.mark.parametrize("path,d", [("dense", 2), ("sparse", 10), ("dominance", 2), ("dominance", 3)])
    def test_histograms_of_threads_merge_to_one_threads(self, module, path, d):
        # Every worker fills a histogram of its own; merged, they must be the
        # one thread's, entry for entry, and so give its binomial p-value.
        rng = np.random.default_rng(8)
        rvs, cdf = tied_points(rng, 300, d, 3), tied_points(rng, 260, d, 3)
        prepared = module.prepare(rvs, cdf, binomial_significance=True, scan=path)
        units = module.describe(prepared)["units"]
        one = module.partial(prepared, 0, units, n_jobs=1)
        for n_jobs in (2, 3, 7):
            several = module.partial(prepared, 0, units, n_jobs=n_jobs)
            for want, got in zip(one, several):
                np.testing.assert_array_equal(got, want)
        test = module.test(rvs, cdf, binomial_significance=True, scan=path, n_jobs=3, details=True)
        assert module.finish(prepared, one)["binomial_significance"] == test["binomial_significance"]

    @pytest.mark.parametrize("path,d,options", [("dense", 3, BINOMIAL), ("sparse", 6, SEVERAL), ("lanes", 2, ONE),
                                                ("packed", 5, ONE), ("labellings", 3, SEVERAL), ("hashed", 9, ONE)])
    def test_shares_claimed_by_threads_give_one_result(self, module, monkeypatch, path, d, options):
        # Enough corners for several shares of whole groups per thread, and
        # shares that stop short of a group: every thread count gives the
        # one-thread result, the location included.
        rng = np.random.default_rng(d)
        rvs, cdf = tied_points(rng, 900, d, 6), tied_points(rng, 811, d, 6)
        want = run(module, monkeypatch, path, rvs, cdf, **options)
        for n_jobs in (2, 3, 7):
            assert run(module, monkeypatch, path, rvs, cdf, n_jobs=n_jobs, **options) == want, n_jobs

    @pytest.mark.parametrize("d", [1, 5, 9])
    def test_labellings_in_chunks(self, module, monkeypatch, d):
        # Labellings in chunks of 32, the last one padded: counts on either
        # side of a chunk's end, and groups of corners that do not fill up.
        rng = np.random.default_rng(20 + d)
        rvs, cdf = tied_points(rng, 45, d, 4), tied_points(rng, 38, d, 4)
        for samples in (1, 7, 31, 32, 33, 70):
            options = dict(permutation_samples=samples, seed=samples)
            want = run(module, monkeypatch, "general", rvs, cdf, **options)
            got = run(module, monkeypatch, "labellings", rvs, cdf, n_jobs=2, **options)
            assert {k: got[k] for k in RESULT_KEYS} == {k: want[k] for k in RESULT_KEYS}, samples
            assert got["null_distribution"] == want["null_distribution"], samples

    @pytest.mark.parametrize("setting,message", [
        ("fastest", "TESSARIN_SCAN must be one of auto, scan, general"),
        ("LANES", "TESSARIN_SCAN must be one of"),
    ])
    def test_unknown_names_are_refused(self, module, monkeypatch, setting, message):
        monkeypatch.setenv("TESSARIN_SCAN", setting)
        with pytest.raises(ValueError, match=message):
            module.test(np.zeros((3, 2)), np.ones((3, 2)))

    def test_keyword_names_every_row_and_wins_over_the_environment(self, module, monkeypatch):
        names = module.SCAN_PATHS
        assert sorted(names) == sorted({case[0] for case in CASES})  # every row has cases above
        with pytest.raises(ValueError) as refused:
            module.test(np.zeros((3, 2)), np.ones((3, 2)), scan="fastest")
        assert str(refused.value) == f"scan must be one of auto, scan, general, {', '.join(names)} (got 'fastest')"
        with pytest.raises(TypeError, match="scan should be None or the name of a scan path"):
            module.test(np.zeros((3, 2)), np.ones((3, 2)), scan=3)
        monkeypatch.setenv("TESSARIN_SCAN", "dense")
        rng = np.random.default_rng(2)
        rvs, cdf = rng.normal(size=(30, 2)), rng.normal(size=(30, 2))
        assert module.test(rvs, cdf, details=True)["scan"] == "dense"
        assert module.test(rvs, cdf, details=True, scan="packed")["scan"] == "packed"
        prepared = module.prepare(rvs, cdf, scan="sparse")
        assert module.describe(prepared)["scan"] == "sparse"
        assert module.finish(prepared, module.partial(prepared, 0, 60))["statistic"] == oracle.statistic(rvs, cdf)

    @pytest.mark.parametrize("path,d,options", [
        ("lanes", 2, BINOMIAL), ("lanes", 5, ONE), ("packed", 17, ONE), ("hashed", 3, SEVERAL),
        ("labellings", 2, ONE), ("labellings", 2, dict(permutation_samples=3, binomial_significance=True)),
        ("dominance", 4, ONE),
    ])
    def test_paths_that_cannot_serve_are_refused(self, module, monkeypatch, path, d, options):
        rng = np.random.default_rng(0)
        rvs, cdf = rng.normal(size=(6, d)), rng.normal(size=(6, d))
        with pytest.raises(ValueError, match=f"^scan={path} cannot serve this call"):
            module.test(rvs, cdf, scan=path, **options)
        monkeypatch.setenv("TESSARIN_SCAN", path)
        with pytest.raises(ValueError, match=f"^TESSARIN_SCAN={path} cannot serve this call"):
            module.test(rvs, cdf, **options)

    def test_lanes_need_weights_within_32_bits(self, module, monkeypatch):
        rng = np.random.default_rng(1)
        rvs, cdf = rng.normal(size=(5, 2)), rng.normal(size=(5, 2))
        wide = dict(counts_rvs=np.full(5, 2**20), counts_cdf=np.full(5, 2**20))
        with pytest.raises(ValueError, match="cannot serve"):
            module.test(rvs, cdf, scan="lanes", **wide)
        assert run(module, monkeypatch, "packed", rvs, cdf, **wide)["statistic"] == oracle.statistic(rvs, cdf)
        # Left to choose, four dimensions take the packed scan instead.
        rvs, cdf = rng.normal(size=(40, 4)), rng.normal(size=(40, 4))
        wide = dict(counts_rvs=np.full(40, 2**20), counts_cdf=np.full(40, 2**20))
        got = run(module, monkeypatch, "auto", rvs, cdf, **wide)
        assert got["scan"] == "packed" and got["statistic"] == oracle.statistic(rvs, cdf)

    @pytest.mark.parametrize("levels", [2, None])
    def test_hashed_scan_of_many_dimensions(self, module, monkeypatch, levels):
        # Three 16-lane blocks per point, and more points than one batch of
        # orthants; with two levels many points share an orthant.
        rng = np.random.default_rng(40)
        rvs, cdf = tied_points(rng, 150, 40, levels), tied_points(rng, 140, 40, levels)
        counts_rvs = rng.integers(1, 4, 150)
        got = run(module, monkeypatch, "hashed", rvs, cdf, counts_rvs=counts_rvs)
        assert got["statistic"] == oracle.statistic(rvs, cdf, counts_rvs)

    @pytest.mark.parametrize("d", [2, 5, 12])
    @pytest.mark.parametrize("n", [129, 192, 256, 257])
    def test_packed_counters_near_32_bits(self, module, monkeypatch, d, n):
        # Every weight is about 2^31 / 128 and size_x * size_y exceeds 2^31,
        # so the packed scan's 32-bit counters are moved into 64-bit totals
        # every 128 points (d = 12 has too many orthants for that and counts
        # in 64 bits): the first sample lies below every corner of the second,
        # so around those corners one counter gains 128 largest weights, just
        # under 2^31, between two flushes, and ends above 2^31.
        rng = np.random.default_rng(n + d)
        rvs, cdf = rng.random((n, d)), 2 + rng.random((n, d))
        per_point = (2**24 - 1) // n
        counts = dict(counts_rvs=np.ones(n, np.int64), counts_cdf=np.full(n, per_point))
        assert (2**31 - 1) // (n * per_point) == 128 and n * n * per_point > 2**31
        got = run(module, monkeypatch, "packed", rvs, cdf, **counts)
        assert got["statistic"] == oracle.statistic(rvs, cdf, **counts)


class TestAutomaticChoice:
    @pytest.mark.parametrize("d,n,options,expected", [
        (1, 500, ONE, "dominance"), (2, 2000, SEVERAL, "dominance"), (3, 3000, BINOMIAL, "dominance"),
        (0, 5, ONE, "dominance"), (4, 500, ONE, "lanes"), (6, 500, ONE, "packed"), (8, 50, ONE, "hashed"),
        (8, 50, BINOMIAL, "sparse"), (5, 200, SEVERAL, "labellings"), (5, 200, BINOMIAL, "dense"),
        (20, 100, ONE, "hashed"),
    ])
    def test_choice(self, module, monkeypatch, d, n, options, expected):
        rng = np.random.default_rng(d)
        rvs, cdf = rng.normal(size=(n, d)), rng.normal(size=(n, d))
        for setting in ("auto", ""):
            monkeypatch.setenv("TESSARIN_SCAN", setting)
            assert module.test(rvs, cdf, details=True, **options)["scan"] == expected

    def test_scan_setting_never_takes_dominance(self, module, monkeypatch):
        rng = np.random.default_rng(2)
        rvs, cdf = rng.normal(size=(300, 2)), rng.normal(size=(300, 2))
        got = run(module, monkeypatch, "scan", rvs, cdf)
        assert got["scan"] == "lanes"
        assert got["statistic"] == run(module, monkeypatch, "auto", rvs, cdf)["statistic"]

    @pytest.mark.parametrize("d,expected", [(16, "labellings"), (17, "dense")])
    def test_labelling_scan_is_never_chosen_beyond_16_dimensions(self, module, d, expected):
        # Its orthant indices are 16-bit. At least 2^d points, most weighing
        # nothing, keep n_x * n_y small; prepare chooses without computing.
        n = 2**17
        rvs = np.random.default_rng(3).integers(0, 2**30, (n, d)).astype(np.int32)
        counts_rvs, counts_cdf = np.zeros(n, np.int64), np.zeros(n, np.int64)
        counts_rvs[:50], counts_cdf[50:100] = 1, 1
        prepared = module.prepare(rvs, counts_rvs=counts_rvs, counts_cdf=counts_cdf, permutation_samples=1,
                                  seed=1)
        assert module.describe(prepared)["scan"] == expected


class TestDominance:
    @pytest.mark.parametrize("d", [0, 1, 2, 3])
    @pytest.mark.parametrize("levels", [2, 5, None])
    def test_random_data_with_ties_and_weights(self, module, monkeypatch, d, levels):
        rng = np.random.default_rng(10 * d + (levels or 0))
        for trial in range(4):
            n1, n2 = rng.integers(1, 40, 2)
            rvs, cdf = tied_points(rng, n1, d, levels), tied_points(rng, n2, d, levels)
            counts_rvs, counts_cdf = rng.integers(0, 4, n1), rng.integers(0, 4, n2)
            counts_rvs[0] = counts_cdf[0] = 1
            for max_ab, scale, dedup in [(True, False, True), (False, True, False)]:
                want = oracle.statistic(rvs, cdf, counts_rvs, counts_cdf, max_ab, scale)
                got = run(module, monkeypatch, "dominance", rvs, cdf, counts_rvs=counts_rvs, counts_cdf=counts_cdf,
                          max_alpha_beta=max_ab, scale_result=scale, deduplicate_data=dedup)
                assert got["statistic"] == want

    @pytest.mark.parametrize("d", [1, 2, 3])
    def test_one_table_of_points_with_two_weights(self, module, monkeypatch, d):
        rng = np.random.default_rng(d)
        pts = tied_points(rng, 60, d, 4)
        counts_rvs, counts_cdf = rng.integers(0, 3, 60), rng.integers(0, 3, 60)
        counts_rvs[0] = counts_cdf[0] = 1
        got = run(module, monkeypatch, "dominance", pts, counts_rvs=counts_rvs, counts_cdf=counts_cdf)
        assert got["statistic"] == oracle.statistic(pts, None, counts_rvs, counts_cdf)

    @pytest.mark.parametrize("d", [1, 2, 3])
    @pytest.mark.parametrize("samples,draws", [(0, False), (5, False), (30, True), (30, False)])
    def test_threads_and_chunks_of_labellings(self, module, monkeypatch, d, samples, draws):
        # Few labellings share each pass among the threads, many are spread
        # over them a chunk each: both give the general scan's numbers.
        rng = np.random.default_rng(7 * d + samples)
        rvs, cdf = tied_points(rng, 70, d, 6) / 2, tied_points(rng, 60, d, None)
        options = dict(permutation_samples=samples, draw_samples=draws, seed=99)
        want = run(module, monkeypatch, "general", rvs, cdf, **options)
        for n_jobs in (1, 2, 3, 8):
            got = run(module, monkeypatch, "dominance", rvs, cdf, n_jobs=n_jobs, **options)
            assert {k: got[k] for k in RESULT_KEYS} == {k: want[k] for k in RESULT_KEYS}, n_jobs

    def test_sizes_whose_product_exceeds_63_bits(self, module, monkeypatch):
        # The folded weights no longer fit: both samples are counted apart.
        rng = np.random.default_rng(4)
        rvs, cdf = tied_points(rng, 6, 2, 3), tied_points(rng, 5, 2, 3)
        counts = dict(counts_rvs=rng.integers(55 * 10**7, 6 * 10**8, 6), counts_cdf=rng.integers(66 * 10**7, 7 * 10**8, 5))
        assert 2**63 < counts["counts_rvs"].sum() * float(counts["counts_cdf"].sum()) < 2**64
        want = run(module, monkeypatch, "general", rvs, cdf, **counts)
        got = run(module, monkeypatch, "dominance", rvs, cdf, **counts)
        assert {k: got[k] for k in RESULT_KEYS} == {k: want[k] for k in RESULT_KEYS}

    def test_int32_coordinates_far_apart(self, module, monkeypatch):
        # int32 input is used as it is, not ranked: values spread over the
        # whole range are ranked by sorting, small ranges by counting.
        rng = np.random.default_rng(8)
        for high in (2**31 - 1, 50):
            rvs = rng.integers(-high, high, (200, 3), dtype=np.int32)
            cdf = rng.integers(-high, high, (150, 3), dtype=np.int32)
            assert run(module, monkeypatch, "dominance", rvs, cdf)["statistic"] == oracle.statistic(rvs, cdf)

    def test_one_dimension_is_scipy_on_large_tied_data(self, module, monkeypatch):
        rng = np.random.default_rng(9)
        x, y = np.round(rng.normal(size=20000), 1), np.round(rng.normal(0.03, 1.0, size=15000), 1)
        got = run(module, monkeypatch, "auto", x[:, None], y[:, None], n_jobs=2)
        assert got["scan"] == "dominance"
        assert got["statistic"] == pytest.approx(scipy.stats.ks_2samp(x, y).statistic, rel=1e-12)

    def test_large_data_in_three_dimensions_split_over_threads(self, module, monkeypatch):
        # Enough points for the divide and conquer to solve its halves, and
        # split the queries of its merges, on threads of their own (with many
        # ties at the split); the lane scan checks it.
        rng = np.random.default_rng(10)
        rvs, cdf = rng.integers(0, 30, (6000, 3)), rng.integers(0, 30, (5000, 3))
        want = run(module, monkeypatch, "lanes", rvs, cdf, n_jobs=2)
        for n_jobs in (1, 2, 4):
            got = run(module, monkeypatch, "dominance", rvs, cdf, n_jobs=n_jobs)
            assert {k: got[k] for k in RESULT_KEYS} == {k: want[k] for k in RESULT_KEYS}

    @pytest.mark.parametrize("d", [2, 3])
    @pytest.mark.parametrize("options", [ONE, SEVERAL, DRAWS, BINOMIAL], ids=["one", "several", "draws", "binomial"])
    def test_sweeps_in_buckets(self, module, monkeypatch, d, options):
        # Few low bits split small data sets into many buckets, most of them
        # holding runs tied in the sweep's first dimension; every thread
        # count splits the points into its own parts.
        rng = np.random.default_rng(d)
        rvs, cdf = tied_points(rng, 300, d, 40) / 3, tied_points(rng, 250, d, None)
        rvs[:40, 0] = cdf[:40, 0] = 7
        counts_rvs = rng.integers(0, 4, 300)
        counts_rvs[0] = 1
        want = run(module, monkeypatch, "general", rvs, cdf, counts_rvs=counts_rvs, **options)
        assert want["statistic"] == oracle.statistic(rvs, cdf, counts_rvs)
        for bits in (1, 3, 6):
            monkeypatch.setenv("TESSARIN_BUCKET_BITS", str(bits))
            for n_jobs in (1, 2, 3):
                got = run(module, monkeypatch, "dominance", rvs, cdf, counts_rvs=counts_rvs, n_jobs=n_jobs, **options)
                assert {k: got[k] for k in RESULT_KEYS} == {k: want[k] for k in RESULT_KEYS}, (bits, n_jobs)

    @pytest.mark.parametrize("d", [2, 3])
    @pytest.mark.parametrize("options", [ONE, BINOMIAL], ids=["one", "binomial"])
    def test_sweeps_in_buckets_on_many_threads(self, module, monkeypatch, d, options):
        # Many threads split few points into the most parts, many of them
        # empty where a run tied in the first dimension spans several parts,
        # and a part count short of a power of two; the first runs are long.
        rng = np.random.default_rng(20 + d)
        rvs, cdf = tied_points(rng, 200, d, 25) / 2, tied_points(rng, 180, d, None)
        rvs[:60, 0] = cdf[:50, 0] = 3
        want = run(module, monkeypatch, "general", rvs, cdf, **options)
        for bits in (2, 6):
            monkeypatch.setenv("TESSARIN_BUCKET_BITS", str(bits))
            for n_jobs in (13, 16):
                got = run(module, monkeypatch, "dominance", rvs, cdf, n_jobs=n_jobs, **options)
                assert {k: got[k] for k in RESULT_KEYS} == {k: want[k] for k in RESULT_KEYS}, (bits, n_jobs)

    def test_buckets_of_the_default_size(self, module, monkeypatch):
        # Over 2^15 ranks in a dimension the sweep runs in buckets by itself;
        # one bucket for all ranks gives the same numbers.
        rng = np.random.default_rng(13)
        rvs, cdf = rng.normal(size=(30000, 2)), rng.normal(size=(30000, 2))
        rvs[::5, 1] = np.round(rvs[::5, 1], 2)
        options = dict(permutation_samples=3, seed=2)
        got = [run(module, monkeypatch, "dominance", rvs, cdf, n_jobs=n_jobs, **options) for n_jobs in (1, 2)]
        monkeypatch.setenv("TESSARIN_BUCKET_BITS", "31")
        want = run(module, monkeypatch, "dominance", rvs, cdf, **options)
        assert got[0] == got[1] == want

    def test_int32_columns_spanning_as_many_values_as_points(self, module, monkeypatch):
        # A column whose values span exactly n may still hold ties (one value
        # twice, another missing); every other column is a permutation.
        rng = np.random.default_rng(14)
        n1, n2 = 120, 80
        columns = [rng.permutation(n1 + n2) for _ in range(3)]
        columns[1][5] = columns[1][6]
        pts = np.stack(columns, axis=1).astype(np.int32)
        rvs, cdf = pts[:n1], pts[n1:]
        assert run(module, monkeypatch, "dominance", rvs, cdf)["statistic"] == oracle.statistic(rvs, cdf)


class TestLocation:
    """Where the statistic is reached: the same corner and orthant on every
    path and thread count, the first among equals, and the shares there
    reproduce the statistic."""

    @pytest.mark.parametrize("path,d,n,options", CASES, ids=lambda v: str(v) if not isinstance(v, dict) else "")
    def test_every_path_reports_the_first_maximum(self, module, monkeypatch, path, d, n, options):
        rng = np.random.default_rng(hash((path, d, n)) % 2**32)
        rvs, cdf = tied_points(rng, n, d, 3), tied_points(rng, n + 3, d, 3)
        counts_rvs = rng.integers(0, 4, n)
        counts_rvs[0] = 1
        corner, orthant, sign, in_y = oracle.statistic_location(rvs, cdf, counts_rvs)
        for n_jobs in (1, 3):
            got = run(module, monkeypatch, path, rvs, cdf, counts_rvs=counts_rvs, n_jobs=n_jobs, **options)
            table = rvs if got["location_array"] == "rvs" else cdf
            np.testing.assert_array_equal(table[got["location_row"]], corner)
            assert (got["location_orthant"], got["location_sign"], got["location_corners"]) == (
                orthant, sign, "cdf" if in_y else "rvs")

    @pytest.mark.parametrize("d", [1, 2, 3, 5])
    def test_shares_at_the_location_give_the_statistic(self, module, monkeypatch, d):
        rng = np.random.default_rng(d)
        x, y = rng.normal(size=(80, d)), rng.normal(0.3, 1.0, size=(70, d))
        got = run(module, monkeypatch, "auto", x, y)
        corner = (x if got["location_array"] == "rvs" else y)[got["location_row"]]
        below = [(got["location_orthant"] >> k) & 1 for k in range(d)]
        inside = lambda pts: np.all(np.where(below, pts < corner, pts >= corner), axis=1).mean()
        share = inside(x) - inside(y)
        assert abs(share) == pytest.approx(got["statistic"], rel=1e-12)
        assert np.sign(share) == got["location_sign"]


class TestNullDistributionAndProgress:
    @pytest.mark.parametrize("path,d", [("dominance", 2), ("labellings", 3), ("dense", 2), ("sparse", 6)])
    @pytest.mark.parametrize("max_ab,scale", [(True, False), (False, True)])
    def test_null_distribution_gives_the_permutation_significance(self, module, monkeypatch, path, d, max_ab,
                                                                  scale):
        rng = np.random.default_rng(d)
        rvs, cdf = tied_points(rng, 25, d, 3), tied_points(rng, 20, d, 3)
        got = run(module, monkeypatch, path, rvs, cdf, permutation_samples=30, seed=4, max_alpha_beta=max_ab,
                  scale_result=scale)
        null = np.array(got["null_distribution"])
        assert null.shape == (30,)
        assert (null >= got["statistic"]).sum() / 30 == got["permutation_significance"]
        assert "null_distribution" not in run(module, monkeypatch, "general", rvs, cdf, max_alpha_beta=max_ab)

    def test_progress_reaches_its_total(self, module, monkeypatch):
        rng = np.random.default_rng(1)
        for path, options in [("dominance", SEVERAL), ("lanes", ONE), ("hashed", ONE), ("dense", BINOMIAL)]:
            rvs, cdf = rng.normal(size=(60, 3)), rng.normal(size=(50, 3))
            run(module, monkeypatch, path, rvs, cdf, n_jobs=2, **options)
            done, total = module.progress()
            assert done == total > 0, path


def test_dominance_narrows_its_chunks_on_large_data(module, monkeypatch):
    # 120000 points in three dimensions would take 69 MiB of sums per chunk
    # of eight labellings, more than the data's own tables and 64 MiB: the
    # labellings go two at a time. The observed labelling matches the
    # one-labelling run, and thread counts agree on every labelling.
    rng = np.random.default_rng(12)
    rvs, cdf = rng.integers(0, 500, (60000, 3), dtype=np.int32), rng.integers(0, 500, (60000, 3), dtype=np.int32)
    one = run(module, monkeypatch, "dominance", rvs, cdf, deduplicate_data=False)
    several = [run(module, monkeypatch, "dominance", rvs, cdf, deduplicate_data=False, permutation_samples=3,
                   seed=8, n_jobs=n_jobs) for n_jobs in (1, 2)]
    assert several[0]["statistic"] == one["statistic"]
    assert several[0] == several[1]
