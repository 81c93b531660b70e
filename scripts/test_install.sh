#!/usr/bin/env bash
# Installs the library from BUILD_DIR into a scratch prefix and builds a small consumer program
# against it twice, once through find_package and once through pkg-config, and runs both.
#
#   scripts/test_install.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
cmake="$here/.venv/bin/cmake"
work="$build/install-check"
rm -rf "$work"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null

"$cmake" -S "$here/tests/install" -B "$work/find_package" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$here/.venv/bin/ninja" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"$cmake" --build "$work/find_package" >/dev/null
"$work/find_package/consumer"

pc_path=$(dirname "$(find "$work/prefix" -name tessaro.pc)")
# shellcheck disable=SC2046
g++ -std=c++20 "$here/tests/install/consumer.cpp" -o "$work/consumer-pkg-config" \
    $(PKG_CONFIG_PATH="$pc_path" pkg-config --cflags --libs tessaro)
"$work/consumer-pkg-config"
echo "install: find_package and pkg-config consumers built and ran"
