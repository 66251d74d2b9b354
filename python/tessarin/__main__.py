"""Command line: ``python -m tessarin X.csv Y.csv [options]`` compares two
samples stored as CSV, .npy, Parquet or Feather files; ``python -m tessarin
--example`` runs the test on a built-in example."""
import argparse
import codecs
import io
import json
import os
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


ARROW_SUFFIXES = {".parquet": "Parquet", ".pq": "Parquet", ".feather": "Feather", ".arrow": "Feather",
                  ".ipc": "Feather"}


def read_points(path, columns=None):
    """Points from a .npy file, a Parquet or Feather file (through pyarrow),
    or a CSV file (commas, optional header line, '#' comments); one point
    per row. `columns` names the columns to keep, by their header names."""
    suffix = os.path.splitext(path)[1].lower()
    try:
        if suffix == ".npy":
            if columns is not None:
                raise UsageError(f"{path}: --columns picks columns by name, and a .npy file names none")
            points = np.load(path, allow_pickle=False)
        elif suffix in ARROW_SUFFIXES:
            points = _read_arrow(path, ARROW_SUFFIXES[suffix], columns)
        else:
            points = _read_csv(path, columns)
    except OSError as e:
        raise UsageError(f"{path}: {e.strerror or e}") from None
    except ValueError as e:
        raise UsageError(f"{path}: {str(e).splitlines()[0]}") from None
    if points.ndim == 1:
        points = points.reshape(-1, 1)
    if points.ndim != 2 or points.shape[0] == 0:
        raise UsageError(f"{path}: expected a table of points with at least one row")
    return points


def _pick(names, columns):
    """Indices of the comma-separated column names `columns` among `names`
    (all of them when `columns` is None)."""
    if columns is None:
        return list(range(len(names)))
    wanted = [c.strip() for c in columns.split(",")]
    missing = [c for c in wanted if c not in names]
    if missing:
        raise ValueError(f"no column named {missing[0]!r} (the columns are {', '.join(names)})")
    return [names.index(c) for c in wanted]


def _read_arrow(path, kind, columns):
    try:
        import pyarrow
        if kind == "Parquet":
            from pyarrow.parquet import read_table
        else:
            from pyarrow.feather import read_table
    except ImportError:
        raise UsageError(f"{path}: reading {kind} files needs pyarrow (pip install pyarrow)") from None
    table = read_table(path)
    arrays = []
    for k in _pick(table.column_names, columns):
        name, column = table.column_names[k], table.column(k)
        if not (pyarrow.types.is_integer(column.type) or pyarrow.types.is_floating(column.type)):
            raise ValueError(f"column {name!r} holds {column.type}, not numbers")
        if column.null_count:
            raise ValueError(f"column {name!r} has {column.null_count} missing values")
        arrays.append(column.to_numpy())
    return np.column_stack(arrays) if arrays else np.empty((0, 0))


def _csv_layout(data):
    """(header names or None, offset of the first data line, number of the
    line before it) of CSV bytes without a byte-order mark: blank lines and
    '#' comments are passed over, and a first line whose first value is not
    a number is the header."""
    offset = number = 0
    while offset < len(data):
        end = data.find(b"\n", offset)
        end = len(data) if end < 0 else end + 1
        line = data[offset:end].decode("utf-8").strip()
        if line and not line.startswith("#"):
            fields = [f.strip().strip('"') for f in line.split(",")]
            try:
                float(fields[0])
            except ValueError:
                return fields, end, number + 1
            return None, offset, number
        offset, number = end, number + 1
    raise ValueError("the file holds no points")


def _read_csv(path, columns):
    # A byte-order mark would otherwise make the first row look like a header.
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    names, offset, skipped = _csv_layout(data)
    if columns is not None and names is None:
        raise ValueError("--columns picks columns by name, and the file has no header line")
    usecols = None if columns is None else _pick(names, columns)
    try:
        points = _parse_fast(data[offset:], usecols)
    except ValueError:
        points = None
    if points is None or points.dtype != np.float64:
        # The fast parsers count lines their own way; this one names the
        # file's own line numbers.
        points = _parse_exactly(data.decode("utf-8").splitlines()[skipped:], skipped, usecols)
    return points


