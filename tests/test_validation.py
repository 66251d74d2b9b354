"""Refusal of malformed calls: exception types and exact messages."""
import importlib

import numpy as np
import pytest

import oracle
import tessarin


X = np.arange(6, dtype=np.int64).reshape(3, 2)
Y = np.arange(4, dtype=np.int64).reshape(2, 2)
F = X.astype(np.float64)


def refused(module, exception, message, *args, **kwargs):
    with pytest.raises(exception) as info:
        module.test(*args, **kwargs)
    assert str(info.value) == message


INPUT_CASES = [
    # (args, kwargs, exception, message)
    ((X.tolist(), Y), {}, TypeError, "rvs should be an numpy array"),
    ((np.arange(5), Y), {}, ValueError, "rvs should be two dimensional (not 1)"),
    ((np.zeros((2, 2, 2)), Y), {}, ValueError, "rvs should be two dimensional (not 3)"),
    ((np.zeros((2, 64)),), dict(cdf=np.zeros((2, 64))), ValueError,
     "at most 63 element dimensions are supported (got: 64)"),
    ((X.astype(complex), Y), {}, TypeError, "rvs values should be castable to int32, int64 or double"),
    ((X.astype(str), Y), {}, TypeError, "rvs values should be castable to int32, int64 or double"),
    ((X,), dict(cdf=Y.tolist()), TypeError, "cdf should be an numpy array"),
    ((X,), dict(cdf=None), TypeError, "cdf should be an numpy array"),
    ((X,), dict(cdf=np.arange(2)), ValueError, "cdf should be two dimensional (not 1)"),
    ((X,), dict(cdf=np.zeros((2, 3))), ValueError, "cdf-s elements dimension should be the same as rvs (rvs: 2, cdf: 3)"),
    ((X.astype(np.int32),), dict(cdf=Y), TypeError, "mismatched types of rvs (ii) and cdf (il)"),
    ((X,), dict(cdf=F), TypeError, "mismatched types of rvs (il) and cdf (fd)"),
    ((X.astype(np.uint32),), dict(cdf=Y.astype(np.uint64)), TypeError, "mismatched types of rvs (uI) and cdf (uL)"),
    ((X,), {}, AssertionError, "cdf should be provided by cdf or count_cdf argument (both were None)"),
    ((X, Y), dict(counts_rvs=[1, 1, 1]), TypeError, "counts_rvs should be an numpy array"),
    ((X, Y), dict(counts_rvs=np.ones((3, 1))), ValueError, "counts_rvs should be one-dimensional (not 2)"),
    ((X, Y), dict(counts_rvs=np.ones(2, int)), ValueError,
     "counts_rvs should have one value for each rvs element (got 2 counts for 3 rvs element)"),
    ((X, Y), dict(counts_rvs=np.ones(3)), TypeError, "counts_rvs should have element type castable to int64 (got: fd)"),
    ((X, Y), dict(counts_rvs=np.ones(3, np.uint64)), TypeError,
     "counts_rvs should have element type castable to int64 (got: uL)"),
    ((X, Y), dict(counts_cdf=(1, 1)), TypeError, "counts_cdf should be an numpy array"),
    ((X, Y), dict(counts_cdf=np.array(1)), ValueError, "counts_cdf should be one-dimensional (not 0)"),
    ((X,), dict(counts_cdf=np.ones(2, int)), ValueError,
     "counts_cdf should have one value for each rvs element when cdf is not given (got 2 counts for 3 rvs elements)"),
    ((X, Y), dict(counts_cdf=np.ones(3, int)), ValueError,
     "counts_cdf should have one value for each cdf element (got 3 counts for 2 cdf elements)"),
    ((X, Y), dict(counts_cdf=np.ones(2, np.float32)), TypeError,
     "counts_cdf should have element type castable to int64 (got: ff)"),
    # The first failing check decides.
    ((np.arange(3), Y.tolist()), dict(counts_rvs=[1]), ValueError, "rvs should be two dimensional (not 1)"),
    ((X, np.arange(2)), dict(counts_rvs=[1]), ValueError, "cdf should be two dimensional (not 1)"),
]


class TestInputChecks:
    @pytest.mark.parametrize("args,kwargs,exception,message", INPUT_CASES)
    def test_refusals(self, module, args, kwargs, exception, message):
        refused(module, exception, message, *args, **kwargs)


