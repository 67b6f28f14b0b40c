#!/usr/bin/env bash
# Installs the module with the dispersion tool's extras into $PYTHON (default
# python3) and runs the dispersion tests. Each extra (tqdm and matplotlib,
# Dask, pyarrow) and scipy may fail to install where a package has no wheel
# for the interpreter (e.g. some free-threaded builds): the tests that need
# it are then skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# The tests run from their own directory (below): a relative interpreter path
# must stay valid there. -s keeps a virtual environment's symlink as it is.
case "$PYTHON" in */*) PYTHON=$(realpath -s "$PYTHON") ;; esac

echo "== Dispersion tests ($("$PYTHON" -c 'import sys; print(sys.version.split()[0], "free-threaded" if hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled() else "")'))"
# Wheels only for the compiled packages: building pyarrow, matplotlib or
# scipy from source takes long and needs downloads.
binary=(--only-binary numpy,pyarrow,matplotlib,contourpy,kiwisolver,pillow,scipy,pandas)
# The project's own builds treat compiler warnings as errors.
werror=(-Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON)
if ! "$PYTHON" -m pip install -q "${binary[@]}" "${werror[@]}" ".[dispersion,dask,parquet]" pytest; then
  # Some extra has no wheel here: the module alone, then each extra's
  # packages (as listed in pyproject.toml) on their own.
  "$PYTHON" -m pip install -q "${werror[@]}" . pytest
  for packages in "tqdm matplotlib scipy pandas" "dask[distributed]" "pyarrow"; do
    # shellcheck disable=SC2086
    "$PYTHON" -m pip install -q "${binary[@]}" $packages \
      || echo "note: $packages does not install here; the tests that need it are skipped" >&2
  done
fi
# scipy (in the dispersion extra) computes the confidence intervals and the
# copula; try it alone in case the whole extra did not install.
"$PYTHON" -m pip install -q "${binary[@]}" scipy \
  || echo "note: scipy does not install here; the tests of intervals and of the CLI fail" >&2
# Run from the tests' directory so that the installed package, not the
# source tree, is imported.
cd tests/dispersion
"$PYTHON" -m pytest -q -p no:cacheprovider .
