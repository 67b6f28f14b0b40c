#!/usr/bin/env bash
# Builds (once) a chroot of Debian's unstable suite with CPython 3.14 and the
# newest GCC the suite offers, and prints its path on standard output. Cached
# under ${AESO_CACHE:-~/.cache/aeso}/chroot-sid-amd64 and reused by later
# runs; the compiler chosen is named in the chroot's /etc/aeso-cxx. Progress
# goes to standard error; needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/chroot.sh

# The default g++ of the suite may lag behind a newer g++-N it already ships.
install_newest_gcc() {
  local root=$1
  chroot_run "$root" bash -c '
    set -euo pipefail
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    newest=$(apt-cache pkgnames g++- | grep -E "^g\+\+-[0-9]+$" | sort -V | tail -n1)
    apt-get install -y -qq --no-install-recommends "$newest" >/dev/null
    echo "$newest" >/etc/aeso-cxx
    echo "[chroot] newest compiler: $("$newest" --version | head -n1)" >&2
  '
}

chroot_ensure sid-amd64 sid amd64 python3.14,python3.14-dev,python3.14-venv,g++,cmake,ninja-build \
  install_newest_gcc
echo "$chroot_root"
