#!/usr/bin/env bash
# Builds the documentation site and checks it in a real browser: installs
# Debian's chromium, chromium-driver and libjs-mathjax (as root, when
# missing), the module with its docs extra plus Selenium and pytest into
# $PYTHON (default: a virtual environment in build/venv-docs), builds the site
# with warnings as errors (docs/build.sh: HTML, then the pages' code as
# doctests), and runs tests/docs (links, no foreign hosts, every page in
# headless Chromium, no clipped code or tables, search, equations, figures,
# the API entries, the gallery's notebooks, a quiet build; screenshots in
# build/docs-screenshots/).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in chromium chromium-driver libjs-mathjax; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
  else
    echo "install ${missing[*]} first (e.g. sudo apt-get install ${missing[*]})" >&2
    exit 1
  fi
fi

if [ -z "${PYTHON:-}" ]; then
  venv=build/venv-docs
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  PYTHON=$venv/bin/python
  "$PYTHON" -m pip install -q --upgrade pip
fi
echo "== Documentation site"
"$PYTHON" -m pip install -q --only-binary numpy,matplotlib,scipy,contourpy,kiwisolver,pillow \
  -Ccmake.define.AESO_WARNINGS_AS_ERRORS=ON ".[docs]" selenium pytest nbclient ipykernel
rm -rf build/docs build/docs-doctest build/docs-screenshots build/docs-stderr.txt docs/_generated docs/auto_examples
PYTHON="$PYTHON" bash docs/build.sh
"$PYTHON" -m pytest -q -p no:cacheprovider tests/docs
