"""Command line: ``python -m tessarin X.csv Y.csv [options]`` compares two
samples stored as CSV or .npy files; ``python -m tessarin --example`` runs
the test on a built-in example."""
import argparse
import json
import sys
import time

import numpy as np

from . import ks_2samp
from ._dispatch import get_kernel


class UsageError(Exception):
    """A problem with the input that is reported in one line, exit status 2."""


# Exit statuses: bad input, an interrupt (128 + SIGINT, as shells report it),
# and a failure of the computation itself.
EXIT_USAGE, EXIT_INTERRUPTED, EXIT_INTERNAL = 2, 130, 1


def read_points(path):
    """Points from a .npy file, or from a CSV file (commas, optional header
    line, '#' comments); one point per row."""
    try:
        if path.endswith(".npy"):
            points = np.load(path, allow_pickle=False)
        else:
            points = _read_csv(path)
    except OSError as e:
        raise UsageError(f"{path}: {e.strerror or e}") from None
    except ValueError as e:
        raise UsageError(f"{path}: {str(e).splitlines()[0]}") from None
    if points.ndim == 1:
        points = points.reshape(-1, 1)
    if points.ndim != 2 or points.shape[0] == 0:
        raise UsageError(f"{path}: expected a table of points with at least one row")
    return points


def _read_csv(path):
    # utf-8-sig drops a byte-order mark, which would otherwise make the first
    # row look like a header. Errors name the file's own line numbers.
    with open(path, encoding="utf-8-sig") as f:
        lines = [(number, line) for number, line in enumerate(f, 1)
                 if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise ValueError("the file holds no points")
    try:
        float(lines[0][1].split(",")[0])
    except ValueError:
        lines = lines[1:]  # a header line
    rows = []
    for number, line in lines:
        fields = line.strip().split(",")
        if rows and len(fields) != len(rows[0]):
            raise ValueError(f"line {number} has {len(fields)} values, the first row {len(rows[0])}")
        try:
            rows.append([float(v) for v in fields])
        except ValueError:
            raise ValueError(f"line {number} holds a value that is not a number") from None
    return np.array(rows, dtype=np.float64)


def example_samples(seed=2024):
    """Two 3-D Gaussian samples of 3000 points, the second shifted by 0.1
    in its first coordinate."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(3000, 3))
    y = rng.normal(size=(3000, 3))
    y[:, 0] += 0.1
    return x, y


def _parser():
    p = argparse.ArgumentParser(
        prog="python -m tessarin",
        description="Multivariate two-sample Kolmogorov-Smirnov test over orthants.")
    p.add_argument("x", nargs="?", help="first sample: CSV or .npy file, one point per row")
    p.add_argument("y", nargs="?", help="second sample, same number of columns")
    p.add_argument("--example", action="store_true",
                   help="run on a built-in example: two 3-D Gaussian samples, one shifted")
    p.add_argument("--permutations", type=int, default=0, metavar="B",
                   help="number of permutations for the permutation p-value")
    p.add_argument("--resample", choices=["permutation", "bootstrap"], default="permutation")
    p.add_argument("--binomial", action="store_true", help="also compute the binomial p-value")
    p.add_argument("--combine", choices=["max", "mean"], default="max")
    p.add_argument("--scale", action="store_true", help="scale by sqrt((n_x + n_y) / (n_x n_y))")
    p.add_argument("--jobs", type=int, default=1, metavar="N", help="threads; -1 for every core")
    p.add_argument("--seed", type=int, default=None, help="seed for reproducible permutations")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    return p


def _report(result, kernel, elapsed, as_json, out):
    fields = dict(result.__dict__, kernel=kernel, seconds=round(elapsed, 3))
    if as_json:
        out.write(json.dumps(fields) + "\n")
        return
    for name, value in fields.items():
        out.write(f"{name:>20}: {value}\n")


def _fail(message, status):
    lines = str(message).splitlines() or [""]
    sys.stderr.write(f"python -m tessarin: error: {lines[0]}\n")
    return status


def main(argv=None, out=sys.stdout):
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.example:
            if args.x or args.y:
                raise UsageError("--example takes no input files")
            x, y = example_samples()
            if args.permutations == 0 and not args.binomial:
                args.permutations, args.binomial = 200, True
                args.jobs = -1 if args.jobs == 1 else args.jobs
            if args.seed is None:
                args.seed = 1
        elif args.x and args.y:
            x, y = read_points(args.x), read_points(args.y)
        else:
            raise UsageError("give two sample files, or --example")
        # A bad TESSARIN_KERNEL is reported before any work.
        kernel = get_kernel().__spec__.name.rsplit(".", 1)[-1]
        start = time.perf_counter()
        result = ks_2samp(x, y, permutations=args.permutations, resample=args.resample,
                          binomial=args.binomial, combine=args.combine, scale=args.scale,
                          n_jobs=args.jobs, seed=args.seed)
        elapsed = time.perf_counter() - start
    except (UsageError, ValueError, TypeError) as e:
        return _fail(e, EXIT_USAGE)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    except MemoryError as e:
        return _fail(f"out of memory{': ' + str(e) if str(e) else ''}", EXIT_INTERNAL)
    except RuntimeError as e:
        if str(e) == "Interrupted by signal":
            return _fail("interrupted", EXIT_INTERRUPTED)
        return _fail(e, EXIT_INTERNAL)
    if args.example and not args.json:
        out.write("Two 3-D Gaussian samples of 3000 points; the second is shifted by 0.1 "
                  "in its first coordinate.\n")
    _report(result, kernel, elapsed, args.json, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
