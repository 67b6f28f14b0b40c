#!/usr/bin/env bash
# Builds (once) a free-threaded CPython 3.13 from Debian's source package and
# prints the path of its python3 executable on standard output.
#
#   tools/freethreaded-python.sh          # --disable-gil
#   tools/freethreaded-python.sh tsan     # --disable-gil --with-thread-sanitizer
#
# The interpreter is installed under ${AESO_CACHE:-~/.cache/aeso}/cpython-<version>t[-tsan]
# and reused by later runs. The source comes from the Debian registry this
# machine already uses: its URI and keyring are read from the machine's apt
# sources, and a deb-src entry for suite trixie is added beside them.
# Progress goes to standard error; needs root for apt-get.
set -euo pipefail

variant=${1:-plain}
case "$variant" in
  plain) suffix=""; extra_configure=() ;;
  tsan) suffix="-tsan"; extra_configure=(--with-thread-sanitizer) ;;
  *) echo "usage: $0 [plain|tsan]" >&2; exit 2 ;;
esac

version=3.13.5
cache=${AESO_CACHE:-$HOME/.cache/aeso}
prefix="$cache/cpython-${version}t$suffix"
python="$prefix/bin/python3.13t"

if [ -x "$python" ] && "$python" -c "import sys; sys.exit(sys._is_gil_enabled())" 2>/dev/null; then
  echo "$python"
  exit 0
fi

log() { echo "[freethreaded-python] $*" >&2; }

src_list=/etc/apt/sources.list.d/aeso-trixie-src.sources
if [ ! -f "$src_list" ]; then
  debian_sources=/etc/apt/sources.list.d/debian.sources
  # The first stanza's URIs and Signed-By name the main Debian archive.
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' "$debian_sources" | head -n1 | awk '{ print $1 }')
  keyring=$(sed -n 's/^Signed-By:[[:space:]]*//p' "$debian_sources" | head -n1)
  if [ -z "$uri" ]; then
    echo "no URIs entry in $debian_sources: cannot locate the Debian archive" >&2
    exit 1
  fi
  log "adding a deb-src entry for trixie"
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: trixie"
    echo "Components: main"
    [ -n "$keyring" ] && echo "Signed-By: $keyring"
  } > "$src_list"
  apt-get update -qq >&2
fi

export DEBIAN_FRONTEND=noninteractive
# Build dependencies of the modules the tests and pip need (ssl for pip,
# zlib/bz2/lzma for wheels and archives, ffi for ctypes, sqlite, readline).
apt-get install -y -qq build-essential pkg-config dpkg-dev xz-utils libssl-dev zlib1g-dev \
  libbz2-dev liblzma-dev libffi-dev libsqlite3-dev libreadline-dev uuid-dev >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log "fetching the python3.13 source package"
(cd "$work" && apt-get source --download-only -qq python3.13 >&2)
orig=$(find "$work" -maxdepth 1 -name 'python3.13_*.orig.tar.xz' -print -quit)
[ -n "$orig" ] || { echo "python3.13 source archive not found" >&2; exit 1; }
tar -xf "$orig" -C "$work"
srcdir=$(find "$work" -maxdepth 1 -type d -name 'Python-*' -print -quit)
[ -n "$srcdir" ] || { echo "unpacked source not found" >&2; exit 1; }

log "building $(basename "$srcdir") ($variant) into $prefix"
rm -rf "$prefix"
mkdir -p "$prefix"
(
  cd "$srcdir"
  ./configure -q --disable-gil "${extra_configure[@]}" --prefix="$prefix" --with-ensurepip=install >&2
  make -s -j"$(nproc)" >&2 2>"$work/make.log" || { tail -50 "$work/make.log" >&2; exit 1; }
  # Byte-compile only the top level of the library at install time (-l): the
  # default compiles all of it at three optimisation levels, which takes many
  # minutes under ThreadSanitizer. Other modules are compiled on first import.
  make -s install COMPILEALL_OPTS="-j0 -l" >"$work/install.log" 2>&1 ||
    { tail -50 "$work/install.log" >&2; exit 1; }
  # The TSan build ships its suppression files in the source tree only.
  if [ "$variant" = tsan ]; then
    mkdir -p "$prefix/share/tsan"
    cp Tools/tsan/*.txt "$prefix/share/tsan/"
  fi
)
"$python" -c "import sys; assert not sys._is_gil_enabled()" >&2
echo "$python"
