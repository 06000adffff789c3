"""The NumPy interface: fit, curve_fit, fit_many and the model handles."""

import collections
import ctypes
import inspect
import re
import warnings

import numpy as np

from . import _library
from ._library import c_double_p

__all__ = ["fit", "curve_fit", "fit_many", "fit_global", "FitResult", "BatchResult", "Prediction", "Model", "RefusedError",
           "FitError", "catalogue", "load_library"]

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# Per-fit options that fit, curve_fit and fit_many accept besides their named
# keywords; any other keyword is refused by name.
_TUNING = ("reduction_tolerance", "step_tolerance", "gradient_tolerance",
           "step_bound_factor", "relative_error", "loss_scale")


def load_library(path=None):
    """The loaded libnlfit_api (see nlfit._library for where it is looked for);
    with a path, that file."""
    return _library.Library(path) if path else _library.library()


class FitError(RuntimeError):
    """A fit that was refused or did not converge. ``status`` is the C status,
    ``status_name`` its name, ``result`` the FitResult when there is one."""

    def __init__(self, message, status, result=None):
        super().__init__(message)
        self.status = status
        self.status_name = _library.library().status_name(status)
        self.result = result


class RefusedError(FitError, ValueError):
    """The C library refused the problem before evaluating the model (a
    negative status): also a ValueError."""


def catalogue():
    """The names of the catalogue models."""
    lib = _library.library()
    return [lib.nlfit_model_builtin_name(i).decode()
            for i in range(lib.nlfit_model_builtin_count())]


