"""The nlfit command as a user runs it: reports of shipped NIST files against
their certified values, a formula fit of the shipped CSV, and the exit status
and the one stderr line for each kind of failure.

usage: cli_test.py NLFIT PROJECT_DIR WORK_DIR   (standard library only)
"""
import json
import os
import resource
import signal
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

NLFIT, PROJECT, WORK = sys.argv[1:4]
NIST = os.path.join(PROJECT, "data", "nist")
DECAY = os.path.join(PROJECT, "data", "examples", "decay.csv")
failures = []


def run(*args, stdin=None, **kw):
    p = subprocess.run([NLFIT, *args], capture_output=True, text=True, input=stdin, **kw)
    return p.returncode, p.stdout, p.stderr


def check(condition, what):
    if not condition:
        failures.append(what)


def write(name, text):
    path = os.path.join(WORK, name)
    with open(path, "w", newline="") as f:
        f.write(text)
    return path


# Certified values and standard deviations, within the digits documented in
# docs/cli.md: every parameter value to 6 digits and every standard error to
# 5, from both starts (Thurber: 7 parameters).
for name, start in [("Misra1a", "1"), ("Misra1a", "2"), ("Thurber", "1"), ("Thurber", "2")]:
    path = os.path.join(NIST, name + ".dat")
    rc, out, err = run(path, "--nist-start", start, "--json")
    check(rc == 0 and err == "", f"{name} start {start}: exit {rc}, stderr {err!r}")
    if rc != 0:
        continue
    report = json.loads(out)
    check(report["converged"] is True and report["model"]["name"] == name, f"{name}: {report['status']}")
    for p in report["parameters"]:
        check(p["value_digits"] >= 6, f"{name} start {start} {p['name']}: value digits {p['value_digits']}")
        check(p["std_error_digits"] >= 5, f"{name} start {start} {p['name']}: std error digits {p['std_error_digits']}")
        check(p["ci95_low"] < p["value"] < p["ci95_high"], f"{name}: {p['name']} outside its interval")
    n = len(report["parameters"])
    check(len(report["correlation"]) == n and report["correlation"][0][0] == 1.0, f"{name}: correlation")
    check(report["data"]["points"] > n and len(report["covariance"]) == n, f"{name}: points, covariance")

    rc, text, err = run(path, "--nist-start", start)
    for part in ("Model:    " + name, "Std error", "95% CI low", "Correlation:", "Certified values",
                 "Reduced chi-square", "R^2"):
        check(part in text, f"{name} text report lacks {part!r}")

# The shipped CSV by formula, unweighted and weighted by its sigma column.
for extra, weighted in [([], False), (["--columns", "x,y,sigma"], True), (["--columns", "1,2,3", "--absolute-sigma"], True)]:
    rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5,b=1,c=0", "--json", *extra)
    check(rc == 0 and err == "", f"decay {extra}: exit {rc}, {err!r}")
    if rc == 0:
        r = json.loads(out)
        truth = {"a": 4.2, "b": 0.73, "c": 0.51}
        for p in r["parameters"]:
            check(abs(p["value"] - truth[p["name"]]) < 4 * p["std_error"], f"decay {extra}: {p}")
        check(r["weighted"] is weighted and r["data"]["points"] == 33, f"decay {extra}: {r['data']}")

# Exact derivatives by default; --derivatives numeric spends evaluations instead.
counts = {}
for choice in ("exact", "numeric"):
    rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5,b=1,c=0", "--json",
                       "--derivatives", choice)
    check(rc == 0, f"--derivatives {choice}: exit {rc} {err}")
    if rc == 0:
        r = json.loads(out)
        counts[choice] = (r["jacobian_evaluations"] > 0, r["statistics_evaluations"] > 0)
check(counts == {"exact": (True, False), "numeric": (False, True)}, f"--derivatives: {counts}")

