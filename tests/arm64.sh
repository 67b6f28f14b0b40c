#!/usr/bin/env bash
# The module on 64-bit ARM: in a Debian stable arm64 chroot run under qemu
# user emulation (tools/arm64-chroot.sh, cached after the first build),
# tests/wheels.sh builds the sdist and from it a wheel with warnings as
# errors (GCC 12), repairs it to a manylinux aarch64 tag with auditwheel,
# installs it into an environment where no compiler can be found, and runs
# Python tests against it, the golden-hash test (the same bits as on x86-64)
# among them.
#
#   bash tests/arm64.sh          # the tests in $subset below (CI)
#   bash tests/arm64.sh --full   # the whole Python suite and the typing tests
#
# Emulation is slow (the whole Python suite took about 20 minutes against 2 to
# 3 natively, on a loaded 2-core machine), so CI runs a subset: the numeric
# results, the argument binding and the classes. Emulation cannot run the
# tests that exhaust an address-space limit (qemu ignores RLIMIT_AS): they
# skip themselves. The repaired wheel is copied to build/wheels-arm64/.
set -euo pipefail
cd "$(dirname "$0")/.."

subset="tests/python/test_golden_hashes.py tests/python/test_simulation.py
  tests/python/test_degenerate_numbers.py tests/python/test_binding.py tests/python/test_classes.py"
flight_subset="tests/flight/test_golden_hashes.py tests/flight/test_same_as_aeso.py"
tests=$subset
flight_tests=$flight_subset
case "${1:-}" in
  --full) tests="" flight_tests="" ;;
  "") ;;
  *) echo "usage: $0 [--full]" >&2; exit 2 ;;
esac

root=$(bash tools/arm64-chroot.sh)
source tools/chroot.sh
chroot_copy_tree "$root" /work/aeso

echo "== 64-bit ARM under emulation: $(chroot_run "$root" sh -c 'uname -m; python3 --version; g++ --version | head -n1' | xargs)"
chroot_run "$root" env AESO_WHEEL_PYTHONS=3.11 AESO_WHEEL_TESTS="$(echo $tests)" \
  AESO_WHEEL_FLIGHT_TESTS="$(echo $flight_tests)" \
  bash -c 'cd /work/aeso && bash tests/wheels.sh'
rm -rf build/wheels-arm64
mkdir -p build/wheels-arm64
cp "$root"/work/aeso/build/wheels/wheelhouse/*.whl build/wheels-arm64/
echo "arm64 wheel: $(ls build/wheels-arm64)"
