import math
import subprocess
import sys

import numpy as np
import pytest
from scipy.stats import binom

from oracle import directional_maxima, orthant_histogram, statistic
from probe.build import build_probe


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    return build_probe(tmp_path_factory)


def exceed_probability(c, size_x, size_y, raw):
    """P(|X/size_x - Y/size_y| > raw/(size_x*size_y)) for independent binomial X
    and Y with the rule-of-succession fraction of orthant count c; the
    comparison is made exactly, in integers."""
    lam = (c + 1.0) / (size_x + 2.0)
    x, y = np.arange(size_x + 1), np.arange(size_y + 1)
    outside = np.abs(x[:, None] * size_y - y[None, :] * size_x) > raw
    return float(binom.pmf(x, size_x, lam) @ (outside @ binom.pmf(y, size_y, lam)))


def reference(histogram, size_x, size_y, raw):
    log_keep = sum(w * math.log1p(-exceed_probability(c, size_x, size_y, raw))
                   for c, w in histogram.items())
    return 1.0 - math.exp(log_keep)


def data_set(seed, n1, n2, d, levels=None, weighted=False, with_cdf=True):
    rng = np.random.default_rng(seed)

    def draw(n):
        return rng.integers(0, levels, size=(n, d)) if levels else rng.normal(size=(n, d))

    kwargs = {}
    if weighted:
        kwargs["counts_rvs"] = rng.integers(0, 4, n1)
        kwargs["counts_cdf"] = rng.integers(1, 4, n2 if with_cdf else n1)
    return draw(n1), draw(n2) if with_cdf else None, kwargs


DATA_SETS = {
    "d1": data_set(1, 8, 6, 1),
    "d2": data_set(2, 10, 9, 2),
    "d3-ties": data_set(3, 12, 10, 3, levels=3),
    "d4-weighted": data_set(4, 18, 16, 4, levels=4, weighted=True),
    "d2-counts-only": data_set(5, 14, 0, 2, levels=4, weighted=True, with_cdf=False),
    "d6-sparse": data_set(6, 9, 7, 6),
}


def observed(rvs, cdf, kwargs):
    alpha, beta, size_x, size_y = directional_maxima(rvs, cdf, **kwargs)
    return orthant_histogram(rvs, cdf, **kwargs), size_x, size_y, max(alpha, beta)


@pytest.mark.parametrize("name", DATA_SETS)
def test_matches_independent_computation(module, probe, name):
    rvs, cdf, kwargs = DATA_SETS[name]
    histogram, size_x, size_y, raw = observed(rvs, cdf, kwargs)
    args = (rvs,) if cdf is None else (rvs, cdf)
    value, p = module.test(*args, binomial_significance=True, **kwargs)
    assert value == pytest.approx(statistic(rvs, cdf, **kwargs), rel=1e-12)
    expected = reference(histogram, size_x, size_y, raw)
    assert 0.0 < expected < 1.0
    # The evaluation alone, fed the brute-force histogram, and the full call
    # that builds the histogram during the scan.
    assert probe.finalize(histogram, size_x, size_y, raw / (size_x * size_y), 1) == \
        pytest.approx(expected, rel=1e-9)
    assert p == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("histogram, expected", [
    ({1: 1}, 0.125),
    ({1: 2}, 0.234375),
    ({1: 1, 0: 1}, 0.1865234375),
    ({1: 2, 0: 1}, 1 - 0.875 ** 2 * 0.9296875),
    ({}, 0.0),
])
@pytest.mark.parametrize("n_jobs", [1, 3])
def test_worked_values(probe, histogram, expected, n_jobs):
    assert probe.finalize(histogram, 2, 2, 0.5, n_jobs) == pytest.approx(expected, rel=1e-12)


