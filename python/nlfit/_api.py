"""The NumPy interface: fit, curve_fit, fit_many and the model handles."""

from __future__ import annotations

import collections as _collections
import ctypes
import dataclasses
import inspect
import os
import re
import warnings
from typing import (TYPE_CHECKING, Any, Callable, ClassVar, Dict, Iterator, List, Optional, Sequence, Tuple,
                    Union, cast)

import numpy as np

from . import _arguments, _interrupt, _library
from ._library import c_double_p

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["fit", "curve_fit", "fit_many", "fit_global", "FitResult", "BatchResult", "Prediction", "Model", "RefusedError",
           "FitError", "catalogue", "load_library"]

ModelLike = Union[str, "Model", Callable[..., Any]]

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# Per-fit options that fit, curve_fit and fit_many accept besides their named
# keywords; any other keyword is refused by name.
_TUNING = ("reduction_tolerance", "step_tolerance", "gradient_tolerance",
           "step_bound_factor", "relative_error", "loss_scale")


def load_library(path: Optional[str] = None) -> _library.Library:
    """The fitting library that fits use; with a path, load that file and use
    it from now on.

    Parameters
    ----------
    path : str, optional
        A libnlfit_api shared library. Without it, the library in use is
        returned, found on first use as docs/python.md tells (first match:
        the ``NLFIT_API_LIBRARY`` environment variable, beside the package,
        the install prefix, the checkout's ``build/``, ``<sys.prefix>/lib``,
        the system loader).

    Returns
    -------
    Library
        The loaded library; ``.path`` is its file.

    Raises
    ------
    OSError
        The file cannot be loaded.

    Notes
    -----
    Model handles keep the library they were made with; fits, catalogue()
    and new handles use the selected one.

    Examples
    --------
    >>> import nlfit
    >>> library = nlfit.load_library()
    >>> nlfit.load_library(library.path) is library
    True
    """
    return _library.select(path) if path else _library.library()


class FitError(RuntimeError):
    """A fit that was refused, did not converge, or stopped.

    Attributes
    ----------
    status : int
        The C status (``nlfit_status`` in nlfit/fit.h).
    status_name : str
        Its short name, such as ``"stopped_evaluations"``.
    result : FitResult or None
        The fit's result, when there is one.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> x = np.linspace(0.0, 4.0, 20)
    >>> try:
    ...     nlfit.curve_fit("exp_decay", x, np.exp(-x), [1.0, 0.3, 0.0], maxfev=2)
    ... except nlfit.FitError as error:
    ...     print(error.status_name)
    stopped_evaluations
    """

    def __init__(self, message: str, status: int, result: Optional["FitResult"] = None) -> None:
        super().__init__(message)
        self.status = status
        self.status_name = _library.library().status_name(status)
        self.result = result


class RefusedError(FitError, ValueError):
    """The C library refused the problem before evaluating the model (a
    negative status); also a ValueError.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> try:
    ...     nlfit.fit("line", [0.0, 1.0, np.nan], [1.0, 2.0, 3.0], [0.0, 1.0])
    ... except nlfit.RefusedError as error:
    ...     print(error.status_name)
    refused_nonfinite_data
    """


def catalogue() -> List[str]:
    """The names of the catalogue models.

    Returns
    -------
    list of str
        Names that ``Model``, ``fit`` and ``fit_many`` accept as models.

    Examples
    --------
    >>> import nlfit
    >>> "exp_decay" in nlfit.catalogue()
    True
    """
    lib = _library.library()
    return [lib.nlfit_model_builtin_name(i).decode()
            for i in range(lib.nlfit_model_builtin_count())]


class Model:
    """A model handle: a catalogue model by name, or a compiled formula in x.

    Parameters
    ----------
    source : str
        A bare name (letters, digits, underscore) names a catalogue entry
        (case-insensitive, see ``catalogue()``); any other string is a
        formula in ``x``, compiled by the C library.
    parameter_names : sequence of str, optional
        The formula's parameters, in this order. By default they are its
        identifiers other than ``x``, ``pi`` and functions, in order of first
        appearance. With names, even a bare name is read as a formula.
    predictors : sequence of str, optional
        A formula of several predictors: their names, each of which must
        occur in it; its parameters are then its other names.

    Attributes
    ----------
    name : str
        The catalogue name, or ``"formula"``.
    formula : str
        The model's formula text.
    description : str
        One line about the model.
    parameter_names : tuple of str
        Its parameters, in order.
    parameter_count : int
        Their number.
    predictors : tuple of str
        Its predictors: ``("x",)`` for one, ``("x1", "x2")`` for the
        catalogue's 2-D spots.
    predictor_count : int
        Their number d; a model of d > 1 takes x of shape (d, ...).

    Raises
    ------
    ValueError
        An unknown catalogue name, a formula that does not compile, or a NUL
        byte in the source or a parameter name.

    Notes
    -----
    The handle holds memory in the C library until ``close()`` (or the end
    of a ``with`` block, or garbage collection). A closed model can no
    longer be used.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> with nlfit.Model("a*exp(-b*x)+c") as model:
    ...     print(model.parameter_names)
    ...     print(model(np.array([0.0, 1.0]), 2.0, 0.0, 1.0))
    ('a', 'b', 'c')
    [3. 3.]
    >>> nlfit.Model("exp_decay").parameter_count
    3
    """

    name: str
    formula: str
    description: str
    parameter_names: Tuple[str, ...]
    parameter_count: int
    predictors: Tuple[str, ...]
    predictor_count: int

    def __init__(self, source: str, parameter_names: Optional[Sequence[str]] = None,
                 predictors: Optional[Sequence[str]] = None) -> None:
        if not isinstance(source, str):
            raise TypeError("a model is a callable, a formula string or a catalogue name,"
                            " not %s" % type(source).__name__)
        encoded_source = _arguments.text(source, "the model")
        self._handle: Optional[int] = None
        self._lib = lib = _library.library()
        if isinstance(predictors, str):
            predictors = [predictors]
        if (_IDENTIFIER.match(source.strip()) and parameter_names is None and
                predictors is not None and source.strip().lower() in
                (name.lower() for name in catalogue())):
            raise ValueError("%r is a catalogue model, which takes its predictors in order:"
                             " predictors= is for formulas" % source)
        if _IDENTIFIER.match(source.strip()) and parameter_names is None and predictors is None:
            handle = lib.nlfit_model_builtin(source.strip().encode())
            if not handle:
                raise ValueError("unknown model name %r; the catalogue has: %s"
                                 % (source, ", ".join(catalogue())))
        else:
            error = ctypes.create_string_buffer(512)
            names, count = None, 0
            if parameter_names is not None:
                if isinstance(parameter_names, str):
                    raise TypeError("parameter_names is a sequence of names, not one string")
                encoded = [_arguments.text(name, "the parameter name") for name in parameter_names]
                names = (ctypes.c_char_p * len(encoded))(*encoded)
                count = len(encoded)
            given, d = None, 0
            if predictors is not None:
                encoded_predictors = [_arguments.text(name, "the predictor name")
                                      for name in predictors]
                given = (ctypes.c_char_p * len(encoded_predictors))(*encoded_predictors)
                d = len(encoded_predictors)
                if d == 0:
                    raise ValueError("predictors must name at least one predictor")
            handle = lib.nlfit_model_formula_predictors(
                encoded_source, ctypes.cast(given, ctypes.c_void_p) if given is not None else None,
                d, ctypes.cast(names, ctypes.c_void_p) if names is not None else None,
                count, error, len(error))
            if not handle:
                raise ValueError("bad formula %r: %s" % (source, error.value.decode(errors="replace")))
        self._handle = handle
        self.parameter_count = lib.nlfit_model_parameter_count(handle)
        self.parameter_names = tuple(lib.nlfit_model_parameter_name(handle, i).decode()
                                     for i in range(self.parameter_count))
        self.name = lib.nlfit_model_name(handle).decode()
        self.formula = lib.nlfit_model_formula_text(handle).decode()
        self.description = lib.nlfit_model_description(handle).decode()
        self.predictor_count = lib.nlfit_model_predictor_count(handle)
        self.predictors = tuple(lib.nlfit_model_predictor_name(handle, k).decode()
                                for k in range(self.predictor_count))

    def __call__(self, x: Any, *params: float) -> NDArray[Any]:
        """The model's values at x for the parameters, through the C library.

        Parameters
        ----------
        x : array_like
            Abscissae, any shape.
        *params : float
            The ``parameter_count`` parameter values.

        Returns
        -------
        numpy.ndarray
            float64 values of x's shape.

        Examples
        --------
        >>> import nlfit
        >>> nlfit.Model("line")([0.0, 2.0], 1.0, 0.5)
        array([1., 2.])
        """
        handle = self.handle()
        x = _float_array(x, "x", copy_ok=True)
        p = _float_array(params, "params", copy_ok=True)
        if p.shape != (self.parameter_count,):
            raise ValueError("%s takes %d parameters, got %d"
                             % (self.name, self.parameter_count, p.size))
        d = self.predictor_count
        if d > 1:
            if x.ndim < 1 or x.shape[0] != d:
                raise ValueError("%s takes %d predictors: x must have shape (%d, ...), got %s"
                                 % (self.name, d, d, x.shape))
            rows = _predictor_rows(x.reshape(d, -1))
            several = np.empty(rows.shape[0])
            status = self._lib.nlfit_model_evaluate_multi(
                handle, p.ctypes.data, rows.ctypes.data, rows.shape[0], d, several.ctypes.data)
            if status != 0:
                raise FitError(self._lib.status_message(status), status)
            return several.reshape(x.shape[1:])
        flat = np.ascontiguousarray(x.ravel())
        values = np.empty_like(flat)
        status = self._lib.nlfit_model_evaluate(handle, p.ctypes.data, flat.ctypes.data,
                                                flat.size, values.ctypes.data)
        if status != 0:
            raise FitError(self._lib.status_message(status), status)
        return values.reshape(x.shape)

    def handle(self) -> int:
        """The C handle (an ``nlfit_model *`` as an integer).

        Raises
        ------
        ValueError
            The model has been closed.

        Examples
        --------
        >>> import nlfit
        >>> nlfit.Model("line").handle() != 0
        True
        """
        if not self._handle:
            raise ValueError("the model %r has been closed" % (self,))
        return self._handle

    @property
    def closed(self) -> bool:
        """True once ``close()`` has freed the handle."""
        return not self._handle

    def close(self) -> None:
        """Frees the C handle; closing again does nothing.

        Examples
        --------
        >>> import nlfit
        >>> model = nlfit.Model("line")
        >>> model.close()
        >>> model.closed
        True
        """
        handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            self._lib.nlfit_model_free(handle)

    def __enter__(self) -> "Model":
        return self

    def __exit__(self, *exception: Any) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def __repr__(self) -> str:
        return "Model(%r)" % (self.formula if self.name == "formula" else self.name)


