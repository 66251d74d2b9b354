"""Time of the plain statistic on 1 and 2 threads against a vectorised NumPy
brute force of the same statistic on the same data."""
import os
import platform
import time

import benchutil as bu

N = 10000
D = 3
TARGET_VS_NUMPY = 25.0
TARGET_TWO_THREADS = 1.8


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    core, kernel = bu.load_core(args.kernel)
    load = bu.LoadMeter()
    x, y = bu.make_samples(N, D)

    print("statistic: %d + %d points, d = %d, kernel %s, %s, %d CPUs, Python %s"
          % (N, N, D, kernel, bu.processor_name(), os.cpu_count(), platform.python_version()))

    t1, s1 = bu.best_of(lambda: core.test(x, y, n_jobs=1), args.repeats, cheap=5.0)
    t2, s2 = bu.best_of(lambda: core.test(x, y, n_jobs=2), args.repeats, cheap=5.0)
    start = time.perf_counter()
    alpha, beta, method = bu.brute_force(x, y)
    t_np = time.perf_counter() - start
    s_np = bu.statistic_from_maxima(alpha, beta, N, N)

    assert s1 == s2 == s_np, (s1, s2, s_np)

    bu.print_table(
        ["implementation", "time", "statistic"],
        [["tessarin, 1 thread", bu.fmt_time(t1), repr(s1)],
         ["tessarin, 2 threads", bu.fmt_time(t2), repr(s2)],
         ["NumPy brute force (%s)" % method, bu.fmt_time(t_np), repr(s_np)]])
    print()
    vs_numpy = t_np / t1
    two = t1 / t2
    bu.print_table(
        ["ratio", "measured", "target", "met"],
        [["NumPy / 1 thread", bu.fmt_ratio(vs_numpy), ">= %gx" % TARGET_VS_NUMPY,
          "yes" if vs_numpy >= TARGET_VS_NUMPY else "no"],
         ["1 thread / 2 threads", bu.fmt_ratio(two), ">= %gx" % TARGET_TWO_THREADS,
          "yes" if two >= TARGET_TWO_THREADS else "no"]])
    print("\nstatistics agree exactly; tessarin best of up to %d runs, NumPy one run"
          % args.repeats)
    load.report()


if __name__ == "__main__":
    main()
