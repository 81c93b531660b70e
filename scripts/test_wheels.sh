#!/usr/bin/env bash
# Checks the wheels in dist/ (scripts/build_wheels.sh), one per CPython 3.10 to 3.13 and
# architecture:
# - x86-64: pip installs each, by its tags, into a fresh virtual environment of its own CPython
#   with the package's plain dependencies, on 3.10 with the oldest numpy the package accepts;
#   scripts/replay_check.py then replays a recording through `tessaro.open` and through the
#   installed `tessaro` command, which must do without the extras.
# - AArch64, for the versions a Debian release offers for arm64 (bookworm 3.11, trixie 3.13):
#   pip installs each with its dependencies' arm64 wheels into a folder, by the tags of that
#   release (its glibc, its CPython), and Debian's interpreter runs the same check under
#   qemu-user, from the root scripts/debian_arm64_root.sh unpacked.
# - AArch64, for 3.10 and 3.12, which no Debian release offers for arm64: pip checks the tags
#   for the boards' systems of that CPython (Ubuntu 22.04 / JetPack 6: 3.10, glibc 2.35; Ubuntu
#   24.04: 3.12, glibc 2.39); the module must be AArch64 code and ask its interpreter for the same
#   symbols as the x86-64 module of that version, which loads and runs natively above.
# Every module must export nothing but PyInit_pelorin. Usage: scripts/test_wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."

versions=(3.10 3.11 3.12 3.13)
declare -A debian_release=([3.11]=bookworm [3.13]=trixie)
declare -A release_glibc=([bookworm]=36 [trixie]=41)
declare -A board_glibc=([3.10]=35 [3.12]=39)
work=$PWD/build-wheels/check
roots=$PWD/build-wheels
min_numpy=$(.venv/bin/python -c 'import re, tomllib
deps = tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]
print(next(re.fullmatch(r"numpy>=([\d.]+)", d)[1] for d in deps if d.startswith("numpy")))')

fail() {
    echo "test-wheels: $*" >&2
    exit 1
}

wheel_of() {
    local found
    found=$(ls dist/pelorin-*-cp"${1/./}"-cp"${1/./}"-manylinux*_"$2".whl 2>/dev/null) \
        || fail "no $2 wheel for CPython $1 in dist/"
    echo "$found"
}

only_entry_point() {
    local nm=$1 module=$2 exported
    exported=$("$nm" -D --defined-only "$module" | awk '$2 == "T" {print $3}')
    [ "$exported" = PyInit_pelorin ] || fail "$module exports more than PyInit_pelorin: $exported"
}

# What the module takes from the interpreter: its undefined symbols without a version (the
# C and C++ libraries' carry one).
interpreter_symbols() {
    "$1" -D --undefined-only "$2" | awk '$1 == "U" && $2 !~ /@/ {print $2}' | sort
}

# pip installs WHEEL (with its dependencies, or as told by EXTRA options) into TARGET for the
# given CPython on a system of the given architecture and glibc 2.GLIBC, refusing a wheel whose
# tags do not fit.
install_for() {
    local wheel=$1 version=$2 arch=$3 glibc=$4 target=$5 platforms=() minor
    shift 5
    for minor in $(seq 17 "$glibc"); do
        platforms+=(--platform "manylinux_2_${minor}_$arch")
    done
    rm -rf "$target"
    .venv/bin/python -m pip install -q --only-binary=:all: --target "$target" \
        "${platforms[@]}" --python-version "$version" --implementation cp \
        --abi "cp${version/./}" "$wheel" "$@"
}

scripts/apt_install.sh test-wheels qemu-user-static binutils-aarch64-linux-gnu
rm -rf "$work" && mkdir -p "$work"
.venv/bin/python scripts/replay_check.py --make "$work/data"

for version in "${versions[@]}"; do
    wheel=$(wheel_of "$version" x86_64)
    venv=$work/venv-$version
    "$(scripts/find_python.sh "$version")" -m venv "$venv"
    numpy=()
    [ "$version" != "${versions[0]}" ] || numpy=("numpy==$min_numpy")
    "$venv/bin/python" -m pip install -q "$wheel" "${numpy[@]}"
    if [ ${#numpy[@]} -gt 0 ]; then
        "$venv/bin/python" -c 'import sys, numpy; want = sys.argv[1].split(".")
sys.exit(numpy.__version__.split(".") != want + ["0"] * (3 - len(want)))' "$min_numpy" \
            || fail "CPython $version did not get numpy $min_numpy"
    fi
    module=$(ls "$venv"/lib/python"$version"/site-packages/pelorin.*.so)
    only_entry_point nm "$module"
    "$venv/bin/python" -s scripts/replay_check.py "$work/data" --command "$venv/bin/tessaro"

    wheel=$(wheel_of "$version" aarch64)
    arm=$work/aarch64-$version
    release=${debian_release[$version]:-}
    if [ -n "$release" ]; then
        install_for "$wheel" "$version" aarch64 "${release_glibc[$release]}" "$arm"
    else
        install_for "$wheel" "$version" aarch64 "${board_glibc[$version]}" "$arm" --no-deps
    fi
    arm_module=$(ls "$arm"/pelorin.*.so)
    [[ $arm_module == *.cpython-${version/./}-aarch64-linux-gnu.so ]] \
        || fail "$arm_module: not named for CPython $version on AArch64"
    readelf -h "$arm_module" | grep -q 'Machine: *AArch64' || fail "$arm_module is not AArch64 code"
    only_entry_point aarch64-linux-gnu-nm "$arm_module"
    diff <(interpreter_symbols aarch64-linux-gnu-nm "$arm_module") \
         <(interpreter_symbols nm "$module") >&2 \
        || fail "$arm_module asks CPython $version for other symbols than its x86-64 twin"
    if [ -n "$release" ]; then
        root=$roots/arm64-$release
        scripts/debian_arm64_root.sh "$release" "$version" "$root"
        # -S keeps the build machine's site-packages out; the interpreter finds its standard
        # library beside itself in the root.
        PYTHONPATH=$arm QEMU_LD_PREFIX=$root qemu-aarch64-static "$root/usr/bin/python$version" \
            -S scripts/replay_check.py "$work/data"
    else
        echo "test-wheels: $(basename "$wheel"): tags and symbols checked; not run (no Debian" \
             "release has an arm64 CPython $version)"
    fi
done