# The profile check runs by default and --no-profile-check skips it; parameters
# that enter only together are no success (exit 3), the status the solver's.
for extra, refits in (([], True), (["--no-profile-check"], False)):
    rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5,b=1,c=0", "--json", *extra)
    check(rc == 0 and (json.loads(out)["check_evaluations"] > 0) == refits, f"profile check {extra}: {rc} {err}")
rc, out, err = run(DECAY, "--model", "a*b*exp(-k*x)+c", "--start", "a=2,b=2,k=1,c=0", "--json")
r = json.loads(out) if out else {}
check(rc == 3 and not r.get("converged") and r.get("status", "").startswith("converged") and
      "hold all but one" in " ".join(w["message"] for w in r.get("warnings", [])),
      f"undetermined: exit {rc} {r.get('status')} {err}")

# The Poisson estimator reports its deviance and Pearson's sum.
counts_file = write("counts.csv", "x,y\n0,9\n1,6\n2,4\n3,2\n4,2\n5,1\n6,0\n7,1\n")
rc, out, err = run(counts_file, "--model", "exp_decay", "--start", "a=9,k=0.5,c=0.5", "--estimator", "poisson")
check(rc == 0 and "Deviance" in out and "Pearson chi-square" in out and "R^2" not in out,
      f"--estimator poisson: {rc} {out} {err}")

# --fix holds a parameter; --svg draws error bars for a sigma column.
svg = os.path.join(WORK, "decay.svg")
rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5,b=1", "--fix", "c=0.51",
                   "--columns", "x,y,sigma", "--svg", svg, "--json")
check(rc == 0, f"--fix: exit {rc} {err}")
if rc == 0:
    c = json.loads(out)["parameters"][2]
    check(c["fixed"] and c["value"] == 0.51 and c["std_error"] == 0.0, f"--fix: {c}")
    with open(svg) as f:
        picture = f.read()
    check("error-bars" in picture and "a*exp(-b*x)+c" in picture, "--svg: no error bars or formula")

# --output: one row per observation; fitted - residual = y, the weighted
# residual divided by sigma, the confidence band inside the prediction band.
# The JSON's criteria follow its log-likelihood (k = 3 parameters + scale).
table = os.path.join(WORK, "decay_fit.csv")
rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5,b=1,c=0", "--columns", "x,y,sigma",
                   "--output", table, "--svg", svg, "--log-y", "--json")
check(rc == 0, f"--output: exit {rc} {err}")
if rc == 0:
    r = json.loads(out)
    check(abs(r["aic"] - (8 - 2 * r["log_likelihood"])) < 1e-9 and r["bic"] > r["aic"], f"criteria: {r}")
    with open(table) as f:
        lines = f.read().splitlines()
    check(lines[0] == "x,y,sigma,fitted,residual,weighted_residual,confidence_low,confidence_high,"
          "prediction_low,prediction_high" and len(lines) == 34, f"--output header: {lines[:2]}")
    for row in lines[1:]:
        x, y, s, fit, res, wres, clo, chi, plo, phi = map(float, row.split(","))
        check(abs(fit - res - y) < 1e-12 and abs(wres - res / s) < 1e-12 and
              plo < clo < fit < chi < phi, f"--output row {row}")
    with open(svg) as f:
        picture = f.read()
    check("confidence-band" in picture and "/ \u03c3" in picture, "--svg: no band or normalised residuals")

# A global fit: three decays with one rate; --start applies to every file.
decays = []
for s, (a, c) in enumerate([(3.0, 0.2), (1.5, -0.4), (5.0, 1.0)]):
    rows = ["x,y"] + ["%g,%.6f" % (0.25 * i, a * 2.718281828459045 ** (-0.7 * 0.25 * i) + c +
                                   0.05 * ((i * 7919 + s * 104729) % 13 - 6) / 6)
                      for i in range(25 + 5 * s)]
    decays.append(write("decay%d.csv" % s, "\n".join(rows) + "\n"))
