#!/usr/bin/env bash
# qulo on 64-bit ARM Linux, from this x86-64 machine, under QEMU's user-mode
# emulation (which says whether it works, not how fast):
# 1. the core and its native tests cross-compiled with Debian's cross
#    toolchain (cmake/aarch64-linux-gnu.cmake) and run under qemu-aarch64;
#    each test program runs once, as a process under emulation costs about
#    half a second to start;
# 2. the aarch64 manylinux wheel (scripts/wheel.sh with QULO_WHEEL_ARCH):
#    cross-compiled against the CPython 3.13 of an arm64 Debian stable
#    chroot, repaired, installed alone into a fresh environment in that
#    chroot and checked there (scripts/emulated_check.py).
# The chroot is made once (its packages unpacked, under a minute) and kept
# under build/chroot-arm64/. Needs root (apt, debootstrap,
# chroot, mount, binfmt_misc). Where the kernel's binfmt_misc cannot be had,
# step 2 is left out, saying so, and the stage still passes on step 1.
# Installs into the system, where missing, the Debian packages
# g++-aarch64-linux-gnu, qemu-user-static and googletest (and debootstrap
# for the chroot); they stay installed. The script's mounts are made in a
# mount namespace of its own, and the binfmt_misc handler it registers for
# arm64 programs (when none is) is removed when it ends.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$ROOT/scripts/chroot.sh"
chroot_session "$@"  # binfmt_misc mounted, where it is not, in a namespace of its own

TRIPLE=aarch64-linux-gnu
NATIVE="$ROOT/build/aarch64/native"
echo "== aarch64: installs into the system where missing (apt, kept):" \
    "g++-$TRIPLE qemu-user-static googletest debootstrap"
# googletest: GoogleTest's sources, built here for the target.
apt_install "g++-$TRIPLE" qemu-user-static googletest
ensure_venv  # cmake and ninja
export PATH="$VENV/bin:$PATH"

echo "== aarch64: native tests (cross-compiled, run under qemu-aarch64)"
start=$SECONDS
rm -f "$NATIVE/build.log"
quietly "$NATIVE/build.log" cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$TRIPLE.cmake" -DQULO_BUILD_EXTENSION=OFF \
    -DQULO_BUILD_TESTS=ON -DQULO_GTEST_SOURCE=/usr/src/googletest \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
quietly "$NATIVE/build.log" cmake --build "$NATIVE" -j2
# Warnings in qulo's own sources (GoogleTest's are not ours to fix).
grep -A3 "^$ROOT/[^:]*:[0-9]*:[0-9]*: warning:" "$NATIVE/build.log" || true
echo "built in $((SECONDS - start)) s"
for test in "$NATIVE/core/tests/qulo_core_tests" "$NATIVE/tests/native/qulo_binding_tests"; do
    "$TRIPLE-readelf" -h "$test" | grep -q 'Machine: *AArch64' ||
        { echo "error: $test is not an aarch64 program" >&2; exit 1; }
    echo "$(basename "$test"):"
    qemu-aarch64-static -L "/usr/$TRIPLE" "$test" --gtest_brief=1
done
echo "== aarch64: native tests done in $((SECONDS - start)) s"

# The wheel's check runs in the arm64 chroot, whose programs the kernel
# hands to QEMU through binfmt_misc.
chroot_configure chroot-arm64 trixie arm64
if ! chroot_binfmt; then
    echo "== aarch64: wheel NOT checked: binfmt_misc is unavailable here, and the" \
        "arm64 chroot needs it (venv, pip and the demo start the chroot's programs)"
    exit 0
fi
QULO_WHEEL_ARCH=aarch64 bash "$ROOT/scripts/wheel.sh"
