#!/usr/bin/env python3
"""Writes docs/accuracy.md from the output of nlfit-fit and of nlfit.

Runs the plug-in host nlfit-fit on every data/nist/*.dat of at most five
parameters from start 1 and start 2, reads what it prints (status, counts,
digits per parameter and of the residual sum of squares) and writes a
Markdown page with one table row per fit and a plain account of every case
that does not reach 6 digits. Then runs the nlfit command (the fitting API)
with --json on every data/nist/*.dat from both starts and adds a table of
the digits of its values and of its standard errors against NIST's
certified values and standard deviations.

The account of an unsolved case is written from the host's numbers, and its
claims are checked against them: when a fit no longer behaves as described,
or a case fails that has no account here, the script stops with exit status 1
instead of writing a page that says something untrue.

    python3 tools/accuracy_table.py [--host PATH] [--nlfit PATH] [--output PATH]
                                    [--data DIR] [--compare FILE]

Exit status: 0 on success; 1 when the host program fails or prints something
unexpected, when an account no longer fits, or when the page differs from
--compare FILE (a unified diff goes to stderr); 2 on a bad command line.
Standard library only.
"""

import argparse
import difflib
import math
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_HOST = ROOT / "build" / "examples" / "nlfit-fit"
DEFAULT_NLFIT = ROOT / "build" / "nlfit"
DEFAULT_OUTPUT = ROOT / "docs" / "accuracy.md"
DEFAULT_DATA = ROOT / "data" / "nist"
# The library's tolerance and evaluation budget, read from its sources so
# that the page follows them.
TOLERANCE_SOURCE = ROOT / "src" / "fit" / "fit.h"
BUDGET_SOURCE = ROOT / "src" / "solver" / "solver.h"

COMMAND = "python3 tools/accuracy_table.py"
BUILD_COMMAND = "cmake -S . -B build && cmake --build build -j"
SOLVED_DIGITS = 6.0
MAX_PARAMS = 5
STARTS = (1, 2)
HOST_TIMEOUT_SECONDS = 300
# Progress lines over which the MGH09 account measures how slowly it creeps.
TAIL_LINES = 50


class Failure(Exception):
    """Something that must stop the script with exit status 1."""


class Fit:
    """One run of the host program on one dataset from one start."""

    def __init__(self, dataset, start):
        self.dataset = dataset
        self.start = start
        self.fnorms = []
        self.status = None
        self.evaluations = None
        self.progress_lines = None
        self.model_calls = None
        self.params = []  # (fitted text, fitted, certified, digits)
        self.rss = None   # (fitted text, fitted, certified, digits)

    @property
    def name(self):
        return f"{self.dataset} start {self.start}"

    @property
    def min_digits(self):
        return min(p[3] for p in self.params)

    @property
    def solved(self):
        return self.min_digits >= SOLVED_DIGITS

    def fitted(self, k):
        """The fitted value of parameter b<k> (1-based)."""
        return self.params[k - 1][1]


def read_constant(path, name):
    match = re.search(rf"\b{name}\s*=\s*([-+0-9.eE]+)\s*;", path.read_text())
    if match is None:
        raise Failure(f"{path}: no constant {name}")
    return match.group(1)


def parse_number(text, where):
    try:
        value = float(text)
    except ValueError:
        raise Failure(f"{where}: '{text}' is not a number") from None
    return value


