"""nlfit.plugin, the binding of the plug-in, and the NIST example, against
the built library named by NLFIT_PLUGIN_LIBRARY (CTest passes
$<TARGET_FILE:nlfit>).

    NLFIT_PLUGIN_LIBRARY=build/libnlfit.so python3 -m pytest python/tests/test_plugin.py
"""
import gc
import math
import os
import subprocess
import sys

import pytest

from nlfit import plugin

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))

# Misra1a as NIST certifies it.
MISRA1A_CERTIFIED = {"b1": 2.3894212918e02, "b2": 5.5015643181e-04}
# The example must reproduce at least this many leading digits.
REQUIRED_DIGITS = 6

X = [0.0, 1.0, 2.0]
Y = [1.0, 3.0, 5.0]


def line(x, p0, p1, *unused):
    return p0 + p1 * x


@pytest.fixture(scope="module")
def lib():
    return plugin.load()


def test_exact_line_is_recovered_and_unused_parameters_kept(lib):
    fitted = lib.fit(line, X, Y, [0.0, 0.0, 7.0])
    assert fitted[:2] == pytest.approx([1.0, 2.0], abs=1e-9)
    # The model ignores p2: its Jacobian column is zero, no step moves it.
    assert fitted[2] == 7.0


def test_model_value_evaluates_the_registered_model_after_collection(lib):
    # The library keeps the model's pointer after findLS returns; the
    # binding must keep the ctypes thunk alive, or this call crashes.
    lib.fit(lambda x, a, b, *_: a * x + b, [0.0, 1.0], [1.0, 2.0], [0.5, 0.5])
    gc.collect()
    assert lib.model_value(3.0, [2.0, 1.0]) == 7.0
    # Five values are passed, padded with zeros.
    seen = []
    lib.fit(lambda x, *p: seen.append(p) or 0.0, [0.0], [0.0], [1.0])
    seen.clear()
    lib.model_value(0.0, [1.0, 2.0])
    assert seen == [(1.0, 2.0, 0.0, 0.0, 0.0)]


@pytest.mark.parametrize("status, model, x, y, start", [
    (1.0, line, [float(i) for i in range(20)], [0.0] * 20, [0.0] * 10),
    (1.0, line, X, Y, []),
    (1.0, line, X[:1], Y[:1], [0.0, 0.0]),
    (1.0, line, X, [1.0, math.nan, 5.0], [0.0, 0.0]),
    (1.0, line, X, Y, [math.inf, 0.0]),
    (2.0, line, [float(i) for i in range(1001)], [float(i) for i in range(1001)], [0.0, 1.0]),
])
def test_refusals_raise_with_their_status(lib, status, model, x, y, start):
    with pytest.raises(plugin.NlfitError, match="status %.1f" % status) as caught:
        lib.fit(model, x, y, start)
    assert caught.value.status == status


def test_refused_call_still_registers_its_model_and_bad_lengths_are_caught(lib):
    with pytest.raises(plugin.NlfitError):
        lib.fit(lambda x, *p: 42.0, [0.0] * 1001, [0.0] * 1001, [0.0])
    assert lib.model_value(1.0, []) == 42.0
    with pytest.raises(ValueError):
        lib.fit(line, [0.0, 1.0], [0.0], [0.0])


def test_exception_in_model_reaches_the_caller_and_next_fit_is_clean(lib):
    calls = []

    def broken(x, *p):
        calls.append(x)
        raise ZeroDivisionError("model failed")

    with pytest.raises(ZeroDivisionError, match="model failed"):
        lib.fit(broken, X, Y, [0.0, 0.0])
    assert len(calls) == 1  # not called again once it has failed
    assert lib.fit(line, X, Y, [0.0, 0.0])[1] == pytest.approx(2.0, abs=1e-9)


def test_missing_library_names_the_ways_to_find_it():
    with pytest.raises(OSError, match="NLFIT_PLUGIN_LIBRARY"):
        plugin.load(os.path.join(HERE, "no-such-libnlfit.so"))


def test_nist_example_fits_misra1a_from_start_1_to_the_certified_values():
    library = os.environ.get("NLFIT_PLUGIN_LIBRARY", "")
    command = [sys.executable, "-B", os.path.join(CHECKOUT, "examples", "python", "fit_nist.py")]
    if library:
        command += ["--library", library]
    run = subprocess.run(command, capture_output=True, text=True,
                         env=dict(os.environ, NLFIT_PLUGIN_LIBRARY="", NLFIT_LIBRARY=""))
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("Misra1a: 14 observations, 2 parameters, start 1"), lines[0]
    table = [i for i, text in enumerate(lines) if text.startswith("parameter")]
    progress = [i for i, text in enumerate(lines) if text.startswith("fnorm ")]
    assert progress and table and max(progress) < table[0], \
        "progress lines must precede the table:\n" + run.stdout
    rows = {fields[0]: fields for fields in (text.split() for text in lines[table[0] + 1:])}
    for name, certified in MISRA1A_CERTIFIED.items():
        fitted = float(rows[name][1])
        assert float(rows[name][2]) == certified
        digits = -math.log10(abs(fitted - certified) / abs(certified)) \
            if fitted != certified else math.inf
        assert digits >= REQUIRED_DIGITS, "%s: fitted %r, certified %r" % (name, fitted, certified)
