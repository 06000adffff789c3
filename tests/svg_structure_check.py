#!/usr/bin/env python3
"""Checks the SVG that nlfit-fit --svg writes for a NIST StRD file.

usage: svg_structure_check.py HOST DATA.dat WORK_DIR [MIN_SIDES]

Runs HOST on DATA with and without --svg (standard output must be the same),
parses the picture as XML (standard library only) and checks its structure:
the SVG root with its size, one mark per observation in the data panel and
in the residual panel, a finely sampled curve inside the plot area, tick
labels on 1-2-5 steps, the dataset name as title, nothing external, no NaN
or Inf. A residual mark must lie on the side of the zero line that the data
panel implies (model - observation > 0 for a point below the curve); at
least MIN_SIDES observations must be far enough from the curve to tell.
A picture asked for in a directory that does not exist fails with one line.
"""
import bisect
import math
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def observations(path):
    """The (x, y) rows after the last line starting with 'Data:'."""
    with open(path) as f:
        lines = f.read().splitlines()
    start = max(i for i, line in enumerate(lines) if line.startswith("Data:"))
    rows = []
    for line in lines[start + 1:]:
        fields = line.split()
        if len(fields) == 2:
            rows.append((float(fields[1]), float(fields[0])))
    return rows


def run(host, *args):
    return subprocess.run([host, *args], capture_output=True, text=True)


def box(root, ident):
    rect = root.find(f".//{SVG}rect[@id='{ident}']")
    if not check(rect is not None, f"no rect with id {ident}"):
        return (0.0, 0.0, 0.0, 0.0)
    x, y = float(rect.get("x")), float(rect.get("y"))
    return (x, y, x + float(rect.get("width")), y + float(rect.get("height")))


def inside(box_, x, y, slack=0.5):
    return box_[0] - slack <= x <= box_[2] + slack and box_[1] - slack <= y <= box_[3] + slack


def group(root, name):
    g = root.find(f".//{SVG}g[@class='{name}']")
    check(g is not None, f"no group {name}")
    return g if g is not None else ET.Element("g")


def circles(g):
    return [(float(c.get("cx")), float(c.get("cy"))) for c in g.iter(f"{SVG}circle")]


def path_points(d):
    """The points of an M/L path, split into pieces at each M."""
    pieces = []
    for command, x, y in re.findall(r"([ML])\s*(-?[\d.]+)[ ,](-?[\d.]+)", d):
        if command == "M" or not pieces:
            pieces.append([])
        pieces[-1].append((float(x), float(y)))
    check(len(re.findall(r"[ML]", d)) == sum(len(p) for p in pieces), "path has commands other than M x y / L x y")
    return pieces


def check_ticks(g, axis):
    labels = [t.text for t in g.iter(f"{SVG}text") if "tick-label" in (t.get("class") or "")]
    if not check(len(labels) >= 3, f"{axis}: {len(labels)} tick labels"):
        return
    values = [float(v) for v in labels]
    steps = [b - a for a, b in zip(values, values[1:])]
    step = steps[0]
    check(step > 0 and all(math.isclose(s, step, rel_tol=1e-9) for s in steps), f"{axis}: uneven ticks {labels}")
    mantissa = step / 10 ** math.floor(math.log10(step) + 1e-9)
    check(any(math.isclose(mantissa, m, rel_tol=1e-9) for m in (1, 2, 5)), f"{axis}: step {step} not 1-2-5")
    check(all(math.isclose(v / step, round(v / step), abs_tol=1e-9) for v in values),
          f"{axis}: ticks not multiples of the step {labels}")


