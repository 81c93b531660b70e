#!/usr/bin/env bash
# Unpacks Debian's arm64 CPython X.Y of the given Debian release (its interpreter, standard
# library, headers and the shared libraries they load) into DIR, a root that qemu-user runs it
# from (QEMU_LD_PREFIX=DIR) and that cross builds take the headers of. The packages come through
# apt with a private list and cache under DIR, so that the machine's own apt, dpkg and
# architectures stay as they are, and a release other than the machine's (trixie's 3.13 on a
# Debian 12 machine) is as easy to have as its own. Runs once per DIR.
# Usage: scripts/debian_arm64_root.sh RELEASE X.Y DIR
set -euo pipefail
release=$1 version=$2 root=$(realpath -m "$3")
[ -x "$root/usr/bin/python$version" ] && exit 0

state=$root.apt
rm -rf "$root" "$state"
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/debs"
touch "$state/status"
echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
     "http://deb.debian.org/debian $release main" >"$state/sources.list"
apt_options=(-q -o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state"
             -o "Dir::State::status=$state/status" -o APT::Architecture=arm64
             -o APT::Architectures::=arm64 -o APT::Sandbox::User=root -o Acquire::Languages=none)
echo "wheels: fetching $release's arm64 CPython $version"
apt-get "${apt_options[@]}" update >/dev/null
# Everything the interpreter and the headers depend on, of which the run-time libraries (not
# their -dev packages, nor the package tools that debconf pulls in) make the root.
wanted=("python$version-minimal" "libpython$version-stdlib" "libpython$version-dev" libstdc++6)
packages=$(apt-cache "${apt_options[@]}" depends --recurse --no-recommends --no-suggests \
               --no-conflicts --no-breaks --no-replaces --no-enhances "${wanted[@]}" \
           | grep -v '^ ' | grep -v '^<' | sort -u \
           | grep -E "^(lib|python$version-minimal$|media-types$)" \
           | grep -Ev -- '-(dev|dev-bin)$|^libdebian-installer|^libnewt|^libslang|^libtextwrap' || true)
(cd "$state/debs" && apt-get "${apt_options[@]}" download $packages "libpython$version-dev" \
     >/dev/null)
for deb in "$state"/debs/*.deb; do
    dpkg-deb -x "$deb" "$root"
done
# A release whose packages put everything under /usr (trixie on) leaves the root's /lib to
# base-files' symbolic link; without it, the loader would take the machine's own arm64 libraries.
[ -e "$root/lib" ] || ln -s usr/lib "$root/lib"
rm -rf "$state"
[ -x "$root/usr/bin/python$version" ]
