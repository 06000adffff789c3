#!/usr/bin/env python3
"""Fits a NIST StRD nonlinear regression dataset with nlfit through ctypes and
prints the fitted parameters beside the certified values.

    python3 examples/python/fit_nist.py [--library PATH] [--start 1|2] [FILE.dat]

FILE defaults to data/nist/Misra1a.dat, the start to the far starting point
(1). The library is found as nlfit.plugin.load() describes
(NLFIT_PLUGIN_LIBRARY, build/).
The "digits" column is the number of leading decimal digits in which the
fitted value agrees with the certified one, -log10(|fitted - certified| /
|certified|), shown at most as 11, the digits NIST certifies.
"""

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "python"))
from nlfit import plugin as nlfit  # noqa: E402

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# Python raises where C's exp and pow return inf or NaN; the solver may try
# such parameters on the way (BoxBOD from start 1 does), so the models use
# these, which return what the C functions return.
def exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def pow(base, exponent):  # noqa: A001 - the C function of that name
    try:
        value = base ** exponent
    except OverflowError:
        return math.inf
    except ZeroDivisionError:  # zero to a negative power
        return math.inf
    return value if isinstance(value, float) else math.nan  # complex: no real power


# The models of the datasets in data/nist; NIST's b1 ... bk are p0 ... p(k-1).
MODELS = {
    "Misra1a": (2, lambda x, b1, b2, *_: b1 * (1.0 - exp(-b2 * x))),
    "Misra1b": (2, lambda x, b1, b2, *_: b1 * (1.0 - pow(1.0 + b2 * x / 2.0, -2.0))),
    "BoxBOD": (2, lambda x, b1, b2, *_: b1 * (1.0 - exp(-b2 * x))),
    "DanWood": (2, lambda x, b1, b2, *_: b1 * pow(x, b2)),
    "Chwirut2": (3, lambda x, b1, b2, b3, *_: exp(-b1 * x) / (b2 + b3 * x)),
    "Rat42": (3, lambda x, b1, b2, b3, *_: b1 / (1.0 + exp(b2 - b3 * x))),
    "Eckerle4": (3, lambda x, b1, b2, b3, *_:
                 (b1 / b2) * exp(-0.5 * (((x - b3) / b2) * ((x - b3) / b2)))),
    "MGH09": (4, lambda x, b1, b2, b3, b4, _:
              b1 * (x * x + x * b2) / (x * x + x * b3 + b4)),
    "Kirby2": (5, lambda x, b1, b2, b3, b4, b5:
               (b1 + b2 * x + b3 * (x * x)) / (1.0 + b4 * x + b5 * (x * x))),
}


class Dataset:
    def __init__(self):
        self.name = None
        self.start = {1: [], 2: []}
        self.certified = []
        self.certified_rss = None
        self.x = []
        self.y = []


def read_dataset(path):
    """Reads a NIST StRD nonlinear regression file (.dat)."""
    with open(path, encoding="ascii") as file:
        lines = file.read().splitlines()
    data = Dataset()
    first = last = None
    parameters = {}
    for line in lines:
        fields = line.split()
        if not fields:
            continue
        if data.name is None and fields[:2] == ["Dataset", "Name:"] and len(fields) > 2:
            data.name = fields[2]
        if first is None and fields[:2] == ["Data", "(lines"] and len(fields) >= 5:
            first, last = int(fields[2]), int(fields[4].rstrip(")"))
        # "b1 = start1 start2 certified deviation"
        if len(fields) == 6 and fields[0][:1] == "b" and fields[0][1:].isdigit() and fields[1] == "=":
            parameters[int(fields[0][1:])] = [float(v) for v in fields[2:]]
        if data.certified_rss is None and "Residual Sum of Squares:" in line:
            data.certified_rss = float(fields[-1])
    if first is None or not parameters or data.certified_rss is None:
        raise ValueError("%s: not a NIST StRD nonlinear regression file" % path)
    if sorted(parameters) != list(range(1, len(parameters) + 1)):
        raise ValueError("%s: parameter lines incomplete" % path)
    for k in sorted(parameters):
        start1, start2, certified, _ = parameters[k]
        data.start[1].append(start1)
        data.start[2].append(start2)
        data.certified.append(certified)
    for number in range(first, last + 1):
        fields = lines[number - 1].split()
        if not fields:
            continue
        if len(fields) != 2:
            raise ValueError("%s: bad data line %d" % (path, number))
        data.y.append(float(fields[0]))  # the columns are y, then x
        data.x.append(float(fields[1]))
    return data


def agreeing_digits(value, certified):
    if value == certified:
        return 11.0
    return min(11.0, -math.log10(abs(value - certified) / abs(certified)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dataset", nargs="?",
                        default=os.path.join(CHECKOUT, "data", "nist", "Misra1a.dat"))
    parser.add_argument("--library", help="path of libnlfit (default: NLFIT_PLUGIN_LIBRARY, build/)")
    parser.add_argument("--start", type=int, choices=(1, 2), default=1)
    args = parser.parse_args(argv)

    data = read_dataset(args.dataset)
    if data.name not in MODELS:
        parser.error("no model for dataset %s (known: %s)" % (data.name, ", ".join(sorted(MODELS))))
    param_count, model = MODELS[data.name]
    if param_count != len(data.certified):
        parser.error("%s has %d parameters, its model %d"
                     % (data.name, len(data.certified), param_count))

    lib = nlfit.load(args.library)
    start = data.start[args.start]
    print("%s: %d observations, %d parameters, start %d %s"
          % (data.name, len(data.x), param_count, args.start, start))
    try:
        fitted = lib.fit(model, data.x, data.y, start)
    except nlfit.NlfitError as error:
        print("fit_nist: %s" % error, file=sys.stderr)
        return 1

    print("%-9s %18s %18s %7s" % ("parameter", "fitted", "certified", "digits"))
    for k, (value, certified) in enumerate(zip(fitted, data.certified), start=1):
        print("%-9s %18.10E %18.10E %7.1f"
              % ("b%d" % k, value, certified, agreeing_digits(value, certified)))
    rss = math.fsum((lib.model_value(x, fitted) - y) ** 2 for x, y in zip(data.x, data.y))
    print("%-9s %18.10E %18.10E %7.1f"
          % ("RSS", rss, data.certified_rss, agreeing_digits(rss, data.certified_rss)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
