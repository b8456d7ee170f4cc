#!/usr/bin/env bash
# Cross-builds the cp311 aarch64 wheel (scripts/build_wheel.sh --arch aarch64 --python 3.11)
# and runs it under emulation: a Debian 12 arm64 root made with debootstrap (Python 3.11 and nothing of
# Cyclone DDS), run through qemu-user-static. Inside the root the wheel is installed alone
# into a virtual environment, and scripts/wheel_smoke.py imports both modules and runs a
# short get_obs / do_action / Joystick exchange, first against the x86_64 simulator running
# outside the root (an Arm SDK talking to a controller on another architecture), then
# against the wheel's own aarch64 simulator. All of it in a network namespace of its own
# with only loopback.
#
#   scripts/check_aarch64.sh [--no-build]
#
# Needs root. First run: several minutes (debootstrap's second stage runs under emulation);
# the root is kept in build/aarch64-root for later runs. Registers qemu's aarch64 handler
# with the kernel's binfmt_misc when it is not registered yet. Prints the time of each part.
# (The other aarch64 wheels are checked without running them, by check_wheel.sh.)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
start=$SECONDS
part=$SECONDS
took() {
  echo "check_aarch64: $1: $((SECONDS - part)) s"
  part=$SECONDS
}
if [ "$(id -u)" -ne 0 ]; then
  echo "check_aarch64: needs root (debootstrap, chroot, binfmt_misc)" >&2
  exit 2
fi

. "$root/scripts/apt_install.sh"
apt_install check_aarch64 qemu-user-static binfmt-support debootstrap iproute2

took "packages"
[ "${1:-}" = "--no-build" ] || ./scripts/build_wheel.sh --arch aarch64 --python 3.11
# The root's interpreter is Debian 12's CPython 3.11.
wheel="$(ls -t dist/tarvek_sdk-*-cp311-cp311-manylinux*_aarch64.whl | head -1)"
took "wheel"

# The x86_64 simulator: TARVEK_SIM, else the development environment's, else the one
# check_wheel.sh installed from the x86_64 wheel, else a fresh development environment's.
sim="${TARVEK_SIM:-}"
for candidate in "$root/.venv/bin/tarvek-sim" "$root/build/wheel/venv-check-3.11/bin/tarvek-sim"; do
  [ -n "$sim" ] || [ ! -x "$candidate" ] || sim="$candidate"
done
if [ -z "$sim" ]; then
  ./scripts/setup.sh
  sim="$root/.venv/bin/tarvek-sim"
fi

# Arm executables run through qemu once its handler is registered with the kernel.
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  update-binfmts --enable qemu-aarch64
fi

# The arm64 root comes from the same Debian mirror apt uses here.
rootfs="$root/build/aarch64-root"
if [ ! -x "$rootfs/usr/bin/python3" ] || [ ! -e "$rootfs/.complete" ]; then
  mirror="$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)"
  [ -n "$mirror" ] || mirror="$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)"
  [ -n "$mirror" ] || { echo "check_aarch64: no Debian mirror found in apt's sources" >&2; exit 1; }
  echo "check_aarch64: making a Debian 12 arm64 root in $rootfs (several minutes)"
  rm -rf "$rootfs"
  debootstrap --arch=arm64 --variant=minbase --include=python3-venv bookworm "$rootfs" "$mirror" \
    >"$root/build/aarch64-debootstrap.log" 2>&1 || {
    tail -30 "$root/build/aarch64-debootstrap.log" >&2
    exit 1
  }
  touch "$rootfs/.complete"
fi
took "arm64 root"

# The wheel, the exchange script and the loopback configuration go into the root.
stage="$rootfs/opt/tarvek-check"
rm -rf "$stage"
mkdir -p "$stage"
cp "$wheel" scripts/wheel_smoke.py config/cyclonedds-loopback.xml "$stage/"
echo "check_aarch64: installing $(basename "$wheel") alone into a venv in the arm64 root"
chroot "$rootfs" /usr/bin/python3 -m venv /opt/tarvek-check/venv
chroot "$rootfs" /opt/tarvek-check/venv/bin/python -m pip install -q --disable-pip-version-check \
  --no-index "/opt/tarvek-check/$(basename "$wheel")"
chroot "$rootfs" /bin/sh -c 'ls /usr/lib/aarch64-linux-gnu | grep -E "ddsc|iceoryx" || true' \
  | { grep . && { echo "check_aarch64: the arm64 root has Cyclone DDS libraries" >&2; exit 1; } || true; }
took "install in the root"

unshare --mount --net --fork bash -s -- "$rootfs" "$sim" "$root" <<'INNER'
set -euo pipefail
rootfs="$1"; sim="$2"; root="$3"
mount --make-rprivate /
mount -t proc proc "$rootfs/proc"
mount --bind /dev "$rootfs/dev"
ip link set lo up
domain=$((RANDOM % 200 + 1)); ros=$((RANDOM % 30 + 201))
log="$(mktemp)"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
"$sim" --domain "$domain" --ros-domain "$ros" --gamepad demo >"$log" 2>&1 </dev/null &
simpid=$!
trap 'kill $simpid 2>/dev/null || true; wait $simpid 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '"event":"ready"' "$log" && break; sleep 0.1; done
grep -q '"event":"ready"' "$log" || { cat "$log" >&2; exit 1; }
echo "check_aarch64: x86_64 simulator ready on domain $domain ($(uname -m))"

inroot() {
  chroot "$rootfs" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root \
    CYCLONEDDS_URI=file:///opt/tarvek-check/cyclonedds-loopback.xml "$@"
}
echo "check_aarch64: interpreter in the root: $(inroot /opt/tarvek-check/venv/bin/python -c \
  'import platform, sys; print(platform.machine(), sys.version.split()[0])')"
echo "check_aarch64: -- aarch64 SDK against the x86_64 simulator"
inroot /bin/sh -c 'cd /tmp && exec /opt/tarvek-check/venv/bin/python -I /opt/tarvek-check/wheel_smoke.py "$@"' \
  sh --no-sim --domain "$domain" --ros-domain "$ros"
if ! grep -q '"topic":"user_action"' "$log"; then
  echo "check_aarch64: FAIL: the x86_64 simulator received no user_action" >&2
  exit 1
fi
echo "ok: the x86_64 simulator received the aarch64 SDK's action"
kill $simpid; wait $simpid 2>/dev/null || true

echo "check_aarch64: -- aarch64 SDK against the wheel's aarch64 simulator"
inroot /bin/sh -c 'cd /tmp && exec /opt/tarvek-check/venv/bin/python -I /opt/tarvek-check/wheel_smoke.py "$@"' \
  sh --domain "$((domain + 1))" --ros-domain "$((ros + 1))"
INNER
took "exchanges under qemu"
echo "check_aarch64: $(basename "$wheel") passed under qemu ($((SECONDS - start)) s)"
