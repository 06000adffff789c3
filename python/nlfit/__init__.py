"""nlfit: nonlinear least-squares fits from NumPy, over the C fitting API
library libnlfit_api.

    import numpy as np
    import nlfit

    r = nlfit.fit("a*exp(-b*x)+c", x, y, p0=[1, 0.1, 0])   # FitResult
    popt, pcov = nlfit.curve_fit(lambda x, a, b: a / (1 + b * x), x, y, p0=[1, 1])
    batch = nlfit.fit_many("two_exp", t, Y, p0)             # K curves, every core

nlfit.dask.fit_many spreads a batch over a Dask cluster; nlfit.plugin is the
binding of the plug-in libnlfit.so (findLS, theModelFct). See docs/python.md.

The names below are loaded on first use, so that ``nlfit.plugin`` works
without NumPy.
"""

__all__ = ["fit", "curve_fit", "fit_many", "fit_global", "FitResult", "BatchResult", "Prediction", "Model", "RefusedError",
           "FitError", "catalogue", "load_library"]

from typing import TYPE_CHECKING, Any, List

from ._version import __version__

if TYPE_CHECKING:  # what the names below are, for type checkers
    from ._api import (BatchResult, FitError, FitResult, Model, RefusedError, catalogue,
                       curve_fit, fit, fit_many, load_library)


def __getattr__(name: str) -> Any:
    if name in __all__:
        from . import _api
        return getattr(_api, name)
    if name in ("dask", "plugin"):
        import importlib
        return importlib.import_module("." + name, __name__)
    raise AttributeError("module 'nlfit' has no attribute %r" % name)


def __dir__() -> List[str]:
    return sorted(list(globals()) + __all__)
