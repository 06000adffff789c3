"""nlfit.fit_many: bit for bit the per-curve fits at any thread count; bad
rows refused alone; bad batches refused clearly."""
import pytest

from conftest import require

np = require("numpy")
import nlfit  # noqa: E402

DECAY = "a*exp(-b*x)+c"


def curves(K=60, m=24, seed=3):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 4.0, m)
    a = rng.uniform(1.0, 3.0, K)[:, None]
    b = rng.uniform(0.5, 2.0, K)[:, None]
    Y = a * np.exp(-b * x) + 0.2 + 0.01 * rng.standard_normal((K, m))
    p0 = np.column_stack([np.full(K, 1.5), rng.uniform(0.8, 1.2, K), np.zeros(K)])
    return x, Y, p0, np.full((K, m), 0.01)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("derivatives", ["exact", "numeric"])
def test_each_curve_equals_its_own_fit_at_1_and_4_threads_and_bad_rows_stand_alone(derivatives):
    x, Y, p0, sigma = curves()
    Y[7, 5] = np.nan
    sigma[11, 0] = -1.0
    singles = [nlfit.fit(DECAY, x, Y[k], p0[k], sigma=sigma[k], derivatives=derivatives)
               if k not in (7, 11) else None for k in range(len(Y))]
    for threads in (1, 4):
        r = nlfit.fit_many(DECAY, x, Y, p0, sigma=sigma, threads=threads, derivatives=derivatives)
        assert r.status[7] == -3 and r.status[11] == -5 and not r.converged[[7, 11]].any()
        assert not r.jacobian_evaluations[[7, 11]].any()
        for k, single in enumerate(singles):
            if single is None:
                continue
            assert r.status[k] == single.status and r.converged[k] == single.converged
            assert r.evaluations[k] == single.evaluations
            assert r.jacobian_evaluations[k] == single.jacobian_evaluations
            assert (single.jacobian_evaluations > 0) == (derivatives == "exact")
            assert same_bits(r.params[k], single.params), (threads, k)
            assert same_bits(r.std_errors[k], single.std_errors), (threads, k)
            assert same_bits(r.rss[k], single.rss)
        assert r.converged.sum() == len(Y) - 2
        assert len(tuple(r)) == 6  # unpacks as before jacobian_evaluations


def test_python_callable_and_shared_start_take_the_slow_path_to_the_same_bits():
    x, Y, p0, _ = curves(K=8)
    Y = 2.0 / (1.0 + 0.7 * x) + 0.0 * Y  # a rational curve per row
    Y[3] *= 1.5
    model = lambda t, a, b: a / (1.0 + b * t)  # noqa: E731
    r = nlfit.fit_many(model, x, Y, [1.0, 1.0], progress=True)
    for k in range(len(Y)):
        single = nlfit.fit(model, x, Y[k], [1.0, 1.0])
        assert same_bits(r.params[k], single.params) and r.status[k] == single.status
        assert same_bits(r.std_errors[k], single.std_errors)


def test_bad_batches_are_refused_clearly():
    x, Y, p0, sigma = curves(K=4)
    cases = [
        (ValueError, "K = 0", lambda: nlfit.fit_many(DECAY, x, Y[:0], p0[0])),
        (ValueError, "2-D", lambda: nlfit.fit_many(DECAY, x, Y[0], p0[0])),
        (ValueError, "x must have shape", lambda: nlfit.fit_many(DECAY, x[:-1], Y, p0)),
        (ValueError, "p0 must have shape", lambda: nlfit.fit_many(DECAY, x, Y, p0[:, :2])),
        (ValueError, "sigma must have", lambda: nlfit.fit_many(DECAY, x, Y, p0, sigma=sigma[0])),
        (ValueError, "C-contiguous", lambda: nlfit.fit_many(DECAY, x, Y[:, ::2], p0)),
        (TypeError, "real numbers", lambda: nlfit.fit_many(DECAY, x, Y.astype(complex), p0)),
        (ValueError, "unknown model name", lambda: nlfit.fit_many("nope", x, Y, p0)),
        (ValueError, "lower bound of a", lambda: nlfit.fit_many(DECAY, x, Y, p0, bounds=(2, 1))),
    ]
    for error, text, call in cases:
        with pytest.raises(error, match=text):
            call()


def test_slices_of_a_batch_change_no_bit(monkeypatch):
    x, Y, p0, sigma = curves(K=23)
    X = np.tile(x, (len(Y), 1)) * (1.0 + 0.01 * np.arange(len(Y)))[:, None]
    whole = nlfit.fit_many(DECAY, X, Y, p0, sigma=sigma, threads=2)
    monkeypatch.setattr(nlfit._api, "_slice_size", lambda threads: 5)
    sliced = nlfit.fit_many(DECAY, X, Y, p0, sigma=sigma, threads=2, progress=True)
    for field in nlfit.BatchResult._fields:
        assert same_bits(getattr(whole, field), getattr(sliced, field)), field


def test_without_p0_each_curve_starts_from_its_own_data():
    x = np.linspace(0.0, 10.0, 60)
    truth = np.array([[3.0, 4.0, 0.8, 0.5], [-2.0, 7.0, 1.5, 1.0]])
    Y = np.array([a * np.exp(-(x - mu) ** 2 / (2 * s ** 2)) + c for a, mu, s, c in truth])
    Y += 0.01 * np.sin(17.0 * x)
    result = nlfit.fit_many("gaussian", x, Y)
    assert result.converged.all()
    np.testing.assert_allclose(result.params, truth, rtol=0.02, atol=0.02)