def parse_host_output(fit, text):
    """Fills fit from the host's standard output; raises Failure on anything
    that is not in the documented format."""
    where = f"nlfit-fit on {fit.name}"
    lines = text.splitlines()
    i = 0
    while i < len(lines) and lines[i].startswith("fnorm "):
        fit.fnorms.append(parse_number(lines[i][6:], where))
        i += 1

    def take(pattern, what):
        nonlocal i
        match = re.fullmatch(pattern, lines[i]) if i < len(lines) else None
        if match is None:
            found = repr(lines[i]) if i < len(lines) else "the end of the output"
            raise Failure(f"{where}: expected {what}, found {found}")
        i += 1
        return match

    number = r"(\S+)"
    fit.status = take(rf"status {number}", "the status line").group(1)
    counts = take(r"evaluations (-?\d+) progress_lines (\d+) model_calls (\d+)",
                  "the counts line")
    fit.evaluations, fit.progress_lines, fit.model_calls = (int(g) for g in counts.groups())
    value_line = rf"fitted {number} certified {number} digits {number}"
    while i < len(lines) and lines[i].startswith("b"):
        k = len(fit.params) + 1
        match = take(rf"b{k} {value_line}", f"the line of b{k}")
        fit.params.append((match.group(1),) + tuple(
            parse_number(g, where) for g in match.groups()))
    match = take(rf"rss {value_line}", "the rss line")
    fit.rss = (match.group(1),) + tuple(parse_number(g, where) for g in match.groups())
    if i != len(lines):
        raise Failure(f"{where}: unexpected line {lines[i]!r}")
    if not 1 <= len(fit.params) <= MAX_PARAMS:
        raise Failure(f"{where}: {len(fit.params)} parameters")
    if fit.progress_lines != len(fit.fnorms):
        raise Failure(f"{where}: progress_lines {fit.progress_lines} "
                      f"but {len(fit.fnorms)} fnorm lines")
    if fit.status != "0":
        raise Failure(f"{where}: status {fit.status}")
    if not all(math.isfinite(p[1]) for p in fit.params):
        raise Failure(f"{where}: a fitted parameter is not finite")


def run_host(host, path, start):
    fit = Fit(path.stem, start)
    command = [str(host), "--start", str(start), str(path)]
    try:
        done = subprocess.run(command, capture_output=True, text=True,
                              timeout=HOST_TIMEOUT_SECONDS, check=False)
    except (OSError, subprocess.SubprocessError) as error:
        raise Failure(f"cannot run {host}: {error}") from None
    if done.returncode != 0:
        message = done.stderr.strip() or "no message"
        raise Failure(f"nlfit-fit on {fit.name} exited with status "
                      f"{done.returncode}: {message}")
    parse_host_output(fit, done.stdout)
    return fit


class Dataset:
    """What an account needs from a NIST file: starts and observations."""

    def __init__(self, path):
        text = path.read_text().splitlines()
        self.starts = {1: [], 2: []}
        for line in text:
            fields = line.split()
            if len(fields) == 6 and re.fullmatch(r"b\d", fields[0]) and fields[1] == "=":
                self.starts[1].append(fields[2])
                self.starts[2].append(fields[3])
        lines = re.search(r"Data\s+\(lines\s+(\d+)\s+to\s+(\d+)\)", "\n".join(text))
        if lines is None:
            raise Failure(f"{path}: no 'Data (lines A to B)'")
        first, last = int(lines.group(1)), int(lines.group(2))
        self.x, self.y = [], []
        for line in text[first - 1:last]:
            y, x = line.split()
            self.x.append(float(x))
            self.y.append(float(y))


def require(condition, fit, claim):
    if not condition:
        raise Failure(f"the account of {fit.name} no longer fits the host output: {claim}; "
                      f"update {Path(__file__).name}")


def start_text(values):
    return ", ".join(values)


def boxbod_start1(fit, other, data, budget):
    b1, b2 = fit.fitted(1), fit.fitted(2)
    mean = sum(data.y) / len(data.y)
    spread = sum((y - mean) ** 2 for y in data.y)
    plateau = math.exp(-b2 * min(data.x))
    require(abs(b1 - mean) <= 1e-6 * mean, fit, "b1 is the mean of y")
    require(plateau < 1e-6, fit, "exp(-b2 x) vanishes for every x")
    require(abs(fit.rss[1] - spread) <= 1e-6 * spread, fit,
            "the sum of squares is that of the mean")
    require(fit.evaluations < budget, fit, "the fit stops before the budget")
    return (
        f"**BoxBOD from start 1** (b = {start_text(data.starts[1])}). The model is "
        f"y = b1·(1 − exp(−b2·x)), observed at x = {min(data.x):g} to {max(data.x):g}. "
        f"The fit drives the rate b2 up to {b2:.4g}, where exp(−b2·x) is below "
        f"{plateau:.1e} for every observation: the model is flat, the constant b1, and b2 "
        f"no longer changes the residuals. The best constant is the mean of y, "
        f"{mean:g}; the fit returns b1 = {fit.params[0][0]} and a residual sum of squares "
        f"of {fit.rss[0]}, that of the mean ({spread:g}), against the certified "
        f"{fit.rss[2]:.11g}. On this plateau no step changes the sum of squares by more "
        f"than rounding, and the solver stops at machine precision after "
        f"{fit.evaluations} evaluations, well inside its budget of {budget}. "
        f"Status 0 only says that the fit ran; the digits say that it did not find the "
        f"minimum. From start 2 (b = {start_text(data.starts[2])}) the same fit reaches "
        f"{other.min_digits:.2f} digits on every parameter."
    )


