"""The cost of the progress bar: the same call of a few seconds (the scan of
all pairs, 30000 points per sample, d = 4) with progress=True and without,
alternated, best of --repeats; the results must be equal."""
import io
import sys

from benchutil import argument_parser, make_samples, print_table, processor_name
import time

import tessarin


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    x, y = make_samples(30000, 4)
    kernel = None if args.kernel == "auto" else args.kernel
    times = {False: [], True: []}
    results = {}
    stderr, sys.stderr = sys.stderr, io.StringIO()  # the bars are not the point here
    try:
        for _ in range(args.repeats):
            for shown in (False, True):
                start = time.perf_counter()
                results[shown] = tessarin.ks_2samp(x, y, n_jobs=args.jobs, kernel=kernel, progress=shown)
                times[shown].append(time.perf_counter() - start)
    finally:
        bars, sys.stderr = sys.stderr.getvalue(), stderr
    assert results[True] == results[False] and "100%" in bars
    plain, shown = min(times[False]), min(times[True])
    print(f"30000 + 30000 points, d = 4, {args.jobs} threads; processor: {processor_name()}")
    print_table(["progress", "best seconds"], [("off", f"{plain:.3f}"), ("on", f"{shown:.3f}")])
    print(f"on / off: {shown / plain:.4f}")


if __name__ == "__main__":
    main()
