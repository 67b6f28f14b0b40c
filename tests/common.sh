# Shell helpers shared by the test scripts; sourced, never run on its own.
# Expects the repository root as the working directory.

# Address space layout randomisation with many random bits breaks the
# ThreadSanitizer runtimes ("unexpected memory mapping"); sanitized binaries
# run under "${no_aslr[@]}", which turns it off for the process when setarch
# can do that.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
fi

# freethreaded_venv: makes sure build/venv-freethreaded exists, on the cached
# free-threaded interpreter (whichever version tools/freethreaded-python.sh
# provides; an environment left from another version is made anew), with the
# test dependencies installed; sets $freethreaded_python to its interpreter.
freethreaded_venv() {
  local venv=$PWD/build/venv-freethreaded base
  base=$(bash tools/freethreaded-python.sh)
  local version='import sys; print(sys.version)'
  if [ ! -x "$venv/bin/python" ] || [ "$("$venv/bin/python" -c "$version")" != "$("$base" -c "$version")" ]; then
    rm -rf "$venv"
    "$base" -m venv "$venv"
  fi
  freethreaded_python=$venv/bin/python
  "$freethreaded_python" -m pip install -q --upgrade pip
  "$freethreaded_python" -m pip install -q --only-binary numpy,scipy -r tests/requirements-freethreaded.txt
}

# check_imported_from DIR PYTHON...: fails unless the interpreter command
# PYTHON... imports aeso from DIR (a sanitized build put first on PYTHONPATH).
check_imported_from() {
  local dir=$1
  shift
  "$@" -c "import aeso, os, sys; sys.exit(os.path.dirname(os.path.abspath(aeso.__file__)) != os.path.abspath('$dir'))" ||
    { echo "the sanitized module is not the one imported" >&2; exit 1; }
}