def mgh09_start1(fit, other, data, budget):
    b1, b2, b3, b4 = (fit.fitted(k) for k in range(1, 5))
    x_max = max(data.x)
    tail = fit.fnorms[-TAIL_LINES:]
    creep = (tail[0] - tail[-1]) / tail[0]
    ratio = fit.rss[1] / fit.rss[2]
    require(fit.evaluations >= budget, fit, "the fit ends at the evaluation budget")
    require(b2 >= 100 * x_max, fit, "b2 is far larger than every x")
    require(len(fit.fnorms) > 2 * TAIL_LINES and 0 <= creep < 0.001, fit,
            f"the residual norm falls by less than 0.1 % over the last {TAIL_LINES} "
            f"progress lines")
    require(ratio > 1.5, fit, "the sum of squares is well above the certified one")
    return (
        f"**MGH09 from start 1** (b = {start_text(data.starts[1])}). The model is "
        f"y = b1·(x² + x·b2)/(x² + x·b3 + b4), observed at x = {min(data.x):g} to "
        f"{x_max:g}. The fit ends at b1 = {b1:.3g}, b2 = {b2:.4g}, b3 = {b3:.3g}, "
        f"b4 = {b4:.3g}. With b2 that large, x² + x·b2 differs from x·b2 by at most "
        f"{100 * x_max / b2:.2f} %, so the model is nearly "
        f"(b1·b2)·x/(x² + x·b3 + b4) and depends on b1 and b2 almost only through their "
        f"product ({b1 * b2:.3g} here). That is a long, nearly flat valley: b1 and b2 "
        f"can move along it together while the sum of squares hardly changes. The "
        f"parameters wander along it until the evaluation budget of {budget} ends the "
        f"fit (the count, checked after each trial step, stands at {fit.evaluations}); "
        f"over the last {len(tail)} of its {fit.progress_lines} progress lines the "
        f"residual norm falls by only {100 * creep:.2f} %. "
        f"The residual sum of squares left, {fit.rss[1]:.3g}, is {ratio:.1f} times the "
        f"certified {fit.rss[2]:.5g}. Status 0 only says that the fit ran; the digits say "
        f"that it did not find the minimum. From start 2 "
        f"(b = {start_text(data.starts[2])}) the same fit reaches "
        f"{other.min_digits:.2f} digits on every parameter."
    )


# The cases that do not reach SOLVED_DIGITS, each with its account.
ACCOUNTS = {
    ("BoxBOD", 1): boxbod_start1,
    ("MGH09", 1): mgh09_start1,
}


def digits_cell(value):
    return f"{value:.2f}"


