#!/usr/bin/env bash
# Installs the named Debian packages (NAME or NAME:ARCH) that are not installed yet, adding the
# arm64 architecture to dpkg first when one of them asks for it. TAG prefixes its messages.
# Usage: scripts/apt_install.sh TAG NAME...
set -euo pipefail
tag=$1
shift
missing=()
for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "$tag: adding the arm64 architecture to dpkg"
    $sudo_cmd dpkg --add-architecture arm64
fi
echo "$tag: installing ${missing[*]}"
$sudo_cmd apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    "${missing[@]}" >/dev/null
