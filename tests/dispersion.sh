#!/usr/bin/env bash
# Installs the module with the dispersion tool's extras into $PYTHON (default
# python3) and runs the dispersion tests. Each extra (tqdm and matplotlib,
# Dask, pyarrow) is installed separately and may fail where a package has no
# wheel for the interpreter (e.g. some free-threaded builds): the tests that
# need it are then skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

echo "== Dispersion tests ($("$PYTHON" -c 'import sys; print(sys.version.split()[0], "free-threaded" if hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled() else "")'))"
"$PYTHON" -m pip install -q ".[test]"
# Wheels only for the extras' compiled packages: building pyarrow or
# matplotlib from source takes long and needs downloads.
for extra in dispersion dask parquet; do
  "$PYTHON" -m pip install -q --only-binary numpy,pyarrow,matplotlib,contourpy,kiwisolver,pillow ".[$extra]" \
    || echo "note: the $extra extra does not install here; its tests are skipped" >&2
done
# Run from the tests' directory so that the installed package, not the
# source tree, is imported.
cd tests/dispersion
"$PYTHON" -m pytest -q -p no:cacheprovider .
