"""nlfit.dask.fit_many on a LocalCluster of two single-thread worker
processes: bit for bit nlfit.fit_many."""
import pytest

from conftest import require

np = require("numpy")
da = require("dask.array")
distributed = require("distributed")
import nlfit  # noqa: E402
import nlfit.dask  # noqa: E402

DECAY = "a*exp(-b*x)+c"


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


def test_dask_equals_fit_many_bit_for_bit(client):
    rng = np.random.default_rng(5)
    K, m = 500, 32
    x = np.linspace(0.0, 4.0, m)
    Y = rng.uniform(1, 3, (K, 1)) * np.exp(-rng.uniform(0.5, 2, (K, 1)) * x) + 0.1
    Y += 0.01 * rng.standard_normal((K, m))
    Y[17, 3] = np.nan
    p0 = np.array([1.5, 1.0, 0.0])
    ref = nlfit.fit_many(DECAY, x, Y, p0, threads=2)
    # A Dask array chunked on both axes is rechunked to whole curves; per-curve
    # sigma follows its chunks.
    sigma = np.full((K, m), 0.01)
    lazy = nlfit.dask.fit_many(DECAY, x, da.from_array(Y, chunks=(90, 8)), p0,
                               sigma=da.from_array(sigma, chunks=(50, 32)))
    assert isinstance(lazy.params, da.Array)
    weighted = nlfit.fit_many(DECAY, x, Y, p0, sigma=sigma, threads=2)
    got = nlfit.BatchResult(*client.compute(list(lazy), sync=True))
    eager = nlfit.dask.fit_many(DECAY, x, Y, p0, chunks=128, compute=True)
    for expected, result in ((weighted, got), (ref, eager)):
        for field in nlfit.BatchResult._fields:
            a, b = getattr(expected, field), np.asarray(getattr(result, field))
            assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), field
    assert eager.status[17] == -3
    assert ref.jacobian_evaluations.tobytes() == np.asarray(eager.jacobian_evaluations).tobytes()
    assert ref.jacobian_evaluations.dtype == np.int64 and ref.jacobian_evaluations[0] > 0
    with pytest.raises(TypeError, match="progress"):
        nlfit.dask.fit_many(DECAY, x, Y, p0, progress=True)
