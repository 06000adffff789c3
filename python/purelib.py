"""Prints where Python packages go under an install prefix, relative to it:
the directory this interpreter searches for that prefix (Debian: /usr/local
-> lib/python3.X/dist-packages, /usr -> lib/python3/dist-packages), else the
standard lib/python3.X/site-packages.

    python3 purelib.py PREFIX
"""
import os
import sys
import sysconfig


def purelib(prefix):
    prefix = os.path.realpath(prefix)
    for scheme in (sysconfig.get_default_scheme(), "deb_system", "posix_prefix"):
        if scheme not in sysconfig.get_scheme_names():
            continue
        path = sysconfig.get_path("purelib", scheme, vars={"base": sys.base_prefix})
        path = os.path.realpath(path)
        relative = os.path.relpath(path, prefix)
        if relative.startswith("lib" + os.sep) and path in map(os.path.realpath, sys.path):
            return relative
    return os.path.relpath(sysconfig.get_path("purelib", "posix_prefix",
                                              vars={"base": prefix}), prefix)


if __name__ == "__main__":
    print(purelib(sys.argv[1]).replace(os.sep, "/"))
