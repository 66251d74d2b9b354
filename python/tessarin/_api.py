"""The friendly interface: array_like input, validation that names the
argument, and a result object in the manner of ``scipy.stats``."""
import os
import secrets
from dataclasses import dataclass
from typing import Optional

import numpy as np

from ._dispatch import get_kernel

MAX_DIMENSIONS = 63
MAX_WEIGHT = 2**32 - 1
_INT32 = np.dtype(np.int32)
_INT64 = np.dtype(np.int64)


@dataclass(frozen=True)
class OrthantKSResult:
    """Result of :func:`ks_2samp`.

    Attributes
    ----------
    statistic : float
        The test statistic: the larger (``combine="max"``) or the mean
        (``combine="mean"``) of `statistic_x` and `statistic_y`, multiplied by
        sqrt((n_x + n_y) / (n_x n_y)) when ``scale=True``.
    pvalue : float or None
        `permutation_pvalue` when permutations were run, else
        `binomial_pvalue`, else None.
    permutation_pvalue : float or None
        (k + 1) / (B + 1), where k of the B resampled labellings give a
        statistic at least as large as the observed one.
    binomial_pvalue : float or None
        The binomial p-value of the larger directional statistic.
    statistic_x, statistic_y : float
        The largest difference of the two samples' orthant shares over the
        corners placed at the points of `x`, and of `y`.
    n_permutations : int
        Number of resampled labellings B.
    n_x, n_y : int
        Sample sizes: the total weights of `x` and `y`.
    """

    statistic: float
    pvalue: Optional[float]
    permutation_pvalue: Optional[float]
    binomial_pvalue: Optional[float]
    statistic_x: float
    statistic_y: float
    n_permutations: int
    n_x: int
    n_y: int


def _as_points(a, name):
    if a is None:
        raise TypeError(f"{name} must be array_like, not None")
    try:
        arr = np.asarray(a)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{name} could not be read as an array of points: {e}") from None
    if arr.dtype == object:
        try:
            arr = arr.astype(np.float64)
        except (ValueError, TypeError):
            raise TypeError(f"{name} must hold real numbers (got objects that are not)") from None
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers (got dtype {arr.dtype})")
    if arr.ndim == 1:
        arr = arr.reshape(-1, 1)
    elif arr.ndim != 2:
        raise ValueError(f"{name} must be one- or two-dimensional (got {arr.ndim} dimensions)")
    if arr.shape[1] > MAX_DIMENSIONS:
        raise ValueError(f"{name} has {arr.shape[1]} dimensions; at most {MAX_DIMENSIONS} are supported")
    if arr.shape[0] == 0:
        raise ValueError(f"{name} is empty")
    if arr.dtype.kind == "f" and np.isnan(arr).any():
        raise ValueError(f"{name} contains NaN")
    return arr


def _as_weights(w, n, name, points_name):
    if w is None:
        return None
    arr = np.asarray(w)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (got {arr.ndim} dimensions)")
    if arr.shape[0] != n:
        raise ValueError(f"{name} must have one weight per point of {points_name} "
                         f"(got {arr.shape[0]} weights for {n} points)")
    if arr.dtype.kind == "f":
        if not np.isfinite(arr).all() or (arr != np.round(arr)).any():
            raise ValueError(f"{name} must hold whole numbers")
    elif arr.dtype.kind not in "biu":
        raise TypeError(f"{name} must hold whole numbers (got dtype {arr.dtype})")
    if arr.size and arr.min() < 0:
        raise ValueError(f"{name} must not be negative")
    if arr.size and arr.max() > MAX_WEIGHT:
        raise ValueError(f"{name} must not exceed {MAX_WEIGHT}")
    return arr.astype(np.int64)


def _joint_ranks(arrays):
    """Exact dense ranks, per dimension over all arrays together, of
    integers that no common machine type holds."""
    both = np.concatenate([a.astype(object) for a in arrays])
    ranks = np.empty(both.shape, np.int64)
    for k in range(both.shape[1]):
        ranks[:, k] = np.unique(both[:, k], return_inverse=True)[1].ravel()
    return np.split(ranks, np.cumsum([len(a) for a in arrays])[:-1])