def _predictor_rows(x: NDArray[Any]) -> NDArray[Any]:
    """x of shape (d, m), or (K, d, m), in the library's layout: each
    observation's d values side by side, (m, d) or (K, m, d), C-contiguous."""
    return np.ascontiguousarray(np.swapaxes(x, -1, -2))


def _model_of(model: Any, predictors: Optional[Sequence[str]] = None,
              d: int = 1) -> Optional[Model]:
    """The handle of a Model or a string (None for a callable). A formula of
    d > 1 predictors names them ``predictors``, by default x1 .. xd."""
    if isinstance(model, Model):
        model.handle()  # refuses a closed model
        return model
    if isinstance(model, str):
        if predictors is None and d > 1 and not _IDENTIFIER.match(model.strip()):
            predictors = ["x%d" % (k + 1) for k in range(d)]
        return Model(model, predictors=predictors)
    if callable(model):
        return None
    raise TypeError("a model is a callable, a formula string or a catalogue name, not %s"
                    % type(model).__name__)


def _float_array(values: Any, name: str, copy_ok: bool) -> NDArray[Any]:
    """values as a float64 array: a C-contiguous float64 array as it is; other
    real numbers converted once (refused when not copy_ok and values is a
    non-contiguous float64 array)."""
    if isinstance(values, np.ndarray):
        if values.dtype == np.float64 and values.flags.c_contiguous:
            return values
        if values.dtype.kind not in "fiu":
            raise TypeError("%s must hold real numbers, not %s" % (name, values.dtype))
        if not copy_ok and not values.flags.c_contiguous:
            raise ValueError("%s is not C-contiguous; pass np.ascontiguousarray(%s) (this"
                             " is not copied silently, to spare memory)" % (name, name))
        return np.ascontiguousarray(values, dtype=np.float64)
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as error:
        raise TypeError("%s must be an array of real numbers: %s" % (name, error)) from None
    if array.dtype.kind not in "fiu":
        raise TypeError("%s must hold real numbers, not %s" % (name, array.dtype))
    return np.ascontiguousarray(array, dtype=np.float64)


def _reject(kwargs: Dict[str, Any], function: str) -> None:
    for name in kwargs:
        if name not in _TUNING:
            raise TypeError("%s() does not support the keyword %r" % (function, name))


def _held_flags(fixed: Any, n: int, names: Sequence[str]) -> Optional[NDArray[Any]]:
    """fixed: None, indices or names, or a boolean mask of n values."""
    return _arguments.held_flags(fixed, n, names)


def _max_evaluations(maxfev: Any) -> Optional[int]:
    if maxfev is None:
        return None
    return _arguments.integer(maxfev, "maxfev", 1, _arguments.INT64_MAX)


def _bound_arrays(bounds: Any, n: int, names: Sequence[str]
                  ) -> Optional[Tuple[NDArray[Any], NDArray[Any]]]:
    """bounds=(lower, upper), each a scalar or n values, +-inf for none, as two
    float64 arrays of n; None when there are no bounds at all. Refuses NaN,
    lower > upper, a lower bound of +inf and an upper one of -inf, naming the
    parameter."""
    if bounds is None:
        return None
    try:
        lower, upper = bounds
    except (TypeError, ValueError):
        raise TypeError("bounds must be a pair (lower, upper) of scalars or arrays of %d values"
                        % n) from None
    arrays = []
    for side, values in (("lower", lower), ("upper", upper)):
        if np.ndim(values) == 0:
            values = [values] * n
        array = np.array(_float_array(values, "bounds", copy_ok=True), dtype=np.float64)
        if array.shape != (n,):
            raise ValueError("the %s bounds must be a scalar or %d values (%s), got shape %s"
                             % (side, n, ", ".join(names), array.shape))
        arrays.append(np.ascontiguousarray(array))
    lower, upper = arrays
    for j in range(n):
        if np.isnan(lower[j]) or np.isnan(upper[j]) or lower[j] == np.inf or upper[j] == -np.inf:
            raise ValueError("bounds of %s must be numbers, a lower one below +inf and an upper"
                             " one above -inf, got [%r, %r]" % (names[j], lower[j], upper[j]))
        if lower[j] > upper[j]:
            raise _refused_option("the lower bound of %s (%r) is above its upper bound (%r)"
                                  % (names[j], lower[j], upper[j]))
    if np.all(lower == -np.inf) and np.all(upper == np.inf):
        return None
    return lower, upper


def _refused_option(message: str) -> "RefusedError":
    return RefusedError(message, -6)


def _check_start_in_bounds(params: NDArray[Any],
                           bounded: Optional[Tuple[NDArray[Any], NDArray[Any]]],
                           names: Sequence[str], defaulted: bool) -> None:
    """A start outside its bounds is refused naming the parameter; a start of
    ones by default moves to the nearest bound instead."""
    if bounded is None:
        return
    lower, upper = bounded
    for j in range(len(params)):
        if lower[j] <= params[j] <= upper[j]:
            continue
        if defaulted:
            params[j] = lower[j] if params[j] < lower[j] else upper[j]
        else:
            raise _refused_option("the start of %s (%r) lies outside its bounds [%r, %r]"
                                  % (names[j], float(params[j]), lower[j], upper[j]))


def _options(lib: _library.Library, n: int, held: Optional[NDArray[Any]],
             sigma: Optional[NDArray[Any]], absolute_sigma: bool, maxfev: Any, statistics: bool,
             tuning: Dict[str, Any], target: Optional[_library.Options] = None,
             bounded: Optional[Tuple[NDArray[Any], NDArray[Any]]] = None
             ) -> _library.Options:
    options = target if target is not None else _library.Options()
    lib.nlfit_options_init(ctypes.byref(options))
    for name, value in tuning.items():
        setattr(options, name, _arguments.real(value, name))
    budget = _max_evaluations(maxfev)
    if budget is not None:
        options.max_evaluations = budget
    options.held = held.ctypes.data if held is not None else None
    options.sigma = sigma.ctypes.data if sigma is not None else None
    options.absolute_sigma = 1 if absolute_sigma else 0
    options.compute_statistics = 1 if statistics else 0
    options.lower = bounded[0].ctypes.data if bounded is not None else None
    options.upper = bounded[1].ctypes.data if bounded is not None else None
    return options


class _Callback:
    """A Python function of (x, *params) behind one of the library's
    callbacks. The whole body is guarded: an exception (KeyboardInterrupt
    included) is kept and the fit stopped (nonzero return); the caller
    re-raises it after the C call. The function gets a read-only view of x,
    so that it cannot change the caller's data or the fit's."""

    # The ctypes prototype the callback is handed to the library as.
    _prototype: Any = None

    def __init__(self, function: Callable[..., Any], x: NDArray[Any], n: int,
                 guard: _interrupt.Guard, rows: Optional[NDArray[Any]] = None) -> None:
        # x: what the function is given, (m,) or (d, m); rows: the same
        # values in the library's layout, (m, d), when d > 1.
        self.function = function
        self.x = x.view()
        self.x.flags.writeable = False
        self.d = 1 if x.ndim == 1 else x.shape[0]
        self.x_address = (x if rows is None else rows).ctypes.data
        self.n = n
        self.m = x.shape[-1]
        self.guard = guard
        self.error: Optional[BaseException] = None
        self.pointer = self._prototype(self._call)

    def _call(self, params: Any, x: Any, m: int, *rest: Any) -> int:
        try:
            if self.error is not None or self.guard.interrupted():
                return 1
            xs = self.x
            if ctypes.cast(x, ctypes.c_void_p).value != self.x_address or m != self.m:
                xs = np.ctypeslib.as_array(x, shape=(m * self.d,))
                if self.d > 1:
                    xs = xs.reshape(m, self.d).T
                xs.flags.writeable = False
            self._evaluate(params, xs, m, rest)
            return 0
        except BaseException as error:  # noqa: B902 - re-raised after the C call
            if self.error is None:
                self.error = error
            return 1

    def _evaluate(self, params: Any, xs: NDArray[Any], m: int, rest: Tuple[Any, ...]) -> None:
        """Calls the function at xs and writes its answer where the library
        asked; rest: the callback's arguments after m. Raises on a bad
        answer."""
        raise NotImplementedError

    def raise_pending(self) -> None:
        error, self.error = self.error, None
        if error is not None:
            raise error


class _VectorCallback(_Callback):
    """A Python f(x, *params) behind nlfit_vector_model."""

    _prototype = _library.VectorModel

    def _evaluate(self, params: Any, xs: NDArray[Any], m: int, rest: Tuple[Any, ...]) -> None:
        values = rest[0]
        arguments = params[:self.n]
        with self.guard.python_call():
            out = self.function(xs, *arguments)
        # Nothing returned (a forgotten return) is NaN: the fit stops as
        # not finite, naming the observation.
        out = np.asarray(np.nan if out is None else out)
        if out.dtype.kind not in "fiu":
            raise TypeError(
                "the model returned %s values; it must return real numbers%s"
                % (out.dtype, " (np.real or np.abs of them?)" if out.dtype.kind == "c"
                   else ""))
        if out.shape != (m,):
            if out.shape not in ((), (1,)):
                raise ValueError("the model returned shape %s; expected (%d,), the shape of"
                                 " x (or one value for all x)" % (out.shape, m))
            out = np.broadcast_to(out, (m,))
        out = np.ascontiguousarray(out, dtype=np.float64)
        ctypes.memmove(values, out.ctypes.data, 8 * m)


class _JacobianCallback(_Callback):
    """A Python jac(x, *params) returning the (m, n) Jacobian of the model's
    values behind nlfit_jacobian_function."""

    _prototype = _library.JacobianFunction

    def _evaluate(self, params: Any, xs: NDArray[Any], m: int, rest: Tuple[Any, ...]) -> None:
        n, jacobian = rest[0], rest[1]
        arguments = params[:n]
        with self.guard.python_call():
            out = np.asarray(self.function(xs, *arguments))
        if out.dtype.kind not in "fiu":
            raise TypeError("jac returned %s values; it must return real numbers"
                            % out.dtype)
        if out.shape != (m, n):
            raise ValueError("jac must return an array of shape (%d, %d), got %s"
                             % (m, n, out.shape))
        out = np.ascontiguousarray(out, dtype=np.float64)
        ctypes.memmove(jacobian, out.ctypes.data, 8 * m * n)


