#!/usr/bin/env bash
# The module reaches NumPy through its C-API capsule, whose location differs
# between NumPy 1.x and 2.x: the Python tests once more against NumPy 1.x, in
# an environment of their own (build/venv-numpy1).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

echo "== Python tests against NumPy 1.x"
venv=build/venv-numpy1
"$PYTHON" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "numpy<2" pytest hypothesis
"$venv/bin/python" -m pip install -q . -Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON
"$venv/bin/python" -c "import numpy; assert numpy.__version__.startswith('1.'), numpy.__version__"
"$venv/bin/python" -m pytest -q tests/python