def _common_type(x, y):
    """Both point sets in one element type that the core reads exactly:
    int32 and int64 values as they are, floats as float64, and unsigned
    integers beyond int64 as their joint ranks."""
    arrays = [x] if y is None else [x, y]
    if all(a.dtype.kind in "biu" for a in arrays):
        if all(np.can_cast(a.dtype, _INT32) for a in arrays):
            arrays = [a.astype(_INT32, copy=False) for a in arrays]
        elif all(np.can_cast(a.dtype, _INT64) or a.max() <= np.iinfo(np.int64).max for a in arrays):
            arrays = [a.astype(_INT64) for a in arrays]
        else:
            arrays = _joint_ranks(arrays)
    else:
        arrays = [a.astype(np.float64, copy=False) for a in arrays]
    return arrays[0], (arrays[1] if y is not None else None)


def _resolve_jobs(n_jobs):
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)):
        raise TypeError(f"n_jobs must be an integer (got {type(n_jobs).__name__})")
    if n_jobs == 0:
        raise ValueError("n_jobs must not be 0; use a positive count, or -1 for every core")
    if n_jobs > 0:
        return int(n_jobs)
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count() or 1
    # -1 is every core, -2 all but one, and so on.
    return max(1, cores + 1 + int(n_jobs))


def _resolve_seed(seed):
    if seed is None:
        return secrets.randbits(32)
    if isinstance(seed, np.random.Generator):
        return int(seed.integers(0, 2**32))
    if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
        if not 0 <= seed <= 2**32 - 1:
            raise ValueError(f"seed must be between 0 and {2**32 - 1} (got {seed})")
        return int(seed)
    raise TypeError(f"seed must be None, an integer or a numpy.random.Generator (got {type(seed).__name__})")


