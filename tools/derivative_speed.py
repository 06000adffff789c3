#!/usr/bin/env python3
"""Fits per CPU second of one batch with exact and with difference derivatives.

20,000 noisy Gaussian peaks (amplitude 500, width 1, offset 10, 25 points),
one thread, tolerances 1e-4, no statistics; the catalogue's `gaussian` and
the same model as a formula. Best of three runs by process CPU time, so that
other load on the machine weighs less.

    NLFIT_API_LIBRARY=build/libnlfit_api.so PYTHONPATH=python \
        /usr/bin/python3 tools/derivative_speed.py
"""
import time, numpy as np, nlfit
rng = np.random.default_rng(0)
x = np.linspace(-3, 3, 25)
K = 20000
Y = 500*np.exp(-x**2/2) + 10 + rng.poisson(5, (K, 25)) - 5.0
p0 = np.array([450.0, 0.1, 1.1, 9.0])
for model in ("gaussian", "a*exp(-(x-mu)^2/(2*s^2))+c"):
  for d in ("numeric", "exact"):
    best = 1e9
    for rep in range(3):
      t = time.process_time()
      r = nlfit.fit_many(model, x, Y, p0, threads=1, derivatives=d, reduction_tolerance=1e-4, step_tolerance=1e-4, std_errors=False)
      best = min(best, time.process_time() - t)
    print(f"{model[:12]:12s} {d:8s} {K/best:9.0f} fits/s (CPU, best of 3)  evals/fit {r.evaluations.mean():.1f} conv {r.converged.mean():.3f}")