rc, out, err = run(*decays, "--model", "a*exp(-k*x)+c", "--shared", "k", "--start", "a=2,k=0.5,c=0",
                   "--json")
check(rc == 0 and err == "", f"global fit: exit {rc} {err}")
if rc == 0:
    p = {q["name"]: q for q in json.loads(out)["parameters"]}
    check(sorted(p) == ["a[1]", "a[2]", "a[3]", "c[1]", "c[2]", "c[3]", "k"] and
          abs(p["k"]["value"] - 0.7) < 3 * p["k"]["std_error"], f"global fit: {p}")
    sets = json.loads(out)
    check(sets["shared"] == ["k"] and [s["points"] for s in sets["sets"]] == [25, 30, 35],
          f"global JSON: {sets.get('sets')}")
rc, out, err = run(*decays, "--model", "a*exp(-k*x)+c", "--shared", "k", "--start", "a=2,k=0.5,c=0")
check(rc == 0 and "shared: k; per set ([s] below): a, c" in out, f"global report: {out}")

# Exit status 3: the fit ran but did not converge; the report still prints,
# and the picture says so with the same warnings.
svg = os.path.join(WORK, "misra.svg")
rc, out, err = run(os.path.join(NIST, "Misra1a.dat"), "--max-evaluations", "5", "--svg", svg)
check(rc == 3 and "NOT converged" in out and "Warning: the fit did not converge" in out, f"exit 3: {rc} {out}")
if os.path.exists(svg):
    with open(svg) as f:
        picture = f.read()
    check('class="not-converged"' in picture and "Warning: the fit did not converge" in picture,
          "--svg of a fit that did not converge: no mark")

# Starts: a catalogue shape from the data, a formula at 1 with a warning in
# the report (not on stderr).
rc, out, err = run(DECAY, "--model", "exp_decay", "--json")
r = json.loads(out) if rc == 0 else {}
check(rc == 0 and err == "" and r["warnings"] == []
      and all(p["start_origin"] == "automatic" for p in r["parameters"]), f"exp_decay: {rc} {out}")
rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5", "--json")
r = json.loads(out) if rc == 0 else {}
check(rc == 0 and err == "" and [w["code"] for w in r["warnings"]] == ["start_default"]
      and [p["start_origin"] for p in r["parameters"]] == ["given", "default", "default"],
      f"formula without starts: {rc} {out} {err}")
rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5")
check("Warning: no start value for b and c; started at 1" in out, f"text report: {out}")

# A model that is not finite at the start: exit 3, the report and one line
# naming the data line; the JSON carries the status.
for model, start in [("power_law", "a=1,b=-1"), ("a/x+b", "a=1,b=1"), ("a*log(x)+c", "a=1,c=1"),
                     ("a*sqrt(x-2)+c", "a=1,c=1")]:
    rc, out, err = run(DECAY, "--model", model, "--start", start, "--json")
    check(rc == 3 and json.loads(out or "{}").get("status") == "stopped_nonfinite" and
          err.endswith("the model is not finite at line 5 of %s (x = 0)\n" % DECAY),
          f"{model}: exit {rc}, {err!r}")

# Bounds: kept, the active one flagged and marked in the text report.
bounded = [DECAY, "--model", "a*exp(-b*x)+c", "--start", "a=5,b=0.5,c=0", "--upper", "b=0.6",
           "--lower", "c=0,a=0"]
rc, out, err = run(*bounded, "--json")
check(rc == 0, f"--upper: exit {rc} {err}")
if rc == 0:
    p = {q["name"]: q for q in json.loads(out)["parameters"]}
    check(p["b"]["at_bound"] and p["b"]["value"] == 0.6 and p["b"]["std_error"] is None and
          not p["a"]["at_bound"] and p["a"]["std_error"] > 0, f"--upper: {p}")
rc, out, err = run(*bounded)
check(rc == 0 and "at bound" in out and "b is at its bound 0.6" in out, f"--upper report: {out}")

