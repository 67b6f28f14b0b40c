#!/usr/bin/env bash
# Installs what the tests need, builds the module and the C++ tests, and runs
# every test. Exits non-zero when any test fails. The project's own builds turn
# compiler warnings into errors (AESO_WARNINGS_AS_ERRORS); a user's plain
# `pip install .` does not.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

# GoogleTest for the C++ tests (Debian's libgtest-dev).
if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
  else
    echo "GoogleTest is missing: install libgtest-dev (e.g. sudo apt-get install libgtest-dev)" >&2
    exit 1
  fi
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ tests"
cmake -S . -B build/tests "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DAESO_BUILD_TESTS=ON -DAESO_BUILD_PYTHON=OFF -DAESO_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure -j2

echo "== Python tests"
"$PYTHON" -m pip install -q ".[test,typing]" -Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON
"$PYTHON" -m pytest -q tests/python
"$PYTHON" -m pytest -q tests/flight

echo "== Typing: stubtest and mypy --strict against the installed stubs"
"$PYTHON" -m pytest -q -p no:cacheprovider tests/typing

# The dispersion-study tool, with its optional extras installed.
PYTHON="$PYTHON" bash tests/dispersion.sh
