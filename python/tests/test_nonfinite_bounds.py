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
