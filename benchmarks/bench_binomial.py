"""Cost of binomial_significance=True over the plain statistic."""
import os

import benchutil as bu

N = 2000
DIMENSIONS = (3, 20)
JOBS = (1, 2)


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    core, kernel = bu.load_core(args.kernel)
    load = bu.LoadMeter()

    print("binomial significance: %d + %d points, kernel %s on %s, %d CPUs; best of up to %d runs "
          "below 2 s" % (N, N, kernel, bu.processor_name(), os.cpu_count(), args.repeats))
    rows = []
    for d in DIMENSIONS:
        x, y = bu.make_samples(N, d)
        plain, binom = {}, {}
        for jobs in JOBS:
            plain[jobs], stat = bu.best_of(lambda: core.test(x, y, n_jobs=jobs),
                                           args.repeats, cheap=2.0)
            binom[jobs], (stat_b, p) = bu.best_of(
                lambda: core.test(x, y, n_jobs=jobs, binomial_significance=True),
                args.repeats, cheap=2.0)
            assert stat == stat_b, (stat, stat_b)
            rows.append([d, jobs, bu.fmt_time(plain[jobs]), bu.fmt_time(binom[jobs]),
                         bu.fmt_ratio(binom[jobs] / plain[jobs]),
                         bu.fmt_time(binom[jobs] - plain[jobs]),
                         bu.fmt_ratio(binom[1] / binom[jobs]) if jobs > 1 else "-",
                         repr(stat), "%.4g" % p])
    bu.print_table(["d", "threads", "plain", "binomial", "binomial/plain", "extra",
                    "binomial 1t/2t", "statistic", "binom p"], rows)
    print()
    load.report()


if __name__ == "__main__":
    main()
