"""Where ks_2samp finds the statistic (location, orthant, sign) in the
caller's own values, the null distribution behind the permutation p-value,
scipy's names for the resampling options, and the progress bar."""
import decimal
import os
import signal
import sys
import threading

import numpy as np
import pytest

import tessarin
from tessarin import _progress

# The scan paths that serve one labelling in each number of dimensions.
PATHS = {1: ["dominance", "lanes", "dense"], 2: ["dominance", "lanes", "sparse"], 3: ["dominance", "packed"],
         5: ["packed", "sparse", "hashed"], 9: ["packed", "dense", "hashed"]}


def shares(points, corner, below, weights=None):
    """The weighted share of `points` in the orthant around `corner` that lies
    strictly below it where `below` is True, at or above it elsewhere."""
    inside = np.all(np.where(below, points < corner, points >= corner), axis=1)
    weights = np.ones(len(points)) if weights is None else np.asarray(weights, dtype=float)
    return float((weights * inside).sum() / weights.sum())


def assert_location_gives_statistic(res, x, y, weights_x=None, weights_y=None):
    """The corner is one of the caller's points, and the difference of the
    two shares around it, recomputed here, is the statistic with its sign."""
    d = x.shape[1]
    assert res.statistic_location.shape == (d,) and res.statistic_orthant.shape == (d,)
    assert res.statistic_orthant.dtype == bool
    corner = res.statistic_location
    assert any((row == corner).all() for row in (x if y is None else np.concatenate([x, y])))
    diff = shares(x, corner, res.statistic_orthant, weights_x) - shares(
        x if y is None else y, corner, res.statistic_orthant, weights_y)
    assert abs(diff) == pytest.approx(res.statistic, rel=1e-12)
    assert res.statistic_sign == (1 if diff > 0 else -1)


class TestLocation:
    @pytest.mark.parametrize("d", sorted(PATHS))
    def test_reproduces_the_statistic_on_every_path_and_thread_count(self, monkeypatch, d):
        rng = np.random.default_rng(d)
        x = rng.normal(size=(60, d))
        y = rng.normal(0.4, 1.0, size=(50, d))
        y[::3] = x[:17]  # shared points, so that corners of both samples tie
        default = tessarin.ks_2samp(x, y)
        assert_location_gives_statistic(default, x, y)
        for path in PATHS[d]:
            monkeypatch.setenv("TESSARIN_SCAN", path)
            for n_jobs in (1, 2):
                res = tessarin.ks_2samp(x, y, n_jobs=n_jobs)
                assert res.statistic == default.statistic, (path, n_jobs)
                np.testing.assert_array_equal(res.statistic_location, default.statistic_location)
                np.testing.assert_array_equal(res.statistic_orthant, default.statistic_orthant)
                assert res.statistic_sign == default.statistic_sign

    def test_one_dimension_matches_scipy_up_to_the_side(self):
        scipy_stats = pytest.importorskip("scipy.stats")
        rng = np.random.default_rng(7)
        x, y = rng.normal(size=70), rng.normal(0.5, 1.0, size=90)
        res = tessarin.ks_2samp(x, y)
        assert res.statistic_location.shape == (1,)
        assert res.statistic == pytest.approx(scipy_stats.ks_2samp(x, y).statistic, rel=1e-12)
        assert_location_gives_statistic(res, x.reshape(-1, 1), y.reshape(-1, 1))

    @pytest.mark.parametrize("kind", ["longdouble", "big integers", "decimals", "list"])
    def test_reported_in_the_callers_values(self, kind):
        rng = np.random.default_rng(3)
        a, b = rng.integers(0, 6, (40, 2)), rng.integers(1, 7, (35, 2))
        if kind == "longdouble":
            # Values that float64 rounds together, so they are ranked first.
            x, y = 1 + np.longdouble(2.0**-60) * a, 1 + np.longdouble(2.0**-60) * b
        elif kind == "big integers":
            x, y = (np.array(v.tolist(), dtype=object) * 2**70 + 1 for v in (a, b))
        elif kind == "decimals":
            x, y = (np.vectorize(lambda v: decimal.Decimal(int(v)) / 10)(v).astype(object) for v in (a, b))
        else:
            x, y = a.tolist(), b.tolist()
        res = tessarin.ks_2samp(x, y)
        assert_location_gives_statistic(res, np.asarray(x), np.asarray(y))
        if kind != "list":
            assert res.statistic_location.dtype == np.asarray(x).dtype

    def test_second_sample_as_weights_of_the_first(self):
        rng = np.random.default_rng(4)
        x = rng.normal(size=(50, 3))
        wx, wy = rng.integers(0, 4, 50), rng.integers(0, 4, 50)
        wx[0] = wy[0] = 1
        res = tessarin.ks_2samp(x, weights_x=wx, weights_y=wy)
        assert_location_gives_statistic(res, x, None, wx, wy)
        assert res == tessarin.ks_2samp(x, x, weights_x=wx, weights_y=wy)

    def test_sign_follows_the_direction_of_the_shift(self):
        rng = np.random.default_rng(5)
        x, y = rng.normal(size=(200, 2)), rng.normal(size=(200, 2))
        y[:, 1] += 1.5
        res = tessarin.ks_2samp(x, y)
        # y lies higher in the second dimension: y has more at or above the
        # corner there, x more below it.
        assert res.statistic_sign == (1 if res.statistic_orthant[1] else -1)


