"""The friendly interface: conversion, validation, result fields, dispatch."""
import fractions
import importlib
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy import stats

import oracle
import tessarin
from conftest import BUILDS, EMULATED, HAS_AVX2, HAS_AVX512, RUNNABLE, load_build


@pytest.fixture(params=[name for name in RUNNABLE if name in BUILDS])
def kernel(request):
    load_build(request.param)
    return request.param


def samples(seed, n=40, m=35, d=2, levels=5):
    rng = np.random.default_rng(seed)
    return rng.integers(0, levels, size=(n, d)), rng.integers(0, levels, size=(m, d))


class TestResultFields:
    def test_fields_match_oracle_and_core(self, kernel):
        x, y = samples(1)
        wx = np.arange(len(x)) % 3
        alpha, beta, size_x, size_y = oracle.directional_maxima(x, y, wx, None)
        res = tessarin.ks_2samp(x, y, weights_x=wx, kernel=kernel)
        assert res.statistic_x == alpha / (size_x * size_y)
        assert res.statistic_y == beta / (size_x * size_y)
        assert res.statistic == max(res.statistic_x, res.statistic_y)
        assert (res.n_x, res.n_y) == (size_x, size_y)
        assert res.pvalue is res.permutation_pvalue is res.binomial_pvalue is None
        core = load_build(kernel)
        assert res.statistic == core.test(x.astype(np.int32), y.astype(np.int32),
                                          counts_rvs=wx)

    def test_combine_and_scale(self, kernel):
        x, y = samples(2)
        res = tessarin.ks_2samp(x, y, combine="mean", scale=True, kernel=kernel)
        expected = oracle.statistic(x, y, max_alpha_beta=False, scale_result=True)
        assert res.statistic == pytest.approx(expected, rel=1e-15)

    def test_one_dimension_equals_scipy(self):
        rng = np.random.default_rng(3)
        x, y = rng.integers(0, 30, 200), rng.integers(5, 40, 150)
        assert tessarin.ks_2samp(x, y).statistic == pytest.approx(
            stats.ks_2samp(x, y).statistic, abs=1e-15)

    def test_pvalues(self, kernel):
        x, y = samples(4)
        res = tessarin.ks_2samp(x, y, permutations=99, binomial=True, seed=5, kernel=kernel)
        stat, binomial, fraction = load_build(kernel).test(
            x.astype(np.int32), y.astype(np.int32), permutation_samples=99,
            binomial_significance=True, seed=5)
        assert res.statistic == stat and res.binomial_pvalue == binomial
        assert res.permutation_pvalue == (round(fraction * 99) + 1) / 100
        assert res.pvalue == res.permutation_pvalue and res.n_permutations == 99
        only_binomial = tessarin.ks_2samp(x, y, binomial=True, kernel=kernel)
        assert only_binomial.pvalue == only_binomial.binomial_pvalue == binomial

    def test_seed_reproducible_across_threads(self):
        x, y = samples(6, n=60, m=60)
        runs = {tessarin.ks_2samp(x, y, permutations=200, seed=11, n_jobs=j).pvalue
                for j in (1, 4, -1)}
        assert len(runs) == 1
        gen = tessarin.ks_2samp(x, y, permutations=200, seed=np.random.default_rng(1))
        assert 0 < gen.pvalue <= 1


