"""Non-finite model values are never a success, in fit, curve_fit and
fit_many; bounds are kept and their active ones flagged."""
import pytest

from conftest import require

np = require("numpy")
import nlfit  # noqa: E402

X = np.array([0.0, 0.5, 1.0, 2.0, 3.0, 4.0])
Y = np.array([4.7, 3.2, 2.3, 1.3, 0.8, 0.6])


def forgot_return(x, a, b):
    a * np.exp(-b * x)


@pytest.mark.parametrize("model", ["power_law", "a/x+b", forgot_return])
def test_a_model_not_finite_at_the_start_stops_fit_and_raises_in_curve_fit(model):
    r = nlfit.fit(model, X, Y, [1.0, -1.0])
    assert r.status_name == "stopped_nonfinite" and not r.converged
    assert r.nonfinite_index == 0 and list(r.params) == [1.0, -1.0]
    with pytest.raises(nlfit.FitError, match=r"stopped_nonfinite\) at observation 0 \(x = 0.0\)"):
        nlfit.curve_fit(model, X, Y, [1.0, -1.0])


@pytest.mark.parametrize("model", ["a*x^b", lambda x, a, b: a * x ** b])
def test_fit_many_sets_the_status_per_curve(model):
    x = np.vstack([X, X + 1.0])
    r = nlfit.fit_many(model, x, np.vstack([Y, Y]), [1.0, -1.0], threads=1)
    assert r.status[0] == 11 and 1 <= r.status[1] <= 4
    assert list(r.converged) == [False, True]


def test_bounds_are_kept_flagged_and_shared_by_fit_many():
    x = np.linspace(0.0, 5.0, 30)
    y = 3.0 * np.exp(-1.2 * x) + 0.5 + 0.02 * np.sin(7.0 * np.arange(30))
    decay = "a*exp(-b*x)+c"
    r = nlfit.fit(decay, x, y, [1.0, 0.5, 0.0], bounds=([0, 0, -np.inf], [np.inf, 1.0, np.inf]))
    assert r.converged and r.params[1] == 1.0 and r.parameter_flags[1] & 16
    assert np.isnan(r.std_errors[1]) and np.isfinite(r.std_errors[[0, 2]]).all()
    popt, pcov = nlfit.curve_fit(decay, x, y, [1.0, 0.5, 0.0], bounds=(-5.0, 5.0))
    assert abs(popt[1] - 1.2) < 0.05 and np.isfinite(pcov).all()
    # Shared bounds: the second curve's start lies outside them.
    p0 = np.array([[1.0, 0.5, 0.0], [1.0, 2.0, 0.0]])
    for model in (decay, lambda t, a, b, c: a * np.exp(-b * t) + c):
        b = nlfit.fit_many(model, x, np.vstack([y, y]), p0, bounds=(0.0, [10.0, 1.0, 10.0]))
        assert list(b.status[1:]) == [-6] and b.converged[0] and b.params[0, 1] == 1.0
        assert np.isnan(b.std_errors[0, 1])
    with pytest.raises(nlfit.RefusedError, match="the start of b"):
        nlfit.fit(decay, x, y, [1.0, 2.0, 0.0], bounds=(0.0, [10.0, 1.0, 10.0]))
