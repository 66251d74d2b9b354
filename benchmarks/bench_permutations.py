"""Cost of the permutation significance: B relabelled copies are counted in the
same pass over the corners as the observed labelling, so B labellings should
cost far less than B separate calls."""
import os

import benchutil as bu

N = 2000
D = 3
SAMPLES = (0, 100, 1000)
JOBS = (1, 2)
SEED = 12345


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    core, kernel = bu.load_core(args.kernel)
    load = bu.LoadMeter()
    x, y = bu.make_samples(N, D)

    print("permutations: %d + %d points, d = %d, kernel %s on %s, %d CPUs; best of up to %d runs "
          "below 2 s" % (N, N, D, kernel, bu.processor_name(), os.cpu_count(), args.repeats))
    times = {}
    results = {}
    for jobs in JOBS:
        for b in SAMPLES:
            times[jobs, b], results[jobs, b] = bu.best_of(
                lambda: core.test(x, y, n_jobs=jobs, permutation_samples=b, seed=SEED),
                args.repeats, cheap=2.0)

    rows = []
    for jobs in JOBS:
        base = times[jobs, 0]
        for b in SAMPLES:
            t = times[jobs, b]
            p = "-" if b == 0 else "%.3f" % results[jobs, b][1]
            rows.append([jobs, b, b + 1, bu.fmt_time(t), bu.fmt_time(t / (b + 1)),
                         "-" if b == 0 else "%.3f" % (t / (b * base)),
                         bu.fmt_ratio(times[1, b] / t) if jobs == 2 else "-", p])
    bu.print_table(["threads", "B", "labellings", "time", "per labelling",
                    "t(B) / (B t(0))", "1t/2t", "perm p"], rows)
    print("\nlabellings = observed + B permutations; t(B) / (B t(0)) < 1 means the shared "
          "pass beats B separate calls")
    load.report()


if __name__ == "__main__":
    main()
