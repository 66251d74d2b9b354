import ctypes
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import stats

from conftest import SANITIZER
from oracle import directional_maxima, statistic
from probe.build import build_probe, labellings


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    return build_probe(tmp_path_factory)


def normal_samples(seed, n1, n2, d, shift=0.0):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n1, d)), rng.normal(size=(n2, d)) + shift


def weighted_case():
    # Repeated points, zero multiplicities and a point of pooled weight 0.
    rng = np.random.default_rng(3)
    rvs, cdf = rng.integers(0, 3, (14, 2)), rng.integers(0, 3, (11, 2))
    counts_rvs, counts_cdf = rng.integers(0, 5, 14), rng.integers(0, 5, 11)
    rvs[0], counts_rvs[0] = [7, 7], 0
    return (rvs, cdf), dict(counts_rvs=counts_rvs, counts_cdf=counts_cdf)


CASES = {
    "distinct": (normal_samples(0, 13, 10, 2), {}),
    "weighted": weighted_case(),
    "counts-only": ((np.arange(12).reshape(6, 2),),
                    dict(counts_rvs=np.array([3, 0, 1, 4, 0, 2]), counts_cdf=np.array([0, 5, 1, 0, 0, 2]))),
    "one-point": ((np.array([[5, 5]]),), dict(counts_rvs=np.array([3]), counts_cdf=np.array([4]))),
    "merged-to-one": ((np.ones((3, 2)), np.ones((4, 2))), {}),
    "wide-pool": ((np.array([[0]]), np.array([[1]])), dict(counts_cdf=np.array([2**32 - 2]))),
}


@pytest.mark.parametrize("draw", [False, True], ids=["permute", "draw"])
@pytest.mark.parametrize("name", CASES)
def test_labellings_keep_sizes(probe, name, draw):
    args, kwargs = CASES[name]
    if draw and name == "wide-pool":
        pytest.skip("drawing 2^32 - 2 observations with replacement per labelling")
    cx0, cy0, size_x, size_y = labellings(probe, *args, **kwargs)
    cx, cy, sx, sy = labellings(probe, *args, permutation_samples=40, draw_samples=draw, seed=5,
                                **kwargs)
    assert (sx, sy) == (size_x, size_y) == (cx0.sum(), cy0.sum())
    assert cx.shape == cy.shape == (len(cx0), 41)
    np.testing.assert_array_equal(cx[:, 0], cx0[:, 0])
    np.testing.assert_array_equal(cy[:, 0], cy0[:, 0])
    np.testing.assert_array_equal(cx.sum(axis=0), size_x)
    np.testing.assert_array_equal(cy.sum(axis=0), size_y)
    pooled = cx0[:, :1] + cy0[:, :1]
    if not draw:
        np.testing.assert_array_equal(cx + cy, np.broadcast_to(pooled, cx.shape))
    assert not (cx[pooled[:, 0] == 0].any() or cy[pooled[:, 0] == 0].any())
    if len(cx0) == 1:
        assert (cx == size_x).all() and (cy == size_y).all()
    if name == "distinct":
        assert (cx[:, 1:] != cx[:, :1]).any(axis=0).all()


def test_seed_reproduces_labellings(probe):
    args = normal_samples(1, 9, 8, 2)
    first = labellings(probe, *args, permutation_samples=20, seed=123)
    again = labellings(probe, *args, permutation_samples=20, seed=123)
    other = labellings(probe, *args, permutation_samples=20, seed=124)
    following = labellings(probe, *args, permutation_samples=20)  # the process-wide sequence
    np.testing.assert_array_equal(first[0], again[0])
    assert not np.array_equal(first[0], other[0])
    assert not np.array_equal(first[0], following[0])


@pytest.mark.parametrize("seed", [-1, 2**32, "1", 1.0])
def test_seed_out_of_range(module, seed):
    with pytest.raises(ValueError, match="seed should be None or an integer"):
        module.test(*normal_samples(1, 3, 3, 1), permutation_samples=2, seed=seed)


# Dense scans keep 32-bit differences while size_x * size_y fits them and
# 64-bit counts beyond; six dimensions take the sparse kernel.
SCANS = {
    "dense": (2, {}, 30),
    "dense-wide": (2, dict(counts_rvs=np.full(12, 5000), counts_cdf=np.full(10, 4000)), 30),
    "dense-many": (2, {}, 300),  # more labellings than one pass takes at a time
    "sparse": (6, {}, 30),
}