class TestConversion:
    def test_array_likes(self):
        x, y = samples(7, d=1)
        expected = tessarin.ks_2samp(x, y).statistic
        assert tessarin.ks_2samp(x.ravel().tolist(), y.ravel().tolist()).statistic == expected
        assert tessarin.ks_2samp(x.astype(np.float32), y.astype(np.uint8)).statistic == expected
        assert tessarin.ks_2samp(np.asfortranarray(x), y[::-1]).statistic == expected

    def test_weights_over_one_point_set(self):
        x, _ = samples(8)
        wx, wy = np.arange(len(x)) % 4, (np.arange(len(x)) + 1) % 3
        res = tessarin.ks_2samp(x, weights_x=wx, weights_y=wy.astype(float))
        assert res.statistic == oracle.statistic(x, None, wx, wy)

    def test_wide_unsigned_integers_are_exact(self):
        # Above 2^53 these values collide as doubles; joint ranks keep them apart.
        big = np.uint64(2**64 - 1)
        x = np.array([big, big - 1, big - 2], dtype=np.uint64)
        y = np.array([big - 1, big - 3], dtype=np.uint64)
        ranks = np.unique(np.concatenate([x, y]), return_inverse=True)[1]
        expected = oracle.statistic(ranks[:3, None], ranks[3:, None])
        assert tessarin.ks_2samp(x, y).statistic == expected

    @pytest.mark.parametrize("x, y", [
        ([1 + np.longdouble(2)**-60, 1 + 3 * np.longdouble(2)**-60, 1], [1 + np.longdouble(2)**-59, 1]),
        (np.array([2**62 + 1, 2**62 + 3], np.longdouble), np.array([2**62 + 2, 2**62 + 3])),
        (np.array([2**53 + 1, 2**60 + 1, 3]), np.array([2.0**53, 2.0**60, 3.0])),
        (np.array([2**70 + 1, 2**70 - 1, 5], dtype=object), np.array([2**70, 5], dtype=object)),
        (np.array([2**70 + 1, 2**1100], dtype=object), np.array([2.0**70, 1e300])),
        (np.array([2**64 - 1], np.uint64), np.array([2.0**64, 1.5])),
    ], ids=["longdouble", "longdouble-int64", "int64-float", "big-ints", "big-ints-float", "uint64-float"])
    def test_no_rounding_to_float64(self, x, y):
        # The oracle sees exact ranks: Python compares ints, floats and
        # fractions exactly.
        x, y = (np.array(a, dtype=np.asarray(a).dtype) for a in (x, y))
        def exact(v):
            return fractions.Fraction(*v.as_integer_ratio()) if isinstance(v, np.floating) else v
        values = [exact(v) for v in list(x) + list(y)]
        order = sorted(set(values))
        ranks = np.array([order.index(v) for v in values]).reshape(-1, 1)
        expected = oracle.statistic(ranks[:len(x)], ranks[len(x):])
        assert tessarin.ks_2samp(x, y).statistic == expected
        assert tessarin.ks_2samp(y, x).statistic == expected

    @pytest.mark.parametrize("dtype", [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32,
                                       np.uint32, np.int64, np.uint64, np.float64, object])
    def test_zero_dimensions(self, dtype):
        assert tessarin.ks_2samp(np.zeros((3, 0), dtype), np.zeros((2, 0), dtype)).statistic == 0.0

    def test_unaligned_input(self):
        x, y = samples(11)
        raw = np.zeros(x.size * 8 + 1, np.uint8)
        unaligned = raw[1:].view(np.float64).reshape(x.shape)
        unaligned[...] = x
        assert not unaligned.flags.aligned
        assert tessarin.ks_2samp(unaligned, y).statistic == tessarin.ks_2samp(x, y).statistic

    def test_options_in_any_case_and_numpy_booleans(self):
        expected = tessarin.ks_2samp([0, 1], [1, 2], scale=True, binomial=True)
        assert tessarin.ks_2samp([0, 1], [1, 2], scale=np.True_, binomial=np.bool_(True),
                                 kernel=" PORTABLE ") == expected

    @pytest.mark.parametrize("call, error, text", [
        (lambda: tessarin.ks_2samp([], [1]), ValueError, "x is empty"),
        (lambda: tessarin.ks_2samp([1, np.nan], [1]), ValueError, "x contains NaN"),
        (lambda: tessarin.ks_2samp([[1, 2]], [[1, 2, 3]]), ValueError, "same number of dimensions"),
        (lambda: tessarin.ks_2samp(np.zeros((2, 64)), np.zeros((2, 64))), ValueError, "at most 63"),
        (lambda: tessarin.ks_2samp([1j], [1]), TypeError, "x must hold real numbers"),
        (lambda: tessarin.ks_2samp([1], ["a"]), TypeError, "y must hold real numbers"),
        (lambda: tessarin.ks_2samp([[1, 2], [1]], [1]), ValueError, "x could not be read"),
        (lambda: tessarin.ks_2samp([1, 2], [1], weights_x=[1, -1]), ValueError, "weights_x must not be negative"),
        (lambda: tessarin.ks_2samp([1, 2], [1], weights_x=[1, 0.5]), ValueError, "weights_x must hold whole"),
        (lambda: tessarin.ks_2samp([1, 2], [1], weights_y=[1, 1]), ValueError, "weights_y must have one weight"),
        (lambda: tessarin.ks_2samp([1, 2], [1], weights_x=[0, 0]), ValueError, "x has total weight 0"),
        (lambda: tessarin.ks_2samp([1, 2]), ValueError, "y is missing"),
        (lambda: tessarin.ks_2samp([1], [2], combine="min"), ValueError, "combine"),
        (lambda: tessarin.ks_2samp([1], [2], resample="jackknife"), ValueError, "resample"),
        (lambda: tessarin.ks_2samp([1], [2], permutations=-1), ValueError, "permutations"),
        (lambda: tessarin.ks_2samp([1], [2], n_jobs=0), ValueError, "n_jobs"),
        (lambda: tessarin.ks_2samp([1], [2], permutations=5, seed=-1), ValueError, "seed"),
        (lambda: tessarin.ks_2samp([1], [2], kernel="sse"), ValueError, "kernel"),
        (lambda: tessarin.ks_2samp([1], [2], scale="False"), TypeError, "scale must be True or False"),
        (lambda: tessarin.ks_2samp([1], [2], binomial="no"), TypeError, "binomial must be True or False"),
        (lambda: tessarin.ks_2samp([1], [2], binomial=1), TypeError, "binomial must be True or False"),
        (lambda: tessarin.ks_2samp([1], [2], cancel=bytearray(1)), TypeError, "cancel must be a CancelToken"),
        (lambda: tessarin.ks_2samp([1], [{}]), TypeError, "y must hold real numbers"),
    ])
    def test_bad_input_names_the_argument(self, call, error, text):
        with pytest.raises(error, match=text):
            call()


