"""Brute-force NumPy reference for the orthant statistic and its histogram.

Slow and obviously correct: every point serves as a corner, every point is
placed in the orthant given by the dimensions in which the corner is strictly
greater, and the orthant shares of both samples are compared exactly in
integers.
"""
import numpy as np


def _pooled(rvs, cdf, counts_rvs, counts_cdf):
    rvs = np.asarray(rvs)
    n1, d = rvs.shape
    if cdf is None:
        points = rvs
        wx = np.ones(n1, np.int64) if counts_rvs is None else np.asarray(counts_rvs, np.int64)
        wy = np.asarray(counts_cdf, np.int64)
    else:
        cdf = np.asarray(cdf)
        n2 = cdf.shape[0]
        points = np.concatenate([rvs, cdf]) if n2 else rvs
        wx = np.ones(n1, np.int64) if counts_rvs is None else np.asarray(counts_rvs, np.int64)
        wy = np.ones(n2, np.int64) if counts_cdf is None else np.asarray(counts_cdf, np.int64)
        wx = np.concatenate([wx, np.zeros(n2, np.int64)])
        wy = np.concatenate([np.zeros(n1, np.int64), wy])
    return points, wx, wy


def orthant_bins(points, corner):
    """Orthant index of every point around `corner`: bit k is set when the
    corner's coordinate k is strictly greater than the point's."""
    d = points.shape[1]
    below = (corner[None, :] > points).astype(np.uint64)
    weights = np.left_shift(np.uint64(1), np.arange(d, dtype=np.uint64))
    return (below * weights).sum(axis=1, dtype=np.uint64) if d else np.zeros(len(points), np.uint64)


def directional_maxima(rvs, cdf=None, counts_rvs=None, counts_cdf=None):
    """(alpha, beta, size_x, size_y): the largest |size_y X(o) - size_x Y(o)|
    over the corners of the first and of the second sample (exact ints)."""
    points, wx, wy = _pooled(rvs, cdf, counts_rvs, counts_cdf)
    size_x, size_y = int(wx.sum()), int(wy.sum())
    alpha = beta = 0
    for c in range(len(points)):
        bins = orthant_bins(points, points[c])
        _, inverse = np.unique(bins, return_inverse=True)
        x = np.bincount(inverse.ravel(), weights=wx).astype(np.int64)
        y = np.bincount(inverse.ravel(), weights=wy).astype(np.int64)
        m = int(np.abs(size_y * x - size_x * y).max())
        if wx[c]:
            alpha = max(alpha, m)
        if wy[c]:
            beta = max(beta, m)
    return alpha, beta, size_x, size_y


def statistic(rvs, cdf=None, counts_rvs=None, counts_cdf=None, max_alpha_beta=True,
              scale_result=False):
    """The value `test` returns for the observed labelling."""
    alpha, beta, size_x, size_y = directional_maxima(rvs, cdf, counts_rvs, counts_cdf)
    xy = float(size_x) * float(size_y)
    raw = float(max(alpha, beta)) if max_alpha_beta else (float(alpha) + float(beta)) * 0.5
    value = raw / xy
    if scale_result:
        value *= np.sqrt((float(size_x) + float(size_y)) / xy)
    return value


def orthant_histogram(rvs, cdf=None, counts_rvs=None, counts_cdf=None):
    """{first-sample count of an orthant: summed weight of the corners} over
    every corner and all of its 2^d orthants, empty orthants included."""
    points, wx, wy = _pooled(rvs, cdf, counts_rvs, counts_cdf)
    d = points.shape[1]
    histogram = {}
    for c in range(len(points)):
        weight = int(wx[c] + wy[c])
        bins = orthant_bins(points, points[c])
        occupied, inverse = np.unique(bins, return_inverse=True)
        x = np.bincount(inverse.ravel(), weights=wx).astype(np.int64)
        for count in x:
            histogram[int(count)] = histogram.get(int(count), 0) + weight
        empty = (1 << d) - len(occupied)
        if empty:
            histogram[0] = histogram.get(0, 0) + weight * empty
    return histogram


def statistic_location(rvs, cdf=None, counts_rvs=None, counts_cdf=None):
    """(corner, orthant, sign, in_y) where the larger directional maximum is
    first reached: corners are the distinct points in order of first
    appearance (equal points merged), orthants in increasing index; sign is
    +1 when the first sample's share of the orthant is the larger; in_y when
    the corners are the second sample's (the beta maximum is the larger, or
    equal and reached first)."""
    points, wx, wy = _pooled(rvs, cdf, counts_rvs, counts_cdf)
    size_x, size_y = int(wx.sum()), int(wy.sum())
    first, merged_x, merged_y = {}, [], []
    for i, p in enumerate(map(tuple, points)):
        if p not in first:
            first[p] = len(merged_x)
            merged_x.append(0)
            merged_y.append(0)
        merged_x[first[p]] += int(wx[i])
        merged_y[first[p]] += int(wy[i])
    corners = sorted(first, key=first.get)
    best = [(-1, None), (-1, None)]
    for u, corner in enumerate(corners):
        bins = orthant_bins(points, np.array(corner)).astype(np.int64)
        orthants = 1 << points.shape[1]
        x = np.bincount(bins, weights=wx, minlength=orthants).astype(np.int64)
        y = np.bincount(bins, weights=wy, minlength=orthants).astype(np.int64)
        diff = size_y * x - size_x * y
        o = int(np.argmax(np.abs(diff)))
        for half, weight in ((0, merged_x[u]), (1, merged_y[u])):
            if weight and abs(int(diff[o])) > best[half][0]:
                best[half] = (abs(int(diff[o])), (u, o, 1 if diff[o] > 0 else -1))
    in_y = best[1][0] > best[0][0] or (best[1][0] == best[0][0] and best[1][1][:2] < best[0][1][:2])
    u, o, sign = best[in_y][1]
    return np.array(corners[u]), o, sign, in_y
