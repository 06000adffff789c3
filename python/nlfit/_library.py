"""Finding and loading libnlfit_api, and its C declarations for ctypes.

Where the library is looked for, first match wins:

1. the NLFIT_API_LIBRARY environment variable (a path; nothing else is tried);
2. next to this package (a copy placed beside it);
3. the install prefix: ``cmake --install`` writes ``_install_paths.py`` with
   the library directory relative to the installed package;
4. the build tree, when the package is imported from a source checkout
   (``build/`` beside ``python/``);
5. ``<sys.prefix>/lib``, for a library installed into a virtual environment;
6. the system loader, by SONAME (``libnlfit_api.so.2``).

Every structure starts with ``struct_size``, set when it is constructed; the
library reads and writes only the fields that size covers. When the library
loads, its sizes of the structures (``nlfit_struct_size``) are checked against
the declarations below: the library must know every field declared here (it
may know more, which then keep the library's defaults).
"""

import ctypes
import importlib
import os
import sys
from typing import Any, List, Optional

ENVIRONMENT_VARIABLE = "NLFIT_API_LIBRARY"

if sys.platform == "darwin":
    _FILE_NAMES = ("libnlfit_api.dylib", "libnlfit_api.2.dylib")
    _SONAME = "libnlfit_api.2.dylib"
elif sys.platform == "win32":
    _FILE_NAMES = ("nlfit_api.dll",)
    _SONAME = "nlfit_api.dll"
else:
    _FILE_NAMES = ("libnlfit_api.so", "libnlfit_api.so.2")
    _SONAME = "libnlfit_api.so.2"

_HERE = os.path.dirname(os.path.abspath(__file__))

c_double_p = ctypes.POINTER(ctypes.c_double)

# The statuses the package acts on (nlfit_status in nlfit/fit.h).
STOPPED_BY_CALLBACK = 9
STOPPED_BY_MODEL = 10

# nlfit_point_model, nlfit_vector_model, nlfit_progress_callback,
# nlfit_batch_progress_callback
PointModel = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_double, c_double_p, ctypes.c_void_p)
VectorModel = ctypes.CFUNCTYPE(ctypes.c_int, c_double_p, c_double_p, ctypes.c_size_t,
                               c_double_p, ctypes.c_void_p)
ProgressCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int64, ctypes.c_double, c_double_p,
                                    ctypes.c_size_t, ctypes.c_void_p)
# nlfit_jacobian_function
JacobianFunction = ctypes.CFUNCTYPE(ctypes.c_int, c_double_p, c_double_p, ctypes.c_size_t,
                                    ctypes.c_size_t, c_double_p, ctypes.c_void_p)
BatchProgressCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_size_t, ctypes.c_size_t,
                                         ctypes.c_void_p)


class _Sized(ctypes.Structure):
    """A structure whose first field, struct_size, holds its size."""

    def __init__(self, *args, **fields):
        super().__init__(*args, **fields)
        self.struct_size = ctypes.sizeof(self)


class Options(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("reduction_tolerance", ctypes.c_double),
        ("step_tolerance", ctypes.c_double),
        ("gradient_tolerance", ctypes.c_double),
        ("step_bound_factor", ctypes.c_double),
        ("relative_error", ctypes.c_double),
        ("max_evaluations", ctypes.c_int64),
        ("scale", ctypes.c_void_p),
        ("held", ctypes.c_void_p),
        ("sigma", ctypes.c_void_p),
        ("absolute_sigma", ctypes.c_int),
        ("typical", ctypes.c_void_p),
        ("compute_statistics", ctypes.c_int),
        ("progress", ProgressCallback),
        ("progress_user", ctypes.c_void_p),
        ("lower", ctypes.c_void_p),
        ("upper", ctypes.c_void_p),
        ("jacobian", JacobianFunction),
        ("gradient", ctypes.c_void_p),
        ("check_jacobian", ctypes.c_int),
        ("derivatives", ctypes.c_int),
        ("estimator", ctypes.c_int),
        ("loss_scale", ctypes.c_double),
        ("check_nonlinearity", ctypes.c_int),
        ("gauss_newton_step", ctypes.c_int),
    ]


