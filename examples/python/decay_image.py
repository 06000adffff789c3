#!/usr/bin/env python3
"""Fits a synthetic fluorescence-lifetime image: one decay curve per pixel.

    /usr/bin/python3 examples/python/decay_image.py [--size 256] [--bins 64]
        [--peak 10000] [--threads 0] [--workers 2] [--no-dask] [--png FILE]
        [--estimator least_squares|poisson]

Every pixel of a size x size image holds a decay over `bins` time bins of
0.2 ns: two exponentials plus an offset, with a known map of the lifetimes
tau1 (0.4-1.6 ns, left to right) and tau2 (2.5-5 ns, top to bottom), `peak`
expected counts in the first bin, drawn as Poisson counts and weighted with
sigma = sqrt(max(count, 1)). The model is the catalogue's "two_exp",
a1 exp(-k1 t) + a2 exp(-k2 t) + c, whose rates are the inverse lifetimes.

The image is fitted with nlfit.fit_many on this machine's cores, then with
nlfit.dask.fit_many on a LocalCluster of worker processes (127.0.0.1, no
dashboard); the script prints the throughput of both, checks that both give
the same bits, and compares the fitted lifetimes with the known map (sorted
per pixel, so that a swap of the two components is not an error). With
--estimator poisson the image is fitted a second time by Poisson maximum
likelihood on the raw counts (no sigma), and the lifetime errors of both
estimators are printed side by side. With
matplotlib it writes a PNG of the known and fitted lifetime maps
(decay_lifetimes.png; --png "" for none).

The package is found as python/ beside examples/ when nlfit is not installed;
its library as nlfit's documentation says (NLFIT_API_LIBRARY, build/).
"""

import argparse
import os
import sys
import time

import numpy as np

try:
    import nlfit
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "python"))
    import nlfit

# The catalogue's two exponentials plus offset, a1 exp(-k1 t) + a2 exp(-k2 t)
# + c: rates, the lifetimes are their inverses.
MODEL = "two_exp"
BIN_WIDTH = 0.2  # ns


def synthetic_image(size, bins, peak=10000.0, seed=2024):
    """Counts (size*size, bins), the time axis and the known lifetimes."""
    rng = np.random.default_rng(seed)
    t = (np.arange(bins) + 0.5) * BIN_WIDTH
    u, v = np.meshgrid(np.linspace(0.0, 1.0, size), np.linspace(0.0, 1.0, size))
    tau1 = (0.4 + 1.2 * u).ravel()
    tau2 = (2.5 + 2.5 * v).ravel()
    fraction = 0.5 + 0.2 * np.sin(3.0 * np.pi * u * v).ravel()  # of the first component
    a1, a2, c = peak * fraction, peak * (1.0 - fraction), 4.0
    expected = (a1[:, None] * np.exp(-t / tau1[:, None])
                + a2[:, None] * np.exp(-t / tau2[:, None]) + c)
    counts = rng.poisson(expected).astype(np.float64)
    return t, counts, np.stack([tau1, tau2], axis=1)


def starting_values(counts):
    """Per pixel: the first bin split between the components, lifetimes of
    1 and 4 ns (rates 1 and 0.25 per ns), the offset at half the last bins'
    level."""
    first = np.maximum(counts[:, 0], 1.0)
    tail = counts[:, -4:].mean(axis=1)
    return np.column_stack([0.5 * first, np.ones(len(counts)), 0.5 * first,
                            np.full(len(counts), 0.25), tail * 0.5])


def agreement(params, converged, known):
    fitted = np.sort(1.0 / params[:, [1, 3]], axis=1)
    known = np.sort(known, axis=1)
    error = np.abs(fitted - known) / known
    ok = converged & np.isfinite(error).all(axis=1)
    return ok, np.median(error[ok], axis=0), (error[ok] < 0.10).mean(axis=0)


def report(label, seconds, result, known):
    curves = len(result.status)
    ok, median, within = agreement(result.params, result.converged, known)
    print("%-26s %8.2f s  %9.0f curves/s  converged %d/%d" % (
        label, seconds, curves / seconds, int(result.converged.sum()), curves))
    print("%-26s median |error| tau_short %.3f, tau_long %.3f; within 10%%: %.1f%%, %.1f%%"
          % ("", median[0], median[1], 100 * within[0], 100 * within[1]))


