#!/usr/bin/python3
"""Starting-value battery: noisy curves of the everyday catalogue shapes,
fitted by the nlfit command without --start.

Each curve has random true parameters over the ranges below, 25 to 80
points and Gaussian noise of 0.5 % to 5 % of the curve's range. Two
exponentials are sampled densely enough early on to show the fast one. It is
written as a CSV file and fitted by `nlfit FILE --model NAME --json`.

  right          converged, and every parameter within 5 standard errors
                 (+1e-6 relative) of its true value
  false success  converged but not right
  not converged  the command says so (exit 3), or refused the fit

Usage: bench/start_battery.py [--nlfit build/nlfit] [--curves 200] [--seed 1]
                              [--points LO HI] [--noise LO HI] [--shuffle]
                              [--verbose] [--keep DIR]
Exit status 0 when there is no false success and at least 95 % are right.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np


def gaussian(x, a, mu, s, c):
    return a * np.exp(-(x - mu) ** 2 / (2 * s ** 2)) + c


def lorentzian(x, a, x0, w, c):
    return a / (1 + ((x - x0) / w) ** 2) + c


def logistic4(x, bottom, top, k, x0):
    return bottom + (top - bottom) / (1 + np.exp(-k * (x - x0)))


def hill(x, top, k, n):
    return top * x ** n / (k ** n + x ** n)


def michaelis_menten(x, vmax, km):
    return vmax * x / (km + x)


def power_law(x, a, b):
    return a * x ** b


def exp_decay(x, a, k, c):
    return a * np.exp(-k * x) + c


def two_exp(x, a1, k1, a2, k2, c):
    return a1 * np.exp(-k1 * x) + a2 * np.exp(-k2 * x) + c


def log_uniform(rng, lo, hi):
    return float(np.exp(rng.uniform(np.log(lo), np.log(hi))))


def signed(rng, lo, hi):
    return float(rng.choice([-1.0, 1.0]) * rng.uniform(lo, hi))


# Each maker returns (x, true parameters) for one curve.
def make_peak(rng, m):
    x0 = rng.uniform(-50, 50)
    span = log_uniform(rng, 0.5, 200)
    x = np.sort(rng.uniform(x0, x0 + span, m))
    centre = x0 + span * rng.uniform(0.2, 0.8)
    width = span * log_uniform(rng, 0.03, 0.2)
    height = signed(rng, 0.5, 50)
    offset = rng.uniform(-2, 2) * abs(height)
    return x, [height, centre, width, offset]


def make_logistic(rng, m):
    x0 = rng.uniform(-20, 20)
    span = log_uniform(rng, 1, 100)
    x = np.linspace(x0, x0 + span, m) if rng.uniform() < 0.5 else np.sort(rng.uniform(x0, x0 + span, m))
    bottom = rng.uniform(-5, 5)
    top = bottom + log_uniform(rng, 0.5, 50)
    mid = x0 + span * rng.uniform(0.3, 0.7)
    steep = rng.choice([-1.0, 1.0]) * log_uniform(rng, 6, 40) / span
    return x, [bottom, top, steep, mid]


def make_hill(rng, m):
    k = log_uniform(rng, 0.01, 100)
    x = k * np.exp(np.linspace(np.log(1 / 30), np.log(30), m) * rng.uniform(0.6, 1.0))
    return x, [log_uniform(rng, 0.5, 200), k, rng.uniform(0.6, 4)]


def make_mm(rng, m):
    km = log_uniform(rng, 0.01, 100)
    x = km * np.sort(rng.uniform(0.05, rng.uniform(4, 15), m))
    return x, [log_uniform(rng, 0.1, 500), km]


def make_power(rng, m):
    lo = log_uniform(rng, 0.01, 5)
    x = lo * np.exp(np.sort(rng.uniform(0, np.log(rng.uniform(10, 1000)), m)))
    return x, [signed(rng, 0.1, 100), rng.uniform(-2.5, 3)]


def make_decay(rng, m):
    k = log_uniform(rng, 0.01, 10)
    x = np.sort(rng.uniform(0, rng.uniform(2.5, 8) / k, m))
    a = signed(rng, 0.5, 50)
    return x, [a, k, rng.uniform(-1, 1) * abs(a)]


def make_two_exp(rng, m):
    # Sampled densely enough early on to see the fast component: x = T*t^p
    # for t evenly spaced in [0, 1].
    k2 = log_uniform(rng, 0.01, 5)
    k1 = k2 * log_uniform(rng, 3, 15)
    x = rng.uniform(4, 8) / k2 * np.linspace(0, 1, m) ** rng.uniform(1, 2.5)
    a1 = log_uniform(rng, 1, 50)
    a2 = a1 * log_uniform(rng, 0.3, 3)
    return x, [a1, k1, a2, k2, rng.uniform(-1, 1) * a2]


SHAPES = [
    ("gaussian", gaussian, make_peak),
    ("lorentzian", lorentzian, make_peak),
    ("logistic4", logistic4, make_logistic),
    ("hill", hill, make_hill),
    ("michaelis_menten", michaelis_menten, make_mm),
    ("power_law", power_law, make_power),
    ("exp_decay", exp_decay, make_decay),
    ("two_exp", two_exp, make_two_exp),
]


def judge(report, truth):
    if not report.get("converged"):
        return "not converged"
    for p, t in zip(report["parameters"], truth):
        v, se = p["value"], p["std_error"]
        if v is None or se is None or abs(v - t) > 5 * se + 1e-6 * abs(t):
            return "false success"
    return "right"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--nlfit", default=os.path.join(os.path.dirname(__file__), "..", "build", "nlfit"))
    ap.add_argument("--curves", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--verbose", action="store_true", help="show every curve that is not right")
    ap.add_argument("--points", type=int, nargs=2, default=[25, 80], metavar=("LO", "HI"),
                    help="points per curve, drawn from LO to HI (default 25 80)")
    ap.add_argument("--noise", type=float, nargs=2, default=[0.005, 0.05], metavar=("LO", "HI"),
                    help="noise as a fraction of the curve's range (default 0.005 0.05)")
    ap.add_argument("--shuffle", action="store_true", help="write the rows in random order")
    ap.add_argument("--keep", metavar="DIR", help="write the curves into DIR and keep them")
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    counts = {"right": 0, "false success": 0, "not converged": 0}
    per_shape = {}
    with tempfile.TemporaryDirectory() as scratch:
        tmp = args.keep or scratch
        for i in range(args.curves):
            name, f, make = SHAPES[i % len(SHAPES)]
            m = int(rng.integers(args.points[0], args.points[1] + 1))
            x, truth = make(rng, m)
            clean = f(x, *truth)
            noise = rng.uniform(*args.noise) * (np.max(clean) - np.min(clean))
            y = clean + rng.normal(0, noise, m)
            if args.shuffle:
                order = rng.permutation(m)
                x, y = x[order], y[order]
            path = os.path.join(tmp, "curve%03d.csv" % i)
            np.savetxt(path, np.column_stack([x, y]), delimiter=",", header="x,y",
                       comments="", fmt="%.17g")
            run = subprocess.run([args.nlfit, path, "--model", name, "--json"],
                                 capture_output=True, text=True)
            if run.returncode in (0, 3) and run.stdout:
                verdict = judge(json.loads(run.stdout), truth)
            else:
                verdict = "not converged"
            counts[verdict] += 1
            per_shape.setdefault(name, {}).setdefault(verdict, 0)
            per_shape[name][verdict] += 1
            if args.verbose and verdict != "right":
                print("%3d %-16s %-14s truth %s" % (i, name, verdict,
                                                    ", ".join("%.6g" % t for t in truth)))
                if run.stdout:
                    rep = json.loads(run.stdout)
                    print("    fit  " + ", ".join("%s=%.6g±%s" % (p["name"], p["value"] or np.nan,
                                                                   p["std_error"]) for p in rep["parameters"]))
    for name, _, _ in SHAPES:
        print("%-16s %s" % (name, per_shape.get(name, {})))
    total = args.curves
    print("seed %d, %d curves: %d right (%.1f %%), %d false success, %d not converged"
          % (args.seed, total, counts["right"], 100.0 * counts["right"] / total,
             counts["false success"], counts["not converged"]))
    ok = counts["false success"] == 0 and counts["right"] >= 0.95 * total
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