def render(fits, data_sets, tolerance, budget):
    out = []
    add = out.append
    add("# Accuracy on the NIST StRD nonlinear regression problems")
    add("")
    add("<!-- Generated by tools/accuracy_table.py from the output of nlfit-fit; "
        "do not edit. -->")
    add("")
    add(f"The host program `nlfit-fit` fits every NIST StRD dataset shipped in "
        f"`data/nist/` that `findLS` can take, those of at most {MAX_PARAMS} parameters "
        f"({len(data_sets)} datasets), from both of its starting points, "
        f"start 1 (far from the solution) and start 2 (near it), through `findLS`. "
        f"This page is its output, gathered by `tools/accuracy_table.py`. To regenerate "
        f"it, from the project root:")
    add("")
    add(f"    {BUILD_COMMAND} && {COMMAND}")
    add("")
    add("The script takes `--host PATH` (default `build/examples/nlfit-fit`), "
        "`--nlfit PATH` (default `build/nlfit`) and "
        "`--output PATH` (default `docs/accuracy.md`). The test "
        "`AccuracyDoc.RegeneratesTheCommittedPage` regenerates the page into the build "
        "directory and fails if it differs from this file.")
    add("")
    add("## Settings and measures")
    add("")
    add(f"- Tolerance: {tolerance}, the library's fixed tolerance on the relative "
        f"reduction of the sum of squares and on the relative step.")
    add(f"- Evaluation budget: {budget} evaluations of the residuals per fit.")
    add("- Digits: the log relative error of a fitted value against NIST's certified "
        "value, −log10(|fitted − certified| / |certified|), as `nlfit-fit` prints it "
        "with two decimals; 15 when the two are equal, 0 when the error is larger than "
        "the value or not finite, and never more than 15. The certified values have 11 "
        "significant digits, so about 11 is the most a fit can show.")
    add("- Status: the result of `findLS` (0 means the fit ran). Progress lines: the "
        "`fnorm` lines the fit printed, one per outer iteration. Evaluations: as the "
        "solver counts them (the first, one per parameter for each Jacobian, one per "
        "trial step).")
    add("- b1 … b5: the digits of each parameter (– where the model has fewer). Min: "
        "the least of them. RSS: the digits of the residual sum of squares.")
    add("")
    add("## Results")
    add("")
    params = [f"b{k}" for k in range(1, MAX_PARAMS + 1)]
    header = ["Dataset", "Start", "Status", "Progress lines", "Evaluations"] + params + [
        "Min", "RSS"]
    add("| " + " | ".join(header) + " |")
    add("|" + "|".join([":---"] + ["---:"] * (len(header) - 1)) + "|")
    for fit in fits:
        digits = [digits_cell(p[3]) for p in fit.params]
        digits += ["–"] * (MAX_PARAMS - len(digits))
        row = [fit.dataset, str(fit.start), fit.status, str(fit.progress_lines),
               str(fit.evaluations)] + digits + [digits_cell(fit.min_digits),
                                                  digits_cell(fit.rss[3])]
        add("| " + " | ".join(row) + " |")
    add("")
    solved = [fit for fit in fits if fit.solved]
    unsolved = [fit for fit in fits if not fit.solved]
    add(f"{len(solved)} of the {len(fits)} fits reach {SOLVED_DIGITS:.0f} digits on every "
        f"parameter. Every fit returns status 0 with finite parameters.")
    add("")
    add("## Cases that are not solved")
    add("")
    if unsolved:
        add(f"These fits stop far from the certified values, with fewer than "
            f"{SOLVED_DIGITS:.0f} digits on some parameter:")
    else:
        add(f"None: every fit reaches {SOLVED_DIGITS:.0f} digits on every parameter.")
    add("")
    by_case = {(fit.dataset, fit.start): fit for fit in fits}
    for fit in unsolved:
        other = by_case[(fit.dataset, 3 - fit.start)]
        account = ACCOUNTS[(fit.dataset, fit.start)]
        add(account(fit, other, data_sets[fit.dataset], budget))
        add("")
    return "\n".join(out)


def min_digits(report, key):
    return min(p[key] for p in report["parameters"])


