"""Cost of binomial_significance=True over the plain statistic, and of the
evaluation of the binomial p-value alone.

The call ratio includes everything the option changes: the kernels collect the
histogram of orthant counts (and skip the scans that only serve the plain
statistic), then the histogram is evaluated. The evaluation alone is timed on
the same histogram, formed here with NumPy, through the test-only probe
extension (tessarin._probe, which the test set-up builds with -O3): the recurrence-based evaluation that the module
uses, against the reference that calls Boost.Math at every step of the walk.
Both must agree with the module's p-value.
"""
import importlib
import os

import benchutil as bu

N = 2000
DIMENSIONS = (2, 3, 6)

def main():
    parser = bu.argument_parser(__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=1, help="threads of every call (default 1)")
    args = parser.parse_args()
    core, kernel = bu.load_core(args.kernel)
    try:
        probe = importlib.import_module("tessarin._probe")
    except ImportError:
        raise SystemExit("bench_binomial needs tessarin._probe, which scripts/setup.sh builds")
    load = bu.LoadMeter()
    print("binomial significance: %d + %d points, kernel %s, %d thread(s), %d CPUs (%s); "
          "best of up to %d runs below 2 s" % (N, N, kernel, args.jobs, os.cpu_count(),
                                                bu.processor_name(), args.repeats))
    rows = []
    for d in DIMENSIONS:
        x, y = bu.make_samples(N, d)
        plain, stat = bu.best_of(lambda: core.test(x, y, n_jobs=args.jobs), args.repeats,
                                 cheap=2.0)
        binom, (stat_b, p) = bu.best_of(
            lambda: core.test(x, y, n_jobs=args.jobs, binomial_significance=True),
            args.repeats, cheap=2.0)
        assert stat == stat_b, (stat, stat_b)
        histogram = bu.orthant_histogram(x, y)
        fast, p_fast = bu.best_of(lambda: probe.finalize(histogram, N, N, stat, args.jobs),
                                  args.repeats, cheap=2.0)
        reference, p_ref = bu.best_of(lambda: probe.reference_finalize(histogram, N, N, stat),
                                      1)
        assert abs(p_fast - p) <= 1e-13 * p, (p_fast, p)
        assert abs(p_ref - p) <= 1e-10 * p, (p_ref, p)
        rows.append([d, len(histogram), bu.fmt_time(plain), bu.fmt_time(binom),
                     bu.fmt_ratio(binom / plain), bu.fmt_time(fast), bu.fmt_time(reference),
                     bu.fmt_ratio(reference / fast), repr(stat), "%.6g" % p])
    bu.print_table(["d", "keys", "plain", "binomial", "binomial/plain", "evaluation",
                    "reference evaluation", "reference/evaluation", "statistic",
                    "binom p"], rows)
    print()
    load.report()


if __name__ == "__main__":
    main()