# A row with NaN: refused, or dropped and counted with --skip-nonfinite.
nan_file = write("nan.csv", "x,y\n1,2.1\n2,nan\n3,5.9\n4,8.2\n")
rc, out, err = run(nan_file, "--model", "a*x+b", "--skip-nonfinite")
check(rc == 0 and "1 row with NaN or infinity skipped" in out, f"--skip-nonfinite: {rc} {out} {err}")

# Exit status 1 (bad data, model or file) and 2 (bad command line): nothing
# on stdout, one line on stderr.
line_file = write("line.csv", "x,y\n1,2\n2,4\n3,6.1\n")
cases = [
    (1, "No such file or directory", [os.path.join(WORK, "missing.csv"), "--model", "a*x"]),
    (1, "Is a directory", [WORK, "--model", "a*x"]),
    (1, "line 3, column 2: '5.2O' is not a number", [write("typo.csv", "x,y\n0,1\n1,5.2O\n"), "--model", "a*x"]),
    (1, "line 2, column 2: empty cell", [write("empty.csv", "1,2\n2,,3\n"), "--model", "a*x"]),
    (1, "line 3, column 2: y is not finite", [nan_file, "--model", "a*x+b"]),
    (1, "line 2, column 1: 'x' is not a number", [write("crlf.csv", "1,2\r\nx,y\r\n"), "--model", "a*x"]),
    (1, "2 points for 3 free parameters", [write("two.csv", "1,2\n2,3\n"), "--model", "a*x^2+b*x+c"]),
    (1, "unknown model 'Frobnicate'", [line_file, "--model", "Frobnicate"]),
    (1, "formula 'a*x+'", [line_file, "--model", "a*x+"]),
    (1, "does not use x (X is not x", [line_file, "--model", "a*exp(-b*X)+c"]),
    (1, "no column named 'z'", [line_file, "--model", "a*x", "--columns", "x,z"]),
    (1, "the start of b (1) lies outside its bounds [2, inf]", [line_file, "--model", "a*x+b", "--start", "b=1", "--lower", "b=2"]),
    (2, "the lower bound of a (2) is above its upper bound (1)", [line_file, "--model", "a*x", "--lower", "a=2", "--upper", "a=1"]),
    (2, "no data file given", []),
    (2, "--log-x and --log-y apply to --svg", [line_file, "--model", "a*x", "--log-y"]),
    (2, "--shared needs several data files", [line_file, "--model", "a*x", "--shared", "a"]),
    (2, "--svg and --output take a single data file", [line_file, line_file, "--model", "a*x", "--svg", "x.svg"]),
    (2, "needs --model", [line_file]),
    (2, "--frobnicate", [line_file, "--frobnicate"]),
    (2, "--nist-start takes 1 or 2", [os.path.join(NIST, "Misra1a.dat"), "--nist-start", "3"]),
    (2, "--start takes name=value", [line_file, "--model", "a*x", "--start", "a"]),
    (2, "no parameter 'q'", [line_file, "--model", "a*x", "--start", "q=1"]),
    (2, "--absolute-sigma needs a sigma column", [line_file, "--model", "a*x", "--absolute-sigma"]),
    (2, "--columns does not apply", [os.path.join(NIST, "Misra1a.dat"), "--columns", "1,2"]),
    (2, "--derivatives", [line_file, "--model", "a*x", "--derivatives", "analytic"]),
    (2, "--loss-scale must be > 0", [line_file, "--model", "a*x", "--estimator", "huber", "--loss-scale", "0"]),
    (2, "--estimator poisson takes no sigma column", [DECAY, "--model", "a*exp(-b*x)+c", "--columns", "x,y,sigma", "--estimator", "poisson"]),
    (1, "negative", [write("negative.csv", "x,y\n1,2\n2,-1\n3,4\n"), "--model", "a*x+b", "--estimator", "poisson"]),
    # Numbers are read as written or refused, never coerced.
    (2, "--tolerance takes a finite decimal number, not 'nan'", [line_file, "--model", "a*x", "--tolerance", "nan"]),
    (2, "not '0x10'", [line_file, "--model", "a*x", "--tolerance", "0x10"]),
    (2, "--max-evaluations takes a whole number >= 0", [line_file, "--model", "a*x", "--max-evaluations", "18446744073709551617"]),
    (2, "not '0x10'", [line_file, "--model", "a*x", "--max-evaluations", "0x10"]),
    (2, "--skip-rows takes a whole number", [line_file, "--model", "a*x", "--skip-rows", "1.5"]),
    (2, "--start takes name=value", [line_file, "--model", "a*x", "--start", "a=inf"]),
    (1, "line 2, column 2: '1.#INF' is not a number", [write("inf.csv", "x,y\n1,1.#INF\n"), "--model", "a*x"]),
    (1, "line 3, column 2: y is missing ('NA')", [write("na.csv", "x,y\n1,2\n2,NA\n3,6\n"), "--model", "a*x", "--na", "NA"]),
    (1, "the header names 'x' twice", [write("twice.csv", "x,x\n1,2\n"), "--model", "a*x"]),
    (1, "/dev/zero: line 1: a NUL byte", ["/dev/zero", "--model", "a*x"]),
]
for want_rc, want_err, args in cases:
    rc, out, err = run(*args)
    ok = rc == want_rc and out == "" and err.count("\n") == 1 and err.startswith("nlfit: ") and want_err in err
    check(ok, f"{args}: exit {rc} (want {want_rc}), stdout {out!r}, stderr {err!r}")