def api_notes(reports, nlfit, data_dir):
    """The notes under the fitting API's table, each claim checked against
    the command's reports (and, for ENSO, two more runs); a claim that no
    longer holds stops the script."""
    by_case = {case: r for case, r in reports}
    out = ["Notes:", ""]
    add = out.append

    def check(condition, claim):
        if not condition:
            raise Failure(f"note on the fitting API no longer holds: {claim}")

    on_tolerance = [r for r in by_case.values() if r["status"].startswith("converged_")]
    add(f"- **The last step.** A fit with exact derivatives and statistics that stops on "
        f"its tolerances (status `converged_…`, here {len(on_tolerance)} of {len(by_case)}) "
        "takes the Gauss–Newton step that its statistics compute where the solver stopped, "
        "once, and keeps it when it lowers the sum of squares (`docs/api.md`, *The "
        "Gauss–Newton step at the result*): one more evaluation, and one more Jacobian when "
        "kept. It gains the last digits that a stop on the relative reduction leaves.")
    thurber = [by_case.get(("Thurber", start)) for start in STARTS]
    if all(thurber):
        errors = [min_digits(r, "std_error_digits") for r in thurber]
        check(all(e >= SOLVED_DIGITS for e in errors),
              "Thurber's standard errors reach 6 digits")
        add(f"  Thurber's standard errors reach {errors[0]:.2f} and {errors[1]:.2f} digits "
            "from the two starts.")
    enso = [by_case.get(("ENSO", start)) for start in STARTS]
    if all(enso):
        values = [min_digits(r, "value_digits") for r in enso]
        check(all(v < SOLVED_DIGITS for v in values), "ENSO's values fall short of 6 digits")
        tight = [run_nlfit(nlfit, data_dir / "ENSO.dat", start, "--tolerance", "1e-14")
                 for start in STARTS]
        tight_values = [min_digits(r, "value_digits") for r in tight]
        tight_errors = [min_digits(r, "std_error_digits") for r in tight]
        check(all(v >= SOLVED_DIGITS for v in tight_values),
              "ENSO's values reach 6 digits with --tolerance 1e-14")
        add(f"- **ENSO** stops (relative reduction within the default 1e-12) with its values "
            f"right to {values[0]:.2f} and {values[1]:.2f} digits. With `--tolerance 1e-14` "
            f"they reach {tight_values[0]:.2f} and {tight_values[1]:.2f} digits, and its "
            f"standard errors {tight_errors[0]:.2f} and {tight_errors[1]:.2f}.")
    hard = [("BoxBOD", 1), ("MGH09", 1)]
    if all(case in by_case for case in hard):
        numeric = [run_nlfit(nlfit, data_dir / f"{name}.dat", start, "--derivatives", "numeric")
                   for name, start in hard]
        check(all(by_case[case]["converged"] and
                  min_digits(by_case[case], "value_digits") >= SOLVED_DIGITS for case in hard),
              "BoxBOD and MGH09 from start 1 are solved with exact derivatives")
        check(all(not r["converged"] and min_digits(r, "value_digits") < SOLVED_DIGITS
                  for r in numeric),
              "BoxBOD and MGH09 from start 1 are not solved with --derivatives numeric")
        add("- **BoxBOD and MGH09 from start 1**, not solved by `findLS` (see above), are "
            "solved here with exact derivatives; with `--derivatives numeric` the fitting API "
            "ends where `findLS` does and reports them as not converged.")
    return "\n".join(out) + "\n"


def run_nlfit(nlfit, path, start, *extra):
    """The nlfit command's JSON report of one NIST file from one start."""
    import json
    try:
        done = subprocess.run([str(nlfit), str(path), "--nist-start", str(start), "--json",
                               *extra],
                              capture_output=True, text=True, timeout=HOST_TIMEOUT_SECONDS)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise Failure(f"{nlfit}: {error}")
    if done.returncode not in (0, 3):
        raise Failure(f"{nlfit} {path.name} start {start}: exit status {done.returncode}: "
                      f"{done.stderr.strip()}")
    return json.loads(done.stdout)