class Result(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("status", ctypes.c_int),
        ("converged", ctypes.c_int),
        ("rank", ctypes.c_int),
        ("iterations", ctypes.c_int64),
        ("evaluations", ctypes.c_int64),
        ("statistics_evaluations", ctypes.c_int64),
        ("dof", ctypes.c_int64),
        ("residual_norm", ctypes.c_double),
        ("rss", ctypes.c_double),
        ("reduced_chi2", ctypes.c_double),
        ("r_squared", ctypes.c_double),
        ("rms_residual", ctypes.c_double),
        ("covariance", ctypes.c_void_p),
        ("std_errors", ctypes.c_void_p),
        ("ci_low", ctypes.c_void_p),
        ("ci_high", ctypes.c_void_p),
        ("correlation", ctypes.c_void_p),
        ("parameter_flags", ctypes.c_void_p),
        ("nonfinite_index", ctypes.c_int64),
        ("jacobian_evaluations", ctypes.c_int64),
        ("jacobian_check_error", ctypes.c_double),
        ("jacobian_check_column", ctypes.c_int64),
        ("deviance", ctypes.c_double),
        ("pearson_chi2", ctypes.c_double),
        ("chi2_p_value", ctypes.c_double),
        ("log_likelihood", ctypes.c_double),
        ("aic", ctypes.c_double),
        ("aicc", ctypes.c_double),
        ("bic", ctypes.c_double),
        ("linear_std_errors", ctypes.c_void_p),
        ("check_evaluations", ctypes.c_int64),
        ("check_jacobian_evaluations", ctypes.c_int64),
    ]


class BatchOptions(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("fit", ctypes.POINTER(Options)),
        ("threads", ctypes.c_int),
        ("progress", BatchProgressCallback),
        ("progress_user", ctypes.c_void_p),
    ]


class BatchData(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("curves", ctypes.c_size_t),
        ("points", ctypes.c_size_t),
        ("x", ctypes.c_void_p),
        ("x_per_curve", ctypes.c_int),
        ("y", ctypes.c_void_p),
        ("sigma", ctypes.c_void_p),
        ("start", ctypes.c_void_p),
        ("start_per_curve", ctypes.c_int),
        ("predictors", ctypes.c_size_t),
    ]


class BatchOutputs(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("params", ctypes.c_void_p),
        ("status", ctypes.c_void_p),
        ("converged", ctypes.c_void_p),
        ("rss", ctypes.c_void_p),
        ("evaluations", ctypes.c_void_p),
        ("std_errors", ctypes.c_void_p),
        ("jacobian_evaluations", ctypes.c_void_p),
    ]


class DataSet(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("model", ctypes.c_void_p),
        ("function", VectorModel),
        ("user", ctypes.c_void_p),
        ("n", ctypes.c_size_t),
        ("map", ctypes.c_void_p),
        ("m", ctypes.c_size_t),
        ("x", ctypes.c_void_p),
        ("y", ctypes.c_void_p),
        ("sigma", ctypes.c_void_p),
        ("predictors", ctypes.c_size_t),
    ]


class ReportInput(_Sized):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("model_name", ctypes.c_char_p),
        ("formula", ctypes.c_char_p),
        ("data_file", ctypes.c_char_p),
        ("points", ctypes.c_size_t),
        ("skipped_points", ctypes.c_size_t),
        ("weighted", ctypes.c_int),
        ("absolute_sigma", ctypes.c_int),
        ("n", ctypes.c_size_t),
        ("parameter_names", ctypes.c_void_p),
        ("params", ctypes.c_void_p),
        ("start", ctypes.c_void_p),
        ("result", ctypes.POINTER(Result)),
        ("certified", ctypes.c_void_p),
        ("certified_std_dev", ctypes.c_void_p),
        ("certified_rss", ctypes.c_double),
        ("start_origin", ctypes.c_void_p),
        ("x", ctypes.c_void_p),
        ("residuals", ctypes.c_void_p),
        ("x_is_fitted", ctypes.c_int),
    ]


_P = ctypes.c_void_p
_SIZE = ctypes.c_size_t
_INT = ctypes.c_int
_STR = ctypes.c_char_p