class TestNullDistribution:
    @pytest.mark.parametrize("combine,scale,resample", [("max", False, "permutation"), ("mean", True, "bootstrap")])
    def test_gives_the_permutation_pvalue(self, combine, scale, resample):
        rng = np.random.default_rng(6)
        x, y = rng.integers(0, 4, (40, 2)), rng.integers(0, 5, (30, 2))
        res = tessarin.ks_2samp(x, y, n_resamples=199, rng=3, combine=combine, scale=scale, resample=resample)
        null = res.null_distribution
        assert null.shape == (199,) and null.dtype == np.float64
        assert res.pvalue == res.permutation_pvalue == ((null >= res.statistic).sum() + 1) / 200
        # Same combination and scaling as the statistic: the values are
        # among those the statistic itself can take.
        assert 0 < null.max() and (null.max() <= 1 or scale)

    def test_absent_without_resampling(self):
        assert tessarin.ks_2samp([0, 1, 2], [1, 2, 3], binomial=True).null_distribution is None


class TestScipyNames:
    def test_aliases_give_the_same_result(self):
        rng = np.random.default_rng(8)
        x, y = rng.normal(size=(50, 2)), rng.normal(0.3, 1.0, size=(40, 2))
        by_scipy = tessarin.ks_2samp(x, y, n_resamples=99, rng=12)
        assert by_scipy == tessarin.ks_2samp(x, y, permutations=99, seed=12)
        assert by_scipy == tessarin.ks_2samp(x, y, n_resamples=99, seed=12)
        generated = tessarin.ks_2samp(x, y, n_resamples=99, rng=np.random.default_rng(5))
        assert generated == tessarin.ks_2samp(x, y, permutations=99, seed=np.random.default_rng(5))

    @pytest.mark.parametrize("kwargs,error,message", [
        (dict(n_resamples=9, permutations=9), TypeError, "give n_resamples or permutations, not both"),
        (dict(n_resamples=9, rng=1, seed=1), TypeError, "give rng or seed, not both"),
        (dict(n_resamples=-1), ValueError, "n_resamples must be between 0"),
        (dict(permutations=1.5), TypeError, "permutations must be an integer"),
        (dict(n_resamples=9, rng="a"), TypeError, "rng must be None, an integer or a numpy.random.Generator"),
        (dict(n_resamples=9, rng=2**32), ValueError, "rng must be between 0 and"),
    ])
    def test_refusals_name_the_argument(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            tessarin.ks_2samp([0, 1, 2], [1, 2, 3], **kwargs)


@pytest.fixture
def quick_bar(monkeypatch):
    """A bar shown from the first reading, redrawn every 10 ms."""
    monkeypatch.setattr(_progress, "DELAY", 0.0)
    monkeypatch.setattr(_progress, "INTERVAL", 0.01)


def long_inputs():
    rng = np.random.default_rng(9)
    return rng.normal(size=(6000, 4)), rng.normal(size=(6000, 4))


class TestProgress:
    @pytest.mark.parametrize("meter", ["tqdm", "line"])
    def test_reaches_its_total_and_leaves_the_result_unchanged(self, monkeypatch, capsys, quick_bar, meter):
        if meter == "tqdm":
            pytest.importorskip("tqdm")
        else:
            monkeypatch.setitem(sys.modules, "tqdm", None)  # imports of tqdm fail
        x, y = long_inputs()
        kwargs = dict(n_jobs=2, n_resamples=3, rng=1)
        shown = tessarin.ks_2samp(x, y, progress=True, **kwargs)
        err = capsys.readouterr().err
        assert shown == tessarin.ks_2samp(x, y, **kwargs)
        last = err.replace("\r", "\n").strip().splitlines()[-1]
        assert "100%" in last, err[-300:]
        assert capsys.readouterr().err == ""  # the call without a bar writes nothing

    def test_short_calls_show_nothing(self, capsys):
        tessarin.ks_2samp([0, 1, 2], [1, 2, 3], progress=True)
        assert capsys.readouterr().err == ""

    def test_sigint_still_ends_the_call(self, quick_bar):
        x, y = long_inputs()
        x, y = np.tile(x, (20, 1)) + np.arange(20).repeat(6000)[:, None], np.tile(y, (20, 1))
        timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(RuntimeError, match="Interrupted by signal"):
                tessarin.ks_2samp(x, y, progress=True, n_jobs=2)
        finally:
            timer.cancel()
        assert [t for t in threading.enumerate() if t.name == "tessarin-progress"] == []