_DERIVATIVES = {"exact": 0, "numeric": 1}
_ESTIMATORS = {"least_squares": 0, "poisson": 1, "soft_l1": 2, "huber": 3, "cauchy": 4}


def _estimator_code(estimator: Any) -> int:
    try:
        return _ESTIMATORS[estimator]
    except (KeyError, TypeError):
        raise ValueError("estimator must be 'least_squares', 'poisson', 'soft_l1', 'huber' or"
                         " 'cauchy', got %r"
                         % (estimator,)) from None


def _derivatives_code(derivatives: Any) -> int:
    try:
        return _DERIVATIVES[derivatives]
    except (KeyError, TypeError):
        raise ValueError("derivatives must be 'exact' or 'numeric', got %r"
                         % (derivatives,)) from None


def _progress_stop(guard: _interrupt.Guard) -> Any:
    """An nlfit_progress_callback that stops a fit once SIGINT has arrived."""
    def report(_iteration: int, _norm: float, _params: Any, _n: int, _user: Any) -> int:
        try:
            return 1 if guard.interrupted() else 0
        except BaseException:  # noqa: B902 - nothing may escape into C
            return 1
    return _library.ProgressCallback(report)


def _callable_names(function: Callable[..., Any], n: int) -> Tuple[str, ...]:
    try:
        parameters = list(inspect.signature(function).parameters.values())[1:]
        names = [p.name for p in parameters
                 if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        if len(names) == n:
            return tuple(names)
    except (TypeError, ValueError):
        pass
    return tuple("p%d" % j for j in range(n))


def _callable_parameter_count(function: Callable[..., Any]) -> int:
    try:
        parameters = list(inspect.signature(function).parameters.values())[1:]
    except (TypeError, ValueError):
        parameters = []
    if not parameters or any(p.kind == p.VAR_POSITIONAL for p in parameters):
        raise ValueError("p0 is needed: the number of parameters cannot be read from the"
                         " model's signature")
    return len(parameters)


@dataclasses.dataclass(eq=False, repr=False)
class FitResult:
    """The result of ``fit``; every statistic comes from the C library.

    ``repr(result)`` (and ``print``) is the report table the ``nlfit``
    command prints.

    Attributes
    ----------
    params : numpy.ndarray
        (n,) the fitted parameters (the last accepted point after any stop).
    parameter_names : tuple of str
        Their names.
    start : numpy.ndarray
        (n,) the starting values.
    std_errors : numpy.ndarray
        (n,) standard errors; NaN for parameters the data do not determine
        (beyond the Jacobian's numerical rank), 0 for held ones.
    ci_low, ci_high : numpy.ndarray
        (n,) the 95 % confidence interval (Student t with ``dof`` degrees).
    covariance : numpy.ndarray
        (n, n) s^2 (J^T J)^-1, or (J^T J)^-1 with ``absolute_sigma``; NaN rows
        and columns for undetermined parameters, zero ones for held ones.
    correlation : numpy.ndarray
        (n, n) the correlation matrix.
    parameter_flags : numpy.ndarray
        (n,) ``NLFIT_PARAM_*`` bits: 1 held, 2 undetermined, 4 no effect on
        the residuals, 8 free but still at its start, 16 on a bound, 32 a
        standard error widened by the profile check.
    linear_std_errors : numpy.ndarray
        (n,) the linearised standard errors, which std_errors equals except
        where the profile check (``profile_check=True``) widened one.
    rss : float
        The sum of squared (weighted) residuals: chi-square with sigma.
    residual_norm : float
        Its square root.
    reduced_chi2 : float
        rss / dof; NaN when dof = 0.
    r_squared : float
        The (weighted) coefficient of determination; NaN when undefined.
    dof : int
        Degrees of freedom, m - rank.
    rank : int
        The numerical rank of the Jacobian (free parameters).
    status : int
        The C status: 1-4 converged, 5 evaluation budget spent, 6-8 stopped
        at machine precision, 11 a model value that is not finite (see
        ``nlfit/fit.h``).
    status_name : str
        Its short name, such as ``"converged_reduction"``.
    message : str
        One sentence about it.
    converged : bool
        Whether the status counts as converged.
    iterations : int
        Outer iterations of the solver.
    evaluations : int
        Model evaluations of the fit.
    statistics_evaluations : int
        Model evaluations for the statistics, counted apart.
    jacobian_evaluations : int
        Calls of an exact Jacobian.
    check_evaluations, check_jacobian_evaluations : int
        Model evaluations and exact Jacobians of the profile check's refits;
        0 without it.
    jacobian_check_error, jacobian_check_column : float, int
        The check_jacobian comparison of the exact Jacobian with central
        differences; NaN and -1 when none ran.
    deviance, pearson_chi2 : float
        With estimator='poisson', the deviance and Pearson's sum; else NaN.
    estimator : str
        The estimator of the fit.
    chi2_p_value : float
        With sigma and absolute_sigma, the chi-square p-value; NaN otherwise.
    start_origin : numpy.ndarray or None
        Per parameter 0 given, 1 automatic, 2 default 1; None when p0 was
        given.
    residuals : numpy.ndarray or None
        model - y at the result.
    warnings : list of dict
        The report's warnings, ``{"code", "message"}`` dicts (the ``nlfit``
        command's ``warnings``).
    log_likelihood, aic, aicc, bic : float
        Model comparison: the maximised log-likelihood (Gaussian, or
        Poisson's) and the information criteria (``docs/api.md``); NaN for a
        robust loss.
    fitted : numpy.ndarray
        The fitted model at the data's x; ``result(x)`` evaluates it at any
        x and ``result.predict(x)`` adds the confidence and prediction bands.
    model : str
        The catalogue name, the formula, or the Python callable's name.
    model_name : str or None
        The catalogue name or the callable's name; None for a formula.
    formula : str or None
        The model's formula; None for a Python callable.
    x, y : numpy.ndarray
        The data fitted.
    sigma : numpy.ndarray or None
        Standard deviations of y, when given.
    absolute_sigma : bool
        Whether sigma was taken as absolute.
    nonfinite_index : int
        With status ``stopped_nonfinite``, the first observation whose model
        value or residual was not finite; else -1.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> x = np.linspace(0.0, 5.0, 30)
    >>> r = nlfit.fit("exp_decay", x, 3.0 * np.exp(-1.3 * x) + 0.5, [1.0, 1.0, 0.0])
    >>> r.converged, r.parameter_names, r.dof
    (True, ('a', 'k', 'c'), 27)
    >>> print(np.round(r.params, 6))
    [3.  1.3 0.5]
    >>> print(repr(r).splitlines()[0])
    Model:    exp_decay: y = a*exp(-k*x) + c
    """

    params: NDArray[Any]
    parameter_names: Tuple[str, ...]
    start: NDArray[Any]
    std_errors: NDArray[Any]
    ci_low: NDArray[Any]
    ci_high: NDArray[Any]
    covariance: NDArray[Any]
    correlation: NDArray[Any]
    parameter_flags: NDArray[Any]
    rss: float
    residual_norm: float
    reduced_chi2: float
    r_squared: float
    dof: int
    rank: int
    status: int
    status_name: str
    message: str
    converged: bool
    iterations: int
    evaluations: int
    statistics_evaluations: int
    model: str
    model_name: Optional[str]
    formula: Optional[str]
    x: NDArray[Any]
    y: NDArray[Any]
    sigma: Optional[NDArray[Any]]
    absolute_sigma: bool
    nonfinite_index: int = -1
    jacobian_evaluations: int = 0
    jacobian_check_error: float = float("nan")
    jacobian_check_column: int = -1
    deviance: float = float("nan")
    pearson_chi2: float = float("nan")
    estimator: str = "least_squares"
    chi2_p_value: float = float("nan")
    start_origin: Optional[NDArray[Any]] = None
    residuals: Optional[NDArray[Any]] = None
    warnings: List[Dict[str, str]] = dataclasses.field(default_factory=list)
    log_likelihood: float = float("nan")
    aic: float = float("nan")
    aicc: float = float("nan")
    bic: float = float("nan")
    linear_std_errors: Optional[NDArray[Any]] = None
    check_evaluations: int = 0
    check_jacobian_evaluations: int = 0
    _model: Any = dataclasses.field(default=None, repr=False)

    def __call__(self, x):
        """The fitted model's values at x (an array of any shape)."""
        return self.predict(x, bands=False).value

    @property
    def fitted(self):
        """The fitted model's values at the data's x."""
        return self(self.x)

    def predict(self, x, level=0.95, sigma=None, bands=True):
        """The fitted model at x with its bands at the two-sided ``level``.

        Returns a Prediction (value, confidence_low, confidence_high,
        prediction_low, prediction_high), arrays of the shape of x. The
        confidence band of the curve comes from the delta method,
        t*sqrt(g^T C g) with g the model's gradient in the parameters and C
        the covariance; the prediction band of a new observation adds the
        residual variance: the reduced chi-square (1 with absolute_sigma)
        times sigma^2 at x (sigma: the standard deviations at x, of the
        shape of x; 1 when None). t is Student's quantile with dof degrees.
        A parameter on its bound counts as held (no part in the bands).

        >>> import numpy as np, nlfit
        >>> x = np.arange(6.0)
        >>> r = nlfit.fit("a+b*x", x, 2 * x + 1 + 0.1 * np.cos(3 * x), p0=[0, 1])
        >>> p = r.predict([2.5])
        >>> bool(p.prediction_low < p.confidence_low < p.value < p.confidence_high)
        True
        """
        lib = _library.library()
        if self._model is None:
            raise ValueError("predict() needs one model; a global fit has several")
        x = _float_array(x, "x", copy_ok=True)
        flat = np.ascontiguousarray(x.ravel())
        k = flat.size
        n = len(self.params)
        if bands and not 0.0 < float(level) < 1.0:
            raise ValueError("level must lie between 0 and 1, got %r" % (level,))
        if sigma is not None:
            sigma = np.ascontiguousarray(np.broadcast_to(_float_array(sigma, "sigma", True),
                                                         x.shape).ravel())
        params = np.ascontiguousarray(self.params, dtype=np.float64)
        covariance = np.array(self.covariance, dtype=np.float64)
        # A parameter on its bound counts as held: its rows are NaN.
        at_bound = (np.asarray(self.parameter_flags) & 16) != 0
        covariance[at_bound, :] = 0.0
        covariance[:, at_bound] = 0.0
        variance = 1.0 if self.absolute_sigma else float(self.reduced_chi2)
        values = np.empty(k)
        conf = np.empty(k) if bands else None
        pred = np.empty(k) if bands else None
        address = (lambda a: a.ctypes.data if a is not None else None)
        arguments = (n, params.ctypes.data, covariance.ctypes.data,
                     variance if np.isfinite(variance) else 0.0, int(self.dof), float(level), k,
                     flat.ctypes.data, address(sigma), values.ctypes.data, address(conf),
                     address(pred))
        handle = self._model if isinstance(self._model, Model) else None
        if handle is not None:
            status = lib.nlfit_predict_model(handle.handle(), 1, *arguments)
        else:
            with _interrupt.Guard() as guard:
                callback = _VectorCallback(self._model, flat, n, guard)
                status = lib.nlfit_predict(callback.pointer, None, 1, *arguments)
            callback.raise_pending()
        if status != 0:
            raise FitError("predict(): %s (%s)" % (lib.status_message(status),
                                                   lib.status_name(status)), status)
        if not bands:
            return Prediction(values.reshape(x.shape), None, None, None, None)
        if not np.isfinite(variance):
            pred[:] = np.nan
        shape = x.shape
        return Prediction(values.reshape(shape), (values - conf).reshape(shape),
                          (values + conf).reshape(shape), (values - pred).reshape(shape),
                          (values + pred).reshape(shape))

    def __repr__(self) -> str:
        text = _report_table(self)
        return text if text is not None else self._plain_table()

    def _plain_table(self) -> str:
        lines = ["model      %s" % self.model,
                 "status     %s (%s)" % (self.status_name, self.message),
                 "%-10s %24s %24s" % ("parameter", "value", "std error")]
        for name, value, error in zip(self.parameter_names, self.params, self.std_errors):
            lines.append("%-10s %24.17g %24.17g" % (name, value, error))
        lines.append("rss %.17g  reduced chi2 %.17g  R2 %.17g  iterations %d  evaluations %d"
                     % (self.rss, self.reduced_chi2, self.r_squared, self.iterations,
                        self.evaluations))
        return "\n".join(lines)


Prediction = _collections.namedtuple(
    "Prediction", ["value", "confidence_low", "confidence_high", "prediction_low",
                   "prediction_high"])
Prediction.__doc__ = """FitResult.predict: the fitted model's values and the two bands at the
level asked for (None when bands=False)."""


def _report_text(r: FitResult, function_name: str) -> Optional[str]:
    """The text the C library's report layer writes for a fit (its report,
    or its warnings); None when the library lacks the function."""
    lib = _library.library()
    formatter = getattr(lib, function_name, None)
    if formatter is None:
        return None
    result = _library.Result(
        status=r.status, converged=int(r.converged), rank=r.rank, iterations=r.iterations,
        evaluations=r.evaluations, statistics_evaluations=r.statistics_evaluations, dof=r.dof,
        residual_norm=r.residual_norm, rss=r.rss, reduced_chi2=r.reduced_chi2,
        r_squared=r.r_squared, jacobian_evaluations=r.jacobian_evaluations,
        deviance=r.deviance, pearson_chi2=r.pearson_chi2, chi2_p_value=r.chi2_p_value,
        log_likelihood=r.log_likelihood, aic=r.aic, aicc=r.aicc, bic=r.bic,
        check_evaluations=r.check_evaluations,
        check_jacobian_evaluations=r.check_jacobian_evaluations)
    for field in ("covariance", "std_errors", "ci_low", "ci_high", "correlation",
                  "parameter_flags", "linear_std_errors"):
        array = getattr(r, field)
        if array is not None:
            setattr(result, field, array.ctypes.data)
    names = (ctypes.c_char_p * len(r.parameter_names))(*[s.encode() for s in r.parameter_names])
    report = _library.ReportInput(
        model_name=r.model_name.encode() if r.model_name else None,
        formula=r.formula.encode() if r.formula else None,
        points=r.x.size, weighted=int(r.sigma is not None),
        absolute_sigma=int(r.absolute_sigma), n=len(r.params),
        parameter_names=ctypes.cast(names, ctypes.c_void_p).value,
        params=r.params.ctypes.data, start=r.start.ctypes.data,
        result=ctypes.pointer(result), certified_rss=float("nan"))
    origin = r.start_origin
    if origin is not None:
        report.start_origin = origin.ctypes.data
    residuals = r.residuals
    if residuals is not None:
        # Several predictors: the residuals in the order of the fitted value.
        order = r.x if r.x.ndim == 1 else np.ascontiguousarray(residuals + r.y)
        report.x = order.ctypes.data
        report.x_is_fitted = int(r.x.ndim > 1)
        report.residuals = residuals.ctypes.data
    size = formatter(ctypes.byref(report), None, 0)
    if size == 0:
        return "" if function_name == "nlfit_report_warnings" else None
    buffer = ctypes.create_string_buffer(size + 1)
    formatter(ctypes.byref(report), ctypes.cast(buffer, ctypes.c_void_p), size + 1)
    return str(buffer.value.decode(errors="replace"))


def _report_table(r: FitResult) -> Optional[str]:
    """The C library's report of a fit (nlfit_report_format), the table the
    nlfit command prints; None when the library lacks the formatter."""
    return _report_text(r, "nlfit_report_format")


def _warnings_of(r: FitResult) -> List[Dict[str, str]]:
    """The report layer's warnings as a list of {"code", "message"} dicts:
    the list the nlfit command prints and writes under "warnings"."""
    text = _report_text(r, "nlfit_report_warnings")
    if not text:
        return []
    return [dict(zip(("code", "message"), line.split("\t", 1)))
            for line in text.splitlines() if line]


def _automatic_start(lib: _library.Library, handle: Optional[Model], n: int, x: NDArray[Any],
                     y: NDArray[Any], sigma: Optional[NDArray[Any]]
                     ) -> Tuple[NDArray[Any], Optional[NDArray[Any]]]:
    """The catalogue shape's starting values from the data, and the origin of
    each (nlfit.START_*); ones without a method (or an older library)."""
    params = np.ones(n)
    origin = np.full(n, 2, dtype=np.uint8)
    if handle is None or getattr(lib, "nlfit_model_auto_start", None) is None:
        return params, None
    status = lib.nlfit_model_auto_start(handle.handle(), n, params.ctypes.data, None, y.size,
                                        x.ctypes.data, y.ctypes.data,
                                        None if sigma is None else sigma.ctypes.data,
                                        origin.ctypes.data)
    if status != 0:
        return np.ones(n), None
    return params, origin


def _residuals_at(lib: _library.Library, handle: Optional[Model], model: Any,
                  params: NDArray[Any], x: NDArray[Any], rows: NDArray[Any], y: NDArray[Any]
                  ) -> Optional[NDArray[Any]]:
    """model - y at the fitted parameters (for the runs test of the
    warnings), or None when the model cannot give them. rows: x in the
    library's layout."""
    values = np.empty_like(y)
    try:
        if handle is not None:
            if lib.nlfit_model_evaluate_multi(handle.handle(), params.ctypes.data,
                                              rows.ctypes.data, y.size, handle.predictor_count,
                                              values.ctypes.data) != 0:
                return None
        else:
            values[:] = np.asarray(model(x.copy(), *params), dtype=np.float64)
    except Exception:  # the model's own failure was reported by the fit
        return None
    result: NDArray[Any] = values - y
    return result


def _refused(lib: _library.Library, status: int, function_name: str) -> RefusedError:
    return RefusedError("%s() refused the problem: %s (%s)"
                        % (function_name, lib.status_message(status), lib.status_name(status)),
                        status)


def _stopped(lib: _library.Library, status: int, function_name: str) -> FitError:
    """A fit stopped by a callback with no error to raise in its place: this
    never passes for a result."""
    return FitError("%s() was stopped before its end: %s (%s)"
                    % (function_name, lib.status_message(status), lib.status_name(status)),
                    status)


def _run_fit(model: ModelLike, x: Any, y: Any, p0: Any, sigma: Any, absolute_sigma: bool,
             fixed: Any, maxfev: Any, tuning: Dict[str, Any], function_name: str,
             bounds: Any = None, jac: Any = None, derivatives: str = "exact",
             check_jacobian: bool = False, estimator: str = "least_squares",
             predictors: Optional[Sequence[str]] = None,
             profile_check: bool = False) -> FitResult:
    lib = _library.library()
    derivatives_code = _derivatives_code(derivatives)
    estimator_code = _estimator_code(estimator)
    if jac is not None and isinstance(model, (str, Model)):
        raise ValueError("jac applies to a Python model: formula and catalogue models bring"
                         " their own derivatives (derivatives='exact')")
    if jac is not None and not callable(jac):
        raise TypeError("jac must be a callable jac(x, *params) returning the (m, n) Jacobian")
    x = _float_array(x, "x", copy_ok=True)
    y = _float_array(y, "y", copy_ok=True)
    if x.ndim not in (1, 2) or y.ndim != 1 or x.shape[-1] != y.shape[0]:
        raise ValueError("x and y must have the same length m: x must have shape (m,), or"
                         " (k, m) for k predictors, and y (m,) (x %s, y %s)" % (x.shape, y.shape))
    d = 1 if x.ndim == 1 else x.shape[0]
    handle = _model_of(model, predictors, d)
    if handle is not None and handle.predictor_count != d:
        raise ValueError("%s takes %d predictor%s: x must have shape (%d, m)%s, got %s"
                         % (handle.name, handle.predictor_count,
                            "s" if handle.predictor_count > 1 else "", handle.predictor_count,
                            " or (m,)" if handle.predictor_count == 1 else "", x.shape))
    rows = x if x.ndim == 1 else _predictor_rows(x)
    if handle is not None:
        n = handle.parameter_count
        names = handle.parameter_names
    else:
        function = cast(Callable[..., Any], model)
        n = len(p0) if p0 is not None else _callable_parameter_count(function)
        names = _callable_names(function, n)
    origin = None
    if p0 is None:
        params = np.ones(n)
    else:
        params = np.array(_float_array(p0, "p0", copy_ok=True), dtype=np.float64, copy=True)
        if params.shape != (n,):
            raise ValueError("p0 must hold %d values (%s), got shape %s"
                             % (n, ", ".join(names), params.shape))
    if sigma is not None:
        sigma = _float_array(sigma, "sigma", copy_ok=True)
        if sigma.shape != y.shape:
            raise ValueError("sigma must have the shape of y %s, got %s" % (y.shape, sigma.shape))
    if p0 is None and handle is not None:
        params, origin = _automatic_start(lib, handle, n, rows, y, sigma)
    elif p0 is None:
        origin = np.full(n, 2, dtype=np.uint8)  # a callable: ones, with the warning
    held = _held_flags(fixed, n, list(names))
    bounded = _bound_arrays(bounds, n, names)
    _check_start_in_bounds(params, bounded, names, p0 is None)
    start = params.copy()
    options = _options(lib, n, held, sigma, absolute_sigma, maxfev, True, tuning,
                       bounded=bounded)
    options.derivatives = derivatives_code
    options.estimator = estimator_code
    options.check_jacobian = 1 if check_jacobian else 0
    options.check_nonlinearity = 1 if profile_check else 0
    arrays: Dict[str, Any] = {
        "covariance": np.full((n, n), np.nan), "correlation": np.full((n, n), np.nan),
        "std_errors": np.full(n, np.nan), "ci_low": np.full(n, np.nan),
        "ci_high": np.full(n, np.nan), "parameter_flags": np.zeros(n, dtype=np.uintc),
        "linear_std_errors": np.full(n, np.nan)}
    result = _library.Result()
    for field, array in arrays.items():
        setattr(result, field, array.ctypes.data)
    callback = None
    jacobian = None
    with _interrupt.Guard() as guard:
        if guard.active:
            options.progress = progress = _progress_stop(guard)  # noqa: F841 - kept alive
        if handle is not None:
            status = lib.nlfit_fit_model_multi(handle.handle(), n, params.ctypes.data, y.size, d,
                                               rows.ctypes.data, y.ctypes.data,
                                               ctypes.byref(options), ctypes.byref(result))
            model_name = None if handle.name == "formula" else handle.name
            formula: Optional[str] = handle.formula
        else:
            several = rows if x.ndim > 1 else None
            callback = _VectorCallback(function, x, n, guard, several)
            if jac is not None and derivatives == "exact":
                jacobian = _JacobianCallback(jac, x, n, guard, several)
                options.jacobian = jacobian.pointer
            status = lib.nlfit_fit_vectorized_multi(callback.pointer, None, n,
                                                    params.ctypes.data, y.size, d,
                                                    rows.ctypes.data, y.ctypes.data,
                                                    ctypes.byref(options), ctypes.byref(result))
            model_name, formula = getattr(model, "__name__", "python model"), None
    # Here a Ctrl-C during the fit has been raised as KeyboardInterrupt.
    if callback is not None:
        callback.raise_pending()
    if jacobian is not None:
        jacobian.raise_pending()
    if status < 0:
        raise _refused(lib, status, function_name)
    if status in (_library.STOPPED_BY_CALLBACK, _library.STOPPED_BY_MODEL):
        raise _stopped(lib, status, function_name)
    fitted = FitResult(
        model=model_name or formula or "", model_name=model_name, formula=formula,
        parameter_names=tuple(names), params=params, start=start, x=x, y=y, sigma=sigma,
        rss=result.rss, residual_norm=result.residual_norm, reduced_chi2=result.reduced_chi2,
        r_squared=result.r_squared, dof=result.dof, rank=result.rank, status=result.status,
        status_name=lib.status_name(result.status), message=lib.status_message(result.status),
        converged=bool(result.converged), iterations=result.iterations,
        evaluations=result.evaluations, statistics_evaluations=result.statistics_evaluations,
        jacobian_evaluations=result.jacobian_evaluations,
        jacobian_check_error=result.jacobian_check_error,
        jacobian_check_column=result.jacobian_check_column,
        deviance=result.deviance, pearson_chi2=result.pearson_chi2, estimator=estimator,
        absolute_sigma=bool(absolute_sigma), nonfinite_index=result.nonfinite_index,
        chi2_p_value=result.chi2_p_value, start_origin=origin,
        log_likelihood=result.log_likelihood, aic=result.aic, aicc=result.aicc, bic=result.bic,
        check_evaluations=result.check_evaluations,
        check_jacobian_evaluations=result.check_jacobian_evaluations,
        _model=handle if handle is not None else model, **arrays)
    fitted.residuals = _residuals_at(lib, handle, model, params, x, rows, y)
    fitted.warnings = _warnings_of(fitted)
    return fitted


_FIT_PARAMETERS = """model : str, Model or callable
        A catalogue name (``"exp_decay"``), a formula in x
        (``"a*exp(-b*x)+c"``), a ``Model``, or a Python callable
        ``f(x, *params)`` that returns the model's m values at the whole
        array x (called once per evaluation, with a read-only x).
    x, y : array_like
        The m observations (real): x of shape (m,), or (k, m) for k
        predictors (a callable then receives that (k, m) array), y (m,).
    predictors : sequence of str, optional
        The predictor names of a formula with x of shape (k, m); default
        x1 .. xk. A catalogue model of k predictors (gaussian2d, ...) takes
        them in order and, with p0 None, starts from the data.
    p0 : array_like, optional
        The n starting values; by default from the data for the catalogue's
        everyday shapes, ones otherwise (a callable's n is then read from
        its signature).
    sigma : array_like, optional
        Standard deviations of y: weights 1/sigma^2.
    absolute_sigma : bool, default False
        Take sigma as absolute: the covariance is not rescaled by the reduced
        chi-square.
    fixed : int, str or sequence, optional
        Parameters held at their starting values: indices, names, or a mask
        of n booleans. A list of n integers all 0 or 1 is refused as
        ambiguous (ValueError).
    maxfev : int, optional
        The evaluation budget (an integer, 1 to 2**63 - 1); default 800 up to
        9 free parameters.
    bounds : (lower, upper), optional
        Each a scalar or n values, -inf/+inf for none. A parameter on a
        bound at the result has the flag NLFIT_PARAM_AT_BOUND (16) and NaN
        standard error. A p0 outside its bounds is refused; the default
        start of ones moves to the nearest bound.
    jac : callable, optional
        For a callable model, jac(x, *params) returning the (m, n) Jacobian
        of the model's values (all n parameters, held ones included).
    derivatives : {'exact', 'numeric'}, default 'exact'
        'exact' uses jac, or the formula's or catalogue model's own
        derivatives; 'numeric' forward differences.
    check_jacobian : bool, default False
        Compare the exact Jacobian once with central differences at the
        start (result.jacobian_check_error, jacobian_check_column); ``fit``
        only.
    profile_check : bool, default False
        Check each standard error of a converged least-squares fit against
        the profile of the sum of squares (each parameter held two standard
        errors away, the others refitted) and widen the ones the
        linearisation understates by more than 1.5 times: flag
        NLFIT_PARAM_NONLINEAR (32), the linearised ones in
        result.linear_std_errors, a "nonlinear" warning, its cost in
        result.check_evaluations; what the nlfit command does by default.
        ``fit`` only.
    estimator : str, default 'least_squares'
        Or 'poisson', maximum likelihood for counts (y >= 0, no sigma):
        result.deviance and result.pearson_chi2, standard errors from the
        Fisher information; or a robust loss 'soft_l1', 'huber', 'cauchy'
        with its scale loss_scale (default 1, in units of the weighted
        residuals) and approximate standard errors.
    **options : float
        reduction_tolerance, step_tolerance, gradient_tolerance,
        step_bound_factor, relative_error, loss_scale. Any other keyword is a
        TypeError."""

_FIT_RAISES = """RefusedError
        The C library refused the problem (too few points, NaN or infinite
        data or start, a bad sigma, an option out of range); a ValueError.
    TypeError, ValueError
        A bad argument: not real numbers, a wrong shape, a NUL byte in a
        formula, a float for maxfev, an unknown keyword; a callable that
        returns complex values (TypeError) or the wrong shape (ValueError).
    FitError
        The fit was stopped before its end with no other exception to tell
        why (not a converged status).
    KeyboardInterrupt
        Ctrl-C during the fit: it stops promptly.
    Exception
        Whatever the callable raised; the fit stops and it propagates."""


def fit(model: ModelLike, x: Any, y: Any, p0: Any = None, sigma: Any = None,
        absolute_sigma: bool = False, fixed: Any = None, maxfev: Optional[int] = None,
        bounds: Any = None, jac: Any = None, derivatives: str = "exact",
        check_jacobian: bool = False, estimator: str = "least_squares",
        predictors: Optional[Sequence[str]] = None, profile_check: bool = False,
        **options: float) -> FitResult:
    """Fits a model to (x, y) and returns everything about the fit.

    Parameters
    ----------
    %(parameters)s

    Returns
    -------
    FitResult
        The result whatever its status; see ``converged``.

    Raises
    ------
    %(raises)s

    See Also
    --------
    curve_fit : the (popt, pcov) convention.
    fit_many : many curves with one model.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> x = np.linspace(0.0, 5.0, 30)
    >>> y = 3.0 * np.exp(-1.3 * x) + 0.5
    >>> r = nlfit.fit("a*exp(-b*x)+c", x, y, p0=[1, 1, 0])
    >>> r.converged, r.dof
    (True, 27)
    >>> print(np.round(r.params, 6))
    [3.  1.3 0.5]
    >>> held = nlfit.fit("a*exp(-b*x)+c", x, y, p0=[1, 1, 0.5], fixed=["c"])
    >>> float(held.params[2]), float(held.std_errors[2])
    (0.5, 0.0)
    """
    _reject(options, "fit")
    return _run_fit(model, x, y, p0, sigma, absolute_sigma, fixed, maxfev, options, "fit",
                    bounds=bounds, jac=jac, derivatives=derivatives,
                    check_jacobian=check_jacobian, estimator=estimator,
                    predictors=predictors, profile_check=profile_check)


def curve_fit(f: ModelLike, xdata: Any, ydata: Any, p0: Any = None, sigma: Any = None,
              absolute_sigma: bool = False, check_finite: Optional[bool] = None,
              bounds: Any = None, method: Optional[str] = None, full_output: bool = False,
              nan_policy: Optional[str] = None, fixed: Any = None, maxfev: Optional[int] = None,
              ftol: Optional[float] = None, xtol: Optional[float] = None,
              gtol: Optional[float] = None, jac: Any = None, derivatives: str = "exact",
              estimator: str = "least_squares", predictors: Optional[Sequence[str]] = None,
              **kwargs: float) -> Tuple[Any, ...]:
    """Fits f(x, *params) to (xdata, ydata); returns (popt, pcov).

    The common Python curve_fit convention, over nlfit's own solver.

    popt: the fitted parameters; pcov: their covariance, s^2 (J^T J)^-1 with
    s^2 = rss / (m - rank), or (J^T J)^-1 with absolute_sigma. Parameters the
    data do not determine (beyond the numerical rank of the Jacobian) have
    NaN rows and columns in pcov; held parameters (fixed) have zero ones.
    f is called once per evaluation with the whole xdata array; it may also
    be a formula string or a catalogue name.
    xdata of shape (k, M) gives k predictors per observation: f receives
    that (k, M) array (predictors= names them for a formula).

    sigma: standard deviations of ydata, shape (m,), or their covariance
    matrix, shape (m, m), by whose Cholesky factor L the residuals are
    whitened (L^-1 (f - y); a diagonal matrix is taken as sigma =
    sqrt(diagonal)). check_finite (default: True unless nan_policy is given)
    raises ValueError for NaN or infinite inputs. nan_policy: None, 'raise'
    (ValueError on NaN) or 'omit' (rows with NaN in xdata, ydata or sigma
    are dropped). ftol, xtol, gtol and maxfev set nlfit's
    reduction_tolerance, step_tolerance, gradient_tolerance and evaluation
    budget. method is accepted with a warning: nlfit has one method.
    bounds=(lower, upper) as in fit(); a parameter on a bound has NaN rows
    and columns in pcov.

    A fit that does not converge raises FitError (a RuntimeError) unless
    full_output is true; then the return is (popt, pcov, infodict, message,
    flag): infodict a dict with 'nfev' (evaluations), 'fvec' (the weighted
    residuals (f - y)/sigma at popt, whitened with a covariance) and
    'fit_result' (the FitResult), message the status sentence and flag the C
    status (1-4 converged; see FitResult.converged for the precision stops),
    and nothing is raised for a fit that ran. Refused problems raise
    RefusedError (a ValueError) always. jac, derivatives and estimator are
    those of fit (with a covariance sigma, jac is whitened too and only least
    squares applies). Other keywords raise TypeError naming the keyword.
    """
    _reject(kwargs, "curve_fit")
    for name, value in (("ftol", ftol), ("xtol", xtol), ("gtol", gtol)):
        if value is not None:
            kwargs[{"ftol": "reduction_tolerance", "xtol": "step_tolerance",
                    "gtol": "gradient_tolerance"}[name]] = value
    if method is not None:
        warnings.warn("curve_fit(method=%r) is ignored: nlfit fits by its own trust-region"
                      " method" % (method,), stacklevel=2)
    if nan_policy not in (None, "raise", "omit"):
        raise ValueError("nan_policy must be None, 'raise' or 'omit', not %r" % (nan_policy,))
    if check_finite is None:
        check_finite = nan_policy is None
    x = _float_array(xdata, "xdata", copy_ok=True)
    y = _float_array(ydata, "ydata", copy_ok=True)
    if sigma is not None:
        sigma = _float_array(sigma, "sigma", copy_ok=True)
        if sigma.shape not in ((y.size,), (y.size, y.size)) or y.ndim != 1:
            raise ValueError("sigma must have shape (%d,) or (%d, %d), got %s"
                             % (y.size, y.size, y.size, sigma.shape))
    arrays = [x, y] + ([sigma] if sigma is not None else [])
    if check_finite and not all(np.isfinite(a).all() for a in arrays):
        raise ValueError("xdata, ydata and sigma must not contain NaN or infinity"
                         " (check_finite=True)")
    if nan_policy == "raise" and any(np.isnan(a).any() for a in arrays):
        raise ValueError("xdata, ydata or sigma contains NaN (nan_policy='raise')")
    if nan_policy == "omit" and x.shape == y.shape and x.ndim == 1:
        keep = ~(np.isnan(x) | np.isnan(y))
        if sigma is not None:
            keep &= ~np.isnan(sigma if sigma.ndim == 1 else np.diagonal(sigma))
        x, y = x[keep], y[keep]
        if sigma is not None:
            sigma = sigma[keep] if sigma.ndim == 1 else sigma[np.ix_(keep, keep)]
    model = f
    covariance_sigma = sigma is not None and sigma.ndim == 2
    if covariance_sigma and np.count_nonzero(sigma - np.diag(np.diagonal(sigma))) == 0:
        sigma, covariance_sigma = np.sqrt(np.diagonal(sigma)), False
    names = None
    if covariance_sigma:
        try:
            factor = np.linalg.cholesky(sigma)
        except np.linalg.LinAlgError:
            raise ValueError("sigma as a covariance must be symmetric positive definite")\
                from None
        whiten = np.linalg.inv(factor)
        handle = _model_of(f)
        if handle is not None:
            n, names = handle.parameter_count, handle.parameter_names
        else:
            function = cast(Callable[..., Any], f)
            n = len(p0) if p0 is not None else _callable_parameter_count(function)
            names = _callable_names(function, n)
        inner = handle if handle is not None else f

        def model(xs, *params):
            return whiten @ np.asarray(inner(xs, *params), dtype=np.float64)

        y_fit = whiten @ y
        if p0 is None:
            p0 = np.ones(n)
        if fixed is not None:
            fixed = [bool(v) for v in cast(Any, _held_flags(fixed, n, list(names)))]
        if estimator != "least_squares":
            raise ValueError("a covariance sigma applies to least squares only, not to %r"
                             % (estimator,))
        whitened_jac = None
        if jac is not None:
            def whitened_jac(xs, *params):
                return whiten @ np.asarray(jac(xs, *params), dtype=np.float64)
        result = _run_fit(model, x, y_fit, p0, None, absolute_sigma, fixed, maxfev, kwargs,
                          "curve_fit", bounds=bounds, jac=whitened_jac, derivatives=derivatives)
        result.parameter_names = tuple(names)
        fvec = model(x, *result.params) - y_fit
        result.y, result._model = y, inner
    else:
        result = _run_fit(f, x, y, p0, sigma, absolute_sigma, fixed, maxfev, kwargs,
                          "curve_fit", bounds=bounds, jac=jac, derivatives=derivatives,
                          estimator=estimator, predictors=predictors)
        fvec = (result.residuals if result.residuals is not None
                else result.predict(x, bands=False).value - y)
        if sigma is not None:
            fvec = fvec / sigma
    if full_output:
        info = {"nfev": int(result.evaluations), "fvec": fvec, "fit_result": result}
        return result.params, result.covariance, info, result.message, result.status
    if not result.converged:
        where = ""
        if result.nonfinite_index >= 0:
            i = result.nonfinite_index
            at = result.x[..., i]
            where = " at observation %d (x = %r)" % (
                i, float(at) if at.ndim == 0 else [float(v) for v in at])
        raise FitError("optimal parameters not found: %s (%s)%s"
                       % (result.message, result.status_name, where), result.status, result)
    return result.params, result.covariance


def fit_global(datasets, shared=(), p0=None, fixed=None, bounds=None, absolute_sigma=False,
               maxfev=None, **options):
    """Fits several data sets at once, some parameters shared; returns a
    FitResult over the global parameters.

    datasets: a sequence of (model, x, y) or (model, x, y, sigma), each
    model a formula string, catalogue name, Model or callable f(x, *params)
    (sigma: every set or none). shared: the parameter names common to every
    set that has them; every other parameter is each set's own, named
    ``name[s]`` (s counted from 1). Global parameters are ordered by the
    names' first appearance, each name's copies in set order.
    p0: None (ones), a dict of starts by name (``"a"`` sets every copy of a,
    ``"a[2]"`` one copy) or an array of the global parameters. fixed,
    bounds, absolute_sigma, maxfev and the tolerances apply as in fit(), over
    the global parameters. The statistics are the joint fit's.

    >>> import numpy as np, nlfit
    >>> x = np.linspace(0, 5, 30)
    >>> sets = [("a*exp(-k*x)+c", x, a * np.exp(-0.7 * x) + c) for a, c in [(3, 0.2), (1, 1)]]
    >>> r = nlfit.fit_global(sets, shared=["k"], p0={"a": 2, "k": 0.5, "c": 0})
    >>> r.parameter_names
    ('a[1]', 'a[2]', 'k', 'c[1]', 'c[2]')
    >>> round(float(r.params[2]), 6)
    0.7
    """
    _reject(options, "fit_global")
    lib = _library.library()
    shared = [shared] if isinstance(shared, str) else list(shared)
    entries = []
    for s, item in enumerate(datasets):
        if not isinstance(item, (tuple, list)) or len(item) not in (3, 4):
            raise ValueError("data set %d must be (model, x, y) or (model, x, y, sigma)" % s)
        model, x, y = item[:3]
        sigma = item[3] if len(item) == 4 else None
        handle = _model_of(model)
        x = _float_array(x, "x", copy_ok=True)
        y = _float_array(y, "y", copy_ok=True)
        if x.ndim != 1 or x.shape != y.shape or x.size == 0:
            raise ValueError("data set %d: x and y must be 1-D arrays of one nonzero length" % s)
        if sigma is not None:
            sigma = _float_array(sigma, "sigma", copy_ok=True)
            if sigma.shape != y.shape:
                raise ValueError("data set %d: sigma must have the shape of y" % s)
        if handle is not None:
            names = handle.parameter_names
        else:
            names = _callable_names(model, _callable_parameter_count(model))
        entries.append((model, handle, x, y, sigma, names))
    if not entries:
        raise ValueError("fit_global() needs at least one data set")
    if len({e[4] is None for e in entries}) > 1:
        raise ValueError("every data set gives sigma, or none does")
    order = []
    for e in entries:
        order += [name for name in e[5] if name not in order]
    for name in shared:
        if name not in order:
            raise ValueError("shared names %r, not a parameter of any data set" % (name,))
    global_names, index = [], {}
    for name in order:
        holders = [s for s, e in enumerate(entries) if name in e[5]]
        for s in ([holders[0]] if name in shared else holders):
            label = name if name in shared else "%s[%d]" % (name, s + 1)
            index[(name, s)] = len(global_names)
            global_names.append(label)
        if name in shared:
            for s in holders:
                index[(name, s)] = index[(name, holders[0])]
    n = len(global_names)
    if p0 is None or isinstance(p0, dict):
        params = np.ones(n)
        for key, value in (p0 or {}).items():
            targets = [j for j, label in enumerate(global_names)
                       if label == key or label.split("[")[0] == key]
            if not targets:
                raise ValueError("p0 names %r, not a parameter (%s)"
                                 % (key, ", ".join(global_names)))
            params[targets] = float(value)
    else:
        params = np.array(_float_array(p0, "p0", copy_ok=True), dtype=np.float64, copy=True)
        if params.shape != (n,):
            raise ValueError("p0 must hold %d values (%s)" % (n, ", ".join(global_names)))
    held = _held_flags(fixed, n, global_names)
    bounded = _bound_arrays(bounds, n, global_names)
    _check_start_in_bounds(params, bounded, global_names, p0 is None)
    start = params.copy()
    sets = (_library.DataSet * len(entries))()
    keep = []
    for s, (model, handle, x, y, sigma, names) in enumerate(entries):
        mapping = np.array([index[(name, s)] for name in names], dtype=np.uintp)
        keep.append(mapping)
        sets[s].struct_size = ctypes.sizeof(_library.DataSet)
        sets[s].n, sets[s].m, sets[s].predictors = len(names), x.size, 1
        sets[s].map, sets[s].x, sets[s].y = mapping.ctypes.data, x.ctypes.data, y.ctypes.data
        sets[s].sigma = sigma.ctypes.data if sigma is not None else None
        if handle is not None:
            sets[s].model = handle.handle()
    options_struct = _options(lib, n, held, None, absolute_sigma, maxfev, True, options,
                              bounded=bounded)
    arrays = {"covariance": np.full((n, n), np.nan), "correlation": np.full((n, n), np.nan),
              "std_errors": np.full(n, np.nan), "ci_low": np.full(n, np.nan),
              "ci_high": np.full(n, np.nan), "parameter_flags": np.zeros(n, dtype=np.uintc)}
    result = _library.Result()
    for field, array in arrays.items():
        setattr(result, field, array.ctypes.data)
    with _interrupt.Guard() as guard:
        for s, (model, handle, x, y, sigma, names) in enumerate(entries):
            if handle is None:
                callback = _VectorCallback(model, x, len(names), guard)
                keep.append(callback)
                sets[s].function = callback.pointer
        status = lib.nlfit_fit_global(sets, len(entries), n, params.ctypes.data,
                                      ctypes.byref(options_struct), ctypes.byref(result))
    for item in keep:
        if isinstance(item, _VectorCallback):
            item.raise_pending()
    if status < 0:
        raise RefusedError("fit_global() refused the problem: %s (%s)"
                           % (lib.status_message(status), lib.status_name(status)), status)
    sigmas = [e[4] for e in entries]
    return FitResult(
        model="global fit of %d data sets" % len(entries), model_name=None, formula=None,
        parameter_names=tuple(global_names), params=params, start=start,
        x=np.concatenate([e[2] for e in entries]), y=np.concatenate([e[3] for e in entries]),
        sigma=None if sigmas[0] is None else np.concatenate(sigmas),
        rss=result.rss, residual_norm=result.residual_norm, reduced_chi2=result.reduced_chi2,
        r_squared=result.r_squared, log_likelihood=result.log_likelihood, aic=result.aic,
        aicc=result.aicc, bic=result.bic, dof=result.dof, rank=result.rank, status=result.status,
        status_name=lib.status_name(result.status), message=lib.status_message(result.status),
        converged=bool(result.converged), iterations=result.iterations,
        evaluations=result.evaluations, statistics_evaluations=result.statistics_evaluations,
        absolute_sigma=bool(absolute_sigma), nonfinite_index=result.nonfinite_index,
        _model=None, **arrays)


if fit.__doc__:
    fit.__doc__ = fit.__doc__ % {"parameters": _FIT_PARAMETERS, "raises": _FIT_RAISES}


@dataclasses.dataclass(eq=False)
class BatchResult:
    """The result of ``fit_many``: K curves of n parameters.

    It iterates over its first six fields in order, as the named tuple it
    once was: ``params, status, converged, rss, std_errors, evaluations =
    result``; ``jacobian_evaluations`` came later and is read by name.

    Attributes
    ----------
    params : numpy.ndarray
        (K, n) float64, the fitted parameters; a curve that was refused or
        not started keeps its start.
    status : numpy.ndarray
        (K,) C int statuses: 1-4 converged, 5-8 stopped, negative: that
        curve was refused (-3 non-finite data, -5 bad sigma, ...).
    converged : numpy.ndarray
        (K,) bool.
    rss : numpy.ndarray
        (K,) float64 sums of squared (weighted) residuals; NaN where refused.
    std_errors : numpy.ndarray or None
        (K, n) float64 standard errors; None with ``std_errors=False``.
    evaluations : numpy.ndarray
        (K,) int64 model evaluations of each fit.
    jacobian_evaluations : numpy.ndarray
        (K,) int64 calls of the exact Jacobian of each fit (one per
        iteration, plus the statistics'); 0 with difference derivatives.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> x = np.linspace(0.0, 4.0, 20)
    >>> Y = np.array([[1.0], [2.0]]) * np.exp(-x)
    >>> params, status, converged, rss, std_errors, evaluations = nlfit.fit_many(
    ...     "a*exp(-b*x)", x, Y, [1.0, 0.5])
    >>> converged.tolist()
    [True, True]
    """

    params: Any
    status: Any
    converged: Any
    rss: Any
    std_errors: Any
    evaluations: Any
    jacobian_evaluations: Any = None

    _fields: ClassVar[Tuple[str, ...]] = ("params", "status", "converged", "rss", "std_errors",
                                          "evaluations")

    def __iter__(self) -> Iterator[Any]:
        return (getattr(self, name) for name in self._fields)


def _batch_predictors(x: Any, K: int, known: Optional[int]) -> int:
    """The predictor count d of a batch's x: (m,) and (K, m) have one, (d, m)
    shared and (K, d, m) per curve have d. A 2-D x is (d, m) when the model
    is known to take d > 1 predictors, or, when it is not known (a callable,
    a formula without predictors), when its first length is not K."""
    if np.ndim(x) == 3:
        return int(np.shape(x)[1])
    if np.ndim(x) == 2 and ((known is not None and known > 1) or
                            (known is None and np.shape(x)[0] != K)):
        return int(np.shape(x)[0])
    return 1


def _known_predictors(model: Any, predictors: Optional[Sequence[str]]) -> Optional[int]:
    if isinstance(model, Model):
        return model.predictor_count
    if predictors is not None:
        return 1 if isinstance(predictors, str) else len(predictors)
    if isinstance(model, str) and _IDENTIFIER.match(model.strip()):
        return Model(model).predictor_count
    return None


def _batch_arrays(x: Any, Y: Any, p0: Any, sigma: Any, n: int, d: int = 1
                  ) -> Tuple[NDArray[Any], NDArray[Any], NDArray[Any], Optional[NDArray[Any]]]:
    """Checks and converts the data of a batch."""
    Y = _float_array(Y, "Y", copy_ok=False)
    if Y.ndim != 2:
        raise ValueError("Y must be a 2-D array (curves, points), got shape %s" % (Y.shape,))
    K, m = Y.shape
    if K == 0:
        raise ValueError("Y holds no curves (K = 0)")
    x = _float_array(x, "x", copy_ok=False)
    if d == 1 and x.shape not in ((m,), (K, m)):
        raise ValueError("x must have shape (%d,) (shared) or (%d, %d) (per curve), got %s"
                         % (m, K, m, x.shape))
    if d > 1 and x.shape not in ((d, m), (K, d, m)):
        raise ValueError("x must have shape (%d, %d) (shared) or (%d, %d, %d) (per curve)"
                         " for %d predictors, got %s" % (d, m, K, d, m, d, x.shape))
    p0 = _float_array(p0, "p0", copy_ok=True)
    if p0.shape not in ((n,), (K, n)):
        raise ValueError("p0 must have shape (%d,) (shared) or (%d, %d) (per curve), got %s"
                         % (n, K, n, p0.shape))
    if sigma is not None:
        sigma = _float_array(sigma, "sigma", copy_ok=False)
        if sigma.shape != (K, m):
            raise ValueError("sigma must have the shape of Y %s, got %s" % (Y.shape, sigma.shape))
    return x, Y, p0, sigma


class _Progress:
    """The progress of a batch: a tqdm bar (progress=True and tqdm installed)
    and Ctrl-C. The C library calls ``pointer`` from its worker threads, one
    at a time, with counts within its current slice of curves (``offset``
    before it); the whole body is guarded, and an exception or an interrupt
    stops the batch (the exception is raised by ``close``). The bar is only
    updated every total/500 curves, to stay cheap."""

    def __init__(self, total: int, enabled: bool, guard: _interrupt.Guard) -> None:
        self.bar: Any = None
        self.guard = guard
        self.error: Optional[BaseException] = None
        self.total = total
        self.offset = 0  # curves before the current call of the library
        self.done = 0
        self.step = max(1, total // 500)
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, unit="curve", smoothing=0.1)
        self.pointer = _library.BatchProgressCallback(self._call)

    @property
    def needed(self) -> bool:
        """Whether the C library must call back: for the bar or for Ctrl-C."""
        return self.bar is not None or self.guard.active

    def _call(self, done: int, total: int, _user: Any) -> int:
        try:
            if self.error is not None or self.guard.interrupted():
                return 1
            self.advance(self.offset + done)
            return 0
        except BaseException as error:  # noqa: B902 - re-raised after the C call
            if self.error is None:
                self.error = error
            return 1

    def advance(self, done: int) -> None:
        """done curves of the batch are fitted."""
        if self.bar is not None and (done - self.done >= self.step or done == self.total):
            self.bar.update(done - self.done)
            self.done = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        error, self.error = self.error, None
        if error is not None:
            raise error


def _batch_automatic_starts(lib: _library.Library, handle: Model, x: NDArray[Any],
                            Y: NDArray[Any], sigma: Optional[NDArray[Any]], n: int, d: int = 1
                            ) -> NDArray[Any]:
    """(K, n) starts, each curve's from its own data (a loop in Python over
    the C function: for very large batches a shared p0 is faster)."""
    K = Y.shape[0]
    starts = np.ones((K, n))
    for k in range(K):
        xk = x if x.ndim == (1 if d == 1 else 2) else x[k]  # x in the library's layout
        starts[k], _ = _automatic_start(lib, handle, n, np.ascontiguousarray(xk),
                                        np.ascontiguousarray(Y[k]),
                                        None if sigma is None else np.ascontiguousarray(sigma[k]))
    return starts


def fit_many(model: ModelLike, x: Any, Y: Any, p0: Any = None, sigma: Any = None, threads: int = 0,
             progress: bool = False, absolute_sigma: bool = False, fixed: Any = None,
             maxfev: Optional[int] = None, std_errors: bool = True, bounds: Any = None,
             derivatives: str = "exact", estimator: str = "least_squares",
             predictors: Optional[Sequence[str]] = None, **options: float) -> BatchResult:
    """Fits each row of Y (K curves of m points) with one model.

    With a formula or catalogue model the whole batch runs in the C library
    on ``threads`` threads, with no Python in the loop. A Python callable
    also works but is the slow path: its curves are fitted one after
    another in the calling thread, each as ``fit`` would.

    Parameters
    ----------
    model : str, Model or callable
        As for ``fit``.
    x : array_like
        (m,) shared by all curves, or (K, m); for a model of d > 1
        predictors (d, m) shared or (K, d, m), copied once into the
        library's layout. A callable with a 2-D x of shape (K, m) takes it as
        one predictor per curve (a shared (d, m) with d = K must be given as
        (K, d, m)); it receives each curve's (d, m) array.
    Y : array_like
        (K, m), one curve per row.
    p0 : array_like, optional
        (n,) shared, or (K, n); None: each curve's automatic start from its
        own data for a catalogue shape with a method, ones otherwise.
    sigma : array_like, optional
        (K, m) standard deviations of Y.
    threads : int, default 0
        Worker threads, the calling one included; 0 = all cores. At most
        1024.
    progress : bool, default False
        Show a tqdm progress bar (when tqdm is installed).
    absolute_sigma, fixed, maxfev, **options
        As for ``fit``.
    std_errors : bool, default True
        Compute the standard errors (2 evaluations per free parameter and
        curve).
    bounds : (lower, upper), optional
        As for ``fit``, shared by every curve; a curve whose start lies
        outside them gets status -6 (refused_bad_option).
    derivatives : {'exact', 'numeric'}, default 'exact'
        The formula's or catalogue model's own derivatives, or forward
        differences.
    estimator : str, default 'least_squares'
        As for ``fit``.

    Returns
    -------
    BatchResult
        NumPy arrays, one row per curve. Each curve's result is bit for bit
        that of ``fit`` on that curve alone, whatever the thread count. A
        bad curve (a NaN in its row, say) gets its own negative status; the
        others are fitted.

    Raises
    ------
    ValueError
        A bad batch: K = 0, a wrong shape, non-contiguous Y, x or sigma
        (refused rather than copied; ``np.ascontiguousarray`` copies), an
        integer option out of range; also the errors of ``fit``.
    TypeError
        Not real numbers; a float for an integer option; an unknown keyword.
    KeyboardInterrupt
        Ctrl-C: the batch stops after the curves being fitted.
    FitError
        The batch was stopped with no other exception to tell why.

    Examples
    --------
    >>> import numpy as np
    >>> import nlfit
    >>> x = np.linspace(0.0, 4.0, 20)
    >>> rates = np.array([[0.5], [1.0], [2.0]])
    >>> r = nlfit.fit_many("a*exp(-b*x)", x, 2.0 * np.exp(-rates * x), [1.0, 1.0], threads=2)
    >>> print(np.round(r.params, 6))
    [[2.  0.5]
     [2.  1. ]
     [2.  2. ]]
    >>> r.converged.tolist()
    [True, True, True]
    """
    _reject(options, "fit_many")
    derivatives_code = _derivatives_code(derivatives)
    estimator_code = _estimator_code(estimator)
    workers = _arguments.integer(threads, "threads", 0, _arguments.INT_MAX)
    d = _batch_predictors(x, int(np.shape(Y)[0]) if np.ndim(Y) == 2 else -1,
                          _known_predictors(model, predictors))
    handle = _model_of(model, predictors, d)
    lib = handle._lib if handle is not None else _library.library()
    if handle is not None and handle.predictor_count != d:
        raise ValueError("%s takes %d predictor(s): x must have shape (%d, m) or (K, %d, m)%s,"
                         " got %s" % (handle.name, handle.predictor_count,
                                      handle.predictor_count, handle.predictor_count,
                                      " or (m,) or (K, m)" if handle.predictor_count == 1 else "",
                                      np.shape(x)))
    if handle is not None:
        n = handle.parameter_count
        names = handle.parameter_names
    else:
        function = cast(Callable[..., Any], model)
        n = np.shape(p0)[-1] if p0 is not None else _callable_parameter_count(function)
        names = _callable_names(function, n)
    automatic = p0 is None
    x, Y, p0, sigma = _batch_arrays(x, Y, np.ones(n) if automatic else p0, sigma, n, d)
    # With several predictors the library takes each curve's x as (m, d).
    rows = x if d == 1 else _predictor_rows(x)
    if automatic and handle is not None:
        p0 = _batch_automatic_starts(lib, handle, rows, Y, sigma, n, d)
    if automatic and bounds is not None:
        bounded_starts = _bound_arrays(bounds, n, names)  # starts not given move onto them
        if bounded_starts is not None:
            p0 = np.ascontiguousarray(np.clip(p0, bounded_starts[0], bounded_starts[1]))
    K, m = Y.shape
    held = _held_flags(fixed, n, list(names))
    bounded = _bound_arrays(bounds, n, names)
    params = np.empty((K, n))
    status = np.empty(K, dtype=np.intc)
    converged = np.zeros(K, dtype=np.uint8)
    rss = np.empty(K)
    evaluations = np.empty(K, dtype=np.int64)
    jacobians = np.empty(K, dtype=np.int64)
    errors = np.empty((K, n)) if std_errors else None
    code = 0
    with _interrupt.Guard() as guard:
        bar = _Progress(K, progress, guard)
        try:
            if handle is not None:
                batch = _library.BatchOptions()
                lib.nlfit_batch_options_init(ctypes.byref(batch))
                fit_options = _options(lib, n, held, None, absolute_sigma, maxfev, std_errors,
                                       options, bounded=bounded)
                fit_options.derivatives = derivatives_code
                fit_options.estimator = estimator_code
                batch.fit = ctypes.pointer(fit_options)
                batch.threads = workers
                if bar.needed:
                    batch.progress = bar.pointer
                code = _fit_rows_in_c(lib, handle, n, rows, Y, p0, sigma, batch, params, status,
                                      converged, rss, evaluations, errors, bar, d, jacobians)
            else:
                code = _fit_callable_rows(lib, function, x, Y, p0, sigma, held,
                                          absolute_sigma, maxfev, options, params, status,
                                          converged, rss, evaluations, errors, bar, guard,
                                          bounded, estimator_code, d, jacobians)
        finally:
            bar.close()
    # Here a Ctrl-C during the batch has been raised as KeyboardInterrupt.
    if code < 0:
        raise RefusedError("fit_many() refused the batch: %s (%s)"
                           % (lib.status_message(code), lib.status_name(code)), code)
    if code in (_library.STOPPED_BY_CALLBACK, _library.STOPPED_BY_MODEL):
        raise _stopped(lib, code, "fit_many")
    return BatchResult(params, status, converged.view(np.bool_), rss, errors, evaluations,
                       jacobians)


def _slice_size(threads: int) -> int:
    """Curves per call of nlfit_fit_many: the library reports progress about
    a thousand times a call, so that a slice of 2^16 curves reports every 65
    curves, and Ctrl-C is noticed that soon. Slices are large enough that
    the threads' idle time at the end of each stays below 1 %."""
    workers = threads if threads > 0 else (os.cpu_count() or 1)
    return max(1 << 16, 2048 * workers)


def _fit_rows_in_c(lib: _library.Library, handle: Model, n: int, x: NDArray[Any], Y: NDArray[Any],
                   p0: NDArray[Any], sigma: Optional[NDArray[Any]], batch: _library.BatchOptions,
                   params: NDArray[Any], status: NDArray[Any], converged: NDArray[Any],
                   rss: NDArray[Any], evaluations: NDArray[Any], errors: Optional[NDArray[Any]],
                   bar: _Progress, d: int = 1, jacobians: Optional[NDArray[Any]] = None) -> int:
    """The batch in C, slice by slice (each curve's fit is its own, so the
    slices change no result); returns 0, or the status that stopped it."""
    K, m = Y.shape
    step = _slice_size(batch.threads)
    for first in range(0, K, step):
        rows = slice(first, min(K, first + step))

        def address(array: Optional[NDArray[Any]], per_curve: bool = True) -> Optional[int]:
            if array is None:
                return None
            return int(array[rows].ctypes.data if per_curve else array.ctypes.data)

        per_curve = x.ndim == (2 if d == 1 else 3)  # x: (m,), (K, m), (m, d) or (K, m, d)
        data = _library.BatchData(
            curves=rows.stop - first, points=m, x=address(x, per_curve),
            x_per_curve=int(per_curve), y=address(Y), sigma=address(sigma),
            start=address(p0, p0.ndim == 2), start_per_curve=int(p0.ndim == 2), predictors=d)
        outputs = _library.BatchOutputs(
            params=address(params), status=address(status), converged=address(converged),
            rss=address(rss), evaluations=address(evaluations), std_errors=address(errors),
            jacobian_evaluations=address(jacobians))
        bar.offset = first
        code = int(lib.nlfit_fit_many(handle.handle(), _library.PointModel(0), None, n,
                                      ctypes.byref(data), ctypes.byref(batch),
                                      ctypes.byref(outputs)))
        if code != 0:
            return code
    return 0


def _fit_callable_rows(lib: _library.Library, model: Callable[..., Any], x: NDArray[Any],
                       Y: NDArray[Any], p0: NDArray[Any], sigma: Optional[NDArray[Any]],
                       held: Optional[NDArray[Any]], absolute_sigma: bool, maxfev: Any,
                       tuning: Dict[str, Any], params: NDArray[Any], status: NDArray[Any],
                       converged: NDArray[Any], rss: NDArray[Any], evaluations: NDArray[Any],
                       errors: Optional[NDArray[Any]], bar: _Progress,
                       guard: _interrupt.Guard,
                       bounded: Optional[Tuple[NDArray[Any], NDArray[Any]]] = None,
                       estimator_code: int = 0, d: int = 1,
                       jacobians: Optional[NDArray[Any]] = None) -> int:
    """The slow path of fit_many; returns 0, or the status that stopped it."""
    K, m = Y.shape
    n = params.shape[1]
    options = _library.Options()
    result = _library.Result()
    for k in range(K):
        xk = x if x.ndim == (1 if d == 1 else 2) else x[k]
        rows = xk if d == 1 else _predictor_rows(xk)
        sk = sigma[k] if sigma is not None else None
        _options(lib, n, held, sk, absolute_sigma, maxfev, errors is not None, tuning,
                 target=options, bounded=bounded)
        options.estimator = estimator_code
        params[k] = p0 if p0.ndim == 1 else p0[k]
        if errors is not None:
            result.std_errors = errors[k].ctypes.data
        callback = _VectorCallback(model, xk, n, guard, rows if d > 1 else None)
        code = lib.nlfit_fit_vectorized_multi(callback.pointer, None, n, params[k].ctypes.data,
                                              m, d, rows.ctypes.data, Y[k].ctypes.data,
                                              ctypes.byref(options), ctypes.byref(result))
        callback.raise_pending()
        if code == _library.STOPPED_BY_MODEL or guard.interrupted():
            return _library.STOPPED_BY_MODEL
        status[k] = code
        converged[k] = result.converged if code > 0 else 0
        rss[k] = result.rss if code > 0 else np.nan
        evaluations[k] = result.evaluations if code > 0 else 0
        if jacobians is not None:
            jacobians[k] = result.jacobian_evaluations if code > 0 else 0
        if code < 0 and errors is not None:
            errors[k] = np.nan
        bar.advance(k + 1)
    return 0
