#!/usr/bin/env bash
# Runs a command inside a Debian chroot with /proc and /dev mounted, and
# unmounts them again however the command ends (success, failure, signal).
# Called by chroot_run (tools/chroot.sh) inside a private mount namespace, so
# the mounts are invisible outside it and cannot outlive it even when this
# script is killed outright; the trap unmounts them in the ordinary cases.
#
#   tools/chroot-exec.sh ROOT COMMAND [ARG...]
#
# The command sees a clean environment: a standard PATH, a UTF-8 locale and
# the copied CA bundle for pip.
set -euo pipefail
root=$1
shift
[ -d "$root/etc" ] || { echo "not a chroot: $root" >&2; exit 2; }

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount -t proc proc "$root/proc"
mounted+=("$root/proc")
# /dev with what is mounted below it (/dev/shm for multiprocessing's
# semaphores, /dev/pts); as a slave so nothing done inside reaches the host.
mount --rbind /dev "$root/dev"
mounted+=("$root/dev")
mount --make-rslave "$root/dev"

bundle=/etc/ssl/certs/ca-certificates.crt
status=0
env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  PIP_CERT=$bundle SSL_CERT_FILE=$bundle PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
  chroot "$root" "$@" || status=$?
exit "$status"
