#!/usr/bin/env bash
# Checks the wheels in dist/: each is installed by pip into a scratch folder for its own CPython,
# its module must export nothing but PyInit_pelorin, and scripts/replay_check.py must import it
# and replay a frame with it. The x86-64 wheels run under their venvs' interpreters (numpy from
# there), the AArch64 one under Debian's arm64 CPython in qemu-user.
# That arm64 interpreter comes through multiarch: its standard library and shared libraries are
# Multi-Arch: same packages that install beside the amd64 ones (libpython3.11-stdlib:arm64), but
# the python3.11:arm64 package itself would replace the machine's own python3.11, so only its
# interpreter binary is unpacked, into build-wheels/arm64-root/. Usage: scripts/test_wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."

arm_python=3.11
work=build-wheels

# pip installs WHEEL (and numpy, if asked) into a fresh folder, for the given CPython version on
# a Debian 12 machine of the given architecture (glibc 2.36, so manylinux_2_17 to manylinux_2_36),
# refusing a wheel whose tags do not fit.
install_for() {
    local wheel=$1 version=$2 arch=$3 target=$4 platforms=() glibc
    for glibc in $(seq 17 36); do
        platforms+=(--platform "manylinux_2_${glibc}_$arch")
    done
    rm -rf "$target"
    .venv/bin/python -m pip install -q --no-deps --only-binary=:all: --target "$target" \
        "${platforms[@]}" --python-version "$version" --implementation cp \
        --abi "cp${version/./}" "$wheel" ${5:+"$5"}
}

only_entry_point() {
    local nm=$1 module=$2 exported
    exported=$("$nm" -D --defined-only "$module" | awk '$2 == "T" {print $3}')
    if [ "$exported" != PyInit_pelorin ]; then
        echo "test-wheels: $module exports more than PyInit_pelorin: $exported" >&2
        exit 1
    fi
}

for wheel in dist/pelorin-*-manylinux*_x86_64.whl; do
    version=$(basename "$wheel" | sed -E 's/.*-cp3([0-9]+)-cp3.*/3.\1/')
    python=.venv/bin/python
    [ "$version" = 3.13 ] || python=$(scripts/python_venv.sh "$version")/bin/python
    install_for "$wheel" "$version" x86_64 "$work/site-$version-x86_64"
    only_entry_point nm "$work/site-$version-x86_64"/pelorin.*.so
    PYTHONPATH=$work/site-$version-x86_64 "$python" -s scripts/replay_check.py
done

if [ "$(uname -m)" = aarch64 ]; then
    echo "test-wheels: AArch64 wheel not run: this machine is AArch64, install it with pip instead"
    exit 0
fi
wheel=$(ls dist/pelorin-*-cp${arm_python/./}-*manylinux*_aarch64.whl)
scripts/apt_install.sh test-wheels qemu-user-static binutils-aarch64-linux-gnu \
    "libpython$arm_python-stdlib:arm64" libstdc++6:arm64
root=$work/arm64-root
interpreter=$root/usr/bin/python$arm_python
if [ ! -x "$interpreter" ]; then
    mkdir -p "$root/debs"
    (cd "$root/debs" && apt-get download -qq "python$arm_python-minimal:arm64" >/dev/null 2>&1)
    dpkg-deb -x "$root"/debs/python"$arm_python"-minimal_*_arm64.deb "$root"
fi
site=$work/site-$arm_python-aarch64
install_for "$wheel" "$arm_python" aarch64 "$site" "numpy>=2.0"
only_entry_point aarch64-linux-gnu-nm "$site"/pelorin.*.so
# -S keeps the host's amd64 site-packages out; the interpreter finds its standard library in
# /usr/lib/python3.11, beside the amd64 one, and its loader and libraries in the multiarch root.
PYTHONPATH=$site QEMU_LD_PREFIX=/ qemu-aarch64-static "$interpreter" -S scripts/replay_check.py
