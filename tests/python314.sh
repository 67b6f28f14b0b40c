#!/usr/bin/env bash
# The Python tests and the dispersion tests on CPython 3.14, with the module
# built by the newest GCC with warnings as errors, in a chroot of Debian's
# unstable suite (tools/python314-chroot.sh, cached after the first build).
# The test dependencies live in a virtual environment inside the chroot,
# which stays between runs.
set -euo pipefail
cd "$(dirname "$0")/.."

root=$(bash tools/python314-chroot.sh)
source tools/chroot.sh
chroot_copy_tree "$root" /work/aeso

chroot_run "$root" bash -c '
  set -euo pipefail
  cd /work/aeso
  export CXX=$(cat /etc/aeso-cxx)
  venv=/opt/venv-aeso
  [ -x "$venv/bin/python" ] || python3.14 -m venv "$venv"
  py=$venv/bin/python
  "$py" -m pip install -q --upgrade pip
  echo "== Python tests on $("$py" -c "import sys; print(sys.version.split()[0])"), module built by $("$CXX" --version | head -n1)"
  "$py" -m pip install -q ".[test]" -Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON
  "$py" -m pytest -q -p no:cacheprovider tests/python
  "$py" -m pytest -q -p no:cacheprovider tests/flight
  PYTHON="$py" bash tests/dispersion.sh
'
