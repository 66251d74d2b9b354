"""Time and peak memory of the statistic in 8, 20 and 63 dimensions on 1 and 2
threads, against a NumPy brute force where it finishes within a time budget.

Each configuration runs in a fresh subprocess; its peak resident set (VmHWM)
is reported above that of a subprocess that only imports the modules and
builds the same data."""
import argparse
import json
import os
import subprocess
import sys
import time

import benchutil as bu

N = 2000
DIMENSIONS = (8, 20, 63)
NUMPY_BUDGET = 60.0


def child(args):
    core, _ = bu.load_core(args.kernel)
    x, y = bu.make_samples(N, args.dim)
    out = {"time": None, "value": None, "note": ""}
    if args.child == "tessarin":
        t, value = bu.best_of(lambda: core.test(x, y, n_jobs=args.jobs), args.repeats, cheap=2.0)
        out.update(time=t, value=value)
    elif args.child == "numpy":
        start = time.perf_counter()
        try:
            alpha, beta, method = bu.brute_force(x, y, budget=NUMPY_BUDGET)
        except bu.OverBudget as e:
            out["note"] = str(e)
        else:
            out.update(time=time.perf_counter() - start, note=method,
                       value=bu.statistic_from_maxima(alpha, beta, N, N))
    out["peak_kib"] = bu.peak_rss_kib()
    print(json.dumps(out))


def run_child(kind, dim, jobs, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, "--dim", str(dim),
           "--jobs", str(jobs), "--kernel", args.kernel, "--repeats", str(args.repeats)]
    done = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--child", choices=["baseline", "tessarin", "numpy"], help=argparse.SUPPRESS)
    parser.add_argument("--dim", type=int, default=3, help=argparse.SUPPRESS)
    parser.add_argument("--jobs", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    _, kernel = bu.load_core(args.kernel)
    args.kernel = kernel
    load = bu.LoadMeter()
    print("dimensions: %d + %d points, kernel %s on %s, %d CPUs; tessarin best of up to %d runs, "
          "NumPy one run (budget %.0f s)" % (N, N, kernel, bu.processor_name(), os.cpu_count(), args.repeats,
                                             NUMPY_BUDGET))
    rows = []
    for d in DIMENSIONS:
        base = run_child("baseline", d, 1, args)["peak_kib"]
        one = run_child("tessarin", d, 1, args)
        two = run_child("tessarin", d, 2, args)
        ref = run_child("numpy", d, 1, args)
        assert one["value"] == two["value"], (one, two)
        if ref["value"] is not None:
            assert ref["value"] == one["value"], (ref, one)

        def mib(result):
            return "%.1f MiB" % ((result["peak_kib"] - base) / 1024.0)

        ratio_np = ref["time"] / one["time"] if ref["time"] is not None else None
        rows.append([d, bu.fmt_time(one["time"]), bu.fmt_time(two["time"]),
                     bu.fmt_ratio(one["time"] / two["time"]),
                     bu.fmt_time(ref["time"]) + ("" if ref["time"] is None
                                                 else " (%s)" % ref["note"]),
                     bu.fmt_ratio(ratio_np),
                     mib(one), mib(two),
                     mib(ref) if ref["time"] is not None else "n/a",
                     "%.1f MiB" % (base / 1024.0), repr(one["value"])])
    bu.print_table(["d", "1 thread", "2 threads", "1t/2t", "NumPy", "NumPy/1t",
                    "peak 1t", "peak 2t", "peak NumPy", "baseline", "statistic"], rows)
    print("\npeak = VmHWM of the configuration's subprocess minus the baseline "
          "(imports + data only); NumPy and tessarin statistics agree exactly where both ran")
    load.report()


if __name__ == "__main__":
    main()