class TestDispatch:
    def run(self, code, **env):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=dict(os.environ, **env))
        return result.returncode, result.stdout.strip(), result.stderr

    def test_default_is_fastest_available(self):
        expected = next(name for name in BUILDS if tessarin.kernel_supported(name))
        if HAS_AVX2 and not HAS_AVX512:
            assert expected == "avx2"
        assert tessarin.available_kernels()[0] == expected
        code = "import tessarin; print(tessarin.get_kernel().__spec__.name)"
        assert self.run(code, TESSARIN_KERNEL="")[1] == "tessarin." + expected

    @pytest.mark.parametrize("name", BUILDS)
    def test_forced_choice(self, name):
        code = "import tessarin; print(tessarin.get_kernel().__spec__.name)"
        status, out, err = self.run(code, TESSARIN_KERNEL=name)
        if tessarin.kernel_supported(name):
            assert out == "tessarin." + name
            assert tessarin.get_kernel(name).__spec__.name == tessarin.get_kernel(name).__name__ == "tessarin." + name
        else:
            assert status != 0 and f"TESSARIN_KERNEL='{name}' but this processor" in err
            with pytest.raises(RuntimeError, match=f"kernel='{name}' but this processor"):
                tessarin.ks_2samp([1], [2], kernel=name)

    def test_unknown_build(self):
        code = "import tessarin; print(tessarin.get_kernel().__spec__.name)"
        status, _, err = self.run(code, TESSARIN_KERNEL="sse2")
        assert status != 0 and "TESSARIN_KERNEL must be one of" in err
        with pytest.raises(ValueError, match="unknown build"):
            tessarin.kernel_supported("sse2")

    @pytest.mark.skipif(not os.path.exists("/proc/cpuinfo"), reason="needs /proc/cpuinfo")
    def test_detection_matches_the_kernels_flags(self):
        # Linux lists a vector extension only when it saves its registers too.
        with open("/proc/cpuinfo") as f:
            flags = next((set(line.split(":", 1)[1].split()) for line in f if line.startswith("flags")), None)
        if flags is None:
            pytest.skip("/proc/cpuinfo lists no flags on this architecture")
        v3 = {"avx2", "fma", "bmi1", "bmi2", "abm", "movbe", "f16c", "popcnt"}
        assert tessarin.kernel_supported("avx2") == (v3 <= flags)
        assert tessarin.kernel_supported("avx512") == ({"avx512f", "avx512vl"} <= flags)
        assert tessarin.kernel_supported("portable")


def runnable_builds():
    """Every build this machine runs, dispatchable and emulated, by name."""
    builds = {}
    for name in BUILDS + EMULATED:
        if name in BUILDS and not tessarin.kernel_supported(name):
            continue
        try:
            builds[name] = importlib.import_module("tessarin." + name)
        except ImportError:
            assert name in EMULATED
    return builds


class TestBuildsAgree:
    """Every build computes the same integers, so all return the same bits:
    the lane scan up to four dimensions, the packed scan up to sixteen, the
    sparse scan with one to four blocks per point, and the general scans of
    labellings and of the histogram."""

    @pytest.mark.parametrize("d,n", [(1, 40), (2, 90), (3, 300), (4, 200), (5, 150), (7, 300), (8, 40),
                                     (9, 600), (12, 300), (16, 100), (17, 120), (33, 80), (63, 60)])
    def test_bit_for_bit_on_one_thread(self, d, n):
        builds = runnable_builds()
        if len(builds) < 2:
            pytest.skip("fewer than two builds run here")
        rng = np.random.default_rng(d * 1000 + n)
        # Signed 32-bit values, extremes included, are compared as given.
        extremes = np.array([np.iinfo(np.int32).min, -1, 0, 1, np.iinfo(np.int32).max], dtype=np.int32)
        x = rng.choice(extremes, size=(n, d)).astype(np.int32)
        x[::2] = rng.integers(-3, 3, size=x[::2].shape)
        y = rng.normal(size=(n + 5, d))
        y_ranked = np.argsort(np.argsort(y, axis=0), axis=0).astype(np.int32) - n // 2
        weights = rng.integers(1, 4, size=n)
        for kw in (dict(), dict(counts_rvs=weights), dict(permutation_samples=12, seed=4),
                   dict(binomial_significance=True), dict(max_alpha_beta=False, scale_result=True)):
            results = {name: m.test(x, y_ranked, details=True, **kw) for name, m in builds.items()}
            reference = results.pop("portable")
            for name, result in results.items():
                assert result == reference, (name, kw)


def test_docstring_examples_run():
    import doctest

    import tessarin._api

    assert doctest.testmod(tessarin._api).failed == 0
