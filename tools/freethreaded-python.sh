#!/usr/bin/env bash
# Builds (once) a free-threaded CPython from Debian's source package and
# prints the path of its python3.Xt executable on standard output. Tries
# python3.14 first and falls back to python3.13, so the free-threaded passes
# move to 3.14 by themselves on the day the archive serves its source.
#
#   tools/freethreaded-python.sh          # --disable-gil
#   tools/freethreaded-python.sh tsan     # --disable-gil --with-thread-sanitizer
#
# The interpreter is installed under ${AESO_CACHE:-~/.cache/aeso}/cpython-<version>t[-tsan]
# and reused by later runs; a cached build of the newest version tried wins.
# An unavailable 3.14 source is asked for again after a day. The source comes
# from the Debian registry this machine already uses: its URI and keyring are
# read from the machine's apt sources, and deb-src entries for the suites
# below are added beside them. Progress goes to standard error; needs root
# for apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/debian-archive.sh

variant=${1:-plain}
case "$variant" in
  plain) suffix=""; extra_configure=() ;;
  tsan) suffix="-tsan"; extra_configure=(--with-thread-sanitizer) ;;
  *) echo "usage: $0 [plain|tsan]" >&2; exit 2 ;;
esac

# Minor versions, newest first, each with the suite that serves its source.
candidates=("3.14 sid" "3.13 trixie")

cache=${AESO_CACHE:-$HOME/.cache/aeso}
mkdir -p "$cache"

log() { echo "[freethreaded-python] $*" >&2; }

# One build of a variant at a time; later callers then find it cached.
exec {lock}>"$cache/freethreaded-python$suffix.lock"
flock "$lock"

# cached MINOR: prints a working cached interpreter of that minor version.
cached() {
  local python
  for python in "$cache"/cpython-"$1".*t"$suffix"/bin/python"$1"t; do
    if [ -x "$python" ] && "$python" -c "import sys; sys.exit(sys._is_gil_enabled())" 2>/dev/null; then
      echo "$python"
      return 0
    fi
  done
  return 1
}

src_list=/etc/apt/sources.list.d/aeso-python-src.sources
add_source_entries() {
  local suites
  suites=$(printf '%s\n' "${candidates[@]}" | awk '{ print $2 }' | xargs)
  if [ "$(sed -n 's/^Suites: //p' "$src_list" 2>/dev/null)" = "$suites" ]; then
    return 0
  fi
  local uri keyring
  uri=$(debian_archive_uri)
  keyring=$(debian_archive_keyring)
  log "adding deb-src entries for $suites"
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: $suites"
    echo "Components: main"
    [ -n "$keyring" ] && echo "Signed-By: $keyring"
  } >"$src_list"
  # The entry this script wrote before it tried more than one suite.
  rm -f /etc/apt/sources.list.d/aeso-trixie-src.sources
  apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# fetch_source MINOR SUITE: downloads and unpacks python<MINOR>'s upstream
# source from SUITE into $work; prints the unpacked directory.
fetch_source() {
  local minor=$1 suite=$2 orig srcdir
  (cd "$work" && apt-get source --download-only -qq "python$minor/$suite" >&2) || return 1
  orig=$(find "$work" -maxdepth 1 -name "python${minor}_*.orig.tar.xz" -print -quit)
  [ -n "$orig" ] || return 1
  tar -xf "$orig" -C "$work"
  srcdir=$(find "$work" -maxdepth 1 -type d -name "Python-$minor.*" -print -quit)
  [ -n "$srcdir" ] || return 1
  echo "$srcdir"
}

build() { # build MINOR SRCDIR: configures, builds and installs; prints the interpreter
  local minor=$1 srcdir=$2
  local version=${srcdir##*/Python-}
  local prefix="$cache/cpython-${version}t$suffix"
  local python="$prefix/bin/python${minor}t"
  export DEBIAN_FRONTEND=noninteractive
  # Build dependencies of the modules the tests and pip need (ssl for pip,
  # zlib/bz2/lzma for wheels and archives, ffi for ctypes, sqlite, readline).
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq build-essential pkg-config dpkg-dev xz-utils \
    libssl-dev zlib1g-dev libbz2-dev liblzma-dev libffi-dev libsqlite3-dev libreadline-dev uuid-dev >/dev/null
  log "building free-threaded CPython $version ($variant) into $prefix"
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
  log "built free-threaded CPython $version ($variant)"
  echo "$python"
}

for candidate in "${candidates[@]}"; do
  minor=${candidate% *}
  suite=${candidate#* }
  if cached "$minor"; then
    exit 0
  fi
  # A source found missing is asked for again only a day later.
  missing=$cache/python$minor-source-missing
  if [ -n "$(find "$missing" -mmin -1440 2>/dev/null)" ]; then
    continue
  fi
  add_source_entries
  if srcdir=$(fetch_source "$minor" "$suite"); then
    rm -f "$missing"
    build "$minor" "$srcdir"
    exit 0
  fi
  touch "$missing"
  log "the python$minor source is not available from $suite: trying an older version"
done
echo "no free-threaded CPython source could be fetched" >&2
exit 1
