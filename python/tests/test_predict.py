"""FitResult's predictions: the straight line's bands against linear
regression's closed form, the same bands through a formula and a Python
callable, fitted values and residuals."""
import math

from conftest import require

np = require("numpy")
import nlfit  # noqa: E402


def student_quantile(dof, probability):
    """Student's t quantile by bisection on its distribution function (the
    regularised incomplete beta by numerical integration): independent of the
    library's."""
    def cdf(t):
        # P(T <= t) for t >= 0 through the density, Simpson's rule.
        steps = 2000
        h = t / steps
        c = math.gamma((dof + 1) / 2) / (math.sqrt(dof * math.pi) * math.gamma(dof / 2))
        f = lambda u: c * (1 + u * u / dof) ** (-(dof + 1) / 2)  # noqa: E731
        total = f(0) + f(t) + sum((4 if i % 2 else 2) * f(i * h) for i in range(1, steps))
        return 0.5 + total * h / 3
    lo, hi = 0.0, 50.0
    for _ in range(45):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if cdf(mid) < probability else (lo, mid)
    return (lo + hi) / 2


def test_line_bands_match_the_closed_form_for_formula_and_callable():
    rng = np.random.default_rng(7)
    x = np.linspace(0.0, 4.0, 15)
    y = 0.8 + 1.7 * x + 0.2 * rng.standard_normal(x.size)
    at = np.array([[-1.0, 0.0], [2.0, 9.0]])
    m = x.size
    sxx = np.sum((x - x.mean()) ** 2)
    for model in ("a+b*x", lambda x, a, b: a + b * x):
        r = nlfit.fit(model, x, y, p0=[1.0, 1.0])
        s2 = r.rss / (m - 2)
        for level in (0.95, 0.5):
            t = student_quantile(m - 2, 0.5 + level / 2)
            p = r.predict(at, level=level)
            lever = 1.0 / m + (at - x.mean()) ** 2 / sxx
            np.testing.assert_allclose(p.value, r.params[0] + r.params[1] * at, rtol=1e-12)
            np.testing.assert_allclose(p.confidence_high - p.value, t * np.sqrt(s2 * lever),
                                       rtol=1e-6)
            np.testing.assert_allclose(p.value - p.prediction_low,
                                       t * np.sqrt(s2 * (1 + lever)), rtol=1e-6)
        np.testing.assert_allclose(r(x), r.fitted)
        np.testing.assert_allclose(r.fitted - r.residuals, y, rtol=0, atol=1e-12)
        assert r.aic < r.aicc and math.isclose(r.aic, 6 - 2 * r.log_likelihood)