class TestParser:
    def test_positional_only_rvs(self, module):
        with pytest.raises(TypeError):
            module.test(rvs=X, cdf=Y)

    @pytest.mark.parametrize("flag", ["binomial_significance", "max_alpha_beta", "scale_result",
                                      "deduplicate_data", "draw_samples", "debug"])
    @pytest.mark.parametrize("value", [256, -1])
    def test_flags_out_of_byte_range(self, module, flag, value):
        with pytest.raises(OverflowError):
            module.test(X, Y, **{flag: value})

    @pytest.mark.parametrize("kwargs", [dict(n_jobs=1.5), dict(permutation_samples="3"), dict(bogus=1),
                                        dict(n_jobs=2**31)])
    def test_other_parser_refusals(self, module, kwargs):
        with pytest.raises((TypeError, OverflowError)):
            module.test(X, Y, **kwargs)

    def test_nonzero_flag_counts_as_true(self, module):
        assert module.test(X, Y, max_alpha_beta=255) == module.test(X, Y)
        assert module.test(X, Y, max_alpha_beta=0) == module.test(X, Y, max_alpha_beta=False)


class TestRangeChecks:
    @pytest.mark.parametrize("kwargs,message", [
        (dict(n_jobs=0), "n_jobs should be at least 1 (got 0)"),
        (dict(n_jobs=-3), "n_jobs should be at least 1 (got -3)"),
        (dict(permutation_samples=-1), "permutation_samples should be at least 0 (got -1)"),
    ])
    def test_counts_of_threads_and_samples(self, module, kwargs, message):
        refused(module, ValueError, message, X, Y, **kwargs)
        # Refused before the arrays are looked at.
        refused(module, ValueError, message, "not an array", **kwargs)

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_nan_coordinates(self, module, dtype):
        rvs, cdf = F.astype(dtype), Y.astype(dtype)
        rvs[1, 0] = np.nan
        refused(module, ValueError, "rvs contains NaN (row 1, column 0)", rvs, cdf)
        refused(module, ValueError, "rvs contains NaN (row 1, column 0)", rvs, counts_cdf=np.ones(3, int))
        rvs[1, 0], cdf[1, 1] = 0.0, np.nan
        refused(module, ValueError, "cdf contains NaN (row 1, column 1)", rvs, cdf)

    @pytest.mark.parametrize("n_jobs", [1, 2, 4])
    def test_first_nan_in_column_order_whatever_ranks_it(self, module, n_jobs):
        # Columns are ranked side by side; the report still names the first
        # NaN of the first column that has one, large columns or small.
        for rows in (5, 3000):
            rvs, cdf = np.zeros((rows, 4)), np.ones((rows, 4))
            rvs[4, 3], cdf[3, 1], cdf[2, 1], rvs[1, 2] = np.nan, np.nan, np.nan, np.nan
            refused(module, ValueError, "cdf contains NaN (row 2, column 1)", rvs, cdf, n_jobs=n_jobs)

    def test_infinities_are_ordinary_values(self, module):
        rvs, cdf = np.array([[-np.inf, 0.0], [1.0, np.inf]]), np.array([[np.inf, np.inf], [0.0, -np.inf]])
        assert module.test(rvs, cdf) == oracle.statistic(rvs, cdf)

    @pytest.mark.parametrize("name,value,index", [("counts_rvs", -1, 0), ("counts_rvs", 2**32, 2),
                                                  ("counts_cdf", -5, 1), ("counts_cdf", 2**62, 0)])
    def test_counts_out_of_32_bits(self, module, name, value, index):
        counts = np.ones(3 if name == "counts_rvs" else 2, np.int64)
        counts[index] = value
        message = f"{name} values should be between 0 and 4294967295 (got {value} at index {index})"
        refused(module, ValueError, message, X, Y, **{name: counts})
        if name == "counts_cdf":
            counts = np.ones(3, np.int64)
            counts[index] = value
            refused(module, ValueError, message, X, counts_cdf=counts)

    @pytest.mark.parametrize("args,kwargs,which", [
        ((X[:0], Y), {}, "first"),
        ((X, Y[:0]), {}, "second"),
        ((X, Y), dict(counts_rvs=np.zeros(3, int)), "first"),
        ((X, Y), dict(counts_cdf=np.zeros(2, int)), "second"),
        ((X,), dict(counts_cdf=np.zeros(3, int)), "second"),
        ((X[:0],), dict(counts_cdf=np.zeros(0, int)), "first"),
        ((X, Y[:0]), dict(counts_cdf=np.zeros(0, int)), "second"),
    ])
    def test_empty_samples(self, module, args, kwargs, which):
        source = "rvs has no rows or counts_rvs" if which == "first" else "cdf has no rows or counts_cdf"
        refused(module, ValueError, f"the {which} sample is empty: {source} sums to 0", *args, **kwargs)

    def test_product_of_sizes_beyond_64_bits(self, module):
        big = 2**32 - 1
        message = f"the product of the sample sizes ({3 * big} x {2 * big}) does not fit in 64 bits"
        refused(module, ValueError, message, X, Y, counts_rvs=np.full(3, big), counts_cdf=np.full(2, big))

    @pytest.mark.parametrize("sample", ["first", "second"])
    def test_merged_multiplicity_beyond_32_bits(self, module, sample):
        rvs, cdf = np.array([[0, 0], [0, 0]]), np.array([[1, 1]])
        counts = dict(counts_rvs=np.array([2**32 - 1, 1]), counts_cdf=np.array([1]))
        if sample == "second":
            rvs, cdf = cdf, rvs
            counts = dict(counts_rvs=np.array([1]), counts_cdf=np.array([2**32 - 1, 1]))
        message = (f"equal points have a summed multiplicity above 4294967295 in the {sample} sample; "
                   "merge them yourself with 64-bit counts or pass deduplicate_data=False")
        refused(module, ValueError, message, rvs, cdf, **counts)
        # Large data sets are merged on several threads.
        padding = np.arange(2, 70002).repeat(2).reshape(-1, 2)
        big = {"rvs" if sample == "first" else "cdf": np.vstack([padding, rvs if sample == "first" else cdf])}
        big_counts = {k: np.concatenate([np.ones(len(padding), int), v]) if len(v) == 2 else v
                      for k, v in counts.items()}
        args = (big.get("rvs", rvs), big.get("cdf", cdf))
        refused(module, ValueError, message, *args, n_jobs=2, **big_counts)
        # Unmerged, the point weighing 2^32 is alone in its orthant around the other sample's corner.
        assert module.test(rvs, cdf, deduplicate_data=False, **counts) == 1.0
        assert module.test(rvs, cdf, deduplicate_data=False, max_alpha_beta=False, **counts) == 0.5

    def test_equal_points_in_different_samples_do_not_add_up(self, module):
        rvs, cdf = np.array([[0], [1]]), np.array([[0], [2]])
        counts = dict(counts_rvs=np.array([2**32 - 1, 0]), counts_cdf=np.array([2**32 - 1, 1]))
        want = oracle.statistic(rvs, cdf, counts["counts_rvs"], counts["counts_cdf"])
        assert module.test(rvs, cdf, **counts) == module.test(rvs, cdf, deduplicate_data=False, **counts) == want


