#!/usr/bin/env python3
"""Side by side: `nlfit --json` and gnuplot's `fit` on every shipped NIST StRD
file (data/nist/*.dat), from both starting points.

For each program and fit: iterations, evaluations (gnuplot does not report
them), whether it called the fit converged, and the fewest correct digits
over the parameter values and over the standard errors against the certified
values. gnuplot runs with its defaults (FIT_LIMIT 1e-5, no iteration limit);
its `_err` variables are its asymptotic standard errors, rescaled by the
reduced chi-square like ours. The model is the formula text of nlfit's
catalogue entry, with ^ written ** and integer literals written as decimals
(gnuplot divides integers as integers).

usage: compare_gnuplot.py [--nlfit build/nlfit] [--write docs/cli.md | --check docs/cli.md]

Prints the table; --write replaces the table between the markers in the page;
--check fails unless nlfit's rows equal those of the page (they are the same
bits on every machine; gnuplot's rows depend on its version and are not
compared).
Without gnuplot the script says so and exits 0, unless CI=true, where that is
a failure. Standard library only.
"""
import argparse
import glob
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

BEGIN = "<!-- gnuplot comparison: begin (tools/compare_gnuplot.py --write docs/cli.md) -->"
END = "<!-- gnuplot comparison: end -->"


def digits(value, reference):
    """-log10 of the relative error, in [0, 15]; as nlfit_report_digits."""
    if value is None or not math.isfinite(value):
        return 0.0
    if value == reference:
        return 15.0
    error = abs(value - reference)
    d = -math.log10(error) if reference == 0 else -math.log10(error / abs(reference))
    return min(max(d, 0.0), 15.0) if math.isfinite(d) else 15.0


def read_nist(path):
    """The observations (x, y) and the certified values and deviations."""
    with open(path) as f:
        lines = f.read().splitlines()
    first = last = 0
    certified, deviations = [], []
    for line in lines:
        f = line.split()
        if not first and len(f) >= 5 and f[0] == "Data" and f[1] == "(lines":
            first, last = int(f[2]), int(f[4].rstrip(")"))
        if len(f) == 6 and re.fullmatch(r"b\d+", f[0]) and f[1] == "=":
            certified.append(float(f[4]))
            deviations.append(float(f[5]))
    points = []
    for line in lines[first - 1:last]:
        f = line.split()
        if len(f) == 2:
            points.append((float(f[1]), float(f[0])))
    return points, certified, deviations


def gnuplot_formula(formula):
    formula = formula.replace("^", "**")
    return re.sub(r"(?<![\w.])(\d+)(?![\w.])", r"\1.0", formula)


def run_nlfit(nlfit, path, start):
    p = subprocess.run([nlfit, path, "--nist-start", str(start), "--json"],
                       capture_output=True, text=True)
    if p.returncode not in (0, 3):
        raise SystemExit(f"compare_gnuplot: nlfit {path} start {start}: exit {p.returncode}: {p.stderr}")
    return json.loads(p.stdout)


def run_gnuplot(gnuplot, report, points, work):
    data = os.path.join(work, "data.txt")
    with open(data, "w") as f:
        for x, y in points:
            f.write(f"{x!r} {y!r}\n")
    names = [p["name"] for p in report["parameters"]]
    script = ["set fit quiet", "set fit errorvariables", "set fit logfile '/dev/null'"]
    script += [f"{p['name']} = {p['start']!r}" for p in report["parameters"]]
    script.append(f"f(x) = {gnuplot_formula(report['model']['formula'])}")
    script.append(f"fit f(x) '{data}' using 1:2 via {','.join(names)}")
    fields = " ".join(["%.17g %.17g"] * len(names))
    values = ", ".join(f"{n}, {n}_err" for n in names)
    script.append(f"print sprintf('%d %d {fields}', FIT_NITER, FIT_CONVERGED, {values})")
    p = subprocess.run([gnuplot], input="\n".join(script) + "\n", capture_output=True, text=True)
    lines = [l for l in (p.stdout + "\n" + p.stderr).splitlines() if re.match(r"^-?\d+ -?\d+ ", l)]
    if p.returncode != 0 or not lines:
        reason = (p.stderr.strip().splitlines() or ["no output"])[-1]
        return {"failed": reason}
    f = lines[-1].split()
    numbers = [float(v) for v in f[2:]]
    return {"iterations": int(f[0]), "converged": f[1] == "1",
            "values": numbers[0::2], "errors": numbers[1::2]}