@pytest.mark.parametrize("scan", SCANS)
@pytest.mark.parametrize("draw, max_ab", [(False, True), (False, False), (True, True), (True, False)])
def test_significance_from_labellings(module, probe, draw, max_ab, scan):
    d, counts, samples = SCANS[scan]
    rvs, cdf = normal_samples(7, 12, 10, d, shift=0.4)
    cx, cy, _, _ = labellings(probe, rvs, cdf, permutation_samples=samples, draw_samples=draw, seed=7, **counts)
    points = np.concatenate([rvs, cdf])  # distinct points keep their order
    raw = []
    for p in range(cx.shape[1]):
        alpha, beta, _, _ = directional_maxima(points, None, cx[:, p], cy[:, p])
        raw.append(max(alpha, beta) if max_ab else alpha + beta)
    expected = np.mean(np.array(raw[1:]) >= raw[0])
    for n_jobs in (1, 2, 4):
        value, p = module.test(rvs, cdf, permutation_samples=samples, draw_samples=draw,
                               max_alpha_beta=max_ab, n_jobs=n_jobs, seed=7, **counts)
        assert p == expected
        assert value == pytest.approx(statistic(rvs, cdf, max_alpha_beta=max_ab, **counts), rel=1e-12)


@pytest.mark.parametrize("flags", [{}, dict(max_alpha_beta=False), dict(scale_result=True),
                                   dict(draw_samples=True, scale_result=True)])
def test_result_forms(module, flags):
    rvs, cdf = normal_samples(2, 15, 11, 3)
    value = module.test(rvs, cdf, **flags)
    assert isinstance(value, float)
    assert value == pytest.approx(statistic(rvs, cdf, **{k: v for k, v in flags.items()
                                                         if k != "draw_samples"}), rel=1e-12)
    perm = module.test(rvs, cdf, permutation_samples=25, seed=9, **flags)
    binom = module.test(rvs, cdf, binomial_significance=True, **flags)
    both = module.test(rvs, cdf, permutation_samples=25, binomial_significance=True, seed=9, **flags)
    assert isinstance(perm, tuple) and isinstance(binom, tuple) and isinstance(both, tuple)
    assert (len(perm), len(binom), len(both)) == (2, 2, 3)
    assert perm[0] == binom[0] == both[0] == value
    assert both[1] == binom[1] and both[2] == perm[1]
    assert 0.0 <= perm[1] <= 1.0 and 0.0 < binom[1] <= 1.0


def test_null_p_values_are_valid_and_shift_is_detected(module):
    null = np.array([module.test(*normal_samples(i, 20, 20, 2), permutation_samples=50, seed=i)[1]
                     for i in range(200)])
    # Ties count, so the discrete statistic makes the p-values conservative:
    # never much more small values than uniform ones, but not degenerate.
    for level in (0.05, 0.1, 0.25, 0.5, 0.75):
        assert np.mean(null <= level) <= level + 0.05
    assert 0.45 <= null.mean() <= 0.65 and np.mean(null <= 0.25) >= 0.1
    assert stats.kstest(null, "uniform").statistic < 0.25
    shifted = [module.test(*normal_samples(1000 + i, 20, 20, 2, shift=1.5), permutation_samples=50,
                           seed=i)[1] for i in range(30)]
    assert max(shifted) <= 0.1 and np.mean(shifted) <= 0.01


@pytest.mark.parametrize("args, kwargs, value", [
    ((np.ones((5, 2)), np.ones((7, 2))), {}, 0.0),
    ((np.ones((5, 2)), np.ones((7, 2))), dict(deduplicate_data=False), 0.0),
    ((np.ones((5, 2)), np.ones((7, 2))), dict(draw_samples=True), 0.0),
    ((np.array([[0]]), np.array([[1]])), {}, 1.0),
    ((np.array([[0]]), np.array([[1]])), dict(max_alpha_beta=False), 0.5),
])
def test_every_labelling_ties(module, args, kwargs, value):
    assert module.test(*args, permutation_samples=20, seed=3, **kwargs) == (value, 1.0)


