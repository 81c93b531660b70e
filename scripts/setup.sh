#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine: Debian packages and the project's
# Python virtual environment. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

# python3.11 is the boards' Debian 12 interpreter, the second one the Python suites run under;
# clang and its runtimes build the fuzz targets (libFuzzer) and the sanitizer runtimes; the
# headless Chromium loads `tessaro view`'s page in its tests and benchmark.
packages=(build-essential libgtest-dev libgmock-dev googletest libbenchmark-dev valgrind pkgconf
          python3.11 python3.11-dev python3.11-venv clang libclang-rt-dev chromium-headless-shell)
# Only the build machine's own (or an architecture-independent) instance counts: once a foreign
# architecture's twin is installed too (make bench-aarch64 adds arm64 ones), a bare `dpkg -s NAME`
# fails as ambiguous.
native_arch=$(dpkg --print-architecture)
installed() {
    dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null \
        | grep -Eq "^($native_arch|all) install ok installed$"
}
missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=$(scripts/find_python.sh)
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    echo "setup: creating .venv with $python"
    rm -rf .venv
    "$python" -m venv .venv
fi
if ! cmp -s requirements-dev.txt .venv/.requirements-installed 2>/dev/null; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements-dev.txt
    cp requirements-dev.txt .venv/.requirements-installed
fi
