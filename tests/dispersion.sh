#!/usr/bin/env bash
# Installs the module with the dispersion tool's extras into $PYTHON (default
# python3) and runs the dispersion tests. The Dask and Parquet extras are
# installed separately and may fail (no wheels for some interpreters, e.g.
# free-threaded builds): their tests are then skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

echo "== Dispersion tests ($("$PYTHON" -c 'import sys; print(sys.version.split()[0], "free-threaded" if hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled() else "")'))"
"$PYTHON" -m pip install -q ".[test,dispersion]"
for extra in dask parquet; do
  "$PYTHON" -m pip install -q ".[$extra]" \
    || echo "note: the $extra extra does not install here; its tests are skipped" >&2
done
# Run from the tests' directory so that the installed package, not the
# source tree, is imported.
cd tests/dispersion
"$PYTHON" -m pytest -q -p no:cacheprovider .
