"""nlfit.plugin: ctypes binding of the plug-in libnlfit.so and its two
functions findLS and theModelFct (standard library only; importing it does
not need NumPy).

    import math
    from nlfit import plugin

    lib = plugin.load()       # or plugin.load("/path/to/libnlfit.so")
    def decay(x, a, b, *unused):
        return a * math.exp(-b * x)
    fitted = lib.fit(decay, xs, ys, start=[1.0, 0.1])
    lib.model_value(2.5, fitted)   # theModelFct: the fitted curve at x = 2.5

The model is any Python callable taking the abscissa and five parameters,
model(x, p0, p1, p2, p3, p4) -> float, as the C ModelFunction does; a fit
with fewer than five parameters hands it 0.0 in the unused positions.

Where load() looks for the library, first match wins: its argument, the
NLFIT_PLUGIN_LIBRARY environment variable (NLFIT_LIBRARY, its older name,
when that is not set), a CMake build directory of this checkout (build/
beside python/), then the system loader by SONAME (an installed
libnlfit.so.1).

The library keeps one fit problem per process and so does this module: fit
and model_value must not run on several threads at once.
"""

from __future__ import annotations

import ctypes
import math
import os
import sys
from typing import Any, Callable, List, Optional, Sequence

from ._interrupt import Guard

__all__ = ["ModelFunction", "NlfitError", "Library", "load", "MAX_PARAMS", "MAX_POINTS"]

MAX_PARAMS = 9
MAX_POINTS = 1000

# double (*)(double x, double p0, double p1, double p2, double p3, double p4)
ModelFunction = ctypes.CFUNCTYPE(ctypes.c_double, *([ctypes.c_double] * 6))

_DoublePointer = ctypes.POINTER(ctypes.c_double)

if sys.platform == "win32":
    _FILE_NAME, _SONAME = "nlfit.dll", "nlfit.dll"
elif sys.platform == "darwin":
    _FILE_NAME, _SONAME = "libnlfit.dylib", "libnlfit.1.dylib"
else:
    _FILE_NAME, _SONAME = "libnlfit.so", "libnlfit.so.1"

_REFUSALS = {
    1.0: "findLS refused the problem (status 1.0): a parameter count outside"
         " 1 ... 9, fewer observations than parameters, a NaN or infinite"
         " observation or starting value, or memory that could not be obtained",
    2.0: "findLS refused the problem (status 2.0): more than 1000 observations",
}


class NlfitError(Exception):
    """findLS refused a problem.

    Attributes
    ----------
    status : float
        findLS's result: 1.0 (a bad problem) or 2.0 (more than 1000
        observations).

    Examples
    --------
    >>> from nlfit import plugin
    >>> try:
    ...     plugin.load().fit(lambda x, *p: 0.0, [0.0], [0.0], [])
    ... except plugin.NlfitError as error:
    ...     print(error.status)
    1.0
    """

    def __init__(self, status: float) -> None:
        message = _REFUSALS.get(status, "findLS returned the unknown status %r" % status)
        super().__init__(message)
        self.status = status


class _RegisteredModel:
    """A Python model behind a C function pointer.

    An exception raised by the model cannot cross the C library; it is kept
    here, the library gets NaN from then on, and the caller re-raises it once
    the C call has returned. During a fit, ``guard`` turns Ctrl-C into the
    same (see nlfit._interrupt).
    """

    def __init__(self, function: Callable[..., float]) -> None:
        self.function = function
        self.error: Optional[BaseException] = None
        self.guard: Optional[Guard] = None
        self.pointer = ModelFunction(self._call)

    def _call(self, x: float, p0: float, p1: float, p2: float, p3: float, p4: float) -> float:
        try:
            if self.error is not None:
                return math.nan
            guard = self.guard
            if guard is None:
                return float(self.function(x, p0, p1, p2, p3, p4))
            if guard.interrupted():
                raise KeyboardInterrupt
            with guard.python_call():
                return float(self.function(x, p0, p1, p2, p3, p4))
        except BaseException as error:  # noqa: B902 - re-raised after the C call
            if self.error is None:
                self.error = error
            return math.nan

    def raise_pending(self) -> None:
        error, self.error = self.error, None
        if error is not None:
            raise error


# The model the library holds a pointer to (it keeps it for theModelFct
# until the next findLS): its ctypes thunk must stay alive until then.
_registered: Optional[_RegisteredModel] = None


_c_runtime: List[Any] = []  # the process's C library, loaded on first use


def _flush_c_stdout() -> None:
    """Flushes the C library's stdout, so that the progress lines appear in
    order with Python's own output when stdout is a pipe or a file."""
    try:
        if not _c_runtime:
            _c_runtime.append(ctypes.CDLL(None))
        _c_runtime[0].fflush(None)
    except (OSError, AttributeError, TypeError):
        pass


def _doubles(values: Sequence[float], what: str) -> Any:
    try:
        return (ctypes.c_double * len(values))(*values)
    except TypeError as error:
        raise TypeError("%s must be a sequence of numbers: %s" % (what, error)) from None


