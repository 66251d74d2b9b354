"""Shared pieces of the benchmark scripts: kernel choice, data, timing, tables
and a vectorised NumPy brute force of the orthant statistic."""
import argparse
import os
import platform
import time

import numpy as np
from tessarin._dispatch import KERNELS


def processor_name():
    """The processor's model name from /proc/cpuinfo, or the platform's: every
    benchmark prints it with its figures."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def argument_parser(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--kernel", choices=["auto", *KERNELS], default="auto",
                        help="compiled build to benchmark (auto: the fastest build this machine "
                             "runs, as the package's dispatch picks it)")
    return parser


def load_core(kernel="auto"):
    """(module, name) of the requested build of the core, chosen and checked
    by the package's own processor detection."""
    import tessarin

    name = tessarin.available_kernels()[0] if kernel == "auto" else kernel
    return tessarin.get_kernel(name), name


def make_samples(n, d, seed=20240611):
    """Two continuous samples of n points in d dimensions, the second shifted
    slightly so the statistic is not trivially small."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d))
    y = rng.standard_normal((n, d)) + 0.1
    return x, y


def best_of(fn, repeats=3, cheap=1.0):
    """(best wall time, last result) of `fn()`; repeats only while a single run
    takes less than `cheap` seconds, so expensive calls run once."""
    best, result = None, None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
        if elapsed >= cheap:
            break
    return best, result


def best_of_alternating(fns, repeats=5):
    """[(best wall time, last result)] of each of `fns`, run in turn `repeats`
    times, so that a slow spell of the machine falls on all of them alike."""
    best, results = [None] * len(fns), [None] * len(fns)
    for _ in range(max(1, repeats)):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            results[i] = fn()
            elapsed = time.perf_counter() - start
            best[i] = elapsed if best[i] is None else min(best[i], elapsed)
    return list(zip(best, results))


def peak_rss_kib():
    """Peak resident set size of this process (VmHWM) in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("VmHWM not found in /proc/self/status")


def print_table(headers, rows):
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    line = "  ".join("-" * w for w in widths)
    print("  ".join(c.rjust(w) for c, w in zip(cells[0], widths)))
    print(line)
    for row in cells[1:]:
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))


def fmt_time(seconds):
    if seconds is None:
        return "n/a"
    if seconds < 1e-3:
        return "%.1f us" % (seconds * 1e6)
    if seconds < 1.0:
        return "%.1f ms" % (seconds * 1e3)
    return "%.2f s" % seconds


def fmt_ratio(value):
    return "n/a" if value is None else "%.2fx" % value


# ---------------------------------------------------------------------------
# NumPy brute force

# Up to this dimension the per-chunk bincount over chunk * 2^d orthants is used;
# above it the orthants of each corner are grouped by sorting.
BINCOUNT_MAX_DIM = 12


class OverBudget(Exception):
    """The brute force would take longer than the allowed time."""


def _orthant_bins(corners, points, dtype):
    """(corners x points) orthant indices: bit k set when corner[k] > point[k]."""
    bins = np.zeros((len(corners), len(points)), dtype=dtype)
    below = np.empty(bins.shape, dtype=bool)
    for k in range(points.shape[1]):
        np.greater(corners[:, k, None], points[None, :, k], out=below)
        bins |= below.astype(dtype) << dtype(k)
    return bins


def _chunk_maxima_bincount(bins, nx, ny, d):
    m = bins.shape[0]
    idx = bins.astype(np.intp)
    idx += (np.arange(m, dtype=np.intp) << d)[:, None]
    size = m << d
    x = np.bincount(idx[:, :nx].ravel(), minlength=size).reshape(m, 1 << d)
    y = np.bincount(idx[:, nx:].ravel(), minlength=size).reshape(m, 1 << d)
    return np.abs(ny * x - nx * y).max(axis=1)


def _chunk_maxima_sorted(bins, is_y, nx, ny):
    m, n = bins.shape
    # bin < 2^63, so the label fits in the freed low bit of a uint64 key
    keys = (bins << np.uint64(1)) | is_y[None, :]
    keys.sort(axis=1)
    orthant = keys >> np.uint64(1)
    starts = np.empty((m, n), dtype=bool)
    starts[:, 0] = True
    np.not_equal(orthant[:, 1:], orthant[:, :-1], out=starts[:, 1:])
    group = np.cumsum(starts.ravel()) - 1
    total = np.bincount(group)
    y = np.bincount(group, weights=(keys & np.uint64(1)).ravel().astype(np.float64))
    y = y.astype(np.int64)
    x = total - y
    diff = np.abs(ny * x - nx * y)
    first_group_of_row = group[np.arange(m) * n]
    return np.maximum.reduceat(diff, first_group_of_row)