# name: (restype, argtypes). Arrays go as integer addresses (c_void_p).
_DECLARATIONS = {
    "nlfit_status_message": (_STR, [_INT]),
    "nlfit_status_name": (_STR, [_INT]),
    "nlfit_version": (_INT, []),
    "nlfit_struct_size": (_SIZE, [_INT]),
    "nlfit_options_init_size": (None, [ctypes.POINTER(Options), _SIZE]),
    "nlfit_result_init_size": (None, [ctypes.POINTER(Result), _SIZE]),
    "nlfit_fit_vectorized": (_INT, [VectorModel, _P, _SIZE, _P, _SIZE, _P, _P,
                                    ctypes.POINTER(Options), ctypes.POINTER(Result)]),
    "nlfit_model_formula": (_P, [_STR, _P, _SIZE, ctypes.c_char_p, _SIZE]),
    "nlfit_fit_vectorized_multi": (_INT, [VectorModel, _P, _SIZE, _P, _SIZE, _SIZE, _P, _P,
                                          ctypes.POINTER(Options), ctypes.POINTER(Result)]),
    "nlfit_model_formula_predictors": (_P, [_STR, _P, _SIZE, _P, _SIZE, ctypes.c_char_p, _SIZE]),
    "nlfit_model_predictor_count": (_SIZE, [_P]),
    "nlfit_model_predictor_name": (_STR, [_P, _SIZE]),
    "nlfit_model_evaluate_multi": (_INT, [_P, _P, _P, _SIZE, _SIZE, _P]),
    "nlfit_fit_model_multi": (_INT, [_P, _SIZE, _P, _SIZE, _SIZE, _P, _P,
                                     ctypes.POINTER(Options), ctypes.POINTER(Result)]),
    "nlfit_model_builtin": (_P, [_STR]),
    "nlfit_model_builtin_count": (_SIZE, []),
    "nlfit_model_builtin_name": (_STR, [_SIZE]),
    "nlfit_model_free": (None, [_P]),
    "nlfit_model_parameter_count": (_SIZE, [_P]),
    "nlfit_model_parameter_name": (_STR, [_P, _SIZE]),
    "nlfit_model_formula_text": (_STR, [_P]),
    "nlfit_model_name": (_STR, [_P]),
    "nlfit_model_description": (_STR, [_P]),
    "nlfit_model_evaluate": (_INT, [_P, _P, _P, _SIZE, _P]),
    "nlfit_fit_model": (_INT, [_P, _SIZE, _P, _SIZE, _P, _P, ctypes.POINTER(Options),
                               ctypes.POINTER(Result)]),
    "nlfit_predict": (_INT, [VectorModel, _P, _SIZE, _SIZE, _P, _P, ctypes.c_double,
                             ctypes.c_int64, ctypes.c_double, _SIZE, _P, _P, _P, _P, _P]),
    "nlfit_predict_model": (_INT, [_P, _SIZE, _SIZE, _P, _P, ctypes.c_double, ctypes.c_int64,
                                   ctypes.c_double, _SIZE, _P, _P, _P, _P, _P]),
    "nlfit_fit_global": (_INT, [ctypes.POINTER(DataSet), _SIZE, _SIZE, _P,
                                ctypes.POINTER(Options), ctypes.POINTER(Result)]),
    "nlfit_report_format": (_SIZE, [ctypes.POINTER(ReportInput), _P, _SIZE]),
    "nlfit_report_warnings": (_SIZE, [ctypes.POINTER(ReportInput), _P, _SIZE]),
    "nlfit_model_has_auto_start": (_INT, [_P]),
    "nlfit_model_auto_start": (_INT, [_P, _SIZE, _P, _P, _SIZE, _P, _P, _P, _P]),
    "nlfit_batch_options_init_size": (None, [ctypes.POINTER(BatchOptions), _SIZE]),
    "nlfit_fit_many": (_INT, [_P, PointModel, _P, _SIZE, ctypes.POINTER(BatchData),
                              ctypes.POINTER(BatchOptions), ctypes.POINTER(BatchOutputs)]),
}


# The structures and their nlfit_struct_kind numbers.
STRUCTURES = {1: Options, 2: Result, 3: BatchOptions, 4: BatchData, 5: BatchOutputs,
              6: ReportInput, 7: DataSet}


class LayoutError(ImportError):
    """The library's structures do not match this package's declarations."""


def check_layouts(size_of: Any, path: str = "the library") -> None:
    """Checks every declared structure against size_of(kind), the library's
    size of it: the library must know at least the fields declared here."""
    for kind, structure in STRUCTURES.items():
        theirs = size_of(kind)
        ours = ctypes.sizeof(structure)
        if theirs < ours:
            raise LayoutError(
                "%s does not match this nlfit package: its %s is %d bytes, the package"
                " declares %d. Use the package and the library of the same version."
                % (path, structure.__name__, theirs, ours))


