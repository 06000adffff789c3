"""Runs pytest on the files given, for CTest: exit 77 (CTest's skip) when
pytest is missing or every test was skipped, except under CI=true, where
those are failures. With --doctest-modules, on the package directory: the
examples in its docstrings."""
import os
import sys

CI = os.environ.get("CI", "").lower() == "true"


class _Outcomes:
    def __init__(self):
        self.passed = 0

    def pytest_runtest_logreport(self, report):
        if report.when == "call" and report.passed:
            self.passed += 1


def _optional_modules_missing(arguments):
    """With --doctest-modules on the package: --ignore for its modules whose
    optional dependencies are missing (nlfit.dask needs Dask), with the
    reason; under CI=true nothing is ignored, and their import fails."""
    ignored = []
    if CI:
        return ignored
    try:
        import dask.array  # noqa: F401
    except ImportError as error:
        for argument in arguments:
            path = os.path.join(argument, "dask.py")
            if os.path.isfile(path):
                print("skipped: the examples of %s (%s)" % (path, error))
                ignored.append("--ignore=" + path)
    return ignored


def main():
    try:
        import pytest
    except ImportError:
        print("skipped: pytest is not installed for %s" % sys.executable)
        return 1 if CI else 77
    arguments = sys.argv[1:]
    if "--doctest-modules" in arguments:
        arguments += _optional_modules_missing(arguments)
    outcomes = _Outcomes()
    code = pytest.main(["-q", "-rs", "-p", "no:cacheprovider"] + arguments,
                       plugins=[outcomes])
    # 5: nothing collected, as when a module skips itself at import.
    if code in (0, 5) and outcomes.passed == 0:
        return 1 if CI else 77
    return int(code)


if __name__ == "__main__":
    sys.exit(main())
