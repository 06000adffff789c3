"""nlfit.fit and nlfit.curve_fit: bit for bit the C API's fit of the same
problem, and clear errors for bad input."""
import ctypes
import os
import subprocess

import pytest

from conftest import require

np = require("numpy")
import nlfit  # noqa: E402

DECAY = "a*exp(-b*x)+c"


def c_fit(model, x, y, p0, sigma=None, absolute_sigma=False):
    """The fit by the C reference program (tests/c_reference.c)."""
    program = os.environ.get("NLFIT_C_REFERENCE")
    if not program:
        pytest.skip("NLFIT_C_REFERENCE (the C reference program) is not set")
    hexes = lambda values: " ".join(float(v).hex() for v in values)  # noqa: E731
    text = "%s\n%d %s\n%s\n%d %s\n%s\n%d\n" % (
        model, len(x), hexes(x), hexes(y), len(p0), hexes(p0),
        "-" if sigma is None else hexes(sigma), int(absolute_sigma))
    out = subprocess.run([program], input=text, capture_output=True, text=True, check=True)
    fields = {}
    for line in out.stdout.splitlines():
        name, *values = line.split()
        fields[name] = [float.fromhex(v) if "0x" in v or v in ("nan", "-nan", "inf", "-inf")
                        else int(v) for v in values]
    return fields


def decay_data(m=40, noise=0.02, seed=1):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 5.0, m)
    y = 3.0 * np.exp(-1.3 * x) + 0.5 + noise * rng.standard_normal(m)
    return x, y, np.full(m, noise) * (1.0 + x / 5.0)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("weighted", [False, True])
def test_fit_and_curve_fit_equal_the_c_api_bit_for_bit(weighted):
    x, y, sigma = decay_data()
    sigma = sigma if weighted else None
    cases = [(DECAY, DECAY, [1.0, 1.0, 0.0]),
             ("exp_decay", "exp_decay", [1.0, 1.0, 0.0]),
             # A Python model of + - * / only: NumPy's arithmetic is the C one.
             ("c:rational", lambda t, a, b: a / (1.0 + b * t), [1.0, 0.5])]
    for c_model, model, p0 in cases:
        ref = c_fit(c_model, x, y, p0, sigma, absolute_sigma=weighted)
        r = nlfit.fit(model, x, y, p0, sigma=sigma, absolute_sigma=weighted)
        popt, pcov = nlfit.curve_fit(model, x, y, p0, sigma=sigma, absolute_sigma=weighted)
        assert r.status == ref["status"][0] and r.converged == bool(ref["converged"][0])
        assert (r.iterations, r.evaluations) == (ref["iterations"][0], ref["evaluations"][0])
        for field in ("params", "std_errors", "covariance", "rss", "reduced_chi2", "r_squared"):
            assert same_bits(np.ravel(getattr(r, field)), ref[field]), (c_model, field)
        assert same_bits(popt, ref["params"]) and same_bits(pcov.ravel(), ref["covariance"])


def test_results_of_a_fit_are_consistent_and_documented_fields_exist():
    x, y, sigma = decay_data()
    r = nlfit.fit(DECAY, x, y, [1.0, 1.0, 0.0], sigma=sigma)
    # Exact derivatives take the reduction to machine precision here.
    assert r.converged and r.status_name == "stopped_step_at_precision"
    assert r.jacobian_evaluations == r.iterations + 1 and r.statistics_evaluations == 0
    numeric = nlfit.fit(DECAY, x, y, [1.0, 1.0, 0.0], sigma=sigma, derivatives="numeric")
    assert numeric.status_name == "converged_reduction" and numeric.jacobian_evaluations == 0
    np.testing.assert_allclose(r.params, numeric.params, rtol=1e-8)
    assert r.parameter_names == ("a", "b", "c")
    assert np.all(r.ci_low < r.params) and np.all(r.params < r.ci_high)
    assert np.allclose(np.diag(r.correlation), 1.0)
    assert 0.9 < r.r_squared <= 1.0 and r.dof == len(x) - 3
    assert "a" in repr(r) and "b" in repr(r)
    # Held parameters stay at their start, with zero covariance.
    held = nlfit.fit(DECAY, x, y, [1.0, 1.0, 0.5], fixed=["c"])
    assert held.params[2] == 0.5 and held.covariance[2, 2] == 0.0


