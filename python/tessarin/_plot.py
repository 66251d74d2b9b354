"""A picture of where two samples differ most: the corner and orthant that
give the statistic, drawn over the samples with matplotlib (an optional
dependency)."""
import numpy as np

from ._api import _as_points, ks_2samp

# At most this many dimensions are drawn in pairs when d > 2 (three panels).
MAX_PANEL_DIMENSIONS = 3
_X_STYLE = dict(color="C0", marker="o", label="x")
_Y_STYLE = dict(color="C1", marker="^", label="y")


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plot_difference needs matplotlib; install it with "
                          "`pip install matplotlib` (or `pip install tessarin[plot]`)") from None
    return plt


def _inside(points, corner, below, dims=None):
    """Which points lie in the orthant around `corner` (strictly below it
    where `below`, at or above elsewhere), judged on the dimensions `dims`
    only (all by default). Compares the caller's own values."""
    dims = range(points.shape[1]) if dims is None else dims
    inside = np.ones(len(points), dtype=bool)
    for k in dims:
        inside &= (points[:, k] < corner[k]) if below[k] else (points[:, k] >= corner[k])
    return inside


def _describe(result, share_x, share_y):
    pvalue = "not computed" if result.pvalue is None else f"{result.pvalue:.3g}"
    return (f"share of x: {share_x:.3f}\nshare of y: {share_y:.3f}\n"
            f"D = {result.statistic:.3f}, p = {pvalue}")


def _bounds(below, dims):
    return ", ".join(f"dim {k} {'<' if below[k] else '≥'} c" for k in dims)


def _panel_dimensions(x, y, corner, below):
    """The dimensions to draw in pairs: those whose bounds cut off the most
    points of the pooled sample, so that the orthant's shape shows."""
    pooled = np.concatenate([x, y])
    cut = [int((~_inside(pooled, corner, below, [k])).sum()) for k in range(x.shape[1])]
    return sorted(sorted(range(len(cut)), key=lambda k: -cut[k])[:MAX_PANEL_DIMENSIONS])


def _draw_ecdfs(ax, x, y, corner, below, result):
    c = float(corner[0])
    left = {}
    for name, values, style in (("x", x[:, 0], _X_STYLE), ("y", y[:, 0], _Y_STYLE)):
        v = np.sort(values.astype(np.float64))
        levels = np.arange(1, len(v) + 1) / len(v)
        ax.step(np.concatenate([[v[0]], v]), np.concatenate([[0.0], levels]), where="post",
                color=style["color"], label=f"{name} (n = {len(v)})")
        left[name] = float((values < corner[0]).mean())  # the share just below the corner
    ax.plot([c, c], [left["x"], left["y"]], color="black", linewidth=3, solid_capstyle="butt",
            label=f"largest gap, at {c:.4g}")
    ax.axvline(c, color="grey", linestyle=":", linewidth=1)
    share_x, share_y = _inside(x, corner, below).mean(), _inside(y, corner, below).mean()
    ax.text(0.02, 0.98, f"orthant: {_bounds(below, [0])}\n" + _describe(result, share_x, share_y),
            transform=ax.transAxes, va="top", ha="left", fontsize=9,
            bbox=dict(boxstyle="round", facecolor="white", alpha=0.85))
    ax.set_xlabel("dim 0")
    ax.set_ylabel("empirical CDF")
    ax.legend(loc="lower right", fontsize=9)


def _draw_pair(ax, x, y, corner, below, result, i, j):
    """Both samples projected on dimensions i and j, with the orthant's
    quadrant shaded. When d > 2, the points outside the orthant's bounds in
    the other dimensions are grey, so the coloured points in the shaded
    quadrant are exactly the orthant's."""
    d = x.shape[1]
    others = [k for k in range(d) if k not in (i, j)]
    for points, style in ((x, _X_STYLE), (y, _Y_STYLE)):
        shown = _inside(points, corner, below, others)
        p = points[:, [i, j]].astype(np.float64)
        if not shown.all():
            ax.scatter(p[~shown, 0], p[~shown, 1], s=8, color="0.8", marker=style["marker"], linewidths=0,
                       label="outside in other dims" if points is x else None)
        ax.scatter(p[shown, 0], p[shown, 1], s=12, alpha=0.6, linewidths=0,
                   **dict(style, label=f"{style['label']} (n = {len(points)})"))
    ax.margins(0.05)
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    ci, cj = float(corner[i]), float(corner[j])
    from matplotlib.patches import Rectangle

    left, right = (x0, ci) if below[i] else (ci, x1)
    bottom, top = (y0, cj) if below[j] else (cj, y1)
    ax.add_patch(Rectangle((left, bottom), right - left, top - bottom, facecolor="C2", alpha=0.15,
                           edgecolor="C2", linewidth=1.5, zorder=0, label="orthant"))
    ax.plot([ci], [cj], marker="*", markersize=16, color="black", markeredgecolor="white", linestyle="none",
            label="corner c", zorder=5)
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    ax.set_xlabel(f"dim {i}")
    ax.set_ylabel(f"dim {j}")