def _default_library_path() -> str:
    path = os.environ.get("NLFIT_PLUGIN_LIBRARY") or os.environ.get("NLFIT_LIBRARY")
    if path:
        return path
    checkout = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for build in ("build", "build-ci"):
        candidate = os.path.join(checkout, build, _FILE_NAME)
        if os.path.exists(candidate):
            return candidate
    return _SONAME


class Library:
    """The loaded plug-in library and its two functions.

    Parameters
    ----------
    path : str, optional
        The library file; by default as ``load`` finds it.

    Attributes
    ----------
    path : str
        The file loaded.

    Raises
    ------
    OSError
        The library cannot be loaded; the message tells how to find it.

    Examples
    --------
    >>> from nlfit import plugin
    >>> import os
    >>> library = plugin.Library()
    >>> os.path.basename(library.path).startswith("libnlfit.")
    True
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self.path = path or _default_library_path()
        try:
            self._dll = ctypes.CDLL(self.path)
        except OSError as error:
            raise OSError(
                "cannot load the nlfit library %r (%s); pass its path, set"
                " NLFIT_PLUGIN_LIBRARY, or build it with"
                " `cmake -S . -B build && cmake --build build`" % (self.path, error)) from None
        self._find_ls = self._dll.findLS
        self._find_ls.argtypes = [ModelFunction, ctypes.c_int, ctypes.c_int,
                                  _DoublePointer, _DoublePointer, _DoublePointer]
        self._find_ls.restype = ctypes.c_double
        self._model_fct = self._dll.theModelFct
        self._model_fct.argtypes = [ctypes.c_double, _DoublePointer, ctypes.c_int]
        self._model_fct.restype = ctypes.c_double

    def fit(self, model: Callable[..., float], x: Sequence[float], y: Sequence[float],
            start: Sequence[float]) -> List[float]:
        """Fits len(start) parameters of model to the observations (x, y).

        While the fit runs the library prints "fnorm ..." lines to stdout.

        Parameters
        ----------
        model : callable
            ``model(x, p0, p1, p2, p3, p4) -> float``; a fit of fewer than
            five parameters gets 0.0 in the unused positions.
        x, y : sequence of float
            The observations, at most 1000.
        start : sequence of float
            The starting values, 1 to 9 of them.

        Returns
        -------
        list of float
            The fitted parameters.

        Raises
        ------
        NlfitError
            findLS refused the problem (status 1.0 or 2.0).
        ValueError
            x and y differ in length.
        Exception
            Whatever the model raised.

        Examples
        --------
        >>> from nlfit import plugin
        >>> library = plugin.load()
        >>> fitted = library.fit(lambda x, a, b, *unused: a + b * x,
        ...                      [0.0, 1.0, 2.0], [1.0, 3.0, 5.0], [0.0, 0.0])
        >>> [round(value, 9) for value in fitted]
        [1.0, 2.0]
        """
        global _registered
        xs = _doubles(x, "x")
        ys = _doubles(y, "y")
        if len(xs) != len(ys):
            raise ValueError("x has %d values, y has %d" % (len(xs), len(ys)))
        params = _doubles(start, "start")
        # findLS registers the model even when it refuses the problem.
        _registered = registered = _RegisteredModel(model)
        sys.stdout.flush()
        with Guard() as guard:  # Ctrl-C is raised from here, once findLS has returned
            registered.guard = guard
            try:
                status = float(self._find_ls(registered.pointer, len(params), len(xs), xs, ys,
                                             params))
            finally:
                registered.guard = None
                _flush_c_stdout()
                if guard.interrupted():
                    registered.error = None
        registered.raise_pending()
        if status != 0.0:
            raise NlfitError(status)
        return list(params)

    def model_value(self, x: float, params: Sequence[float]) -> float:
        """theModelFct: the model of the latest fit at x with params.

        Parameters
        ----------
        x : float
            The abscissa.
        params : sequence of float
            The parameters; the library reads exactly five, so they are
            padded with 0.0 or cut to five.

        Returns
        -------
        float
            The model's value; NaN when no model has been registered.

        Examples
        --------
        >>> from nlfit import plugin
        >>> library = plugin.load()
        >>> _ = library.fit(lambda x, a, b, *unused: a + b * x, [0.0, 1.0], [1.0, 3.0],
        ...                 [0.0, 0.0])
        >>> library.model_value(2.0, [1.0, 2.0])
        5.0
        """
        five = (list(params) + [0.0] * 5)[:5]
        value = float(self._model_fct(x, (ctypes.c_double * 5)(*five), len(params)))
        if _registered is not None:
            _registered.raise_pending()
        return value


def load(path: Optional[str] = None) -> Library:
    """Loads the plug-in library.

    Parameters
    ----------
    path : str, optional
        The library file. By default, first match: the
        ``NLFIT_PLUGIN_LIBRARY`` environment variable (``NLFIT_LIBRARY``,
        its older name, when that is not set), a CMake build directory of
        this checkout, the system loader by SONAME.

    Returns
    -------
    Library

    Examples
    --------
    >>> from nlfit import plugin
    >>> isinstance(plugin.load(), plugin.Library)
    True
    """
    return Library(path)
