"""The package as cmake --install puts it under a prefix finds its library
there, with no environment variable and from any directory:

    python3 installed_check.py PREFIX
"""
import glob
import os
import subprocess
import sys

prefix = os.path.abspath(sys.argv[1])
found = glob.glob(os.path.join(prefix, "lib*", "**", "nlfit", "__init__.py"), recursive=True)
if len(found) != 1:
    sys.exit("expected one installed package nlfit under %s, found %s" % (prefix, found))
site = os.path.dirname(os.path.dirname(found[0]))
env = {k: v for k, v in os.environ.items()
       if k not in ("NLFIT_API_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
env["PYTHONPATH"] = site
code = ("import numpy as np, nlfit\n"
        "x = np.arange(10.0)\n"
        "r = nlfit.fit('line', x, 2.0 * x + 1.0, [0.0, 0.0])\n"
        "print(nlfit.__file__, nlfit.load_library().path, r.converged)\n")
out = subprocess.run([sys.executable, "-c", code], env=env, cwd="/", capture_output=True,
                     text=True)
print(out.stdout + out.stderr)
words = out.stdout.split()
if out.returncode != 0 or len(words) != 3 or words[2] != "True" \
        or not all(w.startswith(prefix + os.sep) for w in words[:2]):
    sys.exit("the installed package did not fit with the installed library")
