#!/bin/sh
# Regenerates the expected traces in this folder, one file per shipped NIST
# dataset and start: the progress lines of a fit at the library's tolerance
# (1e-12, kFitTolerance in src/fit/fit.h), then the fitted parameters
# ('params' and each value as %.17g).
#
# Needs the independent reference model at ../shared/oracle, relative to the
# project root (or at $ORACLE). It is not run by the build or by the tests;
# run it by hand from the project root after a deliberate change of the
# arithmetic, and review the diff:
#
#     sh tests/data/nist/generate_traces.sh
set -eu

oracle=${ORACLE:-../shared/oracle}
out=tests/data/nist
tolerance=1e-12

for data in data/nist/*.dat; do
  name=$(basename "$data" .dat)
  for start in 1 2; do
    python3 "$oracle/run.py" --model "$name" --data "$data" --start "$start" \
        --tol "$tolerance" | grep -E '^(fnorm|params) ' >"$out/${name}_start$start.txt"
  done
done
