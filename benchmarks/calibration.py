"""How well calibrated are the binomial and the permutation p-values?

Under the null (both samples from one distribution) a calibrated p-value
falls at or below alpha in a share alpha of the repetitions. For d = 1, 2, 3,
5 and 8 and n = 100 and 1000 points per sample this script draws both samples
from

- `normal`: the standard normal distribution N(0, I), and
- `t2-rounded`: a multivariate Student t with 2 degrees of freedom (heavy
  tails and dependent coordinates), rounded to one decimal so that the data
  hold ties,

and counts how often each p-value is at most 0.01 and 0.05. It also reports
the empirical 1 % and 5 % quantiles of the binomial p-value under the null
(the thresholds a calibrated test would use) and the power of both p-values
at alpha = 0.05 against a shift of the second sample by delta in the first
coordinate (delta = 0.3 at n = 100, 0.1 at n = 1000). It writes a Markdown
table (default benchmarks/calibration.md).
"""
import argparse
import os
import time

import numpy as np

from tessarin import ks_2samp

from benchutil import processor_name

DIMENSIONS = (1, 2, 3, 5, 8)
SIZES = (100, 1000)
DISTRIBUTIONS = ("normal", "t2-rounded")
ALPHAS = (0.01, 0.05)
SHIFT = {100: 0.3, 1000: 0.1}


def draw(rng, distribution, n, d):
    if distribution == "normal":
        return rng.standard_normal((n, d))
    # Multivariate t: a normal vector over one shared chi-square scale.
    z = rng.standard_normal((n, d)) / np.sqrt(rng.chisquare(2, size=(n, 1)) / 2)
    return np.round(z, 1)


def run_setting(distribution, n, d, shift, reps, permutations, seed):
    """(binomial p-values, permutation p-values) of `reps` repetitions."""
    binomial, permutation = np.empty(reps), np.empty(reps)
    for r, child in enumerate(np.random.SeedSequence([seed, n, d, int(shift > 0),
                                                      DISTRIBUTIONS.index(distribution)]).spawn(reps)):
        rng = np.random.default_rng(child)
        x = draw(rng, distribution, n, d)
        y = draw(rng, distribution, n, d)
        y[:, 0] += shift
        res = ks_2samp(x, y, permutations=permutations, binomial=True,
                       seed=int(rng.integers(2**31)))
        binomial[r], permutation[r] = res.binomial_pvalue, res.permutation_pvalue
    return binomial, permutation


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps-small", type=int, default=400,
                        help="repetitions per setting at n = 100 (default 400)")
    parser.add_argument("--reps-large", type=int, default=200,
                        help="repetitions per setting at n = 1000 (default 200)")
    parser.add_argument("--permutations", type=int, default=99)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--output", default=os.path.join(os.path.dirname(__file__),
                                                         "calibration.md"))
    args = parser.parse_args()

    start = time.perf_counter()
    rows = []
    for distribution in DISTRIBUTIONS:
        for n in SIZES:
            reps = args.reps_small if n == 100 else args.reps_large
            for d in DIMENSIONS:
                b0, p0 = run_setting(distribution, n, d, 0.0, reps, args.permutations, args.seed)
                b1, p1 = run_setting(distribution, n, d, SHIFT[n], reps, args.permutations,
                                     args.seed)
                row = [distribution, str(n), str(d), str(reps)]
                row += ["%.3f" % np.mean(b0 <= a) for a in ALPHAS]
                row += ["%.3f" % np.mean(p0 <= a) for a in ALPHAS]
                row += ["%.2g" % np.quantile(b0, a) for a in ALPHAS]
                row += ["%.3f" % np.mean(b1 <= 0.05), "%.3f" % np.mean(p1 <= 0.05)]
                rows.append(row)
                print(" | ".join(row), flush=True)
    elapsed = time.perf_counter() - start

    headers = ["distribution", "n per sample", "d", "repetitions",
               "binomial ≤ 0.01", "binomial ≤ 0.05",
               "permutation ≤ 0.01", "permutation ≤ 0.05",
               "binomial null 1 % quantile", "binomial null 5 % quantile",
               "power binomial (0.05)", "power permutation (0.05)"]
    se = {reps: np.sqrt(0.05 * 0.95 / reps) for reps in (args.reps_small, args.reps_large)}
    lines = [
        "# Calibration of the binomial and the permutation p-values",
        "",
        "Written by `benchmarks/calibration.py` (seed %d, %d permutations per p-value, "
        "%d repetitions per setting at n = 100 and %d at n = 1000; %.0f s on one thread of "
        "%s)."
        % (args.seed, args.permutations, args.reps_small, args.reps_large, elapsed, processor_name()),
        "",
        "Rejection rates under the null: both samples from the same distribution, "
        "`normal` = N(0, I), `t2-rounded` = multivariate Student t with 2 degrees of freedom "
        "rounded to one decimal (heavy tails, dependent coordinates, ties). A calibrated "
        "p-value is at most alpha in a share alpha of the repetitions; the Monte Carlo "
        "standard error of a share near 0.05 is %.3f at n = 100 and %.3f at n = 1000. The "
        "null quantiles are the thresholds at which the binomial p-value would reject in "
        "1 %% and 5 %% of the null repetitions. Power: the second sample shifted by %.1f "
        "(n = 100) or %.1f (n = 1000) in the first coordinate, alpha = 0.05. The "
        "permutation p-value is (k + 1) / (B + 1)."
        % (se[args.reps_small], se[args.reps_large], SHIFT[100], SHIFT[1000]),
        "",
        "| " + " | ".join(headers) + " |",
        "|" + "|".join("---" if i < 2 else "---:" for i in range(len(headers))) + "|",
    ]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    with open(args.output, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote %s in %.0f s" % (args.output, elapsed))


if __name__ == "__main__":
    main()