def table(nlfit, gnuplot):
    rows = ["| Dataset | Start | Program | Iterations | Evaluations | Says converged | "
            "Min digits, values | Min digits, std errors |",
            "|---|---|---|---:|---:|---|---:|---:|"]
    files = sorted(glob.glob(os.path.join(ROOT, "data", "nist", "*.dat")))
    with tempfile.TemporaryDirectory() as work:
        for path in files:
            name = os.path.basename(path)[:-4]
            points, certified, deviations = read_nist(path)
            for start in (1, 2):
                r = run_nlfit(nlfit, path, start)
                vd = min(p["value_digits"] for p in r["parameters"])
                sd = min(p["std_error_digits"] for p in r["parameters"])
                rows.append(f"| {name} | {start} | nlfit | {r['iterations']} | {r['evaluations']} | "
                            f"{'yes' if r['converged'] else 'no'} | {vd:.1f} | {sd:.1f} |")
                g = run_gnuplot(gnuplot, r, points, work)
                if "failed" in g:
                    reason = g["failed"].replace("|", "/")
                    rows.append(f"| {name} | {start} | gnuplot | - | n/a | failed: {reason} | - | - |")
                    continue
                vd = min(digits(v, c) for v, c in zip(g["values"], certified))
                sd = min(digits(e, c) for e, c in zip(g["errors"], deviations))
                rows.append(f"| {name} | {start} | gnuplot | {g['iterations']} | n/a | "
                            f"{'yes' if g['converged'] else 'no'} | {vd:.1f} | {sd:.1f} |")
    return "\n".join(rows) + "\n"


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nlfit", default=os.path.join(ROOT, "build", "nlfit"))
    parser.add_argument("--gnuplot", default="gnuplot")
    parser.add_argument("--write", metavar="PAGE", help="replace the table in PAGE (docs/cli.md)")
    parser.add_argument("--check", metavar="PAGE", help="compare nlfit's rows with PAGE's")
    args = parser.parse_args()
    gnuplot = shutil.which(args.gnuplot)
    if gnuplot is None:
        if os.environ.get("CI") == "true":
            raise SystemExit("compare_gnuplot: gnuplot not found (install gnuplot-nox)")
        print("compare_gnuplot: gnuplot not found; skipped (install gnuplot-nox)")
        return 0
    version = subprocess.run([gnuplot, "--version"], capture_output=True, text=True).stdout.strip()
    text = table(args.nlfit, gnuplot)
    text = (f"Generated with {version}, FIT_LIMIT at its default (1e-5).\n\n" + text)
    print(text, end="")
    if args.check:
        with open(args.check) as f:
            page = f.read()
        mine = [l for l in text.splitlines() if "| nlfit |" in l]
        committed = [l for l in page.splitlines() if "| nlfit |" in l]
        if mine != committed or not mine:
            diff = "\n".join(f"  now: {a}\n  page: {b}" for a, b in zip(mine, committed) if a != b)
            raise SystemExit(f"compare_gnuplot: nlfit's rows differ from {args.check}:\n{diff}")
    if args.write:
        with open(args.write) as f:
            page = f.read()
        if BEGIN not in page or END not in page:
            raise SystemExit(f"compare_gnuplot: {args.write} lacks the table markers")
        head, rest = page.split(BEGIN, 1)
        _, tail = rest.split(END, 1)
        with open(args.write, "w") as f:
            f.write(head + BEGIN + "\n" + text + END + tail)
    return 0


if __name__ == "__main__":
    sys.exit(main())
