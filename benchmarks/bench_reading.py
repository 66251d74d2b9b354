"""Reading a sample file on the command line: 10^6 rows of 2 columns of CSV
by the line-by-line reader (which names the file's own line numbers in
errors, and serves as the baseline), by NumPy's parser and by pyarrow's;
and Parquet through pyarrow. Every reader's table is checked against the
data written."""
import os
import sys
import tempfile
from contextlib import contextmanager

import numpy as np

from benchutil import argument_parser, best_of, print_table, processor_name

import tessarin.__main__ as cli


@contextmanager
def without(module):
    saved = {name: mod for name, mod in sys.modules.items() if name == module or name.startswith(module + ".")}
    sys.modules[module] = None
    try:
        yield
    finally:
        del sys.modules[module]
        sys.modules.update(saved)


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--rows", type=int, default=10**6)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    points = rng.normal(size=(args.rows, 2))
    rows = []
    with tempfile.TemporaryDirectory() as root:
        csv = os.path.join(root, "x.csv")
        np.savetxt(csv, points, delimiter=",", header="a,b", comments="", fmt="%.17g")

        def exact():
            with open(csv, encoding="utf-8-sig") as f:
                return cli._parse_exactly(f.read().splitlines()[1:], 1, None)

        baseline, got = best_of(exact, args.repeats)
        assert np.array_equal(got, points)
        rows.append(("line by line", f"{baseline:.2f}", "1.00"))
        with without("pyarrow"):
            t, got = best_of(lambda: cli.read_points(csv), args.repeats)
        assert np.array_equal(got, points)
        rows.append(("numpy.loadtxt", f"{t:.2f}", f"{baseline / t:.2f}"))
        try:
            import pyarrow
            import pyarrow.parquet
        except ImportError:
            print("pyarrow is not installed: its rows are left out")
        else:
            t, got = best_of(lambda: cli.read_points(csv), args.repeats)
            assert np.array_equal(got, points)
            rows.append(("pyarrow.csv", f"{t:.2f}", f"{baseline / t:.2f}"))
            parquet = os.path.join(root, "x.parquet")
            pyarrow.parquet.write_table(pyarrow.table({"a": points[:, 0], "b": points[:, 1]}), parquet)
            t, got = best_of(lambda: cli.read_points(parquet), args.repeats)
            assert np.array_equal(got, points)
            rows.append(("Parquet", f"{t:.3f}", f"{baseline / t:.1f}"))
    print(f"Reading {args.rows} rows of 2 columns; processor: {processor_name()}")
    print_table(["reader", "seconds", "baseline / reader"], rows)


if __name__ == "__main__":
    main()
