"""Runs pytest on the files given, for CTest: exit 77 (CTest's skip) when
pytest is missing or every test was skipped, except under CI=true, where
those are failures."""
import os
import sys

CI = os.environ.get("CI", "").lower() == "true"


class _Outcomes:
    def __init__(self):
        self.passed = 0

    def pytest_runtest_logreport(self, report):
        if report.when == "call" and report.passed:
            self.passed += 1


def main():
    try:
        import pytest
    except ImportError:
        print("skipped: pytest is not installed for %s" % sys.executable)
        return 1 if CI else 77
    outcomes = _Outcomes()
    code = pytest.main(["-q", "-rs", "-p", "no:cacheprovider"] + sys.argv[1:],
                       plugins=[outcomes])
    # 5: nothing collected, as when a module skips itself at import.
    if code in (0, 5) and outcomes.passed == 0:
        return 1 if CI else 77
    return int(code)


if __name__ == "__main__":
    sys.exit(main())