def test_undetermined_parameters_get_nan_covariance():
    x = np.linspace(0.0, 1.0, 10)
    # Only a + b is determined by the data: neither has a variance of its own,
    # and the fit is no success.
    model = lambda t, a, b: (a + b) * t  # noqa: E731
    y = 2.0 * x + 0.01 * x * x
    with pytest.raises(nlfit.FitError):
        nlfit.curve_fit(model, x, y, [1.0, 0.5])
    popt, pcov, info, _, _ = nlfit.curve_fit(model, x, y, [1.0, 0.5], full_output=True)
    assert not info["fit_result"].converged
    assert np.isfinite(popt).all()
    assert np.isnan(pcov).all()


def test_exception_in_the_model_propagates_and_nonconvergence_raises():
    x, y, _ = decay_data()

    def broken(t, a, b):
        raise ZeroDivisionError("model failed")
    with pytest.raises(ZeroDivisionError, match="model failed"):
        nlfit.curve_fit(broken, x, y, [1.0, 1.0])
    with pytest.raises(nlfit.FitError) as caught:
        nlfit.curve_fit(DECAY, x, y, [1.0, 1.0, 0.0], maxfev=3)
    assert caught.value.status_name == "stopped_evaluations"
    popt, pcov, info, message, status = nlfit.curve_fit(DECAY, x, y, [1.0, 1.0, 0.0],
                                                        maxfev=3, full_output=True)
    result = info["fit_result"]
    assert status == result.status and message == result.message and popt is result.params


def test_bad_input_gives_clear_exceptions():
    x, y, _ = decay_data()
    p0 = [1.0, 1.0, 0.0]
    cases = [
        (ValueError, "the start of c", lambda: nlfit.curve_fit(DECAY, x, y, p0, bounds=(0.5, 2))),
        (TypeError, "method", lambda: nlfit.fit(DECAY, x, y, p0, method="trf")),
        (TypeError, "check_finite", lambda: nlfit.fit(DECAY, x, y, p0, check_finite=True)),
        (ValueError, "jac applies", lambda: nlfit.fit("exp_decay", x, y, p0, jac=len)),
        (ValueError, "derivatives", lambda: nlfit.fit(DECAY, x, y, p0, derivatives="analytic")),
        (ValueError, "same length", lambda: nlfit.fit(DECAY, x, y[:-1], p0)),
        (ValueError, "3 values", lambda: nlfit.fit(DECAY, x, y, [1.0])),
        (TypeError, "real numbers", lambda: nlfit.fit(DECAY, x.astype(complex), y, p0)),
        (TypeError, "real numbers", lambda: nlfit.fit(DECAY, ["a"] * len(x), y, p0)),
        (ValueError, "unknown model name", lambda: nlfit.fit("no_such_model", x, y, p0)),
        (ValueError, "bad formula", lambda: nlfit.fit("a*exp(-b*x", x, y, p0)),
        (ValueError, "sigma", lambda: nlfit.fit(DECAY, x, y, p0, sigma=np.zeros(len(x)))),
        (ValueError, "data", lambda: nlfit.fit(DECAY, x, np.where(x > 1, np.nan, y), p0)),
    ]
    for error, text, call in cases:
        with pytest.raises(error, match=text):
            call()
    # Non-contiguous and other real dtypes are converted once, not refused.
    r = nlfit.fit(DECAY, np.repeat(x, 2)[::2], y.astype(np.float32), p0)
    assert r.converged


def test_arguments_are_checked_not_coerced():
    x, y, _ = decay_data()
    p0 = [1.0, 1.0, 0.0]
    line = lambda t, a, b: a + b * t  # noqa: E731
    cases = [
        (ValueError, "NUL byte", lambda: nlfit.fit(DECAY + "\0+d*x", x, y, p0)),
        (ValueError, "NUL byte", lambda: nlfit.Model("a*x+b", parameter_names=["a\0c", "b"])),
        (ValueError, "ambiguous.*fixed=\\['c'\\].*fixed=\\[False, False, True\\]",
         lambda: nlfit.fit(DECAY, x, y, p0, fixed=[0, 0, 1])),
        (ValueError, "one boolean per parameter", lambda: nlfit.fit(DECAY, x, y, p0,
                                                                     fixed=[True, False])),
        (TypeError, "fixed", lambda: nlfit.fit(DECAY, x, y, p0, fixed=[1.5])),
        (ValueError, "maxfev", lambda: nlfit.fit(DECAY, x, y, p0, maxfev=2 ** 64 + 1)),
        (TypeError, "maxfev", lambda: nlfit.fit(DECAY, x, y, p0, maxfev=10.0)),
        (ValueError, "threads", lambda: nlfit.fit_many(DECAY, x, y[None, :], p0,
                                                       threads=2 ** 40)),
        (TypeError, "threads", lambda: nlfit.fit_many(DECAY, x, y[None, :], p0, threads=1.5)),
        (TypeError, "step_tolerance", lambda: nlfit.fit(DECAY, x, y, p0, step_tolerance="1")),
        (TypeError, "complex", lambda: nlfit.fit(lambda t, a, b: (a + b * t) * 1j, x, y,
                                                 [1.0, 1.0])),
        (ValueError, r"expected \(%d,\)" % len(x),
         lambda: nlfit.fit(lambda t, a, b: line(t, a, b)[:-1], x, y, [1.0, 1.0])),
    ]
    for error, text, call in cases:
        with pytest.raises(error, match=text):
            call()
    # Indices, names and a mask say the same thing.
    fits = [nlfit.fit(DECAY, x, y, p0, fixed=fixed) for fixed in
            (2, [2], ["c"], [False, False, True], np.array([False, False, True]))]
    assert all(same_bits(f.params, fits[0].params) for f in fits) and fits[0].params[2] == 0.0