# What people write: blanks after commas, "y =", standard input, title
# rows, quoted and decimal-comma numbers, NA cells dropped and counted.
spread = "Title line\nx;y\n\"1,0\";2,1\n2,0;NA\n3,0;6,1\n4,0;7,9\n"
for args, stdin, points in [
    ([line_file, "--model", "y = a*x+b", "--start", "a=3, b=1"], None, 3),
    (["-", "--model", "a*x+b", "--columns", "x, y"], "x,y\n1,2\n2,4\n3,6.1\n", 3),
    (["-", "--model", "a*x+b", "--skip-rows", "1", "--decimal-comma", "--na", "NA", "--skip-nonfinite"], spread, 3),
]:
    rc, out, err = run(*args, "--json", stdin=stdin)
    check(rc == 0 and json.loads(out)["data"]["points"] == points, f"{args}: exit {rc} {err}")
rc, out, err = run("--version")
check(rc == 0 and out.startswith("nlfit ") and out.count(".") == 2, f"--version: {out!r}")

# Pictures are replaced whole: concurrent writers of pictures of different
# lengths leave one well-formed file, and a write that fails (here: a file
# size limit) leaves the old one.
svg = os.path.join(WORK, "shared.svg")
writers = [subprocess.Popen([NLFIT, (line_file, DECAY)[k % 2], "--model", "a*x+b", "--svg", svg],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for k in range(20)]
check(all(w.wait() == 0 for w in writers), "concurrent --svg writers failed")
with open(svg) as f:
    old = f.read()
check(ElementTree.fromstring(old).tag.endswith("svg"), "concurrent --svg: not one whole picture")
check(not any(n.startswith(".shared.svg.") for n in os.listdir(WORK)), "temporary files left behind")


def small_file_limit():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))


rc, out, err = run(DECAY, "--model", "a*exp(-b*x)+c", "--svg", svg, preexec_fn=small_file_limit)
with open(svg) as f:
    check(rc == 1 and "cannot write" in err and f.read() == old, f"failed --svg write: {rc} {err}")

