"""nlfit.dask: batch fits spread over a Dask cluster.

    import dask
    from distributed import Client
    import nlfit.dask

    client = Client("tcp://scheduler:8786")          # or a LocalCluster
    r = nlfit.dask.fit_many("two_exp", t, Y, p0)     # Dask arrays, lazy
    params, status = dask.compute(r.params, r.status)

Y (K curves x m points) is a Dask array chunked along the curves, or a NumPy
array that is chunked here. One task per block fits the whole block with
nlfit.fit_many on the worker's threads; every output is sliced lazily from
that one block result, so a block is fitted once per compute of the outputs
together (dask.compute(*r), compute=True or persist()). Computing outputs in
separate compute calls fits the blocks again.
"""

from __future__ import annotations

import dataclasses
import os
import threading
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import dask
import dask.array as da
import numpy as np

from . import _api, _arguments

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["fit_many"]

# One batch at a time per worker process, on all of the worker's threads: a
# worker with T threads runs up to T tasks at once, and T tasks of T threads
# each would oversubscribe its cores T times.
_BATCH_LOCK = threading.Lock()

_PASSED_ON = ("absolute_sigma", "fixed", "maxfev", "std_errors", "bounds", "derivatives",
              "estimator", "predictors") + _api._TUNING


def _worker_threads() -> Optional[int]:
    """The thread count of the Dask worker running this task, or None
    outside a distributed worker."""
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return None
    state = getattr(worker, "state", worker)
    return int(getattr(state, "nthreads", 1))


def _fit_block(Y: NDArray[Any], x: NDArray[Any], p0: NDArray[Any], sigma: Optional[NDArray[Any]], *,
               model: Any, n: int, threads: Optional[int], kwargs: Dict[str, Any],
               d: int = 1) -> NDArray[Any]:
    """Fits one block; returns the outputs side by side in one float64 array
    (k, 2n + 5): params, status, converged, rss, evaluations, Jacobian
    evaluations, std errors."""
    if threads is None:
        threads = _worker_threads() or os.cpu_count() or 1
    Y, x, p0 = (np.ascontiguousarray(a) for a in (Y, x, p0))
    if d > 1 and x.ndim == 2 and not isinstance(model, str):
        # A callable's shared (d, m) x could read as per curve in a block of d
        # curves: given per curve instead.
        x = np.ascontiguousarray(np.broadcast_to(x, (Y.shape[0],) + x.shape))
    sigma = np.ascontiguousarray(sigma) if sigma is not None else None
    with _BATCH_LOCK:
        r = _api.fit_many(model, x, Y, p0, sigma=sigma, threads=threads, **kwargs)
    k = Y.shape[0]
    out = np.empty((k, 2 * n + 5))
    out[:, :n] = r.params
    out[:, n] = r.status
    out[:, n + 1] = r.converged
    out[:, n + 2] = r.rss
    out[:, n + 3] = r.evaluations
    out[:, n + 4] = r.jacobian_evaluations
    out[:, n + 5:] = r.std_errors if r.std_errors is not None else np.nan
    return out


