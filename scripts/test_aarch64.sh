#!/usr/bin/env bash
# Cross-builds the library and its C++ test programs for AArch64 and runs them under qemu-user.
# The target build links statically (qemu needs no arm64 root then) and the library carries the
# undefined-behaviour sanitizer, so that misaligned reads, overflowing shifts and out-of-range
# float to integer conversions stop the run here rather than on a board: x86-64 forgives or hides
# several of those, and AArch64 answers some of them differently (float to int saturates).
# Installs its own Debian packages when missing. Usage: scripts/test_aarch64.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(uname -m)" = aarch64 ]; then
    echo "test-aarch64: skipped: this machine is AArch64, so the native tests already ran on it"
    exit 0
fi

build_dir=${1:-build-aarch64}
jobs=${JOBS:-$(nproc)}

packages=(g++-aarch64-linux-gnu qemu-user-static googletest)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "test-aarch64: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        "${missing[@]}" >/dev/null
fi

.venv/bin/cmake -S . -B "$build_dir" -G Ninja \
    --toolchain "$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="" -DCMAKE_EXE_LINKER_FLAGS="-static" \
    -DTESSARO_SANITIZE_LIBRARY_UNDEFINED=ON \
    -DTESSARO_WERROR=ON -DTESSARO_BUILD_TESTS=ON -DTESSARO_BUILD_BENCH=OFF \
    -DTESSARO_BUILD_PYTHON=OFF -Wno-deprecated >/dev/null
# GoogleTest's result-streaming socket code makes every static link warn that getaddrinfo needs
# glibc's shared libraries at run time; the tests never stream results, so that one is dropped.
.venv/bin/cmake --build "$build_dir" -j "$jobs" 2>&1 \
    | { grep -v -e 'StreamingListener::SocketWriter::MakeConnection' \
                -e "Using 'getaddrinfo' in statically" || true; }
# A toolchain that silently fell back to the host compiler would pass every test here and prove
# nothing: every test program must be an AArch64 ELF (e_machine 183).
for program in "$build_dir"/tests/*_tests; do
    [ -f "$program" ] || continue
    if [ "$(od -An -tu2 -j18 -N2 "$program" | tr -d ' ')" != 183 ]; then
        echo "test-aarch64: $program is not an AArch64 program" >&2
        exit 1
    fi
done
# UBSAN_OPTIONS reaches the target program through qemu-user's environment.
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    .venv/bin/ctest --test-dir "$build_dir" -j "$jobs" --timeout 300 --no-tests=error --output-on-failure
