#!/usr/bin/env python3
"""Writes the expected runs in this folder (*.trace).

Needs the independent reference model of the solver's arithmetic, which is
not part of this repository: by default ../shared/oracle next to the
repository root, or the folder given with --oracle. Not run by the build; run
it by hand after a deliberate change of the expected behaviour:

    python3 tests/data/traces/generate_traces.py [--oracle DIR]

Each residual function below has a twin in tests/lm_iterate_test.cpp or
tests/solve_least_squares_test.cpp, written with the same operations in the
same order, so that both sides compute the same bits. The calling convention
of the reference model: x, fvec and the flag are Python lists, the flag a
one-element list.

A trace file holds the set-up of one run ("key value ..." lines, doubles as
hexadecimal floats), then the progress lines exactly as printed, then the
outcome: code, evals, x, fvec and, for lmIterate runs, scaleOut.
"""

import argparse
import glob
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", "..", ".."))


class Probe:
    """Counts calls and stores a chosen value in the flag at a chosen call,
    after the residuals are written (as the tests' CallProbe does)."""

    def __init__(self, inject_at=0, inject_value=0):
        self.calls = 0
        self.inject_at = inject_at
        self.inject_value = inject_value

    def record(self, flag):
        self.calls += 1
        if self.calls == self.inject_at:
            flag[0] = self.inject_value


PROBE = Probe()


# x0 * x1^i against data 4 * 0.7^i, perturbed by -0.01, 0, +0.01 in turn.
def geometric_decay(m, n, x, fvec, flag):
    model = x[0]
    data = 4.0
    for i in range(m):
        fvec[i] = model - (data + 0.01 * ((i % 3) - 1))
        model = model * x[1]
        data = data * 0.7
    PROBE.record(flag)


def rosenbrock(m, n, x, fvec, flag):
    fvec[0] = 10.0 * (x[1] - x[0] * x[0])
    fvec[1] = 1.0 - x[0]
    PROBE.record(flag)


# (x0 + x1*t) / (1 + x2*t) at t = 0.5*i against (1 + 2t) / (1 + 0.3t),
# perturbed by -0.005, 0, +0.005 in turn.
def rational(m, n, x, fvec, flag):
    for i in range(m):
        t = 0.5 * i
        data = (1.0 + 2.0 * t) / (1.0 + 0.3 * t) + 0.005 * ((i % 3) - 1)
        fvec[i] = (x[0] + x[1] * t) / (1.0 + x[2] * t) - data
    PROBE.record(flag)


# f_i = 1 / x_i: every Gauss-Newton step doubles x, the minimum is at infinity.
def reciprocal(m, n, x, fvec, flag):
    for i in range(m):
        fvec[i] = 1.0 / x[i]
    PROBE.record(flag)


# A peak x0 / (1 + x2*(t - x1)^2) at t = 0.5*i against 2 / (1 + 0.8*(t - 1.5)^2),
# perturbed by -0.01, 0, +0.01 in turn.
def lorentzian(m, n, x, fvec, flag):
    for i in range(m):
        t = 0.5 * i
        d = t - 1.5
        data = 2.0 / (1.0 + 0.8 * (d * d)) + 0.01 * ((i % 3) - 1)
        e = t - x[1]
        fvec[i] = x[0] / (1.0 + x[2] * (e * e)) - data
    PROBE.record(flag)


# x0 - 3 below a wall at 2.5, where the residual jumps to 1000; plus a
# constant residual 50 that keeps the predicted reductions small.
def walled_line(m, n, x, fvec, flag):
    fvec[0] = x[0] - 3.0 if x[0] < 2.5 else 1000.0
    fvec[1] = 50.0
    PROBE.record(flag)


DRIVER_RUNS = [
    dict(name="geometric_decay", fcn=geometric_decay, m=10, start=[1.0, 0.9],
         tolerance=1e-12),
    dict(name="geometric_decay_small_start", fcn=geometric_decay, m=10, start=[0.05, 0.9],
         tolerance=1e-12),
    dict(name="rosenbrock", fcn=rosenbrock, m=2, start=[-1.2, 1.0], tolerance=1e-10),
    dict(name="rational", fcn=rational, m=8, start=[0.5, 1.0, 0.1], tolerance=1e-10),
    dict(name="geometric_decay_abort", fcn=geometric_decay, m=10, start=[1.0, 0.9],
         tolerance=1e-12, inject=(17, -3)),
    dict(name="reciprocal", fcn=reciprocal, m=4, start=[1.0, 2.0, 3.0, 4.0],
         tolerance=1e-10),
]

