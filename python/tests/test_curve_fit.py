"""nlfit.curve_fit's conventions: bounds, NaN policies, a 1-D sigma and the
same as a diagonal covariance, a full covariance, tolerances, method and
full_output."""
import warnings

import pytest
from conftest import require

np = require("numpy")
import nlfit  # noqa: E402


def decay(x, a, k, c):
    return a * np.exp(-k * x) + c


def noisy_decay(seed=3, m=60):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 6.0, m)
    sigma = 0.03 * (1.0 + x / 3.0)
    return x, decay(x, 2.5, 0.9, 0.4) + sigma * rng.standard_normal(m), sigma


def test_bounds_and_nan_policies():
    x, y, sigma = noisy_decay()
    p0 = [1.0, 1.0, 0.0]
    free, _ = nlfit.curve_fit(decay, x, y, p0)
    assert np.allclose(free, [2.5, 0.9, 0.4], atol=0.1)
    held, pcov = nlfit.curve_fit(decay, x, y, [1.0, 0.5, 0.0], bounds=([0, 0, 0], [10, 0.8, 1]))
    assert held[1] == 0.8 and np.isnan(pcov[1, 1])
    y_nan = y.copy()
    y_nan[[4, 17]] = np.nan
    for kwargs in ({}, {"nan_policy": "raise"}, {"check_finite": True, "nan_policy": "omit"}):
        with pytest.raises(ValueError):
            nlfit.curve_fit(decay, x, y_nan, p0, **kwargs)
    omitted, _ = nlfit.curve_fit(decay, x, y_nan, p0, nan_policy="omit")
    keep = np.ones(x.size, bool)
    keep[[4, 17]] = False
    dropped, _ = nlfit.curve_fit(decay, x[keep], y[keep], p0)
    assert np.array_equal(omitted, dropped)
    with pytest.raises(ValueError, match="nan_policy"):
        nlfit.curve_fit(decay, x, y, p0, nan_policy="propagate")


def test_sigma_as_vector_diagonal_and_full_covariance():
    x, y, sigma = noisy_decay()
    p0 = [1.0, 1.0, 0.0]
    for absolute in (False, True):
        vector = nlfit.curve_fit(decay, x, y, p0, sigma=sigma, absolute_sigma=absolute)
        diagonal = nlfit.curve_fit(decay, x, y, p0, sigma=np.diag(sigma ** 2),
                                   absolute_sigma=absolute)
        for a, b in zip(vector, diagonal):
            np.testing.assert_array_equal(a, b)
        # A covariance that is diagonal in disguise (a permutation-free
        # rotation of nothing): tiny correlations give nearly the same fit.
        near = np.diag(sigma ** 2) + 1e-12 * np.eye(x.size)[::-1]
        popt, pcov = nlfit.curve_fit("a*exp(-k*x)+c", x, y, p0, sigma=near,
                                     absolute_sigma=absolute)
        np.testing.assert_allclose(popt, vector[0], rtol=1e-6)
        np.testing.assert_allclose(pcov, vector[1], rtol=1e-4)
    # Correlated noise: whitening by the Cholesky factor gives the
    # generalised least-squares fit, whose fvec is uncorrelated unit noise.
    rng = np.random.default_rng(11)
    m = x.size
    cov = 0.02 ** 2 * np.exp(-np.abs(np.subtract.outer(x, x)) / 0.5)
    y = decay(x, 2.5, 0.9, 0.4) + np.linalg.cholesky(cov) @ rng.standard_normal(m)
    popt, pcov, info, message, flag = nlfit.curve_fit(decay, x, y, p0, sigma=cov,
                                                      absolute_sigma=True, full_output=True)
    assert flag in (1, 2, 3, 4) and info["fit_result"].converged
    assert np.all(np.abs(popt - [2.5, 0.9, 0.4]) < 4 * np.sqrt(np.diag(pcov)))
    np.testing.assert_allclose(np.sum(info["fvec"] ** 2), info["fit_result"].rss, rtol=1e-12)


def test_tolerances_method_and_full_output():
    x, y, sigma = noisy_decay()
    p0 = [1.0, 1.0, 0.0]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        popt, pcov, info, message, flag = nlfit.curve_fit(
            decay, x, y, p0, sigma=sigma, method="lm", ftol=1e-10, xtol=1e-10, gtol=0.0,
            maxfev=500, full_output=True)
    assert any("ignored" in str(w.message) for w in caught)
    result = info["fit_result"]
    assert info["nfev"] == result.evaluations and message == result.message
    np.testing.assert_allclose(info["fvec"], (decay(x, *popt) - y) / sigma, atol=1e-12)
    with pytest.raises(nlfit.FitError):
        nlfit.curve_fit(decay, x, y, p0, maxfev=2)
    _, _, info, _, flag = nlfit.curve_fit(decay, x, y, p0, maxfev=2, full_output=True)
    assert flag == 5 and info["nfev"] == info["fit_result"].evaluations