def render_api(reports, tolerance):
    """The section of the fitting API's standard errors."""
    out = []
    add = out.append
    add("## Standard errors through the fitting API")
    add("")
    add("The `nlfit` command (`build/nlfit`, the fitting API with its statistics; "
        "`--nlfit PATH` names another) fits every shipped dataset, the four with six to "
        "nine parameters included, from both starts with the default options "
        f"(tolerance {tolerance}, the catalogue model's exact derivatives) and reports "
        "standard errors from the exact Jacobian at the fitted point. Evaluations: "
        "residual evaluations of the fit plus those of the statistics (none with exact "
        "derivatives); Jacobians: calls of the exact Jacobian, fit and statistics. The "
        "table gives the least digits of agreement of the values with NIST's certified "
        "values (Values) and of the standard errors with the certified standard "
        "deviations (Std errors), and each parameter's standard-error digits.")
    add("")
    header = ["Dataset", "Start", "Parameters", "Status", "Converged", "Iterations",
              "Evaluations", "Jacobians", "Values", "Std errors", "Std-error digits b1, b2, …"]
    add("| " + " | ".join(header) + " |")
    add("|" + "|".join([":---", "---:", "---:", ":---", ":---"] + ["---:"] * 5 + [":---"])
        + "|")
    solved_low = []
    for (name, start), r in reports:
        ps = r["parameters"]
        values = min(p["value_digits"] for p in ps)
        errors = [p["std_error_digits"] for p in ps]
        evaluations = f"{r['evaluations']} + {r['statistics_evaluations']}"
        row = [name, str(start), str(len(ps)), r["status"], "yes" if r["converged"] else "no",
               str(r["iterations"]), evaluations, str(r.get("jacobian_evaluations", 0)),
               digits_cell(values),
               digits_cell(min(errors)), ", ".join(f"{e:.2f}" for e in errors)]
        add("| " + " | ".join(row) + " |")
        if values >= SOLVED_DIGITS and min(errors) < SOLVED_DIGITS:
            solved_low.append(f"{name} from start {start} ({min(errors):.3f})")
    add("")
    solved = [r for _, r in reports
              if min(p["value_digits"] for p in r["parameters"]) >= SOLVED_DIGITS]
    met = len(solved) - len(solved_low)
    add(f"{len(solved)} of the {len(reports)} fits reach {SOLVED_DIGITS:.0f} digits on every "
        f"value; {met} of those reach {SOLVED_DIGITS:.0f} digits on every standard error"
        + (f"; below it: {'; '.join(solved_low)}." if solved_low else "."))
    return "\n".join(out)


def generate(host, data_dir, nlfit=None):
    # Datasets of more than five parameters are beyond findLS's model.
    paths = [p for p in sorted(data_dir.glob("*.dat"), key=lambda p: p.name)
             if len(Dataset(p).starts[1]) <= 5]
    if not paths:
        raise Failure(f"no .dat files in {data_dir}")
    fits = [run_host(host, path, start) for path in paths for start in STARTS]
    for fit in fits:
        explained = (fit.dataset, fit.start) in ACCOUNTS
        if not fit.solved and not explained:
            raise Failure(f"{fit.name} reaches only {fit.min_digits:.2f} digits and has no "
                          f"account in {Path(__file__).name}")
        if fit.solved and explained:
            raise Failure(f"{fit.name} now reaches {fit.min_digits:.2f} digits; remove its "
                          f"account from {Path(__file__).name}")
    data_sets = {path.stem: Dataset(path) for path in paths}
    tolerance = read_constant(TOLERANCE_SOURCE, "kFitTolerance")
    budget = int(read_constant(BUDGET_SOURCE, "kMaxEvaluations"))
    page = render(fits, data_sets, tolerance, budget)
    if nlfit is None:
        return page
    every = sorted(data_dir.glob("*.dat"), key=lambda p: p.name)
    reports = [((p.stem, start), run_nlfit(nlfit, p, start)) for p in every for start in STARTS]
    return page + "\n" + render_api(reports, tolerance) + "\n\n" + api_notes(reports, nlfit, data_dir)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", type=Path, default=DEFAULT_HOST,
                        help="the nlfit-fit program (default: build/examples/nlfit-fit)")
    parser.add_argument("--nlfit", type=Path, default=DEFAULT_NLFIT,
                        help="the nlfit command (default: build/nlfit)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="the page to write (default: docs/accuracy.md)")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA,
                        help="the folder of NIST .dat files (default: data/nist)")
    parser.add_argument("--compare", type=Path,
                        help="after writing, fail unless the page equals this file")
    args = parser.parse_args(argv)
    try:
        page = generate(args.host, args.data, args.nlfit)
        args.output.parent.mkdir(parents=True, exist_ok=True)
        args.output.write_text(page, encoding="utf-8")
        if args.compare is not None:
            committed = args.compare.read_text(encoding="utf-8")
            if committed != page:
                diff = difflib.unified_diff(
                    committed.splitlines(keepends=True), page.splitlines(keepends=True),
                    str(args.compare), str(args.output))
                sys.stderr.writelines(diff)
                raise Failure(f"{args.output} differs from {args.compare}; regenerate it "
                              f"with {COMMAND}")
    except (Failure, OSError) as error:
        print(f"accuracy_table: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
