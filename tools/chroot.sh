# Shell helpers for the cached Debian chroots in which the module is built and
# tested on other interpreters, compilers and architectures. Sourced, never
# run on its own; expects the repository root as the working directory.
#
#   chroot_ensure NAME SUITE ARCH PACKAGES [SETUP]
#       makes sure ${AESO_CACHE:-~/.cache/aeso}/chroot-NAME holds a minimal
#       Debian SUITE for ARCH with PACKAGES (comma-separated) installed, then
#       the shell function SETUP ROOT has run once; builds it only when it is
#       missing or was made from other arguments. Sets $chroot_root.
#   chroot_run ROOT COMMAND [ARG...]
#       runs COMMAND inside ROOT with /proc and /dev mounted (tools/chroot-exec.sh).
#   chroot_copy_tree ROOT DIR
#       copies the working tree (without build/ and .git) to DIR inside ROOT.
#
# The chroots come from the Debian archive named in the machine's apt sources;
# a foreign ARCH runs under qemu user emulation through binfmt_misc. Needs
# root (debootstrap, chroot, mount).

source tools/debian-archive.sh

aeso_cache=${AESO_CACHE:-$HOME/.cache/aeso}

chroot_log() { echo "[chroot] $*" >&2; }

# chroot_require_tools ARCH: debootstrap, and for a foreign architecture qemu's
# static user emulators registered with binfmt_misc.
chroot_require_tools() {
  local arch=$1 packages=()
  command -v debootstrap >/dev/null || packages+=(debootstrap)
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    command -v update-binfmts >/dev/null || packages+=(binfmt-support)
    [ -n "$(ls /usr/bin/qemu-*-static 2>/dev/null)" ] || packages+=(qemu-user-static)
  fi
  if [ ${#packages[@]} -gt 0 ]; then
    chroot_log "installing ${packages[*]}"
    apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${packages[@]}" >&2
  fi
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    chroot_enable_emulation "$arch"
  fi
}

# chroot_enable_emulation ARCH: binfmt_misc mounted and qemu's handler for
# ARCH enabled (a fresh machine or container may have neither).
chroot_enable_emulation() {
  local arch=$1 qemu_arch
  case "$arch" in
    arm64) qemu_arch=aarch64 ;;
    armhf|armel) qemu_arch=arm ;;
    ppc64el) qemu_arch=ppc64le ;;
    *) qemu_arch=$arch ;;
  esac
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ ! -e "$binfmt/qemu-$qemu_arch" ]; then
    update-binfmts --import "qemu-$qemu_arch" >/dev/null 2>&1 || true
  fi
  update-binfmts --enable "qemu-$qemu_arch" >/dev/null 2>&1 || true
  grep -q '^enabled' "$binfmt/qemu-$qemu_arch" 2>/dev/null ||
    { echo "cannot enable qemu user emulation for $arch through binfmt_misc" >&2; return 1; }
}

# chroot_mounts_below DIR: prints the mount points at or below DIR.
chroot_mounts_below() {
  local dir
  dir=$(realpath -m "$1")
  awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo
}

# chroot_remove DIR: deletes a chroot tree, refusing when anything is still
# mounted below it (deleting through a bind mount of /dev would delete the
# machine's device nodes).
chroot_remove() {
  local dir=$1
  [ -e "$dir" ] || return 0
  if [ -n "$(chroot_mounts_below "$dir")" ]; then
    echo "refusing to delete $dir: still mounted below it:" >&2
    chroot_mounts_below "$dir" >&2
    return 1
  fi
  rm -rf "$dir"
}

chroot_ensure() {
  local name=$1 suite=$2 arch=$3 packages=$4 setup=${5:-}
  local root=$aeso_cache/chroot-$name
  local want="$suite $arch $packages $setup"
  mkdir -p "$aeso_cache"
  # One builder at a time per chroot; users of a ready chroot do not wait.
  local lock
  exec {lock}>"$aeso_cache/chroot-$name.lock"
  flock "$lock"
  chroot_root=$root
  if [ "$(cat "$root/.aeso-chroot" 2>/dev/null)" = "$want" ]; then
    exec {lock}>&-
    return 0
  fi
  chroot_require_tools "$arch"
  local uri
  uri=$(debian_archive_uri)
  chroot_remove "$root.tmp"
  local start=$SECONDS
  chroot_log "building $name: Debian $suite for $arch with $packages"
  # In a private mount namespace: whatever debootstrap mounts disappears with it.
  if ! unshare --mount --propagation private \
      debootstrap --arch="$arch" --variant=minbase --include="$packages" \
      "$suite" "$root.tmp" "$uri" >"$aeso_cache/chroot-$name.log" 2>&1; then
    tail -30 "$aeso_cache/chroot-$name.log" >&2
    echo "debootstrap of $name failed (log: $aeso_cache/chroot-$name.log)" >&2
    return 1
  fi
  # The machine's apt may accept archive metadata past its Valid-Until date
  # (a snapshot of the archive): the chroot's apt must do the same.
  grep -h 'Check-Valid-Until' /etc/apt/apt.conf.d/* 2>/dev/null \
    >"$root.tmp/etc/apt/apt.conf.d/99aeso-valid-until" || true
  if [ -n "$setup" ]; then
    "$setup" "$root.tmp"
  fi
  echo "$want" >"$root.tmp/.aeso-chroot"
  chroot_remove "$root"
  mv "$root.tmp" "$root"
  chroot_log "built $name in $((SECONDS - start)) s"
  exec {lock}>&-
}

chroot_run() {
  local root=$1
  shift
  # Name resolution and the machine's CA bundle (which may hold a local
  # authority the registries are reached through), refreshed on every run.
  mkdir -p "$root/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  rm -f "$root/etc/resolv.conf"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  unshare --mount --propagation private bash tools/chroot-exec.sh "$root" "$@"
}

chroot_copy_tree() {
  local root=$1 dir=$2
  rm -rf "${root:?}$dir"
  mkdir -p "$root$dir"
  tar -c --exclude=./build --exclude=./.git --exclude='__pycache__' --exclude='*.egg-info' . |
    tar -x -C "$root$dir"
}
