#!/usr/bin/env bash
# Sanitizer pass, run by CI after the plain build:
#   1. the C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer (every
#      UB report is fatal), leak checking on;
#   2. the concurrency stress tests under ThreadSanitizer;
#   3. the Python tests against an ASan+UBSan build of the module, with the
#      ASan runtime preloaded into the interpreter, and the study tool's native
#      block runner (aeso_dispersion._flights) built the same way, under its
#      own tests.
# Build trees live in build/asan, build/tsan and build/asan-python and are
# reused between runs. Needs g++ with its sanitizer runtimes (Debian's g++
# ships libasan, libubsan and libtsan), CMake, GoogleTest, and python3 with
# NumPy, pytest and hypothesis (installed by tests/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
jobs=(-j2)

source tests/common.sh

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAESO_WARNINGS_AS_ERRORS=ON \
  -DAESO_BUILD_TESTS=ON -DAESO_BUILD_PYTHON=OFF \
  -DAESO_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all >/dev/null
cmake --build build/asan "${jobs[@]}"
ctest --test-dir build/asan --output-on-failure -j2

echo "== Concurrency tests under ThreadSanitizer"
cmake -S . -B build/tsan "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAESO_WARNINGS_AS_ERRORS=ON \
  -DAESO_BUILD_TESTS=ON -DAESO_BUILD_PYTHON=OFF -DAESO_SANITIZE=thread >/dev/null
cmake --build build/tsan "${jobs[@]}" --target concurrency_tests
"${no_aslr[@]}" build/tsan/tests/cpp/concurrency_tests

echo "== Python tests against an AddressSanitizer build of the module"
cmake -S . -B build/asan-python "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAESO_WARNINGS_AS_ERRORS=ON \
  -DAESO_BUILD_TESTS=OFF -DAESO_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
  -DAESO_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all >/dev/null
cmake --build build/asan-python "${jobs[@]}" --target aeso _flights _native
module_dir=$(dirname "$(find build/asan-python -name 'aeso*.so' -print -quit)")
# The study package as an installed copy would lay it out: its Python files
# beside the sanitized _flights, ahead of the installed package on the path.
package_dir=$PWD/build/asan-python/package
rm -rf "$package_dir"
mkdir -p "$package_dir/aeso_dispersion" "$package_dir/aeso_flight"
cp python/aeso_dispersion/*.py "$package_dir/aeso_dispersion/"
cp "$(find build/asan-python -name '_flights*.so' -not -path "$package_dir/*" -print -quit)" "$package_dir/aeso_dispersion/"
# The package with its data (the real flights' logs), without the build.
cp python/aeso_flight/*.py python/aeso_flight/py.typed "$package_dir/aeso_flight/"
cp -r python/aeso_flight/flights "$package_dir/aeso_flight/"
cp "$(find build/asan-python -name '_native*.so' -not -path "$package_dir/*" -print -quit)" "$package_dir/aeso_flight/"
asan_runtime=$(g++ -print-file-name=libasan.so)
# The interpreter itself is not instrumented and keeps memory alive until
# exit, so leak reports would be noise; every other ASan check stays on. The
# tests' subprocesses inherit the environment and check the module there too.
export PYTHONPATH="$module_dir:$package_dir${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$asan_runtime"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1
check_imported_from "$module_dir" "$PYTHON"
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python
"$PYTHON" -c "import aeso_dispersion._flights as f, sys; sys.exit(not f.__file__.startswith('$package_dir/'))" ||
  { echo "the sanitized block runner is not the one imported" >&2; exit 1; }
"$PYTHON" -c "import aeso_flight._native as f, sys; sys.exit(not f.__file__.startswith('$package_dir/'))" ||
  { echo "the sanitized aeso_flight is not the one imported" >&2; exit 1; }
echo "== aeso_flight against its AddressSanitizer build"
"$PYTHON" -m pytest -q -p no:cacheprovider tests/flight
echo "== The study tool's block runner against its AddressSanitizer build"
# From the tests' directory, so the source tree's package is not imported.
(cd tests/dispersion && "$PYTHON" -m pytest -q -p no:cacheprovider test_native_flights.py test_outcomes.py)
