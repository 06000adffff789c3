"""nlfit.fit_global: three decays with one rate recover it, more tightly
than any single fit; starts by name; refusals."""
import pytest
from conftest import require

np = require("numpy")
import nlfit  # noqa: E402


def test_shared_rate_of_three_decays():
    rng = np.random.default_rng(21)
    sets = []
    for s, (a, c) in enumerate([(3.0, 0.2), (1.5, -0.4), (5.0, 1.0)]):
        x = np.linspace(0.0, 6.0, 25 + 5 * s)
        y = a * np.exp(-0.7 * x) + c + 0.05 * rng.standard_normal(x.size)
        model = "a*exp(-k*x)+c" if s != 1 else (lambda x, a, k, c: a * np.exp(-k * x) + c)
        sets.append((model, x, y, np.full(x.size, 0.05)))
    r = nlfit.fit_global(sets, shared=["k"], p0={"a": 2, "k": 0.5, "c": 0, "a[3]": 4},
                         absolute_sigma=True)
    assert r.parameter_names == ("a[1]", "a[2]", "a[3]", "k", "c[1]", "c[2]", "c[3]")
    assert r.converged and r.start[2] == 4 and r.dof == 90 - 7
    k_error = r.std_errors[3]
    assert abs(r.params[3] - 0.7) < 3 * k_error
    for model, x, y, sigma in sets:
        single = nlfit.fit("a*exp(-k*x)+c", x, y, p0=[2, 0.5, 0], sigma=sigma,
                           absolute_sigma=True)
        assert k_error < single.std_errors[1]
    with pytest.raises(ValueError, match="every data set gives sigma"):
        nlfit.fit_global([sets[0], sets[1][:3]], shared="k")
    with pytest.raises(ValueError, match="not a parameter"):
        nlfit.fit_global(sets, shared=["q"])
    with pytest.raises(ValueError, match="global fit"):
        r.predict([1.0])