def test_no_threads_give_zero(probe):
    # In a child process: a crash must not take the test run down.
    code = ("import tessarin._probe as m; "
            "print(m.finalize({1: 1}, 2, 2, 0.5, 0), m.finalize({}, 2, 2, 0.5, 0))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, f"exit status {run.returncode}: {run.stderr[-500:]}"
    assert run.stdout.split() == ["0.0", "0.0"]


@pytest.mark.parametrize("size_x, size_y, raw", [(2, 2, 2), (3, 5, 5), (9, 7, 31), (4, 6, 12)])
def test_difference_equal_to_observed_is_not_exceedance(probe, size_x, size_y, raw):
    # D = raw/(size_x*size_y) puts second-sample counts exactly on |x/size_x -
    # y/size_y| = D; those do not exceed it, however the bounds are rounded.
    histogram = {0: 1, size_x // 2: 2}
    assert probe.finalize(histogram, size_x, size_y, raw / (size_x * size_y), 1) == \
        pytest.approx(reference(histogram, size_x, size_y, raw), rel=1e-9)


@pytest.mark.parametrize("entries", [1, 5, 25, 61])
def test_job_split_covers_every_entry(probe, entries):
    # 10 jobs per thread: fewer entries than jobs leaves all of them to the
    # last job, more spread them with the remainder in the last one.
    rng = np.random.default_rng(entries)
    size_x, size_y, raw = 60, 45, 900
    keys = rng.choice(size_x + 1, entries, replace=False)
    histogram = {int(k): int(w) for k, w in zip(keys, rng.integers(1, 6, entries))}
    expected = reference(histogram, size_x, size_y, raw)
    for n_jobs in range(1, 9):
        assert probe.finalize(histogram, size_x, size_y, raw / (size_x * size_y), n_jobs) == \
            pytest.approx(expected, rel=1e-9)


def test_large_samples_truncated_tails(probe):
    # Wide binomials: the outward summation stops at negligible terms.
    size_x, size_y, raw = 300, 220, 300 * 220 // 7
    histogram = {0: 40, 1: 3, 17: 11, 150: 9, 299: 2, 300: 5}
    expected = reference(histogram, size_x, size_y, raw)
    assert probe.finalize(histogram, size_x, size_y, raw / (size_x * size_y), 2) == \
        pytest.approx(expected, rel=1e-9)


def test_thread_count_and_run_do_not_change_result(module):
    # Entries are evaluated by whichever thread takes their job, but their
    # terms are added in key order: the value is the same to the last bit.
    rvs, cdf, kwargs = data_set(8, 300, 260, 3)
    results = {(jobs, run): module.test(rvs, cdf, binomial_significance=True, n_jobs=jobs)
               for jobs in (1, 2, 4) for run in range(3)}
    assert len(set(results.values())) == 1


def dense_and_sparse_cases():
    rng = np.random.default_rng(11)
    points = rng.permutation(np.array(np.meshgrid(*[[0, 1]] * 4)).reshape(4, -1).T)[:15]
    rvs, cdf = points[:8], points[7:]  # point 7 in both samples
    # 15 distinct points under 16 orthants run the sparse kernel; one more
    # point, a duplicate kept apart or a point of weight 0, runs the dense
    # kernel on the same histogram.
    dup = dict(cdf=np.vstack([cdf, rvs[:1]]))
    zero = dict(counts_rvs=np.ones(8, int), counts_cdf=np.r_[np.ones(8, int), 0])
    return {"duplicate": (rvs, dup, dict(dup, deduplicate_data=False)),
            "zero-weight": (rvs, dict(cdf=cdf), dict(zero, cdf=np.vstack([cdf, [[5, 5, 5, 5]]])))}


@pytest.mark.parametrize("case", ["duplicate", "zero-weight"])
def test_dense_and_sparse_kernels_agree(module, case):
    rvs, sparse_kwargs, dense_kwargs = dense_and_sparse_cases()[case]
    sparse = module.test(rvs, binomial_significance=True, **sparse_kwargs)
    dense = module.test(rvs, binomial_significance=True, **dense_kwargs)
    assert dense[0] == pytest.approx(sparse[0], rel=1e-12)
    assert dense[1] == pytest.approx(sparse[1], rel=1e-12)
    histogram, size_x, size_y, raw = observed(rvs, sparse_kwargs.pop("cdf"), sparse_kwargs)
    assert sparse[1] == pytest.approx(reference(histogram, size_x, size_y, raw), rel=1e-9)


def test_compares_against_unscaled_larger_maximum(module):
    rvs, cdf, kwargs = data_set(21, 9, 14, 2, levels=5)
    histogram, size_x, size_y, raw = observed(rvs, cdf, kwargs)
    alpha, beta, _, _ = directional_maxima(rvs, cdf)
    assert alpha != beta and size_x != size_y  # mean and scaling would both differ
    expected = reference(histogram, size_x, size_y, raw)
    for max_ab in (True, False):
        for scale in (False, True):
            value, p = module.test(rvs, cdf, binomial_significance=True, max_alpha_beta=max_ab,
                                   scale_result=scale)
            assert value == pytest.approx(statistic(rvs, cdf, max_alpha_beta=max_ab,
                                                    scale_result=scale), rel=1e-12)
            assert p == pytest.approx(expected, rel=1e-9)


def test_corner_weight_beyond_32_bits(module):
    # A corner's weight is the sum of its two multiplicities, which can pass
    # 2^32 - 1 only once the samples are merged; merging must not change the
    # histogram.
    args = (np.array([[0], [1]]), np.array([[0], [2]]))
    kwargs = dict(counts_rvs=np.array([1, 1]), counts_cdf=np.array([2**32 - 1, 1]), binomial_significance=True)
    merged = module.test(*args, deduplicate_data=True, **kwargs)
    separate = module.test(*args, deduplicate_data=False, **kwargs)
    assert merged == separate


def close(fast, reference, rel, floor):
    return abs(fast - reference) <= rel * abs(reference) + floor


def exceedance_cases(regime, count=40):
    """(c, size_x, size_y, raw) drawn for one regime of sizes and reach."""
    rng = np.random.default_rng(sum(map(ord, regime)))
    cases = []
    for _ in range(count):
        if regime == "balanced":
            size_x = size_y = int(rng.choice([1, 2, 7, 60, 2000, 4003]))
        elif regime == "unbalanced":
            size_x, size_y = (int(v) for v in rng.choice([1, 3, 40, 500, 2000, 9000], 2))
        elif regime == "long-walk":
            size_x, size_y = int(rng.choice([10**5, 10**6])), int(rng.choice([10**3, 10**5, 10**6]))
        else:  # one sample far larger: the tails of Y are taken from Boost per step
            size_x, size_y = int(rng.choice([5, 20, 60])), int(rng.choice([10**6, 10**7]))
        u = rng.random()
        raw = (0 if u < 0.1 else 1 if u < 0.15 else size_x * size_y if u < 0.2
               else size_x * size_y - 1 if u < 0.25
               # multiples of size_x put reach bounds exactly on whole counts
               else size_x * int(rng.integers(0, size_y + 1)) if u < 0.5
               else int(rng.random() ** 3 * size_x * size_y))
        c = int(rng.choice([0, 1, size_x // 2, size_x - 1, size_x, rng.integers(0, size_x + 1)]))
        cases.append((max(c, 0), size_x, size_y, raw))
    return cases


class TestFastEvaluation:
    """The recurrence-based evaluation against the reference evaluation that
    calls Boost at every step of the walk."""

    @pytest.mark.parametrize("regime", ["balanced", "unbalanced", "long-walk", "lopsided"])
    def test_exceedance_matches_reference(self, probe, regime):
        for c, size_x, size_y, raw in exceedance_cases(regime):
            D = raw / (size_x * size_y)
            fast = probe.exceedance(c, size_x, size_y, D)[0]
            reference = probe.reference_exceedance(c, size_x, size_y, D)
            # Probabilities below 1e-300 of the second sample count as 0.
            assert close(fast, reference, 1e-10, 1e-280), (c, size_x, size_y, raw, fast, reference)

    def test_mirrored_counts_share_one_exceedance(self, probe):
        # Counts c and size_x - c have complementary fractions, and the
        # evaluation stands one for the other; both must equal the
        # reference, equal or unequal sizes alike.
        rng = np.random.default_rng(11)
        for size_x, size_y in [(2000, 2000), (301, 4000), (4000, 301), (7, 7)]:
            for c in rng.choice(size_x + 1, 6, replace=False):
                D = float(rng.uniform(0.01, 0.3))
                low = probe.exceedance(int(c), size_x, size_y, D)[0]
                high = probe.exceedance(size_x - int(c), size_x, size_y, D)[0]
                assert close(low, high, 1e-12, 1e-280), (c, size_x, size_y, D, low, high)
                histogram = {int(c): 3, size_x - int(c): 5}
                reference = probe.reference_finalize(histogram, size_x, size_y, D)
                assert close(probe.finalize(histogram, size_x, size_y, D, 2), reference, 1e-10, 1e-15)

    def test_boost_called_a_few_times_per_entry(self, probe):
        # The walk and the window come from the recurrence: a handful of Boost
        # calls per entry where the reference makes three per step.
        for c, size_x, size_y in [(1000, 2000, 2000), (37, 2000, 2000), (400, 900, 2500),
                                  (5, 2000, 300)]:
            value, calls, steps, direct = probe.exceedance(c, size_x, size_y, 0.09)
            assert value > 0 and not direct
            assert calls <= 6 and steps > 40, (c, size_x, size_y, calls, steps)
        # A second sample so much larger that its window would outgrow the
        # walk: its tails come from Boost at every step instead.
        value, calls, steps, direct = probe.exceedance(10, 20, 10**7, 0.1)
        assert direct and calls > 10
        assert close(value, probe.reference_exceedance(10, 20, 10**7, 0.1), 1e-10, 0)

    @pytest.mark.parametrize("seed", range(6))
    def test_histograms_match_reference(self, probe, seed):
        rng = np.random.default_rng(seed)
        size_x, size_y = (int(v) for v in rng.choice([3, 50, 400, 2000], 2))
        keys = rng.choice(size_x + 1, min(size_x + 1, 300), replace=False)
        histogram = {int(k): int(w) for k, w in zip(keys, rng.integers(1, 10**6, len(keys)))}
        for raw in (1, size_x * size_y // 50, size_x * size_y // 8, size_x * size_y // 2):
            D = raw / (size_x * size_y)
            reference = probe.reference_finalize(histogram, size_x, size_y, D)
            # Where an exceedance rounds past 1 the reference gives NaN.
            reference = 1.0 if math.isnan(reference) else reference
            for n_jobs in (1, 3):
                assert close(probe.finalize(histogram, size_x, size_y, D, n_jobs), reference,
                             1e-10, 1e-15)

    def test_exceedance_rounding_above_one(self, probe):
        # With D = 0 and these sizes nearly every pair of counts differs: the
        # summed probability can round past 1, and must still be a
        # probability, give p = 1 (and weight-0 entries nothing) rather than
        # NaN.
        values = [probe.exceedance(c, 2000, 3, 0.0)[0] for c in range(900, 1100)]
        assert all(1 - 1e-12 < value <= 1.0 for value in values)
        assert probe.finalize({1000: 5, 7: 0}, 2000, 3, 0.0, 2) == 1.0

    def test_bit_identical_for_every_thread_count(self, probe):
        size_x, size_y, raw = 2000, 1700, 2000 * 1700 // 20
        rng = np.random.default_rng(3)
        histogram = {int(k): int(w) for k, w in
                     zip(rng.choice(size_x + 1, 900, replace=False), rng.integers(1, 50, 900))}
        D = raw / (size_x * size_y)
        # Up to 16 threads race for the runs; which takes which must not show.
        values = {probe.finalize(histogram, size_x, size_y, D, n_jobs)
                  for n_jobs in (1, 2, 4, 7, 16) for _ in range(4)}
        assert len(values) == 1
        value, = values
        assert close(value, probe.reference_finalize(histogram, size_x, size_y, D), 1e-10, 1e-15)
