"""Type-checks the package with mypy, for CTest: exit 77 (CTest's skip) when
mypy is not installed (Debian: python3-mypy), or 1 under CI=true, where
nothing may be skipped.

    python3 run_mypy.py PACKAGE_DIR CONFIG_FILE CACHE_DIR
"""
import os
import sys


def main():
    try:
        from mypy import api
    except ImportError:
        print("skipped: mypy is not installed for %s" % sys.executable)
        return 1 if os.environ.get("CI", "").lower() == "true" else 77
    package, config, cache = sys.argv[1:4]
    out, err, status = api.run(["--config-file", config, "--cache-dir", cache, package])
    print(out + err)
    return status


if __name__ == "__main__":
    sys.exit(main())
