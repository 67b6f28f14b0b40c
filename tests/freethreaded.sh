#!/usr/bin/env bash
# The Python tests on a free-threaded (no-GIL) CPython (3.14, or 3.13 while
# Debian serves no 3.14 source), built once from Debian's source package and
# cached (tools/freethreaded-python.sh). Checks
# that importing aeso leaves the GIL disabled: a module that did not declare
# itself safe without the GIL would silently turn it back on.
set -euo pipefail
cd "$(dirname "$0")/.."

source tests/common.sh
freethreaded_venv
py=$freethreaded_python
"$py" -m pip install -q --no-deps . -Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON

echo "== Python tests on free-threaded $("$py" -c 'import sys; print(sys.version.split()[0])')"
"$py" - <<'PY'
import sys
import sysconfig

assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded interpreter"
import aeso  # noqa: E402,F401
import aeso_dispersion._flights  # noqa: E402,F401
import aeso_flight._native  # noqa: E402,F401

assert not sys._is_gil_enabled(), "importing aeso, aeso_dispersion._flights or aeso_flight re-enabled the GIL"
print("aeso, aeso_dispersion._flights and aeso_flight imported; the GIL stays disabled")
PY
"$py" -m pytest -q -p no:cacheprovider tests/python
"$py" -m pytest -q -p no:cacheprovider tests/flight

# The dispersion-study tool's tests (its threads backend above all) on the
# same interpreter; extras without a wheel for it are skipped.
PYTHON="$py" bash tests/dispersion.sh