class TestSeed:
    @pytest.mark.parametrize("seed", [-1, 2**32, 2**70, 1.5, "7"])
    def test_bad_seeds(self, module, seed):
        refused(module, ValueError, "seed should be None or an integer from 0 to 4294967295", X, Y, seed=seed)

    def test_reseeding_repeats_the_draws(self, module):
        rng = np.random.default_rng(0)
        rvs, cdf = rng.normal(size=(12, 2)), rng.normal(0.5, 1.0, size=(12, 2))
        runs = {}
        for seed in (0, 4294967295, None):
            for draw in (False, True):
                first = module.test(rvs, cdf, permutation_samples=200, draw_samples=draw, seed=seed)
                module.test(rvs, cdf, permutation_samples=50)  # moves the generator on
                again = module.test(rvs, cdf, permutation_samples=200, draw_samples=draw, seed=seed)
                if seed is not None:
                    assert first == again
                runs[seed, draw] = first
        assert runs[0, False] != runs[4294967295, False] or runs[0, True] != runs[4294967295, True]


@pytest.mark.parametrize("name,message", [("avx512", "MISSING AVX512"), ("avx2", "MISSING AVX2")])
def test_vector_build_refuses_processor_without_its_instructions(name, message):
    if tessarin.kernel_supported(name):
        pytest.skip(f"this machine runs the {name} build")
    try:
        build = importlib.import_module("tessarin." + name)
    except ImportError:
        pytest.skip(f"the {name} build exists only on x86-64")
    for args, kwargs in [((X, Y), {}), ((X.tolist(),), {}), ((np.arange(3),), dict(cdf=None))]:
        refused(build, RuntimeError, message, *args, **kwargs)
    with pytest.raises(TypeError):
        build.test(rvs=X, cdf=Y)



def unaligned(a):
    """A copy of `a` whose data start one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    b = raw[1:].view(a.dtype).reshape(a.shape)
    b[...] = a
    assert not b.flags.aligned or a.dtype.itemsize == 1
    return b


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.uint32, np.float32, np.float64])
def test_unaligned_arrays_read_safely(module, dtype):
    # The sanitizer build stops on any element read through a misaligned pointer.
    rng = np.random.default_rng(4)
    rvs, cdf = rng.integers(0, 6, (30, 3)).astype(dtype), rng.integers(1, 7, (25, 3)).astype(dtype)
    counts = dict(counts_rvs=rng.integers(0, 4, 30), counts_cdf=rng.integers(1, 4, 25))
    kwargs = dict(permutation_samples=5, seed=2)
    expected = module.test(rvs, cdf, **counts, **kwargs)
    got = module.test(unaligned(rvs), unaligned(cdf),
                      **{k: unaligned(v) for k, v in counts.items()}, **kwargs)
    assert got == expected and expected[0] == oracle.statistic(rvs, cdf, **counts)
