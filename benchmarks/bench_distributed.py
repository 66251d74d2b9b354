"""The test on a Dask cluster: a LocalCluster of two single-threaded worker
processes against one local thread on 15000 + 15000 points at d = 5, the
overhead of a call and of a task, and the per-pair rate at d = 10 that the
estimate for large data sets rests on."""
import os
import time

import benchutil as bu

N = 15000
D = 5
RATE_N = 10000
RATE_D = 10
TINY_N = 200
SEED = 4321


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    try:
        import distributed
    except ImportError:
        raise SystemExit("this benchmark needs dask.distributed: pip install 'tessarin[distributed]'")
    from tessarin import _distributed

    core, kernel = bu.load_core(args.kernel)
    build = None if args.kernel == "auto" else kernel
    load = bu.LoadMeter()
    x, y = bu.make_samples(N, D, SEED)
    call = dict(cdf=y, n_jobs=1, details=True)
    print("Dask: %d + %d points, d = %d, kernel %s on %s, %d CPUs; best of up to %d runs below 2 s"
          % (N, N, D, kernel, bu.processor_name(), os.cpu_count(), args.repeats))

    local_time, local = bu.best_of(lambda: core.test(x, **call), args.repeats, cheap=2.0)
    # Two local threads show what the machine gives two threads at the moment.
    two_time, two = bu.best_of(lambda: core.test(x, **dict(call, n_jobs=2)), args.repeats, cheap=2.0)
    if two != local:
        raise SystemExit("two threads give another result than one")
    started = time.perf_counter()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        cluster_start = time.perf_counter() - started
        cluster_time, remote = bu.best_of(lambda: _distributed.run(client, build, (x,), call, 1),
                                          args.repeats, cheap=2.0)
        if remote != local:
            raise SystemExit("the cluster's result differs from the local call: %r != %r" % (remote, local))

        # Overhead: tiny data sets, so that the time is that of sending the
        # arrays, preparing them, and scheduling and gathering the tasks.
        tx, ty = bu.make_samples(TINY_N, D, SEED)
        tiny = dict(cdf=ty, n_jobs=1, details=True)
        overhead = {}
        for per_thread in (1, 16):
            _distributed.TASKS_PER_THREAD = per_thread
            overhead[per_thread], tiny_remote = bu.best_of(
                lambda: _distributed.run(client, build, (tx,), tiny, 1), 2 * args.repeats, cheap=2.0)
            if tiny_remote != core.test(tx, **tiny):
                raise SystemExit("the cluster's result differs from the local call on the tiny data set")
        _distributed.TASKS_PER_THREAD = 4
    per_task = (overhead[16] - overhead[1]) / (2 * (16 - 1))

    rx, ry = bu.make_samples(RATE_N, RATE_D, SEED)
    rate_time, rate_result = bu.best_of(lambda: core.test(rx, ry, details=True), args.repeats, cheap=2.0)
    pairs = float(2 * RATE_N) ** 2
    per_pair = rate_time / pairs

    bu.print_table(["run", "time", "1 thread / run"], [
        ["1 local thread", bu.fmt_time(local_time), "1.00x"],
        ["2 local threads", bu.fmt_time(two_time), bu.fmt_ratio(local_time / two_time)],
        ["LocalCluster, 2 workers x 1 thread", bu.fmt_time(cluster_time), bu.fmt_ratio(local_time / cluster_time)],
    ])
    print("\nscan path %s; the cluster's details equal the local call's exactly" % local["scan"])
    print("cluster start-up %s (not in the times above)" % bu.fmt_time(cluster_start))
    print("call overhead on %d + %d points: %s with 2 tasks, %s with 32 tasks: %s per task"
          % (TINY_N, TINY_N, bu.fmt_time(overhead[1]), bu.fmt_time(overhead[16]), bu.fmt_time(per_task)))
    print("one thread at d = %d, %d + %d points (%s path): %s, %.2f ns per (corner, point) pair"
          % (RATE_D, RATE_N, RATE_N, rate_result["scan"], bu.fmt_time(rate_time), per_pair * 1e9))
    big = float(2 * 10**6) ** 2 * per_pair
    print("estimate for 10^6 + 10^6 points at d = %d: %.1f h on one thread, %.1f min on 100 single-threaded "
          "workers (plus %s per task, 400 tasks)" % (RATE_D, big / 3600, big / 100 / 60, bu.fmt_time(per_task)))
    load.report()


if __name__ == "__main__":
    main()