def fit_many(model: _api.ModelLike, x: Any, Y: Any, p0: Any, sigma: Any = None,
             chunks: Optional[int] = None, threads: Optional[int] = None, compute: bool = False,
             **kwargs: Any) -> _api.BatchResult:
    """``nlfit.fit_many`` over Dask: one task per block of curves.

    Parameters
    ----------
    model : str, Model or callable
        A formula or catalogue name (a Python callable is accepted too, but
        each worker then runs the slow path).
    x : array_like
        (m,) shared, or (K, m), NumPy or Dask.
    Y : array_like
        (K, m), a Dask or NumPy array. A Dask array is rechunked so that
        every block holds whole curves (chunks along axis 0 only); a NumPy
        array is split into blocks of ``chunks`` curves.
    p0 : array_like
        (n,) shared, or (K, n).
    sigma : array_like, optional
        (K, m).
    chunks : int, optional
        Curves per block (default: Y's own chunks, or about 20 000 curves a
        block for a NumPy Y).
    threads : int, optional
        Threads per block; None = the thread count of the worker that runs
        it (all cores outside a distributed worker). One block runs at a
        time per worker process.
    compute : bool, default False
        Compute the result (NumPy arrays) rather than return Dask arrays.
    **kwargs
        absolute_sigma, fixed, maxfev, std_errors, bounds, derivatives,
        estimator, loss_scale and the tolerances, as for ``nlfit.fit_many``.

    Returns
    -------
    BatchResult
        Of Dask arrays (lazy), or of NumPy arrays with compute=True; bit for
        bit those of ``nlfit.fit_many`` on the whole array. Compute the
        outputs together (``dask.compute(*result)``) so that each block is
        fitted once.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit.dask
    >>> x = np.linspace(0.0, 4.0, 20)
    >>> Y = np.array([[1.0], [2.0], [3.0]]) * np.exp(-x)
    >>> r = nlfit.dask.fit_many("exp_decay", x, Y, [1.0, 0.5, 0.0], chunks=2, compute=True)
    >>> print(np.round(r.params[:, 0], 6))
    [1. 2. 3.]
    """
    for name in kwargs:
        if name not in _PASSED_ON:
            raise TypeError("nlfit.dask.fit_many() does not support the keyword %r%s"
                            % (name, " (use distributed's progress bar on the result)"
                               if name == "progress" else ""))
    if not isinstance(model, (str, _api.Model)) and not callable(model):
        raise TypeError("a model is a callable, a formula string or a catalogue name, not %s"
                        % type(model).__name__)
    if chunks is not None:
        chunks = _arguments.integer(chunks, "chunks", 1, _arguments.INT64_MAX)
    if threads is not None:
        threads = _arguments.integer(threads, "threads", 0, _arguments.INT_MAX)
    if isinstance(model, _api.Model):
        model = model.formula if model.name == "formula" else model.name
    predictors = kwargs.get("predictors")

    if isinstance(Y, da.Array):
        if Y.ndim != 2:
            raise ValueError("Y must be a 2-D array (curves, points), got shape %s" % (Y.shape,))
        Y = Y.rechunk({1: -1}) if chunks is None else Y.rechunk((chunks, -1))
    else:
        Yn = np.asarray(Y)
        if Yn.ndim != 2:
            raise ValueError("Y must be a 2-D array (curves, points), got shape %s"
                             % (Yn.shape,))
        Y = da.from_array(Yn, chunks=(chunks or max(1, min(len(Yn), 20000)), -1))
    if Y.dtype.kind not in "fiu":
        raise TypeError("Y must hold real numbers, not %s" % Y.dtype)
    if Y.dtype != np.float64:
        Y = Y.astype(np.float64)
    K, m = Y.shape
    if K == 0:
        raise ValueError("Y holds no curves (K = 0)")
    d = _api._batch_predictors(x, K, _api._known_predictors(model, predictors))
    if isinstance(model, str):
        # Checks the model before any task runs.
        checked = _api._model_of(model, predictors, d)
        assert checked is not None  # a string is a handle
        n = checked.parameter_count
    else:
        n = np.shape(p0)[-1]
    row_chunks = Y.chunks[0]

    def per_curve(values: Any, name: str, shape: Tuple[int, ...]) -> Any:
        if isinstance(values, da.Array):
            return values.astype(np.float64).rechunk((row_chunks,) + (-1,) * (values.ndim - 1))
        values = _api._float_array(values, name, copy_ok=True)
        if values.shape == (K,) + shape:
            return da.from_array(values, chunks=(row_chunks,) + (-1,) * len(shape))
        return values

    x = per_curve(x, "x", (m,) if d == 1 else (d, m))
    p0 = per_curve(p0, "p0", (n,))
    if d == 1 and np.shape(x) not in ((m,), (K, m)):
        raise ValueError("x must have shape (%d,) or (%d, %d), got %s" % (m, K, m, np.shape(x)))
    if d > 1 and np.shape(x) not in ((d, m), (K, d, m)):
        raise ValueError("x must have shape (%d, %d) or (%d, %d, %d), got %s"
                         % (d, m, K, d, m, np.shape(x)))
    if np.shape(p0) not in ((n,), (K, n)):
        raise ValueError("p0 must have shape (%d,) or (%d, %d), got %s" % (n, K, n, np.shape(p0)))
    if sigma is not None:
        sigma = per_curve(sigma, "sigma", (m,))
        if not isinstance(sigma, da.Array) or sigma.shape != (K, m):
            raise ValueError("sigma must have the shape of Y (%d, %d)" % (K, m))

    # One delayed task per block; the shared x and p0 are one key each.
    def blocks(values: Any) -> Any:
        if isinstance(values, da.Array):
            return list(values.to_delayed().ravel())
        shared = dask.delayed(values)
        return [shared] * len(row_chunks)

    fit_block = dask.delayed(_fit_block, pure=True)
    sigmas = blocks(sigma) if sigma is not None else [None] * len(row_chunks)
    width = 2 * n + 5
    parts = [da.from_delayed(fit_block(yb, xb, pb, sb, model=model, n=n, threads=threads,
                                       kwargs=kwargs, d=d),
                             shape=(k, width), dtype=np.float64)
             for yb, xb, pb, sb, k in zip(blocks(Y), blocks(x), blocks(p0), sigmas, row_chunks)]
    stacked = da.concatenate(parts, axis=0) if len(parts) > 1 else parts[0]
    std = kwargs.get("std_errors", True)
    result = _api.BatchResult(
        params=stacked[:, :n],
        status=stacked[:, n].astype(np.intc),
        converged=stacked[:, n + 1].astype(np.bool_),
        rss=stacked[:, n + 2],
        std_errors=stacked[:, n + 5:] if std else None,
        evaluations=stacked[:, n + 3].astype(np.int64),
        jacobian_evaluations=stacked[:, n + 4].astype(np.int64))
    if compute:
        fields = {f.name: getattr(result, f.name) for f in dataclasses.fields(result)}
        values = iter(dask.compute(*[a for a in fields.values() if a is not None]))
        return _api.BatchResult(**{name: next(values) if a is not None else None
                                   for name, a in fields.items()})
    return result