class Model:
    """A model handle: a catalogue model by name, or a compiled formula in x.

    A string that is a bare name (letters, digits, underscore) must name a
    catalogue entry (case-insensitive); any other string is a formula, whose
    parameters are its identifiers other than x, pi and functions, in order
    of first appearance (or in the order of ``parameter_names``).
    """

    def __init__(self, source, parameter_names=None):
        if not isinstance(source, str):
            raise TypeError("a model is a callable, a formula string or a catalogue name,"
                            " not %s" % type(source).__name__)
        self._lib = lib = _library.library()
        self._handle = None
        if _IDENTIFIER.match(source.strip()) and parameter_names is None:
            handle = lib.nlfit_model_builtin(source.strip().encode())
            if not handle:
                raise ValueError("unknown model name %r; the catalogue has: %s"
                                 % (source, ", ".join(catalogue())))
        else:
            error = ctypes.create_string_buffer(512)
            names, count = None, 0
            if parameter_names is not None:
                encoded = [str(name).encode() for name in parameter_names]
                names = (ctypes.c_char_p * len(encoded))(*encoded)
                count = len(encoded)
            handle = lib.nlfit_model_formula(source.encode(), ctypes.cast(names, ctypes.c_void_p)
                                             if names is not None else None,
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

    def __call__(self, x, *params):
        """The model's values at x (a NumPy array) for the parameters, through
        the C library."""
        x = _float_array(x, "x", copy_ok=True)
        p = _float_array(params, "params", copy_ok=True)
        if p.shape != (self.parameter_count,):
            raise ValueError("%s takes %d parameters, got %d"
                             % (self.name, self.parameter_count, p.size))
        flat = np.ascontiguousarray(x.ravel())
        values = np.empty_like(flat)
        status = self._lib.nlfit_model_evaluate(self._handle, p.ctypes.data, flat.ctypes.data,
                                                flat.size, values.ctypes.data)
        if status != 0:
            raise FitError(self._lib.status_message(status), status)
        return values.reshape(x.shape)

    def __del__(self):
        if getattr(self, "_handle", None):
            self._lib.nlfit_model_free(self._handle)
            self._handle = None

    def __repr__(self):
        return "Model(%r)" % (self.formula if self.name == "formula" else self.name)


def _model_of(model):
    if isinstance(model, Model):
        return model
    if isinstance(model, str):
        return Model(model)
    if callable(model):
        return None
    raise TypeError("a model is a callable, a formula string or a catalogue name, not %s"
                    % type(model).__name__)


def _float_array(values, name, copy_ok):
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


def _reject(kwargs, function):
    for name in kwargs:
        if name not in _TUNING:
            raise TypeError("%s() does not support the keyword %r" % (function, name))


def _held_flags(fixed, n, names):
    """fixed: None, a boolean mask of n values, or indices or names."""
    if fixed is None:
        return None
    items = list(fixed) if not isinstance(fixed, (str, int)) else [fixed]
    flags = np.zeros(n, dtype=np.uint8)
    if len(items) == n and all(isinstance(v, (bool, np.bool_)) for v in items):
        flags[:] = items
        return flags
    for item in items:
        if isinstance(item, str):
            if item not in names:
                raise ValueError("fixed names %r, not a parameter (%s)" % (item, ", ".join(names)))
            flags[names.index(item)] = 1
        elif isinstance(item, (int, np.integer)) and not isinstance(item, (bool, np.bool_)):
            if not -n <= item < n:
                raise ValueError("fixed index %d out of range for %d parameters" % (item, n))
            flags[item] = 1
        else:
            raise TypeError("fixed holds parameter indices, names or n booleans, not %r"
                            % (item,))
    return flags


def _bound_arrays(bounds, n, names):
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
            raise _refused("the lower bound of %s (%r) is above its upper bound (%r)"
                           % (names[j], lower[j], upper[j]))
    if np.all(lower == -np.inf) and np.all(upper == np.inf):
        return None
    return lower, upper


def _refused(message):
    return RefusedError(message, -6)


def _check_start_in_bounds(params, bounded, names, defaulted):
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
            raise _refused("the start of %s (%r) lies outside its bounds [%r, %r]"
                           % (names[j], float(params[j]), lower[j], upper[j]))


def _options(lib, n, held, sigma, absolute_sigma, maxfev, statistics, tuning, target=None,
             bounded=None):
    options = target if target is not None else _library.Options()
    lib.nlfit_options_init(ctypes.byref(options))
    for name, value in tuning.items():
        setattr(options, name, float(value))
    if maxfev is not None:
        if int(maxfev) < 1:
            raise ValueError("maxfev must be at least 1, got %r" % (maxfev,))
        options.max_evaluations = int(maxfev)
    options.held = held.ctypes.data if held is not None else None
    options.sigma = sigma.ctypes.data if sigma is not None else None
    options.absolute_sigma = 1 if absolute_sigma else 0
    options.compute_statistics = 1 if statistics else 0
    options.lower = bounded[0].ctypes.data if bounded is not None else None
    options.upper = bounded[1].ctypes.data if bounded is not None else None
    return options


class _VectorCallback:
    """A Python f(x, *params) behind nlfit_vector_model. An exception is kept
    and the fit stopped (nonzero return); the caller re-raises it."""

    def __init__(self, function, x, n):
        self.function = function
        self.x = x
        self.x_address = x.ctypes.data
        self.n = n
        self.m = x.size
        self.error = None
        self.pointer = _library.VectorModel(self._call)

    def _call(self, params, x, m, values, _user):
        try:
            xs = self.x
            if ctypes.cast(x, ctypes.c_void_p).value != self.x_address or m != self.m:
                xs = np.ctypeslib.as_array(x, shape=(m,))
            out = np.asarray(self.function(xs, *params[:self.n]), dtype=np.float64)
            if out.shape != (m,):
                out = np.broadcast_to(out, (m,))
            out = np.ascontiguousarray(out)
            ctypes.memmove(values, out.ctypes.data, 8 * m)
            return 0
        except BaseException as error:  # noqa: B902 - re-raised after the C call
            if self.error is None:
                self.error = error
            return 1

    def raise_pending(self):
        error, self.error = self.error, None
        if error is not None:
            raise error


class _JacobianCallback:
    """A Python jac(x, *params) returning the (m, n) Jacobian of the model's
    values behind nlfit_jacobian_function; errors as in _VectorCallback."""

    def __init__(self, function, x, n):
        self.function = function
        self.x = x
        self.x_address = x.ctypes.data
        self.n = n
        self.m = x.size
        self.error = None
        self.pointer = _library.JacobianFunction(self._call)

    def _call(self, params, x, m, n, jacobian, _user):
        try:
            xs = self.x
            if ctypes.cast(x, ctypes.c_void_p).value != self.x_address or m != self.m:
                xs = np.ctypeslib.as_array(x, shape=(m,))
            out = np.asarray(self.function(xs, *params[:n]), dtype=np.float64)
            if out.shape != (m, n):
                raise ValueError("jac must return an array of shape (%d, %d), got %s"
                                 % (m, n, out.shape))
            out = np.ascontiguousarray(out)
            ctypes.memmove(jacobian, out.ctypes.data, 8 * m * n)
            return 0
        except BaseException as error:  # noqa: B902 - re-raised after the C call
            if self.error is None:
                self.error = error
            return 1

    def raise_pending(self):
        error, self.error = self.error, None
        if error is not None:
            raise error


_DERIVATIVES = {"exact": 0, "numeric": 1}
_ESTIMATORS = {"least_squares": 0, "poisson": 1, "soft_l1": 2, "huber": 3, "cauchy": 4}


def _estimator_code(estimator):
    try:
        return _ESTIMATORS[estimator]
    except (KeyError, TypeError):
        raise ValueError("estimator must be 'least_squares', 'poisson', 'soft_l1', 'huber' or"
                         " 'cauchy', got %r"
                         % (estimator,)) from None


def _derivatives_code(derivatives):
    try:
        return _DERIVATIVES[derivatives]
    except (KeyError, TypeError):
        raise ValueError("derivatives must be 'exact' or 'numeric', got %r"
                         % (derivatives,)) from None


def _callable_names(function, n):
    try:
        parameters = list(inspect.signature(function).parameters.values())[1:]
        names = [p.name for p in parameters
                 if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        if len(names) == n:
            return tuple(names)
    except (TypeError, ValueError):
        pass
    return tuple("p%d" % j for j in range(n))


def _callable_parameter_count(function):
    try:
        parameters = list(inspect.signature(function).parameters.values())[1:]
    except (TypeError, ValueError):
        parameters = []
    if not parameters or any(p.kind == p.VAR_POSITIONAL for p in parameters):
        raise ValueError("p0 is needed: the number of parameters cannot be read from the"
                         " model's signature")
    return len(parameters)


class FitResult:
    """The result of nlfit.fit. All statistics come from the C library.

    Attributes: ``params``, ``std_errors``, ``ci_low``, ``ci_high`` (95 %
    confidence interval), ``covariance`` and ``correlation`` (n x n; NaN for
    parameters beyond the numerical rank), ``parameter_flags``,
    ``parameter_names``, ``rss``, ``residual_norm``, ``reduced_chi2``,
    ``r_squared``, ``log_likelihood``, ``aic``, ``aicc``, ``bic`` (Gaussian
    likelihood; see docs/api.md), ``dof``, ``rank``, ``status`` (the C status), ``status_name``,
    ``message``, ``converged``, ``iterations``, ``evaluations``,
    ``statistics_evaluations``, ``jacobian_evaluations`` (calls of an exact
    Jacobian), ``jacobian_check_error`` and ``jacobian_check_column`` (the
    check_jacobian comparison; NaN and -1 when none ran), ``model`` (the
    model's name or formula), ``nonfinite_index`` (with status
    ``stopped_nonfinite``, the first observation whose model value or
    residual was not finite; else -1), ``chi2_p_value`` (with sigma and
    absolute_sigma; NaN otherwise), ``start_origin`` (per parameter 0 given,
    1 automatic, 2 default 1; None when p0 was given), ``residuals`` (model -
    y at the result) and ``warnings``, the report's list of ``{"code",
    "message"}`` dicts (the ``nlfit`` command's ``warnings``).
    ``repr`` is the report table the ``nlfit`` command prints.
    """

    _ARRAYS = ("params", "std_errors", "ci_low", "ci_high", "covariance", "correlation",
               "parameter_flags")

    def __init__(self, **fields):
        self.__dict__.update(fields)

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
            status = lib.nlfit_predict_model(handle._handle, 1, *arguments)
        else:
            callback = _VectorCallback(self._model, flat, n)
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

    def __repr__(self):
        text = _report_table(self)
        return text if text is not None else self._plain_table()

    def _plain_table(self):
        lines = ["model      %s" % self.model,
                 "status     %s (%s)" % (self.status_name, self.message),
                 "%-10s %24s %24s" % ("parameter", "value", "std error")]
        for name, value, error in zip(self.parameter_names, self.params, self.std_errors):
            lines.append("%-10s %24.17g %24.17g" % (name, value, error))
        lines.append("rss %.17g  reduced chi2 %.17g  R2 %.17g  iterations %d  evaluations %d"
                     % (self.rss, self.reduced_chi2, self.r_squared, self.iterations,
                        self.evaluations))
        return "\n".join(lines)


Prediction = collections.namedtuple(
    "Prediction", ["value", "confidence_low", "confidence_high", "prediction_low",
                   "prediction_high"])
Prediction.__doc__ = """FitResult.predict: the fitted model's values and the two bands at the
level asked for (None when bands=False)."""


def _report_text(r, function_name):
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
        r_squared=r.r_squared, jacobian_evaluations=getattr(r, "jacobian_evaluations", 0),
        deviance=getattr(r, "deviance", float("nan")),
        pearson_chi2=getattr(r, "pearson_chi2", float("nan")),
        log_likelihood=r.log_likelihood, aic=r.aic, aicc=r.aicc, bic=r.bic,
        chi2_p_value=getattr(r, "chi2_p_value", float("nan")))
    for field in ("covariance", "std_errors", "ci_low", "ci_high", "correlation",
                  "parameter_flags"):
        setattr(result, field, getattr(r, field).ctypes.data)
    names = (ctypes.c_char_p * len(r.parameter_names))(*[s.encode() for s in r.parameter_names])
    report = _library.ReportInput(
        model_name=r.model_name.encode() if r.model_name else None,
        formula=r.formula.encode() if r.formula else None,
        points=r.x.size, weighted=int(r.sigma is not None),
        absolute_sigma=int(r.absolute_sigma), n=len(r.params),
        parameter_names=ctypes.cast(names, ctypes.c_void_p).value,
        params=r.params.ctypes.data, start=r.start.ctypes.data,
        result=ctypes.pointer(result), certified_rss=float("nan"))
    origin = getattr(r, "start_origin", None)
    if origin is not None:
        report.start_origin = origin.ctypes.data
    residuals = getattr(r, "residuals", None)
    if residuals is not None:
        report.x = r.x.ctypes.data
        report.residuals = residuals.ctypes.data
    size = formatter(ctypes.byref(report), None, 0)
    if size == 0:
        return "" if function_name == "nlfit_report_warnings" else None
    buffer = ctypes.create_string_buffer(size + 1)
    formatter(ctypes.byref(report), ctypes.cast(buffer, ctypes.c_void_p), size + 1)
    return buffer.value.decode(errors="replace")


def _report_table(r):
    """The C library's report of a fit (nlfit_report_format), the table the
    nlfit command prints; None when the library lacks the formatter."""
    return _report_text(r, "nlfit_report_format")


def _warnings_of(r):
    """The report layer's warnings as a list of {"code", "message"} dicts:
    the list the nlfit command prints and writes under "warnings"."""
    text = _report_text(r, "nlfit_report_warnings")
    if not text:
        return []
    return [dict(zip(("code", "message"), line.split("\t", 1)))
            for line in text.splitlines() if line]


def _automatic_start(lib, handle, n, x, y, sigma):
    """The catalogue shape's starting values from the data, and the origin of
    each (nlfit.START_*); ones without a method (or an older library)."""
    params = np.ones(n)
    origin = np.full(n, 2, dtype=np.uint8)
    if handle is None or getattr(lib, "nlfit_model_auto_start", None) is None:
        return params, None
    status = lib.nlfit_model_auto_start(handle._handle, n, params.ctypes.data, None, x.size,
                                        x.ctypes.data, y.ctypes.data,
                                        None if sigma is None else sigma.ctypes.data,
                                        origin.ctypes.data)
    if status != 0:
        return np.ones(n), None
    return params, origin


def _run_fit(model, x, y, p0, sigma, absolute_sigma, fixed, maxfev, tuning, function_name,
             bounds=None, jac=None, derivatives="exact", check_jacobian=False,
             estimator="least_squares"):
    lib = _library.library()
    handle = _model_of(model)
    derivatives_code = _derivatives_code(derivatives)
    estimator_code = _estimator_code(estimator)
    if jac is not None and handle is not None:
        raise ValueError("jac applies to a Python model: formula and catalogue models bring"
                         " their own derivatives (derivatives='exact')")
    if jac is not None and not callable(jac):
        raise TypeError("jac must be a callable jac(x, *params) returning the (m, n) Jacobian")
    x = _float_array(x, "x", copy_ok=True)
    y = _float_array(y, "y", copy_ok=True)
    if x.ndim != 1 or y.ndim != 1 or x.shape != y.shape:
        raise ValueError("x and y must be 1-D arrays of the same length (x %s, y %s)"
                         % (x.shape, y.shape))
    if handle is not None:
        n = handle.parameter_count
        names = handle.parameter_names
    else:
        n = len(p0) if p0 is not None else _callable_parameter_count(model)
        names = _callable_names(model, n)
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
        params, origin = _automatic_start(lib, handle, n, x, y, sigma)
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
    jacobian = None
    if jac is not None and derivatives == "exact":
        jacobian = _JacobianCallback(jac, x, n)
        options.jacobian = jacobian.pointer
    arrays = {"covariance": np.full((n, n), np.nan), "correlation": np.full((n, n), np.nan),
              "std_errors": np.full(n, np.nan), "ci_low": np.full(n, np.nan),
              "ci_high": np.full(n, np.nan), "parameter_flags": np.zeros(n, dtype=np.uintc)}
    result = _library.Result()
    for field, array in arrays.items():
        setattr(result, field, array.ctypes.data)
    if handle is not None:
        status = lib.nlfit_fit_model(handle._handle, n, params.ctypes.data, x.size, x.ctypes.data,
                                     y.ctypes.data, ctypes.byref(options), ctypes.byref(result))
        model_name = None if handle.name == "formula" else handle.name
        formula = handle.formula
    else:
        callback = _VectorCallback(model, x, n)
        status = lib.nlfit_fit_vectorized(callback.pointer, None, n, params.ctypes.data, x.size,
                                          x.ctypes.data, y.ctypes.data, ctypes.byref(options),
                                          ctypes.byref(result))
        callback.raise_pending()
        if jacobian is not None:
            jacobian.raise_pending()
        model_name, formula = getattr(model, "__name__", "python model"), None
    if status < 0:
        raise RefusedError("%s() refused the problem: %s (%s)"
                           % (function_name, lib.status_message(status), lib.status_name(status)),
                           status)
    fitted = FitResult(
        model=model_name or formula, model_name=model_name, formula=formula,
        parameter_names=names, params=params, start=start, x=x, y=y, sigma=sigma,
        rss=result.rss, residual_norm=result.residual_norm, reduced_chi2=result.reduced_chi2,
        r_squared=result.r_squared, log_likelihood=result.log_likelihood, aic=result.aic,
        aicc=result.aicc, bic=result.bic, dof=result.dof, rank=result.rank, status=result.status,
        status_name=lib.status_name(result.status), message=lib.status_message(result.status),
        converged=bool(result.converged), iterations=result.iterations,
        evaluations=result.evaluations, statistics_evaluations=result.statistics_evaluations,
        jacobian_evaluations=result.jacobian_evaluations,
        jacobian_check_error=result.jacobian_check_error,
        jacobian_check_column=result.jacobian_check_column,
        deviance=result.deviance, pearson_chi2=result.pearson_chi2, estimator=estimator,
        absolute_sigma=bool(absolute_sigma), nonfinite_index=result.nonfinite_index,
        _model=handle if handle is not None else model, **arrays)
    fitted.chi2_p_value = result.chi2_p_value
    fitted.start_origin = origin
    fitted.residuals = _residuals_at(lib, handle, model, params, x, y)
    fitted.warnings = _warnings_of(fitted)
    return fitted


def _residuals_at(lib, handle, model, params, x, y):
    """model - y at the fitted parameters (for the runs test of the
    warnings), or None when the model cannot give them."""
    values = np.empty_like(x)
    try:
        if handle is not None:
            if lib.nlfit_model_evaluate(handle._handle, params.ctypes.data, x.ctypes.data,
                                        x.size, values.ctypes.data) != 0:
                return None
        else:
            values[:] = np.asarray(model(x, *params), dtype=np.float64)
    except Exception:  # the model's own failure was reported by the fit
        return None
    return values - y


def fit(model, x, y, p0=None, sigma=None, absolute_sigma=False, fixed=None, maxfev=None,
        bounds=None, jac=None, derivatives="exact", check_jacobian=False,
        estimator="least_squares", **options):
    """Fits model to (x, y) and returns a FitResult.

    model: a callable f(x, *params) returning the model's values at the whole
    array x (called once per evaluation), a formula string in x
    ("a*exp(-b*x)+c") or a catalogue name ("two_exp"). p0: the starting
    values (default: from the data for the catalogue's everyday shapes,
    ones otherwise). sigma: standard deviations of y (weights
    1/sigma^2). absolute_sigma: the covariance is not rescaled by the
    reduced chi-square. fixed: parameters held at their starting values
    (indices, names, or n booleans). maxfev: the evaluation budget.
    bounds: (lower, upper), each a scalar or n values, -inf/+inf for none;
    a parameter on a bound at the result has the flag NLFIT_PARAM_AT_BOUND
    (16) and NaN standard error. A p0 outside its bounds is refused; the
    default start of ones moves to the nearest bound.
    jac: for a callable model, jac(x, *params) returning the (m, n) Jacobian
    of the model's values (all n parameters, held ones included).
    derivatives: 'exact' (default) uses jac, or the formula's or catalogue
    model's own derivatives; 'numeric' forward differences. check_jacobian:
    compare the exact Jacobian once with central differences at the start
    (result.jacobian_check_error, jacobian_check_column). estimator:
    'least_squares' (default) or 'poisson', maximum likelihood for counts
    (y >= 0, no sigma): result.deviance and result.pearson_chi2, standard
    errors from the Fisher information; or a robust loss 'soft_l1', 'huber',
    'cauchy' with its scale loss_scale (default 1, in units of the weighted
    residuals) and approximate standard errors.
    Also accepted: reduction_tolerance, step_tolerance, gradient_tolerance,
    step_bound_factor, relative_error. Any other keyword is a TypeError.

    A refused problem (bad counts, NaN data, bad sigma, ...) raises
    RefusedError (a ValueError); a fit that ran returns its result whatever
    its status (see ``converged``). An exception raised by the model stops
    the fit and propagates.
    """
    _reject(options, "fit")
    return _run_fit(model, x, y, p0, sigma, absolute_sigma, fixed, maxfev, options, "fit",
                    bounds=bounds, jac=jac, derivatives=derivatives,
                    check_jacobian=check_jacobian, estimator=estimator)


def curve_fit(f, xdata, ydata, p0=None, sigma=None, absolute_sigma=False, check_finite=None,
              bounds=None, method=None, full_output=False, nan_policy=None, fixed=None,
              maxfev=None, ftol=None, xtol=None, gtol=None, jac=None, derivatives="exact",
              estimator="least_squares", **kwargs):
    """Fits f(x, *params) to (xdata, ydata); returns (popt, pcov).

    The common Python curve_fit convention, over nlfit's own solver.

    popt: the fitted parameters; pcov: their covariance, s^2 (J^T J)^-1 with
    s^2 = rss / (m - rank), or (J^T J)^-1 with absolute_sigma. Parameters the
    data do not determine (beyond the numerical rank of the Jacobian) have
    NaN rows and columns in pcov; held parameters (fixed) have zero ones.
    f is called once per evaluation with the whole xdata array; it may also
    be a formula string or a catalogue name.

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
            n = len(p0) if p0 is not None else _callable_parameter_count(f)
            names = _callable_names(f, n)
        inner = handle if handle is not None else f

        def model(xs, *params):
            return whiten @ np.asarray(inner(xs, *params), dtype=np.float64)

        y_fit = whiten @ y
        if p0 is None:
            p0 = np.ones(n)
        if fixed is not None:
            fixed = [bool(v) for v in _held_flags(fixed, n, list(names))]
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
                          estimator=estimator)
        fvec = result.predict(x, bands=False).value - y
        if sigma is not None:
            fvec = fvec / sigma
    if full_output:
        info = {"nfev": int(result.evaluations), "fvec": fvec, "fit_result": result}
        return result.params, result.covariance, info, result.message, result.status
    if not result.converged:
        where = ""
        if result.nonfinite_index >= 0:
            i = result.nonfinite_index
            where = " at observation %d (x = %r)" % (i, float(result.x[i]))
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
            sets[s].model = handle._handle
        else:
            callback = _VectorCallback(model, x, len(names))
            keep.append(callback)
            sets[s].function = callback.pointer
    options_struct = _options(lib, n, held, None, absolute_sigma, maxfev, True, options,
                              bounded=bounded)
    arrays = {"covariance": np.full((n, n), np.nan), "correlation": np.full((n, n), np.nan),
              "std_errors": np.full(n, np.nan), "ci_low": np.full(n, np.nan),
              "ci_high": np.full(n, np.nan), "parameter_flags": np.zeros(n, dtype=np.uintc)}
    result = _library.Result()
    for field, array in arrays.items():
        setattr(result, field, array.ctypes.data)
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


BatchResult = collections.namedtuple(
    "BatchResult", ["params", "status", "converged", "rss", "std_errors", "evaluations"])
BatchResult.__doc__ = """The result of fit_many, K curves of n parameters:
params (K, n) float64, status (K,) C int statuses (1-4 converged, negative:
that curve was refused), converged (K,) bool, rss (K,) float64, std_errors
(K, n) float64 (None when std_errors=False), evaluations (K,) int64."""


def _batch_arrays(x, Y, p0, sigma, n):
    """Checks and converts the data of a batch."""
    Y = _float_array(Y, "Y", copy_ok=False)
    if Y.ndim != 2:
        raise ValueError("Y must be a 2-D array (curves, points), got shape %s" % (Y.shape,))
    K, m = Y.shape
    if K == 0:
        raise ValueError("Y holds no curves (K = 0)")
    x = _float_array(x, "x", copy_ok=False)
    if x.shape not in ((m,), (K, m)):
        raise ValueError("x must have shape (%d,) (shared) or (%d, %d) (per curve), got %s"
                         % (m, K, m, x.shape))
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
    """A tqdm bar driven by the C progress callback. The callback comes from
    the worker threads (one at a time); it only updates the bar every
    total/500 curves, to stay cheap."""

    def __init__(self, total, enabled):
        self.bar = None
        self.error = None
        self.done = 0
        self.step = max(1, total // 500)
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit="curve", smoothing=0.1)
        self.pointer = _library.BatchProgressCallback(self._call)

    def _call(self, done, total, _user):
        if done - self.done >= self.step or done == total:
            try:
                self.bar.update(done - self.done)
                self.done = done
            except BaseException as error:  # noqa: B902 - re-raised after the C call
                self.error = error
                return 1
        return 0

    def advance(self, done):
        if self.bar is not None:
            self._call(done, self.bar.total, None)

    def close(self):
        if self.bar is not None:
            self.bar.close()
        error, self.error = self.error, None
        if error is not None:
            raise error


def _batch_automatic_starts(lib, handle, x, Y, sigma, n):
    """(K, n) starts, each curve's from its own data (a loop in Python over
    the C function: for very large batches a shared p0 is faster)."""
    K = Y.shape[0]
    starts = np.ones((K, n))
    for k in range(K):
        xk = x if x.ndim == 1 else x[k]
        starts[k], _ = _automatic_start(lib, handle, n, np.ascontiguousarray(xk),
                                        np.ascontiguousarray(Y[k]),
                                        None if sigma is None else np.ascontiguousarray(sigma[k]))
    return starts


def fit_many(model, x, Y, p0=None, sigma=None, threads=0, progress=False, absolute_sigma=False,
             fixed=None, maxfev=None, std_errors=True, bounds=None, derivatives="exact",
             estimator="least_squares", **options):
    """Fits each row of Y (K curves of m points) with one model; returns a
    BatchResult of NumPy arrays (params, status, converged, rss, std_errors,
    evaluations).

    model: a formula string or catalogue name (or a Model): the whole batch
    runs in the C library on ``threads`` threads (0 = all cores), with no
    Python in the loop. A Python callable f(x, *params) also works but is the
    slow path: its curves are fitted one after another, each through the
    vectorized entry point, holding the interpreter.
    x: (m,) shared or (K, m) per curve; p0: (n,) shared or (K, n), or None:
    each curve's automatic start from its own data for a catalogue shape
    with a method, ones otherwise; sigma: (K, m) or None. Y, x and sigma are used in place when they are
    C-contiguous float64; other real dtypes are converted once, and
    non-contiguous arrays are refused (ValueError) rather than copied.
    Each curve's result is bit for bit that of fit() on that curve alone,
    whatever the thread count. A bad curve (a NaN in its row, say) gets its
    own negative status; the others are fitted. progress=True shows a tqdm
    bar when tqdm is installed. std_errors=False skips the statistics
    (with difference derivatives 2 evaluations per free parameter and curve).
    bounds=(lower, upper) as in fit(), shared by every curve; a curve whose
    start lies outside them gets status -6 (refused_bad_option).
    derivatives: 'exact' (default) the formula's or catalogue model's own
    derivatives, 'numeric' forward differences. estimator: as in fit().
    """
    _reject(options, "fit_many")
    derivatives_code = _derivatives_code(derivatives)
    estimator_code = _estimator_code(estimator)
    lib = _library.library()
    handle = _model_of(model)
    if handle is not None:
        n = handle.parameter_count
        names = handle.parameter_names
    else:
        n = np.shape(p0)[-1] if p0 is not None else _callable_parameter_count(model)
        names = _callable_names(model, n)
    automatic = p0 is None
    x, Y, p0, sigma = _batch_arrays(x, Y, np.ones(n) if automatic else p0, sigma, n)
    if automatic and handle is not None:
        p0 = _batch_automatic_starts(lib, handle, x, Y, sigma, n)
    if automatic and bounds is not None:
        lower, upper = _bound_arrays(bounds, n, names)  # starts not given move onto them
        p0 = np.ascontiguousarray(np.clip(p0, lower, upper))
    K, m = Y.shape
    held = _held_flags(fixed, n, list(names))
    bounded = _bound_arrays(bounds, n, names)
    params = np.empty((K, n))
    status = np.empty(K, dtype=np.intc)
    converged = np.zeros(K, dtype=np.uint8)
    rss = np.empty(K)
    evaluations = np.empty(K, dtype=np.int64)
    errors = np.empty((K, n)) if std_errors else None
    bar = _Progress(K, progress)
    try:
        if handle is not None:
            batch = _library.BatchOptions()
            lib.nlfit_batch_options_init(ctypes.byref(batch))
            fit_options = _options(lib, n, held, None, absolute_sigma, maxfev, std_errors,
                                   options, bounded=bounded)
            fit_options.derivatives = derivatives_code
            fit_options.estimator = estimator_code
            batch.fit = ctypes.pointer(fit_options)
            batch.threads = int(threads)
            if bar.bar is not None:
                batch.progress = bar.pointer
            data = _library.BatchData(
                curves=K, points=m, x=x.ctypes.data, x_per_curve=int(x.ndim == 2),
                y=Y.ctypes.data, sigma=sigma.ctypes.data if sigma is not None else None,
                start=p0.ctypes.data, start_per_curve=int(p0.ndim == 2))
            outputs = _library.BatchOutputs(
                params=params.ctypes.data, status=status.ctypes.data,
                converged=converged.ctypes.data, rss=rss.ctypes.data,
                evaluations=evaluations.ctypes.data,
                std_errors=errors.ctypes.data if errors is not None else None)
            code = lib.nlfit_fit_many(handle._handle, _library.PointModel(), None, n,
                                      ctypes.byref(data), ctypes.byref(batch),
                                      ctypes.byref(outputs))
            if code < 0:
                raise RefusedError("fit_many() refused the batch: %s (%s)"
                                   % (lib.status_message(code), lib.status_name(code)), code)
        else:
            _fit_callable_rows(lib, model, x, Y, p0, sigma, held, absolute_sigma, maxfev,
                               options, params, status, converged, rss, evaluations, errors, bar,
                               bounded, estimator_code)
    finally:
        bar.close()
    return BatchResult(params, status, converged.view(np.bool_), rss, errors, evaluations)


def _fit_callable_rows(lib, model, x, Y, p0, sigma, held, absolute_sigma, maxfev, tuning,
                       params, status, converged, rss, evaluations, errors, bar, bounded=None,
                       estimator_code=0):
    K, m = Y.shape
    n = params.shape[1]
    options = _library.Options()
    result = _library.Result()
    for k in range(K):
        xk = x if x.ndim == 1 else x[k]
        sk = sigma[k] if sigma is not None else None
        _options(lib, n, held, sk, absolute_sigma, maxfev, errors is not None, tuning,
                 target=options, bounded=bounded)
        options.estimator = estimator_code
        params[k] = p0 if p0.ndim == 1 else p0[k]
        if errors is not None:
            result.std_errors = errors[k].ctypes.data
        callback = _VectorCallback(model, xk, n)
        code = lib.nlfit_fit_vectorized(callback.pointer, None, n, params[k].ctypes.data, m,
                                        xk.ctypes.data, Y[k].ctypes.data, ctypes.byref(options),
                                        ctypes.byref(result))
        callback.raise_pending()
        status[k] = code
        converged[k] = result.converged if code > 0 else 0
        rss[k] = result.rss if code > 0 else np.nan
        evaluations[k] = result.evaluations if code > 0 else 0
        if code < 0 and errors is not None:
            errors[k] = np.nan
        bar.advance(k + 1)
