"""Shared helpers of the package's tests."""
import os

import pytest

CI = os.environ.get("CI", "").lower() == "true"


def require(module):
    """Imports module; a missing one skips the test with the reason, except
    under CI=true, where it is a failure."""
    if CI:
        return __import__(module, fromlist=["_"])
    return pytest.importorskip(module, reason="%s is not installed" % module)