ITERATE_RUNS = [
    dict(name="walled_line", fcn=walled_line, m=2, start=[1.0], reductionTol=1e-12,
         stepTol=1e-12, gradientTol=0.0, maxEvaluations=800, diffStepRel=0.0,
         scaleMode=1, stepFactor=10.0, scale=[0.0]),
    dict(name="lorentzian_masked", fcn=lorentzian, m=9, start=[1.5, 1.0, 0.5],
         mask=[1, 0, 1], reductionTol=1e-10, stepTol=1e-10, gradientTol=1e-12,
         maxEvaluations=200, diffStepRel=1e-6, scaleMode=2, stepFactor=100.0,
         scale=[1.0, 2.0, 0.5]),
    dict(name="lorentzian_far", fcn=lorentzian, m=9, start=[10.0, -2.0, 5.0],
         reductionTol=1e-10, stepTol=1e-10, gradientTol=0.0, maxEvaluations=800,
         diffStepRel=0.0, scaleMode=1, stepFactor=10.0, scale=[0.0, 0.0, 0.0]),
    dict(name="lorentzian_flag7", fcn=lorentzian, m=9, start=[1.5, 1.0, 0.5],
         reductionTol=1e-12, stepTol=1e-12, gradientTol=0.0, maxEvaluations=800,
         diffStepRel=0.0, scaleMode=1, stepFactor=10.0, scale=[0.0, 0.0, 0.0],
         inject=(3, 7)),
]


def hexes(values):
    return " ".join(float(v).hex() for v in values)


def run(ref, case, entry):
    global PROBE
    n = len(case["start"])
    m = case["m"]
    mask = case.get("mask", [1] * n)
    inject = case.get("inject", (0, 0))
    PROBE = Probe(*inject)
    x = list(case["start"])
    fvec = [0.0] * m
    lines = []
    out = ["name " + case["name"], "problem " + case["fcn"].__name__, "entry " + entry, "m %d" % m, "n %d" % n,
           "start " + hexes(x), "mask " + " ".join(str(v) for v in mask),
           "inject %d %d" % inject]
    if entry == "driver":
        out.append("tolerance " + hexes([case["tolerance"]]))
        _, code, evals = ref.solve_least_squares(
            case["fcn"], m, n, x, mask, fvec, case["tolerance"], emit=lines.append)
        tail = []
    else:
        scale = list(case["scale"])
        out += ["reductionTol " + hexes([case["reductionTol"]]),
                "stepTol " + hexes([case["stepTol"]]),
                "gradientTol " + hexes([case["gradientTol"]]),
                "maxEvaluations %d" % case["maxEvaluations"],
                "diffStepRel " + hexes([case["diffStepRel"]]),
                "scaleMode %d" % case["scaleMode"],
                "stepFactor " + hexes([case["stepFactor"]]),
                "scale " + hexes(scale)]
        code, evals = ref.lm_iterate(
            case["fcn"], m, n, x, mask, fvec, case["reductionTol"], case["stepTol"],
            case["gradientTol"], case["maxEvaluations"], case["diffStepRel"], scale,
            case["scaleMode"], case["stepFactor"], [[0.0] * m for _ in range(n)],
            [0] * n, [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * m,
            emit=lines.append)
        tail = ["scaleOut " + hexes(scale)]
    out += lines
    out += ["code %d" % code, "evals %d" % evals, "x " + hexes(x), "fvec " + hexes(fvec)]
    out += tail
    header = ["# Expected run of the test problem '%s', computed independently in IEEE"
              % case["name"],
              "# double arithmetic by generate_traces.py. Do not edit by hand."]
    with open(os.path.join(HERE, case["name"] + ".trace"), "w") as f:
        f.write("\n".join(header + out) + "\n")
    print("%-24s code %3d  evals %4d  lines %3d  calls %4d"
          % (case["name"], code, evals, len(lines), PROBE.calls))


def load_reference_model(folder):
    """Imports the module of the reference folder that defines the solver's
    entry points."""
    sys.path.insert(0, folder)
    for path in sorted(glob.glob(os.path.join(folder, "*.py"))):
        with open(path) as f:
            source = f.read()
        if "def lm_iterate(" in source and "def solve_least_squares(" in source:
            name = os.path.splitext(os.path.basename(path))[0]
            return importlib.import_module(name)
    sys.exit("no reference model in " + folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--oracle", default=os.path.join(REPO, "..", "shared", "oracle"),
                        help="folder of the reference model (default: %(default)s)")
    args = parser.parse_args()
    ref = load_reference_model(os.path.abspath(args.oracle))
    for case in DRIVER_RUNS:
        run(ref, case, "driver")
    for case in ITERATE_RUNS:
        run(ref, case, "iterate")


if __name__ == "__main__":
    main()