def test_a_model_cannot_change_the_callers_x():
    x, y, _ = decay_data()
    kept = x.copy()

    def scribbler(t, a, b):
        t *= 2.0
        return a + b * t
    with pytest.raises(ValueError, match="read-only"):
        nlfit.fit(scribbler, x, y, [1.0, 1.0])
    assert same_bits(x, kept)


def test_a_stop_without_an_error_is_not_a_result(monkeypatch):
    x, y, _ = decay_data()
    # A callback that stops the fit but records nothing, as a fault would.
    monkeypatch.setattr(nlfit._api._VectorCallback, "raise_pending", lambda self: None)
    original = nlfit._api._VectorCallback._call
    monkeypatch.setattr(nlfit._api._VectorCallback, "_call",
                        lambda self, *args: original(self, *args) or 1)
    with pytest.raises(nlfit.FitError, match="stopped before its end"):
        nlfit.fit(lambda t, a, b: a + b * t, x, y, [1.0, 1.0])


def test_model_handles_close_and_the_library_can_be_chosen(tmp_path):
    with nlfit.Model(DECAY) as model:
        assert model(np.zeros(2), 1.0, 0.0, 1.0).tolist() == [2.0, 2.0]
    assert model.closed
    model.close()  # again: nothing
    x, y, _ = decay_data()
    with pytest.raises(ValueError, match="closed"):
        nlfit.fit(model, x, y, [1.0, 1.0, 0.0])
    original = nlfit.load_library().path
    copy = tmp_path / os.path.basename(original)
    copy.write_bytes(open(original, "rb").read())
    try:
        assert nlfit.load_library(str(copy)).path == str(copy)
        assert nlfit.load_library().path == str(copy)
        assert nlfit.fit(DECAY, x, y, [1.0, 1.0, 0.0]).converged
    finally:
        nlfit.load_library(original)
    assert nlfit.load_library().path == original


def test_library_with_a_smaller_layout_than_the_package_is_refused(monkeypatch):
    from nlfit import _library

    class LongerOptions(_library.Options):
        _fields_ = [("field_of_a_later_version", ctypes.c_double)]

    assert _library.Library().nlfit_version() // 10000 == 2
    monkeypatch.setitem(_library.STRUCTURES, 1, LongerOptions)
    with pytest.raises(_library.LayoutError, match="LongerOptions is 1[0-9]+ bytes"):
        _library.Library()


def test_a_python_jacobian_is_used_checked_and_its_errors_propagate():
    x, y, sigma = decay_data()

    def model(t, a, b, c):
        return a * np.exp(-b * t) + c

    def jac(t, a, b, c, wrong=1.0):
        e = np.exp(-b * t)
        return np.column_stack([e, -a * t * e * wrong, np.ones_like(t)])

    numeric = nlfit.fit(model, x, y, [1.0, 1.0, 0.0], sigma=sigma)
    exact = nlfit.fit(model, x, y, [1.0, 1.0, 0.0], sigma=sigma, jac=jac, check_jacobian=True)
    assert exact.converged and exact.jacobian_evaluations == exact.iterations + 2  # check, statistics
    assert exact.jacobian_check_error < 1e-7
    np.testing.assert_allclose(exact.params, numeric.params, rtol=1e-7)
    np.testing.assert_allclose(exact.std_errors, numeric.std_errors, rtol=1e-5)
    popt, _ = nlfit.curve_fit(model, x, y, [1.0, 1.0, 0.0], sigma=sigma, jac=jac)
    np.testing.assert_array_equal(popt, exact.params)
    off = nlfit.fit(model, x, y, [1.0, 1.0, 0.0], jac=lambda t, *p: jac(t, *p, wrong=3.0),
                    check_jacobian=True)
    assert off.jacobian_check_column == 1 and off.jacobian_check_error > 0.5
    with pytest.raises(ValueError, match="shape"):
        nlfit.fit(model, x, y, [1.0, 1.0, 0.0], jac=lambda t, *p: np.ones(3))