def plot_difference(x, y, result=None, *, ax=None):
    """Draw where two samples differ most: the corner and orthant at which
    :func:`ks_2samp` reaches its statistic.

    Parameters
    ----------
    x, y : array_like, shape (n_x, d) and (n_y, d), or one-dimensional
        The two samples, as given to `ks_2samp`.
    result : OrthantKSResult, optional
        The result of ``ks_2samp(x, y, ...)``; computed with the default
        options when omitted.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; a new figure by default. When d > 2 only the
        first pair of dimensions is drawn into it.

    Returns
    -------
    matplotlib.figure.Figure
        For d = 1, the two empirical CDFs with the largest gap marked at the
        corner. For d = 2, both samples as scatter with the corner marked and
        the orthant shaded. For d > 2, the pairwise projections of up to
        three dimensions whose bounds cut off the most points; in each, the points
        outside the orthant's bounds in the other dimensions are grey. Every
        panel names the two samples' shares of the orthant and the p-value.

    Raises
    ------
    ImportError
        matplotlib is not installed.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import numpy as np
    >>> from tessarin import ks_2samp, plot_difference
    >>> rng = np.random.default_rng(0)
    >>> x, y = rng.normal(size=(200, 2)), rng.normal(0.5, 1.0, size=(200, 2))
    >>> fig = plot_difference(x, y, ks_2samp(x, y, n_resamples=99, rng=1))
    >>> fig.savefig("difference.png")  # doctest: +SKIP
    """
    plt = _pyplot()
    xp, yp = _as_points(x, "x"), _as_points(y, "y")
    if xp.shape[1] != yp.shape[1]:
        raise ValueError(f"x and y must have the same number of dimensions (x: {xp.shape[1]}, y: {yp.shape[1]})")
    if result is None:
        result = ks_2samp(xp, yp)
    if result.statistic_location is None:
        raise ValueError("result does not say where the statistic is reached")
    corner, below = result.statistic_location, result.statistic_orthant
    d = xp.shape[1]
    if len(corner) != d:
        raise ValueError(f"result is for {len(corner)} dimensions, x and y have {d}")
    share_x, share_y = _inside(xp, corner, below).mean(), _inside(yp, corner, below).mean()
    if d == 1:
        fig, ax = (plt.subplots(figsize=(6.4, 4.8)) if ax is None else (ax.figure, ax))
        _draw_ecdfs(ax, xp, yp, corner, below, result)
        return fig
    dims = [0, 1] if d == 2 else _panel_dimensions(xp, yp, corner, below)
    pairs = [(a, b) for n, a in enumerate(dims) for b in dims[n + 1:]]
    if ax is None:
        fig, axes = plt.subplots(1, len(pairs), figsize=(5.6 * len(pairs), 5.2), squeeze=False)
        axes = list(axes[0])
    else:
        fig, axes, pairs = ax.figure, [ax], pairs[:1]
    for panel, (i, j) in zip(axes, pairs):
        _draw_pair(panel, xp, yp, corner, below, result, i, j)
    text = f"orthant: {_bounds(below, range(d))}\n" + _describe(result, share_x, share_y)
    if d == 2 or len(axes) == 1:
        axes[0].text(0.02, 0.98, text, transform=axes[0].transAxes, va="top", ha="left", fontsize=9,
                     bbox=dict(boxstyle="round", facecolor="white", alpha=0.85))
    else:
        head, rest = text.split("\n", 1)
        fig.suptitle(head + "\n" + rest.replace("\n", "; "), fontsize=10)
    axes[0].legend(loc="lower right", fontsize=8, framealpha=0.85)
    fig.tight_layout()
    return fig