def main():
    host, data, work_dir = sys.argv[1:4]
    min_sides = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    os.makedirs(work_dir, exist_ok=True)
    name = os.path.splitext(os.path.basename(data))[0]
    out_file = os.path.join(work_dir, name + ".svg")
    if os.path.exists(out_file):
        os.remove(out_file)

    plain = run(host, data)
    drawn = run(host, "--svg", out_file, data)
    check(plain.returncode == 0 and drawn.returncode == 0 and drawn.stderr == "",
          f"exit {plain.returncode}/{drawn.returncode}: {drawn.stderr}")
    check(drawn.stdout == plain.stdout, "--svg changed standard output")

    missing = run(host, "--svg", os.path.join(work_dir, "no-such-dir", "x.svg"), data)
    check(missing.returncode == 1 and re.fullmatch(r"nlfit-fit: cannot write [^\n]*\n", missing.stderr),
          f"unwritable picture: exit {missing.returncode}, stderr {missing.stderr!r}")
    if not check(os.path.exists(out_file), "no picture written"):
        return

    with open(out_file, encoding="utf-8") as f:
        text = f.read()
    root = ET.fromstring(text)
    rows = observations(data)
    n = len(rows)

    check(root.tag == SVG + "svg", f"root is {root.tag}")
    view_box = [float(v) for v in (root.get("viewBox") or "").split()]
    check(len(view_box) == 4 and view_box[2] > 0 and view_box[3] > 0, f"viewBox {root.get('viewBox')}")
    check(float(root.get("width", "0")) > 0 and float(root.get("height", "0")) > 0, "width/height missing")

    for element in root.iter():
        tag = element.tag.replace(SVG, "")
        check(tag not in ("script", "image", "foreignObject", "style", "use", "a"), f"element {tag}")
        for key, value in element.attrib.items():
            check(not re.search(r"nan|inf", value, re.IGNORECASE), f"{tag} {key}={value}")
            check(not key.endswith("href") or value.startswith("#"), f"external reference {value}")
            for target in re.findall(r"url\(([^)]*)\)", value):
                check(target.startswith("#"), f"external url({target})")
            check(not key.startswith("on"), f"event handler {key}")

    title = root.find(f".//{SVG}text[@class='title']")
    check(title is not None and name in title.text, "dataset name not in the title")

    main_box = box(root, "plot-area")
    residual_box = box(root, "residual-area")
    check(main_box[3] < residual_box[1], "residual panel not below the data panel")

    data_marks = circles(group(root, "observations"))
    residual_marks = circles(group(root, "residuals"))
    check(len(data_marks) == n, f"{len(data_marks)} data marks for {n} observations")
    check(len(residual_marks) == n, f"{len(residual_marks)} residual marks for {n} observations")
    check(all(inside(main_box, x, y) for x, y in data_marks), "a data mark outside the data panel")
    check(all(inside(residual_box, x, y) for x, y in residual_marks), "a residual mark outside its panel")
    # Observations in file order: larger x further right, in both panels.
    order = sorted(range(n), key=lambda i: rows[i][0])
    check(all(data_marks[i][0] <= data_marks[j][0] for i, j in zip(order, order[1:])), "data marks out of x order")
    check([x for x, _ in data_marks] == [x for x, _ in residual_marks], "residual marks not under the data marks")

    zero = root.find(f".//{SVG}line[@class='zero-line']")
    zero_y = float(zero.get("y1")) if zero is not None else -1.0
    check(zero is not None and residual_box[1] < zero_y < residual_box[3] and zero.get("y2") == zero.get("y1"),
          "no horizontal zero line inside the residual panel")

    curve = root.find(f".//{SVG}path[@class='curve']")
    if check(curve is not None, "no curve"):
        pieces = path_points(curve.get("d", ""))
        points = [p for piece in pieces for p in piece]
        check(len(pieces) == 1, f"curve in {len(pieces)} pieces")
        check(len(points) >= 200, f"curve of only {len(points)} points")
        check(all(inside(main_box, x, y) for x, y in points), "curve leaves the data panel")
        xs = [x for x, _ in points]
        check(xs == sorted(xs), "curve not drawn left to right")
        left, right = min(x for x, _ in data_marks), max(x for x, _ in data_marks)
        check(abs(xs[0] - left) < 0.5 and abs(xs[-1] - right) < 0.5, "curve does not span the data")

        # An observation clearly below the curve has model - observation > 0:
        # its residual mark must be above the zero line, and the other way round.
        def curve_y(x):
            k = min(max(bisect.bisect_left(xs, x), 1), len(xs) - 1)
            (x0, y0), (x1, y1) = points[k - 1], points[k]
            return y0 if x1 == x0 else y0 + (y1 - y0) * (x - x0) / (x1 - x0)

        compared = 0
        for (x, y), (_, ry) in zip(data_marks, residual_marks):
            gap = y - curve_y(x)  # > 0: drawn below the curve
            if abs(gap) > 2.0:
                compared += 1
                check((gap > 0) == (ry < zero_y), f"residual at x={x} on the wrong side of the zero line")
        check(compared >= min_sides, f"only {compared} residuals far enough from the curve to compare")

    check_ticks(group(root, "x-ticks"), "x")
    check_ticks(group(root, "y-ticks"), "y")
    residual_labels = [t for t in group(root, "residual-ticks").iter(f"{SVG}text")]
    check(len(residual_labels) >= 2, "residual axis without tick labels")


if __name__ == "__main__":
    main()
    for message in failures:
        print("FAIL:", message)
    sys.exit(1 if failures else 0)