rc, out, err = run("--list-models")
check(rc == 0 and "Misra1a" in out and "Thurber" in out and "y = " in out, "--list-models")
rc, out, err = run("--help")
for option in ("--model", "--start", "--fix", "--lower", "--upper", "--columns", "--x", "--y", "--sigma", "--absolute-sigma", "--nist-start", "--json",
               "--svg", "--output", "--shared", "--log-x", "--log-y", "--max-evaluations", "--tolerance", "--skip-nonfinite", "--list-models",
               "--decimal-comma", "--skip-rows", "--na", "--version", "man nlfit", "--derivatives",
               "--estimator"):
    check(rc == 0 and option in out, f"--help lacks {option}")

# Several predictors: a 2-D spot through the catalogue (automatic starts)
# and through a formula in the header's names recovers its truth within 5
# standard errors; the picture plots against the fitted value and says so.
import math
import random
rng = random.Random(7)
truth = {"a": 5.0, "x0": 0.4, "y0": 1.1, "sigma": 0.8, "c": 0.5}
rows = ["u,v,z,dz"]
for i in range(21):
    for j in range(21):
        u, v = -3 + 0.3 * i, -2 + 0.3 * j
        z = truth["a"] * math.exp(-((u - truth["x0"]) ** 2 + (v - truth["y0"]) ** 2) / (2 * truth["sigma"] ** 2)) + truth["c"]
        rows.append(f"{u:.4f},{v:.4f},{z + rng.gauss(0, 0.05):.8f},0.05")
spot = write("spot.csv", "\n".join(rows) + "\n")
spot_svg = os.path.join(WORK, "spot.svg")
renamed = {"a": "a", "u0": "x0", "v0": "y0", "s": "sigma", "c": "c"}
for args in (["--model", "gaussian2d", "--svg", spot_svg],
             ["--model", "a*exp(-((u-u0)^2+(v-v0)^2)/(2*s^2))+c", "--start", "a=4,u0=0,v0=1,s=1,c=0", "--sigma", "dz"]):
    rc, out, err = run(spot, "--x", "u,v", "--y", "z", "--json", *args)
    check(rc == 0, f"2-D spot {args[1]}: exit {rc}, {err}")
    if rc == 0:
        for p in json.loads(out)["parameters"]:
            t = truth[renamed.get(p["name"], p["name"])]
            check(abs(p["value"] - t) < 5 * p["std_error"], f"2-D spot {args[1]}: {p['name']} = {p['value']} +- {p['std_error']}")
picture = ElementTree.parse(spot_svg).getroot() if os.path.exists(spot_svg) else None
check(picture is not None and "fitted value" in ElementTree.tostring(picture, encoding="unicode"), "2-D spot picture")
for args, code, words in [
        (["--x", "u,v", "--y", "z", "--model", "a*exp(-(u-b)^2)+c"], 1, "predictor 'v' does not occur"),
        (["--x", "u,v", "--y", "z", "--model", "gaussian"], 2, "takes 1 predictor"),
        (["--y", "z", "--model", "gaussian2d"], 2, "--y and --sigma go with --x"),
        (["--x", "u,v", "--columns", "1,2", "--model", "gaussian2d"], 2, "give one"),
        (["--x", "u,w", "--y", "z", "--model", "gaussian2d"], 1, "no column named 'w'")]:
    rc, out, err = run(spot, *args)
    check(rc == code and out == "" and words in err, f"{args}: exit {rc}, {err!r}")
# Without its offset the spot's residuals are systematic in the order of the fitted value.
rc, out, err = run(spot, "--x", "u,v", "--y", "z", "--model", "a*exp(-((u-u0)^2+(v-v0)^2)/(2*s^2))",
                   "--start", "a=4,u0=0,v0=1,s=1")
check("in the order of the fitted value form too few runs" in out, f"2-D runs test: {out}")
for args, code, words in []:
    rc, out, err = run(spot, *args)
    check(rc == code and out == "" and words in err, f"{args}: exit {rc}, {err!r}")

for f in failures:
    print("FAIL:", f)
print(f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
