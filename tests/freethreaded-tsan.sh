#!/usr/bin/env bash
# The module's thread tests under ThreadSanitizer on a free-threaded CPython:
# the interpreter is built with --with-thread-sanitizer (tools/
# freethreaded-python.sh tsan, cached after the first build) and the module
# with -fsanitize=thread, so races between the module and the interpreter are
# seen as well as races inside the module. CPython's own suppression list for
# free-threaded builds is applied; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

python_tsan=$(bash tools/freethreaded-python.sh tsan)
prefix=$(dirname "$(dirname "$python_tsan")")

source tests/common.sh

# The test dependencies come from the plain free-threaded interpreter's
# environment (same ABI), so pip never runs under ThreadSanitizer, which
# would take minutes.
freethreaded_venv
site_packages=$("$freethreaded_python" -c "import sysconfig; print(sysconfig.get_path('purelib'))")

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/tsan-python "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAESO_BUILD_TESTS=OFF -DAESO_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python_tsan" \
  -DAESO_SANITIZE=thread -DAESO_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/tsan-python -j2 --target aeso
module_dir=$(dirname "$(find build/tsan-python -name 'aeso*.so' -print -quit)")

# Both the interpreter and the module must carry the ThreadSanitizer runtime,
# or a clean run would prove nothing.
for binary in "$python_tsan" "$module_dir"/aeso*.so; do
  # grep reads the whole list: with pipefail, grep -q quitting at the first
  # match could fail the pipeline through ldd's SIGPIPE.
  ldd "$binary" | grep libtsan >/dev/null || { echo "$binary is not built with ThreadSanitizer" >&2; exit 1; }
done

export PYTHONPATH="$module_dir:$site_packages"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$prefix/share/tsan/suppressions_free_threading.txt"
py=("${no_aslr[@]}" "$python_tsan")
echo "== thread tests under ThreadSanitizer on free-threaded $("${py[@]}" -c 'import sys; print(sys.version.split()[0])')"
check_imported_from "$module_dir" "${py[@]}"
"${py[@]}" -m pytest -q -p no:cacheprovider \
  tests/python/test_threads_stress.py tests/python/test_detached_runs.py "$@"