@pytest.mark.parametrize("counts_rvs, counts_cdf", [([1], [2**32 - 1]), ([1, 0], [2**31, 2**31 - 1])])
def test_pooled_total_limit(module, counts_rvs, counts_cdf):
    args = (np.arange(len(counts_rvs)).reshape(-1, 1), 10 + np.arange(len(counts_cdf)).reshape(-1, 1))
    kwargs = dict(counts_rvs=np.array(counts_rvs), counts_cdf=np.array(counts_cdf),
                  deduplicate_data=False)
    assert isinstance(module.test(*args, **kwargs), float)
    with pytest.raises(ValueError, match="pooled total multiplicity below 4294967296"):
        module.test(*args, permutation_samples=3, **kwargs)
    # One observation less fits the 32-bit tree.
    kwargs["counts_cdf"][0] -= 1
    value, p = module.test(*args, permutation_samples=3, seed=1, **kwargs)
    assert value == 1.0 and 0.0 <= p <= 1.0


@pytest.mark.parametrize("counts, message", [(dict(counts_rvs=np.zeros(4, int)), "first sample is empty"),
                                             (dict(counts_cdf=np.zeros(3, int)), "second sample is empty")])
def test_empty_sample_refused(module, counts, message):
    with pytest.raises(ValueError, match=message):
        module.test(*normal_samples(4, 4, 3, 2), permutation_samples=5, **counts)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_count_tables_too_large(module):
    # 20000 points x 2^31 labellings x 4 bytes exceed any address space.
    rvs = np.random.default_rng(5).integers(0, 1000, (20000, 32)).astype(np.int32)
    cdf = rvs[:10] + 1
    for _ in range(3):
        with pytest.raises(RuntimeError, match=r"^out of memory"):
            module.test(rvs, cdf, permutation_samples=2**31 - 1)
    if SANITIZER == "address":
        return  # AddressSanitizer keeps freed blocks in quarantine; it checks leaks itself
    before = rss_bytes()
    for _ in range(20):  # the 2.5 MB coordinate table must not stay behind
        with pytest.raises(RuntimeError):
            module.test(rvs, cdf, permutation_samples=2**31 - 1)
    assert rss_bytes() - before < 20 * 2**20


