"""The test in parts: partial results of blocks of units, merged in any
order and finished, give the local call's details exactly."""
import numpy as np
import pytest

# (dimensions, permutation samples, binomial, scan paths the call may take)
CASES = [
    (2, 30, True, {"dominance"}),
    (2, 21, False, {"dominance"}),
    (5, 12, True, {"dense"}),
    (5, 0, False, {"packed", "lanes"}),
    (5, 9, False, {"labellings"}),
    (12, 4, True, {"sparse"}),
]


def points(seed, d, n=180, m=150, levels=4):
    rng = np.random.default_rng(seed)
    return (rng.integers(0, levels, size=(n, d)).astype(np.float64),
            rng.integers(0, levels, size=(m, d)).astype(np.float64) + 0.5 * (rng.random((m, d)) < 0.3))


def split(units, parts, rng):
    cuts = np.sort(rng.integers(0, units + 1, size=parts - 1))
    bounds = [0, *map(int, cuts), units]
    return list(zip(bounds, bounds[1:]))


class TestParts:
    @pytest.mark.parametrize("d,perms,binomial,paths", CASES)
    def test_any_split_and_order_gives_the_local_details(self, module, d, perms, binomial, paths):
        x, y = points(d, d)
        wx = np.arange(len(x)) % 3
        args = dict(cdf=y, counts_rvs=wx, permutation_samples=perms, binomial_significance=binomial, seed=11)
        local = module.test(x, details=True, **args)
        assert local["scan"] in paths
        prepared = module.prepare(x, **args)
        info = module.describe(prepared)
        assert info["scan"] == local["scan"]
        assert info["split"] == ("labellings" if info["scan"] == "dominance" else "corners")
        rng = np.random.default_rng(d)
        # Empty blocks and blocks run with several threads merge like any other.
        blocks = split(info["units"], 5, rng)
        partials = [module.partial(prepared, a, b, n_jobs=1 + k % 2) for k, (a, b) in enumerate(blocks)]
        merged = partials.pop(rng.integers(len(partials)))
        for k in rng.permutation(len(partials)):
            merged = module.merge(merged, partials[k])
        assert module.finish(prepared, merged, n_jobs=1) == local

    def test_histogram_part_sums_to_the_weighted_orthants(self, module):
        # Every corner adds its weight once per orthant.
        x, y = points(3, 3)
        prepared = module.prepare(x, y, binomial_significance=True)
        units = module.describe(prepared)["units"]
        _, keys, weights = module.partial(prepared, 0, units)
        assert np.all(np.diff(keys.astype(np.int64)) > 0)
        assert int(weights.sum()) == (len(x) + len(y)) * 2**3
        merged = module.merge((_, keys, weights), module.partial(prepared, 0, 0))
        assert np.array_equal(merged[1], keys) and np.array_equal(merged[2], weights)

    def test_same_seed_same_labellings(self, module):
        x, y = points(4, 5)
        digest = [module.describe(module.prepare(x, y, permutation_samples=6, seed=s))["digest"]
                  for s in (5, 5, 6)]
        assert digest[0] == digest[1] != digest[2]


class TestRefusals:
    def test_blocks_outside_the_units(self, module):
        x, y = points(5, 5)
        prepared = module.prepare(x, y)
        units = module.describe(prepared)["units"]
        with pytest.raises(ValueError, match="not within"):
            module.partial(prepared, 0, units + 1)
        with pytest.raises(ValueError, match="not within"):
            module.partial(prepared, 3, 2)
        # Bounds beyond 64 bits or below zero are named as given, not wrapped.
        for first, end in [(0, 2**64), (-1, 2), (2**70, 2**70 + 1)]:
            with pytest.raises(ValueError, match=rf"^the block \[{first}, {end}\) is not within the {units} units"):
                module.partial(prepared, first, end)
        with pytest.raises(TypeError):
            module.partial(prepared, 0.0, 2)

    def test_numpy_integers_as_block_bounds(self, module):
        x, y = points(6, 4)
        prepared = module.prepare(x, y, scan="dense")
        units = module.describe(prepared)["units"]
        bounds = np.linspace(0, units, 4).astype(np.int64)
        parts = [module.partial(prepared, first, end) for first, end in zip(bounds[:-1], bounds[1:])]
        merged = module.merge(module.merge(parts[0], parts[1]), parts[2])
        assert module.finish(prepared, merged) == module.finish(prepared, module.partial(prepared, 0, units))

    def test_partials_of_other_data_sets(self, module):
        x, y = points(6, 5)
        one = module.prepare(x, y)
        many = module.prepare(x, y, permutation_samples=3, seed=1)
        a = module.partial(one, 0, 10)
        b = module.partial(many, 0, 10)
        with pytest.raises(ValueError, match="different data sets"):
            module.merge(a, b)
        with pytest.raises(ValueError, match="does not belong"):
            module.finish(many, a)
        with pytest.raises(ValueError, match="ascending"):
            module.merge(a, (a[0], np.array([2, 1], np.uint64), np.array([1, 1], np.uint64)))
        with pytest.raises(TypeError, match="tuple of three"):
            module.merge(a, a[0])
        with pytest.raises(TypeError, match="prepared by"):
            module.partial(object(), 0, 1)