def compare_estimators(least_squares, poisson, known):
    """Bias (mean signed relative error) and spread of both lifetimes, over
    the pixels where both estimators converged."""
    both = least_squares.converged & poisson.converged
    known = np.sort(known, axis=1)[both]
    print("lifetime errors over the %d pixels where both converged:" % int(both.sum()))
    print("%-26s %21s %21s" % ("", "tau_short bias/rms", "tau_long bias/rms"))
    for label, result in (("least squares (sigma)", least_squares), ("Poisson", poisson)):
        fitted = np.sort(1.0 / result.params[both][:, [1, 3]], axis=1)
        error = (fitted - known) / known
        print("%-26s %+9.4f / %-9.4f %+9.4f / %-9.4f" % (
            label, error[:, 0].mean(), np.sqrt((error[:, 0] ** 2).mean()),
            error[:, 1].mean(), np.sqrt((error[:, 1] ** 2).mean())))


def write_png(path, params, known, size):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture written")
        return
    fitted = np.sort(1.0 / params[:, [1, 3]], axis=1)
    known = np.sort(known, axis=1)
    figure, axes = plt.subplots(2, 2, figsize=(9, 8), constrained_layout=True)
    for row, (values, title) in enumerate(((known, "known"), (fitted, "fitted"))):
        for column, (name, low, high) in enumerate((("tau short", 0.4, 1.6),
                                                    ("tau long", 2.5, 5.0))):
            image = axes[row, column].imshow(values[:, column].reshape(size, size),
                                             vmin=low, vmax=high, cmap="viridis")
            axes[row, column].set_title("%s %s (ns)" % (title, name))
            axes[row, column].set_xticks([])
            axes[row, column].set_yticks([])
            figure.colorbar(image, ax=axes[row, column], shrink=0.8)
    figure.savefig(path, dpi=80)
    print("lifetime maps written to %s" % path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=256, help="image side (default 256)")
    parser.add_argument("--bins", type=int, default=64, help="time bins (default 64)")
    parser.add_argument("--peak", type=float, default=10000.0,
                        help="expected counts in the first bin (default 10000)")
    parser.add_argument("--threads", type=int, default=0, help="fit_many threads (0 = all)")
    parser.add_argument("--workers", type=int, default=2, help="Dask worker processes")
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask run")
    parser.add_argument("--png", default="decay_lifetimes.png", help="picture to write")
    parser.add_argument("--estimator", choices=("least_squares", "poisson"),
                        default="least_squares",
                        help="poisson: fit again by Poisson maximum likelihood and "
                             "compare both estimators' lifetime errors")
    args = parser.parse_args(argv)

    t, counts, known = synthetic_image(args.size, args.bins, args.peak)
    sigma = np.sqrt(np.maximum(counts, 1.0))
    p0 = starting_values(counts)
    print("image %dx%d, %d time bins: %d curves, model %s: y = %s"
          % (args.size, args.size, args.bins, len(counts), MODEL, nlfit.Model(MODEL).formula))

    start = time.perf_counter()
    local = nlfit.fit_many(MODEL, t, counts, p0, sigma=sigma, threads=args.threads)
    report("fit_many (threads=%d)" % args.threads, time.perf_counter() - start, local, known)

    poisson = None
    if args.estimator == "poisson":
        start = time.perf_counter()
        poisson = nlfit.fit_many(MODEL, t, counts, p0, threads=args.threads,
                                 estimator="poisson")
        report("fit_many, Poisson", time.perf_counter() - start, poisson, known)
        compare_estimators(local, poisson, known)

    if not args.no_dask:
        try:
            import dask.array as da
            from distributed import Client, LocalCluster
            from nlfit import dask as nlfit_dask
        except ImportError as error:
            print("Dask is not installed (%s): no cluster run" % error)
        else:
            with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                              host="127.0.0.1", dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                rows = max(1, len(counts) // (4 * args.workers))
                Y = da.from_array(counts, chunks=(rows, -1))
                S = da.from_array(sigma, chunks=(rows, -1))
                P = da.from_array(p0, chunks=(rows, -1))
                Y, S, P = client.persist([Y, S, P])  # the data on the workers first
                start = time.perf_counter()
                lazy = nlfit_dask.fit_many(MODEL, t, Y, P, sigma=S)
                dask_result = nlfit.BatchResult(*client.compute(list(lazy), sync=True))
                seconds = time.perf_counter() - start
                report("Dask, %d workers x 1 thread" % args.workers, seconds, dask_result, known)
                same = all(getattr(local, f).tobytes() == getattr(dask_result, f).tobytes()
                           for f in nlfit.BatchResult._fields)
                print("Dask and fit_many results identical bit for bit: %s" % same)
                if not same:
                    return 1

    if args.png:
        write_png(args.png, local.params, known, args.size)
    return 0


if __name__ == "__main__":
    sys.exit(main())
