"""Tests of nlfit.plugin, the binding of the plug-in, and of the NIST
example, against the built library named by NLFIT_PLUGIN_LIBRARY (CTest
passes $<TARGET_FILE:nlfit>).

    NLFIT_PLUGIN_LIBRARY=build/libnlfit.so python3 -B python/tests/plugin_test.py
"""

import gc
import math
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(CHECKOUT, "python"))
from nlfit import plugin as nlfit  # noqa: E402

# Misra1a as NIST certifies it.
MISRA1A_CERTIFIED = {"b1": 2.3894212918e02, "b2": 5.5015643181e-04}
# The example must reproduce at least this many leading digits.
REQUIRED_DIGITS = 6


def line(x, p0, p1, *unused):
    return p0 + p1 * x


class Fit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = nlfit.load()

    def test_exact_line_is_recovered_and_unused_parameters_kept(self):
        x = [0.0, 1.0, 2.0]
        y = [1.0, 3.0, 5.0]
        fitted = self.lib.fit(line, x, y, [0.0, 0.0, 7.0])
        self.assertAlmostEqual(fitted[0], 1.0, places=9)
        self.assertAlmostEqual(fitted[1], 2.0, places=9)
        # The model ignores p2: its Jacobian column is zero, no step moves it.
        self.assertEqual(fitted[2], 7.0)

    def test_model_value_evaluates_the_registered_model_after_collection(self):
        # The library keeps the model's pointer after findLS returns; the
        # binding must keep the ctypes thunk alive, or this call crashes.
        self.lib.fit(lambda x, a, b, *_: a * x + b, [0.0, 1.0], [1.0, 2.0], [0.5, 0.5])
        gc.collect()
        self.assertEqual(self.lib.model_value(3.0, [2.0, 1.0]), 7.0)
        # Five values are passed, padded with zeros.
        seen = []
        self.lib.fit(lambda x, *p: seen.append(p) or 0.0, [0.0], [0.0], [1.0])
        seen.clear()
        self.lib.model_value(0.0, [1.0, 2.0])
        self.assertEqual(seen, [(1.0, 2.0, 0.0, 0.0, 0.0)])


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = nlfit.load()

    def assertRefused(self, status, model, x, y, start):
        with self.assertRaises(nlfit.NlfitError) as caught:
            self.lib.fit(model, x, y, start)
        self.assertEqual(caught.exception.status, status)
        self.assertIn("status %.1f" % status, str(caught.exception))

    def test_status_1_for_each_kind_of_bad_problem(self):
        x = [0.0, 1.0, 2.0]
        y = [1.0, 3.0, 5.0]
        self.assertRefused(1.0, line, [float(i) for i in range(20)], [0.0] * 20, [0.0] * 10)
        self.assertRefused(1.0, line, x, y, [])
        self.assertRefused(1.0, line, x[:1], y[:1], [0.0, 0.0])
        self.assertRefused(1.0, line, x, [1.0, math.nan, 5.0], [0.0, 0.0])
        self.assertRefused(1.0, line, x, y, [math.inf, 0.0])

    def test_status_2_for_more_than_1000_points(self):
        x = [float(i) for i in range(1001)]
        self.assertRefused(2.0, line, x, x, [0.0, 1.0])

    def test_refused_call_still_registers_its_model(self):
        self.assertRefused(2.0, lambda x, *p: 42.0, [0.0] * 1001, [0.0] * 1001, [0.0])
        self.assertEqual(self.lib.model_value(1.0, []), 42.0)

    def test_mismatched_lengths_are_caught_before_the_call(self):
        with self.assertRaises(ValueError):
            self.lib.fit(line, [0.0, 1.0], [0.0], [0.0])


class ModelErrors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = nlfit.load()

    def test_exception_in_model_reaches_the_caller_and_next_fit_is_clean(self):
        calls = []

        def broken(x, *p):
            calls.append(x)
            raise ZeroDivisionError("model failed")

        with self.assertRaisesRegex(ZeroDivisionError, "model failed"):
            self.lib.fit(broken, [0.0, 1.0, 2.0], [1.0, 3.0, 5.0], [0.0, 0.0])
        self.assertEqual(len(calls), 1)  # not called again once it has failed
        fitted = self.lib.fit(line, [0.0, 1.0, 2.0], [1.0, 3.0, 5.0], [0.0, 0.0])
        self.assertAlmostEqual(fitted[1], 2.0, places=9)

    def test_missing_library_names_the_ways_to_find_it(self):
        with self.assertRaisesRegex(OSError, "NLFIT_PLUGIN_LIBRARY"):
            nlfit.load(os.path.join(HERE, "no-such-libnlfit.so"))


class FitNistExample(unittest.TestCase):
    def test_misra1a_from_start_1_matches_certified_values(self):
        library = os.environ.get("NLFIT_PLUGIN_LIBRARY", "")
        command = [sys.executable, "-B", os.path.join(CHECKOUT, "examples", "python",
                                                      "fit_nist.py")]
        if library:
            command += ["--library", library]
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, env=dict(os.environ, NLFIT_PLUGIN_LIBRARY="", NLFIT_LIBRARY=""))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        lines = run.stdout.splitlines()
        self.assertTrue(lines[0].startswith("Misra1a: 14 observations, 2 parameters, start 1"),
                        lines[0])
        table = [i for i, text in enumerate(lines) if text.startswith("parameter")]
        progress = [i for i, text in enumerate(lines) if text.startswith("fnorm ")]
        self.assertTrue(progress and table and max(progress) < table[0],
                        "progress lines must precede the table:\n" + run.stdout)
        rows = {fields[0]: fields for fields in (text.split() for text in lines[table[0] + 1:])}
        for name, certified in MISRA1A_CERTIFIED.items():
            fitted = float(rows[name][1])
            self.assertEqual(float(rows[name][2]), certified)
            digits = -math.log10(abs(fitted - certified) / abs(certified)) \
                if fitted != certified else math.inf
            self.assertGreaterEqual(digits, REQUIRED_DIGITS,
                                    "%s: fitted %r, certified %r" % (name, fitted, certified))


if __name__ == "__main__":
    unittest.main()