def test_the_poisson_estimator_fits_counts_and_refuses_what_it_cannot():
    rng = np.random.default_rng(3)
    x = np.linspace(-3.0, 3.0, 25)
    counts = rng.poisson(50.0 * np.exp(-x * x / 2.0) + 2.0).astype(float)
    r = nlfit.fit("gaussian", x, counts, [45.0, 0.1, 1.1, 2.2], estimator="poisson")
    assert r.converged and r.deviance == r.rss and r.pearson_chi2 > 0.0
    assert np.isnan(r.r_squared) and "Deviance" in repr(r)
    assert abs(r.params[0] - 50.0) < 4.0 * r.std_errors[0]
    many = nlfit.fit_many("gaussian", x, np.tile(counts, (3, 1)), [45.0, 0.1, 1.1, 2.2],
                          estimator="poisson", threads=1)
    assert (many.params == r.params).all()
    with pytest.raises(nlfit.RefusedError, match="negative"):
        nlfit.fit("gaussian", x, counts - 100.0, [45.0, 0.1, 1.1, 2.2], estimator="poisson")
    with pytest.raises(ValueError, match="estimator"):
        nlfit.fit("gaussian", x, counts, [45.0, 0.1, 1.1, 2.2], estimator="tukey")


def test_a_robust_loss_keeps_the_line_that_outliers_tilt():
    rng = np.random.default_rng(4)
    x = np.linspace(0.0, 5.0, 50)
    y = 1.0 + 2.0 * x + 0.1 * rng.standard_normal(50)
    y[-5:] -= 3.0
    plain = nlfit.fit("line", x, y, [0.0, 1.0])
    robust = nlfit.fit("line", x, y, [0.0, 1.0], estimator="huber", loss_scale=0.2)
    assert abs(plain.params[1] - 2.0) > 3.0 * plain.std_errors[1]
    assert abs(robust.params[1] - 2.0) < 3.0 * robust.std_errors[1]


def test_catalogue_model_starts_from_the_data_and_warnings_come_with_the_result():
    x, y, _ = decay_data()
    r = nlfit.fit("exp_decay", x, y)
    assert r.converged and list(r.start_origin) == [1, 1, 1] and r.warnings == []
    assert r.params[1] == pytest.approx(1.3, rel=0.05)
    # A formula starts at 1 and says so; a line through a curve has
    # structured residuals; the report shows the same list.
    line = nlfit.fit("a*x+b", x, y)
    assert [w["code"] for w in line.warnings] == ["start_default", "structured_residuals"]
    assert all("Warning: " + w["message"] in repr(line) for w in line.warnings)


def test_the_profile_check_widens_only_what_the_linearisation_understates():
    # A power law on 6 points with noise as large as the curve (the C test's
    # case): both standard errors widen; a line never does.
    x = np.arange(1.0, 7.0)
    y = 0.2 * x ** 2 + np.array([1.04, 2.46, 0.99, -3.91, 2.72, 1.34])
    plain = nlfit.fit("a*x^b", x, y, p0=[1, 1])
    checked = nlfit.fit("a*x^b", x, y, p0=[1, 1], profile_check=True)
    assert plain.check_evaluations == 0 and checked.check_evaluations > 0
    np.testing.assert_array_equal(checked.params, plain.params)
    np.testing.assert_array_equal(checked.linear_std_errors, plain.std_errors)
    assert (checked.std_errors > 1.5 * plain.std_errors).all()
    assert (checked.parameter_flags & 32).all()
    assert "nonlinear" in [w["code"] for w in checked.warnings]
    assert "Profile check:" in repr(checked)
    line = nlfit.fit("a*x+b", x, y, p0=[1, 1], profile_check=True)
    np.testing.assert_array_equal(line.std_errors, line.linear_std_errors)
    assert not (line.parameter_flags & 32).any()
