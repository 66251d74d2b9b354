"""plot_difference: a figure for one, two and more dimensions, drawn with
matplotlib's Agg backend, and a clear message without matplotlib."""
import sys

import numpy as np
import pytest

import tessarin

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def samples(d, seed=0):
    rng = np.random.default_rng(seed)
    x, y = rng.normal(size=(120, d)), rng.normal(size=(100, d))
    y[:, 0] += 0.8
    return x, y


def texts(fig):
    found = [t.get_text() for ax in fig.axes for t in ax.texts]
    return "\n".join(found + ([fig._suptitle.get_text()] if fig._suptitle else []))


def orthant_patches(ax):
    return [p for p in ax.patches if isinstance(p, Rectangle) and p.get_label() == "orthant"]


class TestFigures:
    def test_one_dimension_marks_the_gap_between_the_cdfs(self, tmp_path):
        x, y = samples(1)
        res = tessarin.ks_2samp(x[:, 0], y[:, 0], n_resamples=49, rng=2)
        fig = tessarin.plot_difference(x[:, 0], y[:, 0], res)
        (ax,) = fig.axes
        gap = [line for line in ax.lines if line.get_label().startswith("largest gap")]
        (xs, ys), = [line.get_data() for line in gap]
        # The marked gap stands at the corner and is as long as the statistic.
        assert xs[0] == xs[1] == res.statistic_location[0]
        assert abs(ys[1] - ys[0]) == pytest.approx(res.statistic)
        assert f"D = {res.statistic:.3f}, p = {res.pvalue:.3g}" in texts(fig)
        fig.savefig(tmp_path / "d1.png")
        assert (tmp_path / "d1.png").stat().st_size > 1000

    def test_two_dimensions_shade_the_orthant_from_the_corner(self):
        x, y = samples(2)
        res = tessarin.ks_2samp(x, y)
        fig = tessarin.plot_difference(x, y, res)
        (ax,) = fig.axes
        (patch,) = orthant_patches(ax)
        corner, below = res.statistic_location, res.statistic_orthant
        (x0, y0), (x1, y1) = patch.get_xy(), (patch.get_x() + patch.get_width(), patch.get_y() + patch.get_height())
        assert (x1 if below[0] else x0) == pytest.approx(corner[0])
        assert (y1 if below[1] else y0) == pytest.approx(corner[1])
        inside = lambda p: np.all(np.where(below, p < corner, p >= corner), axis=1).mean()
        assert f"share of x: {inside(x):.3f}\nshare of y: {inside(y):.3f}" in texts(fig)
        assert "p = not computed" in texts(fig)

    def test_more_dimensions_draw_pairs_of_the_bounds_that_cut_most(self):
        x, y = samples(4)
        res = tessarin.ks_2samp(x, y)
        fig = tessarin.plot_difference(x, y, res)
        assert len(fig.axes) == 3 and all(len(orthant_patches(ax)) == 1 for ax in fig.axes)
        drawn = {int(ax.get_xlabel().split()[-1]) for ax in fig.axes} | {
            int(ax.get_ylabel().split()[-1]) for ax in fig.axes}
        corner, below = res.statistic_location, res.statistic_orthant
        pooled = np.concatenate([x, y])
        cut = [np.sum(pooled[:, k] >= corner[k]) if below[k] else np.sum(pooled[:, k] < corner[k]) for k in range(4)]
        assert min(cut[k] for k in drawn) >= max(cut[k] for k in set(range(4)) - drawn)

    @pytest.mark.parametrize("d", [1, 2, 4])
    def test_into_given_axes_and_without_a_result(self, d):
        x, y = samples(d, seed=d)
        fig, ax = plt.subplots()
        assert tessarin.plot_difference(x, y, ax=ax) is fig
        assert fig.axes == [ax] and (ax.lines or ax.collections)

    def test_refusals(self):
        x, y = samples(2)
        with pytest.raises(ValueError, match="result is for 2 dimensions, x and y have 3"):
            tessarin.plot_difference(samples(3)[0], samples(3)[1], tessarin.ks_2samp(x, y))

    def test_missing_matplotlib_is_named(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
        with pytest.raises(ImportError, match="plot_difference needs matplotlib.*pip install matplotlib"):
            tessarin.plot_difference([0, 1], [2, 3])


def test_docstring_example_runs():
    import doctest

    import tessarin._plot

    assert doctest.testmod(tessarin._plot).failed == 0