def _parse_fast(body, usecols):
    """The rows of `body` by pyarrow's CSV reader when it is installed (and
    no comment needs skipping), else by NumPy's; ValueError on anything
    either refuses."""
    try:
        import pyarrow
        import pyarrow.csv as pcsv
    except ImportError:
        pyarrow = None
    if pyarrow is None or b"#" in body:
        return np.loadtxt(io.StringIO(body.decode("utf-8")), delimiter=",", comments="#", dtype=np.float64,
                          usecols=usecols, ndmin=2)
    options = pcsv.ReadOptions(autogenerate_column_names=True)
    convert = pcsv.ConvertOptions(include_columns=None if usecols is None else [f"f{k}" for k in usecols])
    table = pcsv.read_csv(pyarrow.py_buffer(body), read_options=options, convert_options=convert)
    for column in table.columns:
        if column.null_count or not (pyarrow.types.is_integer(column.type) or pyarrow.types.is_floating(column.type)):
            raise ValueError("a value that is not a number")
    return np.column_stack([column.to_numpy().astype(np.float64) for column in table.columns])


def _parse_exactly(lines, skipped, usecols):
    rows, width = [], None
    for number, line in enumerate(lines, skipped + 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = line.strip().split(",")
        width = len(fields) if width is None else width
        if len(fields) != width:
            raise ValueError(f"line {number} has {len(fields)} values, the first row {width}")
        try:
            rows.append([float(v) for v in fields])
        except ValueError:
            raise ValueError(f"line {number} holds a value that is not a number") from None
    points = np.array(rows, dtype=np.float64).reshape(len(rows), width or 0)
    if usecols is None:
        return points
    if max(usecols) >= points.shape[1]:
        raise ValueError(f"the header names more columns than the rows hold ({points.shape[1]})")
    return points[:, usecols]


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
    p.add_argument("x", nargs="?", help="first sample: CSV, .npy, Parquet or Feather file, one point per row")
    p.add_argument("y", nargs="?", help="second sample, same number of columns")
    p.add_argument("--example", action="store_true",
                   help="run on a built-in example: two 3-D Gaussian samples, one shifted")
    p.add_argument("--columns", metavar="A,B,C",
                   help="the columns to compare, by the names in the files' header line")
    p.add_argument("--permutations", "--n-resamples", type=int, default=0, metavar="B",
                   help="number of permutations for the permutation p-value")
    p.add_argument("--resample", choices=["permutation", "bootstrap"], default="permutation")
    p.add_argument("--binomial", action="store_true", help="also compute the binomial p-value")
    p.add_argument("--combine", choices=["max", "mean"], default="max")
    p.add_argument("--scale", action="store_true", help="scale by sqrt((n_x + n_y) / (n_x n_y))")
    p.add_argument("--jobs", type=int, default=1, metavar="N", help="threads; -1 for every core")
    p.add_argument("--seed", type=int, default=None, help="seed for reproducible permutations")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw where the samples differ most into FILE (needs matplotlib)")
    return p


def _report(result, kernel, elapsed, as_json, out):
    fields = {name: value.tolist() if isinstance(value, np.ndarray) else value
              for name, value in result.__dict__.items()}
    fields.update(kernel=kernel, seconds=round(elapsed, 3))
    if as_json:
        out.write(json.dumps(fields) + "\n")
        return
    if fields["null_distribution"] is not None:
        fields["null_distribution"] = f"{len(fields['null_distribution'])} values (with --json)"
    for name, value in fields.items():
        out.write(f"{name:>20}: {value}\n")


def _plotter():
    """plot_difference drawing off screen, checked before any work."""
    try:
        import matplotlib
    except ImportError:
        raise UsageError("--plot needs matplotlib (pip install matplotlib)") from None
    matplotlib.use("Agg")
    from . import plot_difference

    return plot_difference


def _save_plot(plot, path, x, y, result):
    import matplotlib.pyplot as plt

    figure = plot(x, y, result)
    try:
        figure.savefig(path)
    except (OSError, ValueError) as e:
        raise UsageError(f"--plot {path}: {getattr(e, 'strerror', None) or e}") from None
    finally:
        plt.close(figure)


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
            x, y = read_points(args.x, args.columns), read_points(args.y, args.columns)
        else:
            raise UsageError("give two sample files, or --example")
        plot = _plotter() if args.plot else None
        # A bad TESSARIN_KERNEL is reported before any work.
        kernel = get_kernel().__spec__.name.rsplit(".", 1)[-1]
        start = time.perf_counter()
        result = ks_2samp(x, y, permutations=args.permutations, resample=args.resample,
                          binomial=args.binomial, combine=args.combine, scale=args.scale,
                          n_jobs=args.jobs, seed=args.seed, progress=sys.stderr.isatty())
        elapsed = time.perf_counter() - start
        if plot:
            _save_plot(plot, args.plot, x, y, result)
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
