"""Orthant counts from dominance counts in one to three dimensions, against
the scan of all pairs (TESSARIN_SCAN=scan) and against scipy.stats.ks_2samp,
with every timed result checked: equal to the scan's or NumPy's where those
can run, equal to scipy's one-dimensional statistic on data whose second
column is a decreasing function of the first, and equal over thread counts.
Peak memory of the largest case is measured in a subprocess. The build
defaults to `portable`, the build the targets are stated for: the vector
builds' scans are several times faster, so the scan / dominance ratios are
smaller there."""
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import scipy.stats

import benchutil as bu
import tessarin


def with_scan(setting, fn):
    previous = os.environ.get("TESSARIN_SCAN")
    os.environ["TESSARIN_SCAN"] = setting
    try:
        return fn()
    finally:
        if previous is None:
            del os.environ["TESSARIN_SCAN"]
        else:
            os.environ["TESSARIN_SCAN"] = previous


def timed(core, x, y, setting="auto", repeats=3, **kwargs):
    """(best time, details dict) of one configuration."""
    return with_scan(setting, lambda: bu.best_of(lambda: core.test(x, y, details=True, **kwargs), repeats,
                                                 cheap=2.0))


def timed_threads(core, x, y, repeats=5, **kwargs):
    """(best time, details dict) on one thread and on two, the runs taken in
    turn."""
    return with_scan("auto", lambda: bu.best_of_alternating(
        [lambda: core.test(x, y, details=True, n_jobs=1, **kwargs),
         lambda: core.test(x, y, details=True, n_jobs=2, **kwargs)], repeats))


def same(a, b):
    keys = ("statistic", "statistic_x", "statistic_y", "permutation_significance")
    return all(a[k] == b[k] for k in keys)


