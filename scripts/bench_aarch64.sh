#!/usr/bin/env bash
# Cross-builds the benchmark for AArch64 and runs it once, briefly, under qemu-user. Its times
# say nothing about a board; the run proves that the benchmark builds and works on the target.
# Google Benchmark comes from Debian's arm64 packages (multiarch: the arm64 architecture is added
# to dpkg once), since Debian ships no sources of it to build for another target.
# Usage: scripts/bench_aarch64.sh [BUILD_DIR] [benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f bench/CMakeLists.txt ]; then
    echo "bench-aarch64: this tree has no benchmark (bench/CMakeLists.txt)" >&2
    exit 1
fi

build_dir=${1:-build-aarch64-bench}
shift || true
jobs=${JOBS:-$(nproc)}

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 "$@"; }

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "bench-aarch64: adding the arm64 architecture to dpkg"
    $sudo_cmd dpkg --add-architecture arm64
    need_update=1
fi
packages=(g++-aarch64-linux-gnu qemu-user-static libbenchmark-dev:arm64)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
    apt_get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench-aarch64: installing ${missing[*]}"
    # --no-remove: an arm64 library must never displace its amd64 twin.
    apt_get install -y -qq --no-remove "${missing[@]}" >/dev/null
fi

.venv/bin/cmake -S . -B "$build_dir" -G Ninja \
    --toolchain "$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DTESSARO_WERROR=ON \
    -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_BENCH=ON -DTESSARO_BUILD_PYTHON=OFF >/dev/null
.venv/bin/cmake --build "$build_dir" -j "$jobs" --target tessaro_bench
# The multiarch packages put the arm64 loader and libraries where the program looks for them.
[ $# -gt 0 ] || set -- --benchmark_min_time=0.01
qemu-aarch64-static "$build_dir/bench/tessaro_bench" "$@"
