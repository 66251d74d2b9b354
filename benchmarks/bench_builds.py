"""A vector build against the portable one on the cases where the orthant
primitives carry the work: the lane scan (d = 4), the packed scan (d = 5, 12),
the sparse scan (d = 40) and the several-labelling scan (d = 4, 100
labellings), on 1 and 2 threads, in one run.

The scan path is the package's own choice for each case (``TESSARIN_SCAN``,
where the package knows it, is left as the caller set it and is printed).
Every timed result is checked: all builds and thread counts agree exactly, and
the statistic matches a NumPy brute force where that finishes within its
budget."""
import os
import platform
import time

import benchutil as bu

# (points per sample, dimensions, permutation samples)
CASES = [(6000, 4, 0), (6000, 5, 0), (3000, 12, 0), (3000, 40, 0), (2000, 4, 100)]
TARGET_VS_PORTABLE = 3.0
TARGET_TWO_THREADS = 1.8
NUMPY_BUDGET = 60.0


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-numpy", action="store_true", help="skip the brute-force check")
    args = parser.parse_args()
    fast, kernel = bu.load_core(args.kernel)
    portable, _ = bu.load_core("portable")
    load = bu.LoadMeter()
    print("builds: %s against portable, %s, %d CPUs, Python %s, TESSARIN_SCAN=%s"
          % (kernel, bu.processor_name(), os.cpu_count(), platform.python_version(),
             os.environ.get("TESSARIN_SCAN", "(unset)")))
    rows, ratios, twos = [], [], []
    for n, d, samples in CASES:
        x, y = bu.make_samples(n, d)

        def call(core, jobs):
            return lambda: core.test(x, y, n_jobs=jobs, permutation_samples=samples, seed=7, details=True)

        # The three configurations run in turn, so that a slow spell of the
        # machine falls on all of them alike.
        (t_port, r_port), (t_fast, r_fast), (t_two, r_two) = bu.best_of_alternating(
            [call(portable, 1), call(fast, 1), call(fast, 2)], args.repeats)
        assert r_port == r_fast == r_two, (n, d, samples, r_port, r_fast, r_two)
        check = "builds agree"
        if not args.no_numpy:
            start = time.perf_counter()
            try:
                alpha, beta, method = bu.brute_force(x, y, budget=NUMPY_BUDGET)
            except bu.OverBudget as e:
                check += "; NumPy skipped (%s)" % e
            else:
                assert r_fast["statistic"] == bu.statistic_from_maxima(alpha, beta, n, n)
                check += "; = NumPy (%s, %s)" % (method, bu.fmt_time(time.perf_counter() - start))
        ratios.append(t_port / t_fast)
        twos.append(t_fast / t_two)
        rows.append(["%d + %d, d = %d, B = %d" % (n, n, d, samples), bu.fmt_time(t_port),
                     bu.fmt_time(t_fast), bu.fmt_ratio(ratios[-1]), bu.fmt_time(t_two),
                     bu.fmt_ratio(twos[-1]), check])
    bu.print_table(["case", "portable", kernel, "ratio", "%s 2 thr" % kernel, "1/2 thr", "checked"], rows)
    print()
    bu.print_table(
        ["ratio", "smallest", "target", "met"],
        [["portable / %s" % kernel, bu.fmt_ratio(min(ratios)), ">= %gx" % TARGET_VS_PORTABLE,
          "yes" if min(ratios) >= TARGET_VS_PORTABLE else "no"],
         ["1 thread / 2 threads", bu.fmt_ratio(min(twos)), ">= %gx" % TARGET_TWO_THREADS,
          "yes" if min(twos) >= TARGET_TWO_THREADS else "no"]])
    print("\nbest of %d runs each, taken in turn" % args.repeats)
    load.report()


if __name__ == "__main__":
    main()
