#!/usr/bin/env bash
# Installs the AArch64 wheel from dist/ into Debian's arm64 CPython and replays a frame with it
# under qemu-user (scripts/replay_check.py).
# The arm64 interpreter comes from Debian through multiarch: its standard library and shared
# libraries are Multi-Arch: same packages that install beside the amd64 ones (libpython3.11:arm64,
# brought in by scripts/build_wheels.sh), but the python3.11:arm64 package itself would replace
# the machine's own python3.11, so only its interpreter binary is unpacked, into
# build-wheels/arm64-root/. The wheel and numpy go into a target folder through pip, for the
# arm64 CPython's tags, with the wheel's own tag checked there. Usage: scripts/test_wheel_aarch64.sh
set -euo pipefail
cd "$(dirname "$0")/.."

arm_python=3.11
if [ "$(uname -m)" = aarch64 ]; then
    echo "test-wheels: skipped: this machine is AArch64; install the wheel with pip instead"
    exit 0
fi
wheel=$(ls dist/pelorin-*-cp${arm_python/./}-*manylinux*_aarch64.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || { echo "test-wheels: no AArch64 wheel in dist/ (make wheels)" >&2; exit 1; }

scripts/apt_install.sh test-wheels qemu-user-static "libpython$arm_python-stdlib:arm64" \
    libstdc++6:arm64

root=build-wheels/arm64-root
interpreter=$root/usr/bin/python$arm_python
if [ ! -x "$interpreter" ]; then
    mkdir -p "$root/debs"
    (cd "$root/debs" && apt-get download -q "python$arm_python-minimal:arm64" >/dev/null)
    dpkg-deb -x "$root"/debs/python"$arm_python"-minimal_*_arm64.deb "$root"
fi

# The wheel's tags must be ones that an arm64 CPython on Debian 12's glibc (2.36) accepts.
site=build-wheels/arm64-site
rm -rf "$site"
.venv/bin/python -m pip install -q --no-deps --only-binary=:all: --target "$site" \
    --platform manylinux_2_36_aarch64 --python-version "$arm_python" --implementation cp \
    --abi "cp${arm_python/./}" "$wheel" "numpy>=2.0"

# -S keeps the host's amd64 site-packages out; the interpreter finds its standard library in
# /usr/lib/python3.11, beside the amd64 one, and its loader and libraries in the multiarch root.
PYTHONPATH=$site QEMU_LD_PREFIX=/ qemu-aarch64-static "$interpreter" -S scripts/replay_check.py
