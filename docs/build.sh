#!/usr/bin/env bash
# Builds the documentation site into build/docs (warnings are errors, every
# cross-reference must resolve), then runs the code on its pages as doctests.
# Needs the module installed with the docs extra (pip install ".[docs]") and
# a local MathJax (Debian's libjs-mathjax, or $AESO_MATHJAX_DIR).
# Open build/docs/index.html in a browser afterwards.
#
# What the builds write to standard error is also kept in
# build/docs-stderr.txt (a clean build leaves it empty; tests/docs checks
# that), and shown once the builds have ended or one has failed.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

# The site serves MathJax from its own files, copied by conf.py from here:
# without it the build would end in Sphinx's many-line error report.
mathjax=${AESO_MATHJAX_DIR:-/usr/share/javascript/mathjax}
if [ ! -f "$mathjax/MathJax.js" ]; then
  echo "docs/build.sh: MathJax not found in $mathjax: install Debian's libjs-mathjax" \
       "(sudo apt-get install libjs-mathjax) or set AESO_MATHJAX_DIR to a MathJax 2 directory" >&2
  exit 1
fi

log=build/docs-stderr.txt
mkdir -p build
: > "$log"

run() {
  local status=0
  "$@" 2>>"$log" || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    exit "$status"
  fi
}

run "$PYTHON" -m sphinx -W --keep-going -n -q -b html docs build/docs
run "$PYTHON" -m sphinx -W --keep-going -n -q -b doctest docs build/docs-doctest
cat "$log" >&2
# A script that exits the process could end the build early with status 0.
test -f build/docs/index.html && test -f build/docs/auto_examples/index.html
