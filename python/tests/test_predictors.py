"""Several predictors: x of shape (k, M) in fit and curve_fit, the
catalogue's 2-D spots, and the batch shapes of fit_many and its Dask form."""
import pytest

from conftest import require

np = require("numpy")
import nlfit  # noqa: E402

TRUTH = np.array([5.0, 0.4, 1.1, 0.8, 0.5])
SPOT = "a*exp(-((u-x0)^2+(v-y0)^2)/(2*s^2))+c"


def spot(x, a, x0, y0, s, c):
    return a * np.exp(-((x[0] - x0) ** 2 + (x[1] - y0) ** 2) / (2 * s ** 2)) + c


def spots(K=1, n=21, seed=5):
    u, v = np.meshgrid(np.linspace(-3, 3, n), np.linspace(-2, 4, n))
    x = np.vstack([u.ravel(), v.ravel()])
    rng = np.random.default_rng(seed)
    return x, spot(x, *TRUTH) + 0.05 * rng.standard_normal((K, x.shape[1]))


def test_a_2d_spot_recovers_its_truth_through_every_kind_of_model():
    x, Y = spots()
    y = Y[0]
    popt, pcov = nlfit.curve_fit(spot, x, y, p0=[4, 0, 1, 1, 0])
    assert np.all(np.abs(popt - TRUTH) < 5 * np.sqrt(np.diag(pcov)))
    auto = nlfit.fit("gaussian2d", x, y)  # starts from the data
    assert auto.converged and np.all(np.abs(auto.params - TRUTH) < 5 * auto.std_errors)
    named = nlfit.fit(SPOT, x, y, p0=[4, 0, 1, 1, 0], predictors=["u", "v"])
    default = nlfit.fit(SPOT.replace("u", "x1").replace("v", "x2"), x, y, p0=[4, 0, 1, 1, 0])
    for r in (named, default):
        assert np.allclose(r.params, auto.params, rtol=1e-7)
    elliptic = nlfit.fit("gaussian2d_elliptic", x, y)
    assert elliptic.converged and np.allclose(elliptic.params[[0, 1, 2, 6]], TRUTH[[0, 1, 2, 4]],
                                              atol=0.05)
    model = nlfit.Model("gaussian2d")
    assert model.predictors == ("x1", "x2")
    grid = x[:, :12].reshape(2, 3, 4)
    assert np.allclose(model(grid, *TRUTH), spot(grid, *TRUTH), rtol=1e-14)


def test_wrong_predictor_shapes_and_names_are_refused():
    x, Y = spots()
    with pytest.raises(ValueError, match="2 predictors"):
        nlfit.fit("gaussian2d", x[0], Y[0])
    with pytest.raises(ValueError, match="takes 1 predictor"):
        nlfit.fit("gaussian", x, Y[0])
    with pytest.raises(ValueError, match="'v' does not occur"):
        nlfit.fit("a*exp(-(u-b)^2)+c", x, Y[0], predictors=["u", "v"])
    with pytest.raises(ValueError, match="same length"):
        nlfit.fit(spot, x[:, :-1], Y[0], p0=TRUTH)


def test_fit_many_takes_shared_and_per_curve_predictors_with_every_model_kind():
    x, Y = spots(K=5, n=11)
    p0 = [4, 0, 1, 1, 0]
    single = [nlfit.fit("gaussian2d", x, y, p0=p0).params for y in Y]
    per_curve = np.ascontiguousarray(np.broadcast_to(x, (5,) + x.shape))
    for model, xs, kw in [("gaussian2d", x, {}), ("gaussian2d", per_curve, {}),
                          (SPOT, x, {"predictors": ["u", "v"]}), (spot, x, {}),
                          (spot, per_curve, {})]:
        r = nlfit.fit_many(model, xs, Y, p0, **kw)
        assert r.converged.all()
        exact = model == "gaussian2d"  # the same model as the single fits
        assert np.array_equal(r.params, single) if exact else np.allclose(r.params, single)
    with pytest.raises(ValueError, match="x must have shape"):
        nlfit.fit_many("gaussian2d", np.ascontiguousarray(x[:, :-1]), Y, p0)


def test_dask_fit_many_takes_the_same_shapes():
    require("dask")
    import nlfit.dask
    x, Y = spots(K=5, n=11)
    p0 = [4, 0, 1, 1, 0]
    expected = nlfit.fit_many("gaussian2d", x, Y, p0).params
    per_curve = np.ascontiguousarray(np.broadcast_to(x, (5,) + x.shape))
    for xs in (x, per_curve):
        r = nlfit.dask.fit_many("gaussian2d", xs, Y, p0, chunks=2, compute=True)
        assert np.array_equal(r.params, expected)
    # A callable's shared x in blocks of as many curves as predictors.
    r = nlfit.dask.fit_many(spot, x, Y, p0, chunks=2, compute=True)
    assert np.allclose(r.params, expected)