def test_second_count_table_failure_releases_first(module):
    # Under an address-space limit that fits one 1 GiB table but not two, every
    # call fails on the second table with the same message; a leaked first
    # table would make the next call fail on the first one instead.
    code = textwrap.dedent(f"""
        import resource, numpy as np, tessarin.{os.path.basename(module.__file__).split('.')[0]} as m
        rvs, cdf = np.arange(500).reshape(-1, 1), np.arange(500, 1000).reshape(-1, 1)
        vm = int(open("/proc/self/statm").read().split()[0]) * 4096
        resource.setrlimit(resource.RLIMIT_AS, (vm + 3 * 2**29, resource.RLIM_INFINITY))
        for _ in range(3):
            try:
                m.test(rvs, cdf, permutation_samples=2**18 - 1)
            except RuntimeError as e:
                print(e)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-500:]
    messages = run.stdout.splitlines()
    assert len(messages) == 3 and messages[0].startswith("out of memory") and len(set(messages)) == 1


# The pool of the draw tests: point [1] holds the first sample's one
# observation and 649999999 of the second's, point [2] the other 850000000.
# 2^31 mod 1.5e9 = 647483648 positions would come up twice as often if a
# draw were taken modulo the pool without rejection.
WIDE_POOL = ((np.array([[1]]), np.array([[1], [2]])),
             dict(counts_rvs=np.array([1]), counts_cdf=np.array([649999999, 850000000])))
glibc_only = pytest.mark.skipif(platform.libc_ver()[0] != "glibc",
                                reason="compares with the GNU C library's rand()")


def libc():
    lib = ctypes.CDLL(None)
    lib.srand.argtypes = [ctypes.c_uint]
    return lib


def uniform_below(rand, total):
    """The draw the loader makes: rand() values of the incomplete top block
    of 2^31 mod total values are drawn again."""
    limit = 2**31 - 2**31 % total
    value = rand()
    while value >= limit:
        value = rand()
    return value % total


class TestDraws:
    def test_wide_pool_is_drawn_without_bias(self, module):
        # A permuted labelling ties the observed statistic exactly when the
        # first sample's observation lands on point [1]: 650000000 / 1.5e9.
        args, kwargs = WIDE_POOL
        _, p = module.test(*args, permutation_samples=4000, seed=1, **kwargs)
        assert abs(p - 0.65 / 1.5) < 0.03

    @pytest.mark.parametrize("draw", [False, True])
    def test_tables_do_not_depend_on_the_thread_count(self, probe, draw):
        # Ties, repeated points merged with their weights, zero weights, and
        # labellings drawn by one thread or side by side by several.
        rng = np.random.default_rng(11)
        rvs = rng.integers(0, 12, (3000, 3)).astype(float)
        cdf = np.vstack([rng.integers(0, 12, (2500, 3)), rvs[:200]]).astype(float)
        kwargs = dict(counts_rvs=rng.integers(0, 4, 3000), counts_cdf=rng.integers(1, 3, 2700),
                      permutation_samples=37, seed=3, draw_samples=draw)
        one = labellings(probe, rvs, cdf, n_jobs=1, **kwargs)
        for n_jobs in (2, 5):
            for a, b in zip(one, labellings(probe, rvs, cdf, n_jobs=n_jobs, **kwargs)):
                np.testing.assert_array_equal(a, b)

    @glibc_only
    @pytest.mark.parametrize("n_jobs", [1, 3])
    @pytest.mark.parametrize("seed", [0, 1, 77, 2**32 - 1])
    def test_seeded_draws_are_those_of_srand(self, probe, seed, n_jobs):
        # Without replacement from the wide pool (where draws are rejected)
        # and with replacement from a pool of 8 (where none ever is); on
        # three threads the labellings are drawn side by side.
        lib = libc()
        small = ((np.array([[0], [1], [2]]), np.array([[3]])),
                 dict(counts_rvs=np.array([1, 2, 0]), counts_cdf=np.array([5]), draw_samples=True))
        for (args, kwargs), samples in ((WIDE_POOL, 200), (small, 30)):
            cx, cy, size_x, size_y = labellings(probe, *args, permutation_samples=samples, seed=seed,
                                                n_jobs=n_jobs, **kwargs)
            pooled = cx[:, 0] + cy[:, 0]
            lib.srand(seed)
            replace = kwargs.get("draw_samples", False)
            for p in range(1, samples):
                left = pooled.copy()
                for table, draws in ((cx, size_x), (cy, size_y if replace else 0)):
                    drawn = np.zeros(len(pooled), np.int64)
                    for _ in range(draws):
                        position = uniform_below(lib.rand, int(left.sum()))
                        point = int(np.searchsorted(np.cumsum(left), position, side="right"))
                        drawn[point] += 1
                        left[point] -= not replace
                    if draws:
                        np.testing.assert_array_equal(table[:, p], drawn)
                if not replace:  # the second sample keeps what was not drawn
                    np.testing.assert_array_equal(cy[:, p], left)

    @glibc_only
    def test_seeded_calls_leave_the_process_generator_alone(self, module):
        lib = libc()
        args = normal_samples(2, 15, 12, 2)
        lib.srand(5)
        expected = [lib.rand() for _ in range(3)]
        lib.srand(5)
        seeded = module.test(*args, permutation_samples=100, seed=9)
        assert [lib.rand() for _ in range(3)] == expected
        # Without a seed the draws continue the process-wide sequence.
        lib.srand(9)
        assert module.test(*args, permutation_samples=100) == seeded


def test_ranking_out_of_memory_is_reported_like_every_allocation(module):
    # 10^7 doubles: the 40 MB rank table fits under the limit, the 160 MB
    # sort table does not.
    code = textwrap.dedent(f"""
        import resource, numpy as np, tessarin.{os.path.basename(module.__file__).split('.')[0]} as m
        rvs = np.random.default_rng(0).normal(size=(10**7, 1))
        vm = int(open("/proc/self/statm").read().split()[0]) * 4096
        resource.setrlimit(resource.RLIMIT_AS, (vm + 100 * 2**20, resource.RLIM_INFINITY))
        for _ in range(2):
            try:
                m.test(rvs, rvs[:5])
            except RuntimeError as e:
                print(e)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-500:]
    messages = run.stdout.splitlines()
    assert len(messages) == 2 and messages[0].startswith("out of memory") and len(set(messages)) == 1