def brute_force(x, y, chunk_elements=1 << 22, budget=None):
    """(alpha, beta, method): the exact maxima of |size_y X(o) - size_x Y(o)|
    over the corners of the first and of the second sample, every point of
    the pooled data serving as a corner.

    Low dimensions count each chunk of corners with one np.bincount over
    chunk_index * 2^d + bin; higher dimensions sort each corner's orthant
    indices and count the runs (np.unique per corner, vectorised over the
    chunk). With `budget` (seconds), raises OverBudget when the time of the
    first chunk projects the whole run beyond it."""
    points = np.ascontiguousarray(np.concatenate([x, y]))
    nx, ny = len(x), len(y)
    n, d = points.shape
    if d <= BINCOUNT_MAX_DIM:
        method = "bincount"
        dtype = np.uint8 if d <= 8 else np.uint16
        chunk = max(1, min(n, chunk_elements // n, (1 << 26) >> d))
    else:
        method = "sort"
        dtype = np.uint64
        chunk = max(1, min(n, chunk_elements // n))
        is_y = np.concatenate([np.zeros(nx, np.uint64), np.ones(ny, np.uint64)])
    per_corner = np.empty(n, dtype=np.int64)
    start_time = time.perf_counter()
    for start in range(0, n, chunk):
        corners = points[start:start + chunk]
        bins = _orthant_bins(corners, points, dtype)
        if method == "bincount":
            per_corner[start:start + len(corners)] = _chunk_maxima_bincount(bins, nx, ny, d)
        else:
            per_corner[start:start + len(corners)] = _chunk_maxima_sorted(bins, is_y, nx, ny)
        if budget is not None and start == 0:
            projected = (time.perf_counter() - start_time) * n / len(corners)
            if projected > budget:
                raise OverBudget("projected %.0f s" % projected)
    alpha = int(per_corner[:nx].max())
    beta = int(per_corner[nx:].max())
    return alpha, beta, method


def statistic_from_maxima(alpha, beta, nx, ny):
    """The default statistic, max(alpha, beta) / (size_x size_y), as a float."""
    return float(max(alpha, beta)) / (float(nx) * float(ny))



def _machine_cpu_seconds():
    """(busy, steal) CPU seconds of the whole machine since boot from
    /proc/stat; None where unavailable."""
    try:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    tick = float(os.sysconf("SC_CLK_TCK"))
    busy = sum(fields[:8]) - fields[3] - fields[4] - fields[7]
    return busy / tick, fields[7] / tick


def _own_cpu_seconds():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


class LoadMeter:
    """Measures how much CPU other processes on the machine used while a
    benchmark ran, and how much the hypervisor stole: both make timings,
    two-thread ones above all, noisy."""

    def __init__(self):
        self.machine = _machine_cpu_seconds()
        self.own = _own_cpu_seconds()
        self.wall = time.perf_counter()

    def report(self):
        end = _machine_cpu_seconds()
        if self.machine is None or end is None:
            return
        wall = time.perf_counter() - self.wall
        others = max(0.0, (end[0] - self.machine[0]) - (_own_cpu_seconds() - self.own))
        print("background load during this run: other processes used %.1f CPU-s over %.1f s "
              "wall (%.2f of %d CPUs on average), %.2f s stolen by the host"
              % (others, wall, others / wall, os.cpu_count(), end[1] - self.machine[1]))


def orthant_histogram(x, y, chunk_elements=1 << 22):
    """{first-sample count of an orthant: number of (corner, orthant) pairs}
    over every point of the pooled data as a corner and all 2^d orthants,
    empty ones included, for distinct points of weight 1 and d <= 12."""
    points = np.ascontiguousarray(np.concatenate([x, y]))
    nx = len(x)
    n, d = points.shape
    assert d <= BINCOUNT_MAX_DIM
    dtype = np.uint8 if d <= 8 else np.uint16
    chunk = max(1, min(n, chunk_elements // n, (1 << 26) >> d))
    histogram = np.zeros(nx + 1, dtype=np.int64)
    for start in range(0, n, chunk):
        bins = _orthant_bins(points[start:start + chunk], points[:nx], dtype).astype(np.intp)
        bins += (np.arange(len(bins), dtype=np.intp) << d)[:, None]
        counts = np.bincount(bins.ravel(), minlength=len(bins) << d)
        histogram += np.bincount(counts, minlength=nx + 1)
    return {int(c): int(w) for c, w in enumerate(histogram) if w}