def ks_2samp(x, y=None, *, weights_x=None, weights_y=None, combine="max", scale=False,
             permutations=0, resample="permutation", binomial=False, n_jobs=1, seed=None,
             kernel=None, client=None):
    """Multivariate two-sample Kolmogorov-Smirnov test over orthants.

    Every point of either sample serves as a corner that splits the space
    into 2^d orthants: in each dimension a point lies at or above the
    corner's coordinate, or strictly below it. The statistic is the largest
    difference, over all corners and orthants, between the two samples'
    shares of an orthant. In one dimension it equals the statistic of
    ``scipy.stats.ks_2samp``.

    Parameters
    ----------
    x : array_like, shape (n_x, d) or (n_x,)
        The first sample, one point per row; a one-dimensional array is one
        point per element. At most 63 dimensions.
    y : array_like, shape (n_y, d) or (n_y,), optional
        The second sample, with as many dimensions as `x`. When omitted,
        `weights_y` weighs the points of `x` to form the second sample.
    weights_x, weights_y : array_like of int, optional
        Whole, non-negative multiplicities of the points (at most
        4294967295 each); every point counts once by default.
    combine : {"max", "mean"}, optional
        How the statistics over the corners of `x` and of `y` are combined.
    scale : bool, optional
        Multiply the statistic by sqrt((n_x + n_y) / (n_x n_y)).
    permutations : int, optional
        Number of resampled labellings B for the permutation p-value; 0 (the
        default) computes none. All labellings share one pass over the data.
    resample : {"permutation", "bootstrap"}, optional
        "permutation" splits the pooled observations at random, without
        replacement; "bootstrap" draws both samples from them with
        replacement.
    binomial : bool, optional
        Also compute the binomial p-value.
    n_jobs : int, optional
        Number of threads; -1 means every core, -2 all but one.
    seed : None, int or numpy.random.Generator, optional
        Makes the permutation p-value reproducible, whatever `n_jobs` is.
        None draws a fresh seed for every call.
    kernel : {None, "avx512", "avx2", "portable"}, optional
        Force a compiled build; by default the fastest one this machine runs.
    client : dask.distributed.Client, optional
        Run the computation on the workers of this Dask cluster (needs
        ``pip install 'tessarin[distributed]'`` and tessarin on every
        worker). The result is that of the local call with the same
        arguments: the same statistic and permutation p-value, the binomial
        p-value up to rounding. `n_jobs` then counts the client's threads for
        the binomial p-value; every worker uses all of its own threads.

    Returns
    -------
    OrthantKSResult
        `statistic`, `pvalue`, `permutation_pvalue`, `binomial_pvalue`,
        `statistic_x`, `statistic_y`, `n_permutations`, `n_x` and `n_y`.

    Notes
    -----
    In one to three dimensions the orthant counts of all corners come from
    dominance counts, in O(n log^(d-1) n) work per labelling for n distinct
    points; from four dimensions on every corner scans all points, O(n^2).
    Equal points are merged first. Memory grows with the number of points,
    not with 2^d. SIGINT or SIGALRM stop a running computation with
    ``RuntimeError("Interrupted by signal")``.

    Examples
    --------
    >>> import numpy as np
    >>> from tessarin import ks_2samp
    >>> rng = np.random.default_rng(0)
    >>> x = rng.normal(size=(300, 2))
    >>> y = rng.normal(loc=0.5, size=(300, 2))
    >>> res = ks_2samp(x, y, permutations=99, seed=1)
    >>> round(res.statistic, 3) == round(max(res.statistic_x, res.statistic_y), 3)
    True
    >>> res.pvalue < 0.05
    True
    >>> ks_2samp([0, 1], [2, 3]).statistic
    1.0
    """
    if combine not in ("max", "mean"):
        raise ValueError(f"combine must be 'max' or 'mean' (got {combine!r})")
    if resample not in ("permutation", "bootstrap"):
        raise ValueError(f"resample must be 'permutation' or 'bootstrap' (got {resample!r})")
    if isinstance(permutations, bool) or not isinstance(permutations, (int, np.integer)):
        raise TypeError(f"permutations must be an integer (got {type(permutations).__name__})")
    if not 0 <= permutations <= 2**31 - 2:
        raise ValueError(f"permutations must be between 0 and {2**31 - 2} (got {permutations})")
    threads = _resolve_jobs(n_jobs)
    if threads > 2**31 - 1:
        raise ValueError(f"n_jobs is too large (got {n_jobs})")
    seed_value = _resolve_seed(seed) if permutations else None

    xp = _as_points(x, "x")
    yp = None if y is None else _as_points(y, "y")
    if yp is not None and yp.shape[1] != xp.shape[1]:
        raise ValueError(f"x and y must have the same number of dimensions "
                         f"(x: {xp.shape[1]}, y: {yp.shape[1]})")
    wx = _as_weights(weights_x, len(xp), "weights_x", "x")
    if yp is None:
        if weights_y is None:
            raise ValueError("y is missing: give the second sample as y, or as weights_y over the points of x")
        wy = _as_weights(weights_y, len(xp), "weights_y", "x")
    else:
        wy = _as_weights(weights_y, len(yp), "weights_y", "y")
    n_x = len(xp) if wx is None else int(wx.sum())
    n_y = len(yp) if wy is None else int(wy.sum())
    if n_x == 0:
        raise ValueError("x has total weight 0")
    if n_y == 0:
        raise ValueError("y has total weight 0")
    xp, yp = _common_type(xp, yp)

    # The core tells an omitted argument from None, so pass only what is given.
    given = {"cdf": yp, "counts_rvs": wx, "counts_cdf": wy}
    arguments = dict({k: v for k, v in given.items() if v is not None}, n_jobs=threads,
                     permutation_samples=int(permutations), binomial_significance=bool(binomial),
                     max_alpha_beta=combine == "max", scale_result=bool(scale),
                     draw_samples=resample == "bootstrap", seed=seed_value, details=True)
    if client is None:
        raw = get_kernel(kernel).test(xp, **arguments)
    else:
        from ._distributed import run

        raw = run(client, kernel, (xp,), arguments, threads)
    permutation_pvalue = None
    if permutations:
        exceeding = round(raw["permutation_significance"] * permutations)
        permutation_pvalue = (exceeding + 1) / (permutations + 1)
    binomial_pvalue = raw["binomial_significance"] if binomial else None
    pvalue = permutation_pvalue if permutation_pvalue is not None else binomial_pvalue
    return OrthantKSResult(
        statistic=raw["statistic"], pvalue=pvalue, permutation_pvalue=permutation_pvalue,
        binomial_pvalue=binomial_pvalue, statistic_x=raw["statistic_x"],
        statistic_y=raw["statistic_y"], n_permutations=int(permutations), n_x=n_x, n_y=n_y)