def peak_memory_mib(n, d, kernel):
    """Peak resident memory above an imports-and-data baseline of one call on
    n + n points, in a fresh interpreter."""
    code = textwrap.dedent(f"""
        import numpy as np, tessarin.{kernel} as core
        rng = np.random.default_rng(1)
        x, y = rng.normal(size=({n}, {d})), rng.normal(size=({n}, {d}))
        def hwm():
            for line in open("/proc/self/status"):
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        base = hwm()
        core.test(x, y)
        print((hwm() - base) / 1024)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main():
    parser = bu.argument_parser(__doc__)
    parser.add_argument("--repeats", type=int, default=3)
    parser.set_defaults(kernel="portable")
    args = parser.parse_args()
    core, kernel = bu.load_core(args.kernel)
    load = bu.LoadMeter()
    rng = np.random.default_rng(7)
    print("dominance counts, kernel %s, %s, %d CPUs, Python %s"
          % (kernel, bu.processor_name(), os.cpu_count(), platform.python_version()))
    rows, checks = [], []

    def target(name, measured, want, at_least=True):
        met = measured >= want if at_least else measured <= want
        rows.append([name, bu.fmt_ratio(measured), (">= %gx" if at_least else "<= %gx") % want,
                     "yes" if met else "no"])

    # d = 1: the friendly interface against scipy on the same data.
    x1, y1 = rng.normal(size=10**6), rng.normal(0.002, 1.0, size=10**6)
    t_scipy, ref = bu.best_of(lambda: scipy.stats.ks_2samp(x1, y1), args.repeats)
    t_ours, res = bu.best_of(lambda: tessarin.ks_2samp(x1, y1, kernel=kernel), args.repeats)
    # scipy subtracts floating shares; ours are exact integers divided once.
    assert np.isclose(res.statistic, ref.statistic, rtol=1e-12, atol=0), (res.statistic, ref.statistic)
    checks.append("d=1: statistic equals scipy's")
    target("d=1, 1e6+1e6: ks_2samp / scipy", t_ours / t_scipy, 3.0, at_least=False)

    # d = 2, 1e4 + 1e4: against the scan and the NumPy brute force.
    x, y = bu.make_samples(10**4, 2)
    t_dom, dom = timed(core, x, y)
    t_scan, scan = timed(core, x, y, "scan", repeats=1)
    alpha, beta, _ = bu.brute_force(x, y)
    assert dom["scan"] == "dominance" and same(dom, scan)
    assert dom["statistic"] == bu.statistic_from_maxima(alpha, beta, 10**4, 10**4)
    checks.append("d=2, 1e4: equals the scan and NumPy")
    target("d=2, 1e4+1e4: scan / dominance", t_scan / t_dom, 50)

    # d = 2, 1e6 + 1e6: random data on one and two threads, and data whose
    # second column falls as the first rises, which reduces to one dimension.
    x, y = rng.normal(size=(10**6, 2)), rng.normal(size=(10**6, 2)) + 0.002
    (t_big, big), (t_big2, big2) = timed_threads(core, x, y)
    assert big["statistic"] == big2["statistic"]
    folded_x = np.column_stack([x1, -2.0 * x1])
    folded_y = np.column_stack([y1, -2.0 * y1])
    t_line, line = timed(core, folded_x, folded_y, repeats=1)
    assert line["statistic"] == res.statistic, (line["statistic"], res.statistic)
    checks.append("d=2, 1e6: equals the one-dimensional statistic on its embedding; 1 and 2 threads agree")
    target("d=2, 1e6+1e6: time / scipy 1-D 1e6", t_big / t_scipy, 10.0, at_least=False)
    target("d=2, 1e6+1e6: 1 thread / 2 threads", t_big / t_big2, 1.7)

    # d = 3.
    x, y = bu.make_samples(2 * 10**4, 3)
    t_dom3, dom3 = timed(core, x, y)
    t_scan3, scan3 = timed(core, x, y, "scan", repeats=1)
    assert dom3["scan"] == "dominance" and same(dom3, scan3)
    checks.append("d=3, 2e4: equals the scan")
    target("d=3, 2e4+2e4: scan / dominance", t_scan3 / t_dom3, 20)
    x, y = bu.make_samples(10**5, 3)
    (t_huge, huge), (t_huge2, huge2) = timed_threads(core, x, y)
    assert huge["statistic"] == huge2["statistic"]
    target("d=3, 1e5+1e5: 1 thread / 2 threads", t_huge / t_huge2, 1.7)

    # d = 2 with 100 labellings, the same labellings for both.
    x, y = bu.make_samples(10**4, 2)
    (t_lab, lab), (t_lab2, lab2) = timed_threads(core, x, y, permutation_samples=100, seed=5)
    t_labscan, labscan = timed(core, x, y, "scan", repeats=1, permutation_samples=100, seed=5)
    assert same(lab, labscan) and same(lab, lab2)
    checks.append("d=2, 1e4, 100 labellings: equals the scan's permutation p-value")
    target("d=2, 1e4+1e4, 100 labellings: scan / dominance", t_labscan / t_lab, 20)
    target("d=2, 1e4+1e4, 100 labellings: 1 / 2 threads", t_lab / t_lab2, 1.7)

    memory = peak_memory_mib(10**6, 2, kernel)

    bu.print_table(["case", "time"], [
        ["scipy.stats.ks_2samp, d=1, 1e6+1e6", bu.fmt_time(t_scipy)],
        ["tessarin.ks_2samp, d=1, 1e6+1e6", bu.fmt_time(t_ours)],
        ["d=2, 1e4+1e4 dominance / scan", "%s / %s" % (bu.fmt_time(t_dom), bu.fmt_time(t_scan))],
        ["d=2, 1e6+1e6, 1 / 2 threads", "%s / %s" % (bu.fmt_time(t_big), bu.fmt_time(t_big2))],
        ["d=2, 1e6+1e6 on a line (checked)", bu.fmt_time(t_line)],
        ["d=3, 2e4+2e4 dominance / scan", "%s / %s" % (bu.fmt_time(t_dom3), bu.fmt_time(t_scan3))],
        ["d=3, 1e5+1e5, 1 / 2 threads", "%s / %s" % (bu.fmt_time(t_huge), bu.fmt_time(t_huge2))],
        ["d=2, 1e4+1e4, 100 labellings, dominance 1 / 2 threads",
         "%s / %s" % (bu.fmt_time(t_lab), bu.fmt_time(t_lab2))],
        ["d=2, 1e4+1e4, 100 labellings, scan", bu.fmt_time(t_labscan)],
        ["peak memory above baseline, d=2, 1e6+1e6", "%.0f MiB (target < 1024)" % memory],
    ])
    print()
    bu.print_table(["ratio", "measured", "target", "met"], rows)
    print("\nchecked: " + "; ".join(checks))
    load.report()


if __name__ == "__main__":
    main()