def _installed_directory() -> Optional[str]:
    try:  # written by cmake --install
        install_paths: Any = importlib.import_module("._install_paths", __package__)
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_HERE, install_paths.LIBRARY_DIRECTORY))


def candidates() -> List[str]:
    """The paths tried, in order (see the module documentation)."""
    path = os.environ.get(ENVIRONMENT_VARIABLE)
    if path:
        return [path]
    directories = [_HERE]
    installed = _installed_directory()
    if installed:
        directories.append(installed)
    checkout = os.path.dirname(os.path.dirname(_HERE))
    if os.path.isfile(os.path.join(checkout, "CMakeLists.txt")):
        directories += [os.path.join(checkout, build) for build in ("build", "build-ci")]
    directories.append(os.path.join(sys.prefix, "lib"))
    found = [os.path.join(d, name) for d in directories for name in _FILE_NAMES]
    return [p for p in found if os.path.exists(p)] + [_SONAME]


class Library:
    """libnlfit_api with its functions declared, as ``nlfit.load_library()``
    returns it.

    Parameters
    ----------
    path : str, optional
        The library file; by default the first of ``candidates()`` that
        loads.

    Attributes
    ----------
    path : str
        The file loaded.
    nlfit_* : ctypes functions
        The C functions, declared. Those that this build of the library
        lacks are absent (AttributeError on use).

    Examples
    --------
    >>> import nlfit
    >>> library = nlfit.load_library()
    >>> library.status_name(1), library.status_message(-3)
    ('converged_reduction', 'Refused: an x or y value is NaN or infinite.')
    """

    path: str

    def __init__(self, path: Optional[str] = None) -> None:
        tried = [path] if path else candidates()
        errors = []
        for candidate in tried:
            try:
                self._dll = ctypes.CDLL(candidate)
            except OSError as error:
                errors.append("%s: %s" % (candidate, error))
                continue
            self.path = candidate
            break
        else:
            raise OSError(
                "cannot load the nlfit fitting library (%s). Set %s to the path of"
                " libnlfit_api.so, install it with cmake --install, or build it with"
                " `cmake -S . -B build && cmake --build build`"
                % ("; ".join(errors), ENVIRONMENT_VARIABLE))
        for name, (restype, argtypes) in _DECLARATIONS.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                continue
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        if not hasattr(self, "nlfit_struct_size"):
            raise LayoutError("%s is a 1.x library without struct sizes; this nlfit package"
                              " needs libnlfit_api 2" % self.path)
        check_layouts(self.nlfit_struct_size, self.path)

    def nlfit_options_init(self, options: Any) -> None:
        """The library's default options into an Options (passed by reference)."""
        self.nlfit_options_init_size(options, ctypes.sizeof(Options))

    def nlfit_batch_options_init(self, options: Any) -> None:
        """The library's default batch options into a BatchOptions (by reference)."""
        self.nlfit_batch_options_init_size(options, ctypes.sizeof(BatchOptions))

    def __getattr__(self, name: str) -> Any:
        # Only reached for a function this build of the library lacks.
        raise AttributeError("%s has no function %s"
                             % (self.__dict__.get("path", "the library"), name))

    def __repr__(self) -> str:
        return "<nlfit fitting library %s>" % self.path

    def status_name(self, status: int) -> str:
        """The short stable name of a C status (nlfit_status_name)."""
        return str(self.nlfit_status_name(int(status)).decode())

    def status_message(self, status: int) -> str:
        """One sentence about a C status (nlfit_status_message)."""
        return str(self.nlfit_status_message(int(status)).decode())


_loaded: List[Library] = []


def library() -> Library:
    """The library later calls use: the one selected by select(), else the
    first candidate that loads, on first use."""
    if not _loaded:
        _loaded.append(Library())
    return _loaded[0]


def select(path: str) -> Library:
    """Loads the library at path and makes it the one later calls use (a
    library already selected from the same file is kept as it is)."""
    current = _loaded[0] if _loaded else None
    if current is not None and os.path.realpath(current.path) == os.path.realpath(path):
        return current
    chosen = Library(path)
    _loaded[:] = [chosen]
    return chosen
