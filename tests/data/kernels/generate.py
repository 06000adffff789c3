#!/usr/bin/env python3
"""Writes expected_kernels.h: random inputs for the four solver kernels and
their outputs, computed independently in IEEE double arithmetic.

Needs the independent reference model at ../shared/oracle (beside the
repository; another place can be given with --oracle). It is not run by the
build: run it by hand and commit the header it writes.

    python3 tests/data/kernels/generate.py [--oracle PATH]
"""
import argparse
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", "..", ".."))


def hexlist(values):
    return "{" + ", ".join(float(v).hex() for v in values) + "}"


def intlist(values):
    return "{" + ", ".join(str(int(v)) for v in values) + "}"


def flat(columns):
    return [v for col in columns for v in col]


class Header:
    def __init__(self):
        self.lines = []

    def array(self, name, values, kind="double"):
        text = hexlist(values) if kind == "double" else intlist(values)
        self.lines.append(f"inline constexpr {kind} {name}[] = {text};")
        return name

    def cases(self, type_name, name, rows):
        self.lines.append(f"inline constexpr {type_name} {name}[] = {{")
        for row in rows:
            self.lines.append("    {" + ", ".join(row) + "},")
        self.lines.append("};")


def jacobian_residual(t, y):
    # Same operation order as the residual function in the C++ test.
    def fcn(m, n, x, fvec, eval_flag):
        for i in range(m):
            fvec[i] = (x[0] + x[1] * t[i]) / (1.0 + x[2] * t[i] + x[3] * t[i] * t[i]) - y[i]
    return fcn


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--oracle", default=os.path.join(REPO, "..", "shared", "oracle"))
    args = parser.parse_args()
    sys.path.insert(0, os.path.abspath(args.oracle))
    import lmspec  # the independent reference model

    rng = random.Random(20240611)
    out = Header()

    # Norms: components of like size, so that a reordered sum differs in the
    # last bits, and components spread over six decades.
    def spread():
        return rng.uniform(-1, 1) * 10.0 ** rng.uniform(-3, 3)

    rows = []
    reordered_differs = False
    for k, (n, draw) in enumerate([(1, spread), (2, spread), (17, spread),
                                   (30, lambda: rng.uniform(-1, 1)),
                                   (100, lambda: rng.uniform(-1, 1))]):
        x = [draw() for _ in range(n)]
        norm = lmspec.euclid_norm(n, x)
        backwards = 0.0
        for v in reversed(x):
            backwards += v * v
        reordered_differs |= backwards ** 0.5 != norm
        rows.append([str(n), out.array(f"norm{k}_x", x), float(norm).hex()])
    assert reordered_differs, "no case tells the summation order"
    out.cases("EuclidNormCase", "kEuclidNormCases", rows)

    m = 12
    matrix = [[spread() for _ in range(m)] for _ in range(3)]
    name = out.array("tail_matrix", flat(matrix))
    rows = []
    for column, first in [(1, 0), (1, 5), (1, 11), (2, 3), (0, 1)]:
        value = lmspec.column_tail_norm(m, column, first, matrix)
        rows.append([str(m), "3", str(column), str(first), name, float(value).hex()])
    out.cases("TailNormCase", "kTailNormCases", rows)

    # Forward differences of a rational residual in four parameters.
    rows = []
    m, n = 8, 4
    t = [0.1 + 0.37 * i for i in range(m)]
    y = [rng.uniform(-1, 1) for _ in range(m)]
    starts = [([0.0, -2.5, 0.3, 1.7e-3], 0.0),
              ([1.2, -0.4, 0.0, -3.1], 1e-6),
              ([rng.uniform(-2, 2) for _ in range(n)], 3e-10)]
    fcn = jacobian_residual(t, y)
    out.array("jac_t", t)
    out.array("jac_y", y)
    for k, (x, diff_step_rel) in enumerate(starts):
        fvec = [0.0] * m
        fcn(m, n, x, fvec, [1])
        jac = [[0.0] * m for _ in range(n)]
        xx = list(x)
        lmspec.forward_jacobian(fcn, m, n, xx, fvec, jac, [2], diff_step_rel, [0.0] * m)
        assert xx == x
        rows.append([str(m), str(n), "jac_t", "jac_y",
                     out.array(f"jac{k}_x", x), float(diff_step_rel).hex(),
                     out.array(f"jac{k}_fvec", fvec), out.array(f"jac{k}_jacobian", flat(jac))])
    out.cases("JacobianCase", "kJacobianCases", rows)

    # Pivoted QR: plain, unpivoted, nearly dependent columns (re-measured
    # running norms), and a square matrix with a zero column.
    def random_matrix(m, n):
        return [[rng.uniform(-1, 1) for _ in range(m)] for _ in range(n)]

    nearly = random_matrix(10, 6)
    nearly[5] = [nearly[0][i] + 2.0 * nearly[1][i] + 1e-9 * rng.uniform(-1, 1) for i in range(10)]
    nearly[3] = [nearly[2][i] + 1e-11 * rng.uniform(-1, 1) for i in range(10)]
    square = random_matrix(5, 5)
    square[2] = [0.0] * 5
    rows = []
    recomputed = 0
    for k, (a, pivoting) in enumerate([(random_matrix(6, 4), 1), (random_matrix(9, 5), 0),
                                       (nearly, 1), (square, 1)]):
        m, n = len(a[0]), len(a)
        f = [list(col) for col in a]
        pivots, r_diag, norms, ref = [-7] * n, [0.0] * n, [0.0] * n, [0.0] * n
        trace = []
        lmspec.qr_pivot_factor(m, n, f, pivoting, pivots, r_diag, norms, ref,
                               trace=lambda *e: trace.append(e))
        recomputed += sum(1 for e in trace if e[4])
        rows.append([str(m), str(n), str(pivoting), out.array(f"qr{k}_a", flat(a)),
                     out.array(f"qr{k}_factored", flat(f)), out.array(f"qr{k}_rDiagonal", r_diag),
                     out.array(f"qr{k}_columnNorms", norms),
                     out.array(f"qr{k}_pivots", pivots, "int")])
    assert recomputed > 0, "no running norm was measured again"
    out.cases("QrCase", "kQrCases", rows)

    # Damped solves on triangles from the factorisation of random matrices;
    # the strict lower triangle holds the reflection vectors, as in the solver.
    rows = []
    shapes = [(3, 1, None), (5, 1, None), (7, 1, None), (6, 0, 2)]
    for k, (n, pivoting, zero_column) in enumerate(shapes):
        m = n + 3
        a = random_matrix(m, n)
        if zero_column is not None:
            a[zero_column] = [0.0] * m
        pivots, r_diag, norms, ref = [0] * n, [0.0] * n, [0.0] * n, [0.0] * n
        lmspec.qr_pivot_factor(m, n, a, pivoting, pivots, r_diag, norms, ref)
        if not pivoting:
            pivots = list(range(n))
            rng.shuffle(pivots)
        r = [[a[j][i] for i in range(n)] for j in range(n)]
        for j in range(n):
            r[j][j] = r_diag[j]
        scale = [1e-3, 1.0, 1e3][k % 3]
        d = [scale * rng.uniform(0.5, 2.0) for _ in range(n)]
        d[pivots[1]] = 0.0
        if zero_column is not None:
            # No damping up to the zero on R's diagonal: S keeps that zero.
            for j in range(zero_column + 1):
                d[pivots[j]] = 0.0
        qtr = [rng.uniform(-1, 1) for _ in range(n)]
        r_in = [list(col) for col in r]
        x, s_diag, work = [0.0] * n, [0.0] * n, [0.0] * n
        lmspec.qr_damped_solve(n, r, pivots, d, qtr, x, s_diag, work)
        if zero_column is not None:
            assert s_diag[zero_column] == 0.0 and s_diag[-1] != 0.0
        rows.append([str(n), out.array(f"solve{k}_r", flat(r_in)),
                     out.array(f"solve{k}_pivots", pivots, "int"), out.array(f"solve{k}_d", d),
                     out.array(f"solve{k}_qtResidual", qtr), out.array(f"solve{k}_rOut", flat(r)),
                     out.array(f"solve{k}_x", x), out.array(f"solve{k}_sDiagonal", s_diag),
                     out.array(f"solve{k}_work", work)])
    out.cases("DampedSolveCase", "kDampedSolveCases", rows)

    header = f"""// Generated by generate.py; do not edit. Inputs for the solver kernels and
// their expected outputs, computed independently in IEEE double arithmetic.
// Matrices are stored column by column.
#ifndef NLFIT_TESTS_DATA_KERNELS_EXPECTED_KERNELS_H
#define NLFIT_TESTS_DATA_KERNELS_EXPECTED_KERNELS_H

namespace kernel_data {{

struct EuclidNormCase {{ int n; const double* x; double norm; }};
struct TailNormCase {{ int m, columns; int column; int firstRow; const double* matrix; double norm; }};
struct JacobianCase {{
  int m, n;
  const double *t, *y, *x;
  double diffStepRel;
  const double *fvec, *jacobian;
}};
struct QrCase {{
  int m, n, usePivoting;
  const double *a, *factored, *rDiagonal, *columnNorms;
  const int* pivots;
}};
struct DampedSolveCase {{
  int n;
  const double* r;
  const int* pivots;
  const double *d, *qtResidual, *rOut, *x, *sDiagonal, *work;
}};

{chr(10).join(out.lines)}

}}  // namespace kernel_data

#endif  // NLFIT_TESTS_DATA_KERNELS_EXPECTED_KERNELS_H
"""
    with open(os.path.join(HERE, "expected_kernels.h"), "w") as fh:
        fh.write(header)
    print(f"wrote expected_kernels.h ({recomputed} re-measured running norms in the QR cases)")


if __name__ == "__main__":
    main()
