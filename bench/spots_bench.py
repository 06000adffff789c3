#!/usr/bin/env python3
"""Batch fits of small 2-D Gaussian spots through nlfit.fit_many.

    /usr/bin/python3 bench/spots_bench.py [--fits 20000] [--rss-fits 0]
        [--runs numeric,exact,formula] [--threads 1,2] [--seed 1]

The problem: a round 2-D Gaussian, 5 parameters (amplitude a, centre x0 y0,
width sigma, background c) on 5x5 pixels, amplitude 500, width 1,
background 10, Poisson noise, each spot's centre drawn within +-0.5 px of
the middle pixel. Starts are the truth times 1 +- 10 % (uniform), the centre
+-0.2 px; reduction and step tolerances 1e-4, no standard errors.

Runs (each over the same spots and starts):
  numeric  the catalogue gaussian2d with difference derivatives
  exact    the catalogue gaussian2d with its exact derivatives
  formula  the same model as a formula of two predictors, exact derivatives

For each run and thread count it prints fits/s (wall clock), fits/s per
thread, evaluations and exact Jacobians per fit (the batch's own counts),
the converged fraction and the fraction of fits whose parameters agree
within 1e-3 relative with a fit of the same spot started from the truth. --rss-fits N fits N spots once with the exact
catalogue run and prints the process's maximum resident set size (measured,
nothing is asserted). Exit status 0 unless a run raises.
"""

import argparse
import os
import resource
import sys
import time

import numpy as np

try:
    import nlfit
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                    "python"))
    import nlfit

SIDE = 5
AMPLITUDE, WIDTH, BACKGROUND = 500.0, 1.0, 10.0
FORMULA = "a*exp(-((u-u0)^2+(v-v0)^2)/(2*s^2))+c"
RUNS = {
    # name: (model, keywords)
    "numeric": ("gaussian2d", {"derivatives": "numeric"}),
    "exact": ("gaussian2d", {"derivatives": "exact"}),
    "formula": (FORMULA, {"derivatives": "exact", "predictors": ["u", "v"]}),
}
TOLERANCES = {"reduction_tolerance": 1e-4, "step_tolerance": 1e-4}


def pixel_grid(side=SIDE):
    """(2, side*side): the pixel centres, x then y, row by row."""
    v, u = np.mgrid[0:side, 0:side].astype(np.float64)
    return np.vstack([u.ravel(), v.ravel()])


def spots(count, amplitude=AMPLITUDE, width=WIDTH, background=BACKGROUND, side=SIDE,
          seed=1, noise=True, jitter=0.5):
    """Truth (count, 5), counts (count, side*side) and starts (count, 5);
    each centre within +-jitter px of the middle pixel."""
    rng = np.random.default_rng(seed)
    xy = pixel_grid(side)
    middle = (side - 1) / 2.0
    truth = np.empty((count, 5))
    truth[:, 0] = amplitude
    truth[:, 1:3] = middle + rng.uniform(-jitter, jitter, (count, 2))
    truth[:, 3] = width
    truth[:, 4] = background
    expected = (truth[:, :1] * np.exp(-((xy[0] - truth[:, 1:2]) ** 2 + (xy[1] - truth[:, 2:3]) ** 2)
                                      / (2.0 * truth[:, 3:4] ** 2)) + truth[:, 4:5])
    counts = rng.poisson(expected).astype(np.float64) if noise else expected
    starts = truth * (1.0 + rng.uniform(-0.1, 0.1, truth.shape))
    starts[:, 1:3] = truth[:, 1:3] + rng.uniform(-0.2, 0.2, (count, 2))
    return truth, counts, starts


def fit(run, counts, starts, threads, **extra):
    model, keywords = RUNS[run]
    return nlfit.fit_many(model, pixel_grid(), counts, starts, threads=threads,
                          std_errors=False, **keywords, **TOLERANCES, **extra)


def agreement(result, reference):
    """Fraction of fits within 1e-3 relative of the fit started from the truth."""
    close = np.abs(result.params - reference.params) <= 1e-3 * np.abs(reference.params)
    return float((close.all(axis=1) & result.converged & reference.converged).mean())


def max_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # kB on Linux


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fits", type=int, default=20000, help="spots per timed run")
    parser.add_argument("--runs", default="numeric,exact,formula")
    parser.add_argument("--threads", default="1,2", help="thread counts, comma-separated")
    parser.add_argument("--rss-fits", type=int, default=0,
                        help="fit this many spots once (exact run) and print the max RSS")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    runs = [r for r in args.runs.split(",") if r]
    threads = [int(t) for t in args.threads.split(",") if t]

    truth, counts, starts = spots(args.fits, seed=args.seed)
    print("%d spots %dx%d, amplitude %g, width %g, background %g; load: %s"
          % (args.fits, SIDE, SIDE, AMPLITUDE, WIDTH, BACKGROUND,
             " ".join("%.2f" % v for v in os.getloadavg())))
    print("%-8s %7s %11s %13s %10s %10s %10s %9s" % ("run", "threads", "fits/s", "fits/s/thread",
                                                      "evals/fit", "jacs/fit", "converged",
                                                      "agree"))
    rates = {}
    for run in runs:
        reference = fit(run, counts, truth, threads=1)
        for t in threads:
            fit(run, counts[:min(200, args.fits)], starts[:min(200, args.fits)], t)  # warm-up
            begin = time.perf_counter()
            result = fit(run, counts, starts, t)
            seconds = time.perf_counter() - begin
            rates[(run, t)] = args.fits / seconds
            print("%-8s %7d %11.0f %13.0f %10.2f %10.2f %10.4f %9.4f" % (
                run, t, rates[(run, t)], rates[(run, t)] / t, result.evaluations.mean(),
                result.jacobian_evaluations.mean(), result.converged.mean(),
                agreement(result, reference)))
    for t in threads:
        if ("numeric", t) in rates and ("exact", t) in rates:
            print("threads %d: exact / numeric = %.2f" % (t, rates[("exact", t)] / rates[("numeric", t)]))
        if ("formula", t) in rates and ("exact", t) in rates:
            print("threads %d: exact / formula = %.2f" % (t, rates[("exact", t)] / rates[("formula", t)]))
    for run in runs:
        if (run, 1) in rates and (run, 2) in rates:
            print("%s: scaling on 2 threads %.2f" % (run, rates[(run, 2)] / rates[(run, 1)]))

    if args.rss_fits:
        del truth, counts, starts
        _, counts, starts = spots(args.rss_fits, seed=args.seed + 1)
        begin = time.perf_counter()
        result = fit("exact", counts, starts, threads[0])
        print("%d fits (exact, %d thread(s)) in %.1f s, converged %.4f; max RSS %.0f MiB"
              % (args.rss_fits, threads[0], time.perf_counter() - begin,
                 result.converged.mean(), max_rss_mib()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
