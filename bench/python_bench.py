#!/usr/bin/env python3
"""Benchmarks of the Python package, each against a reference in the same run
(medians of --repeats runs, the two sides alternating):

1. nlfit.fit_many against nlfit_fit_many called from C (the program
   nlfit_fit_many_timing), same data, same thread count; target <= 1.05.
2. nlfit.dask.fit_many on a LocalCluster of 2 single-thread worker processes
   against in-process nlfit.fit_many with 2 threads; the cluster started and
   the data on the workers before timing; target <= 1.3.

    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2
    NLFIT_API_LIBRARY=build/libnlfit_api.so PYTHONPATH=python \\
      /usr/bin/python3 bench/python_bench.py --timing-program build/python/nlfit_fit_many_timing

Data: K two-exponential-plus-offset decays of m points (the catalogue's
two-exponential model), with noise, shared x and starting values.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import nlfit

MODEL = "two_exp"


def batch(K, m, seed=7):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 12.0, m)
    tau1 = rng.uniform(0.5, 1.5, (K, 1))
    tau2 = rng.uniform(3.0, 5.0, (K, 1))
    Y = 60.0 * np.exp(-x / tau1) + 40.0 * np.exp(-x / tau2) + 2.0
    Y += 0.5 * rng.standard_normal((K, m))
    return x, Y


def catalogue_start(model):
    """Starting values for the catalogue model, by parameter name."""
    guesses = {"a1": 50.0, "a2": 50.0, "tau1": 1.0, "tau2": 4.0, "c": 1.0,
               "k1": 1.0, "k2": 0.25, "b1": 1.0, "b2": 0.25}
    handle = nlfit.Model(model)
    return np.array([guesses.get(name, 1.0) for name in handle.parameter_names])


def median_ratio(label, run, reference, repeats, target):
    times, references = [], []
    for _ in range(repeats):
        times.append(run())
        references.append(reference())
    t, r = statistics.median(times), statistics.median(references)
    verdict = "met" if t / r <= target else "NOT met"
    print("%-44s %8.3f s  reference %8.3f s  ratio %.3f  (target <= %.2f: %s)"
          % (label, t, r, t / r, target, verdict))
    return t / r


def python_against_c(program, K, m, threads, repeats):
    x, Y = batch(K, m)
    p0 = catalogue_start(MODEL)
    with tempfile.TemporaryDirectory() as directory:
        for name, values in (("x", x), ("y", Y), ("p0", p0)):
            values.tofile(os.path.join(directory, name + ".f64"))

        def c_side():
            out = subprocess.run([program, MODEL, directory, str(K), str(m), str(len(p0)),
                                  str(threads), "1"], capture_output=True, text=True, check=True)
            return float(out.stdout.split()[1])

        def python_side():
            start = time.perf_counter()
            nlfit.fit_many(MODEL, x, Y, p0, threads=threads)
            return time.perf_counter() - start

        python_side()  # warm-up: library load, model compile
        return median_ratio("Python fit_many / C fit_many (K=%d, m=%d, %d thr)"
                            % (K, m, threads), python_side, c_side, repeats, 1.05)


def dask_against_in_process(K, m, repeats, chunks):
    import dask.array as da
    from distributed import Client, LocalCluster
    import nlfit.dask

    x, Y = batch(K, m)
    p0 = catalogue_start(MODEL)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        Yd = client.persist(da.from_array(Y, chunks=(chunks, -1)))
        client.wait_for_workers(2)

        def dask_side():
            start = time.perf_counter()
            lazy = nlfit.dask.fit_many(MODEL, x, Yd, p0)
            client.compute(list(lazy), sync=True)
            return time.perf_counter() - start

        def in_process():
            start = time.perf_counter()
            nlfit.fit_many(MODEL, x, Y, p0, threads=2)
            return time.perf_counter() - start

        dask_side()  # warm-up: the package and library loaded on the workers
        return median_ratio("Dask 2x1 workers / fit_many 2 threads (K=%d, m=%d)"
                            % (K, m), dask_side, in_process, repeats, 1.3)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--timing-program", default="build/python/nlfit_fit_many_timing")
    parser.add_argument("--curves", type=int, default=100000)
    parser.add_argument("--points", type=int, default=64)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--chunks", type=int, default=12500, help="curves per Dask block")
    parser.add_argument("--skip-dask", action="store_true")
    args = parser.parse_args()
    print("library %s, %d cores" % (nlfit.load_library().path, os.cpu_count()))
    python_against_c(args.timing_program, args.curves, args.points, args.threads, args.repeats)
    if not args.skip_dask:
        dask_against_in_process(args.curves, args.points, args.repeats, args.chunks)
    return 0


if __name__ == "__main__":
    sys.exit(main())
