#!/usr/bin/env bash
# Runs the core tests against the aarch64 manylinux wheel for Python 3.11 in
# an arm64 Debian (bookworm, whose python3 is 3.11) under qemu's user-mode
# emulation: the one place where the reader's portable code paths, those
# without SSE2, run at all. Needs root (binfmt_misc, chroot, mounts) and
# Debian's qemu-user-static and debootstrap, which it installs if missing.
#
#   sudo bash ci/wheels_arm64.sh [WHEEL]
#
# Without WHEEL, ci/wheels.sh builds it first. The chroot is kept in
# $OLVANE_ARM64_ROOT (default /var/tmp/olvane-arm64) for the next run, since
# making it under emulation takes minutes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
chroot_dir="${OLVANE_ARM64_ROOT:-/var/tmp/olvane-arm64}"
mirror="${OLVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

work="$(mktemp -d)"
mounted=()
cleanup() {
    local index
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do umount "${mounted[index]}" || true; done
    rm -rf "$work"
}
trap cleanup EXIT

if (($#)); then
    wheel="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
else
    bash "$root/ci/wheels.sh" --only aarch64-manylinux --python 3.11 --out "$work/wheels"
    wheel=("$work"/wheels/*.whl)
    wheel="${wheel[0]}"
fi

if ! command -v qemu-aarch64-static >/dev/null || ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq qemu-user-static debootstrap >/dev/null
fi

# The kernel hands arm64 programs to qemu; with the F flag it keeps qemu open
# from here, so that it works inside the chroot too, child processes included.
if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]; then
    grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register
fi
grep -q '^flags:.*F' /proc/sys/fs/binfmt_misc/qemu-aarch64 || {
    echo "wheels_arm64.sh: qemu-aarch64 is registered without the F flag" >&2
    exit 1
}

if [[ ! -x "$chroot_dir/usr/bin/apt-get" ]]; then
    echo "== arm64 Debian bookworm in $chroot_dir"
    rm -rf "$chroot_dir"
    debootstrap --arch=arm64 --variant=minbase bookworm "$chroot_dir" "$mirror"
fi

in_chroot() { chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
for mount_point in proc dev tmp; do
    case "$mount_point" in
        proc) mount -t proc proc "$chroot_dir/proc" ;;
        dev) mount --bind /dev "$chroot_dir/dev" ;;
        tmp) mount -t tmpfs tmpfs "$chroot_dir/tmp" ;;
    esac
    mounted+=("$chroot_dir/$mount_point")
done
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"

if ! in_chroot sh -c 'command -v python3 && python3 -c "import pytest, hypothesis, numpy, venv, ensurepip"' >/dev/null 2>&1; then
    echo "== Debian's pytest, Hypothesis and NumPy in the chroot"
    in_chroot apt-get update -qq
    in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        python3 python3-pytest python3-hypothesis python3-numpy python3-venv >/dev/null
fi

echo "== $(basename "$wheel") in a fresh environment of $(in_chroot python3 --version), $(in_chroot uname -m)"
mkdir -p "$chroot_dir/tmp/olvane"
cp "$wheel" "$chroot_dir/tmp/olvane/"
# The failure reports name files under src/, which the tests look for.
cp -r "$root/tests" "$root/src" "$chroot_dir/tmp/olvane/"
in_chroot python3 -m venv --system-site-packages /tmp/olvane/venv
# pip decides from the running interpreter whether the wheel's tag fits.
in_chroot /tmp/olvane/venv/bin/python -m pip install --quiet --no-index --no-deps \
    "/tmp/olvane/$(basename "$wheel")"
in_chroot /tmp/olvane/venv/bin/python -c '
import olvane, platform, sys
assert olvane.__file__.startswith(sys.prefix), olvane.__file__
print(platform.machine(), olvane.__file__)'
# olvane's core tests (tests/conftest.py defines them): the wheel goes in
# without its dependencies, so dunvel, which needs NumPy, is not tested here.
paths=(-m "'not extras'" tests/olvane)
# qemu's user mode ignores RLIMIT_AS (it would bound qemu itself), so the two
# tests that run the reader out of address space cannot run here.
for name in test_memory_exhaustion_raises_memory_error test_python_objects_running_out_is_a_panic; do
    paths+=("--deselect=tests/olvane/test_resources.py::$name")
done
in_chroot sh -c "cd /tmp/olvane && exec venv/bin/python -m pytest -q -p no:cacheprovider ${paths[*]}"
