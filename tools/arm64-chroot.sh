#!/usr/bin/env bash
# Builds (once) a 64-bit ARM chroot of Debian stable (bookworm: CPython 3.11,
# GCC 12, glibc 2.36, as on the x86-64 machines) that runs under qemu user
# emulation, and prints its path on standard output. Cached under
# ${AESO_CACHE:-~/.cache/aeso}/chroot-bookworm-arm64 and reused by later
# runs. Progress goes to standard error; needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/chroot.sh

chroot_ensure bookworm-arm64 bookworm arm64 python3-dev,python3-venv,g++,cmake,ninja-build
echo "$chroot_root"
