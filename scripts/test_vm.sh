#!/usr/bin/env bash
# Runs the kernel tests inside a small VM: Debian's stock kernel with the vivid virtual media
# driver, booted under qemu with an initramfs that holds busybox and the statically linked test
# program. The test program's own report comes back on the VM's second serial port.
#
#   scripts/test_vm.sh TEST_PROGRAM WORK_DIR
#
# Writes WORK_DIR/report.log (the test program's output) and WORK_DIR/console.log (the kernel's
# console) and exits with the test program's status, or 1 when the VM did not get that far.
# With --report-only it exits 0 once the tests have run to their end, whatever their result:
# CTest then reads each case's result from the report.
# The kernel package is downloaded once into WORK_DIR/kernel and reused.
set -euo pipefail

if [ "$(uname -s)" != Linux ] || [ "$(uname -m)" != x86_64 ]; then
    echo "test-vm: skipped: the vivid VM runs on x86-64 Linux only (this is $(uname -s) $(uname -m))"
    exit 0
fi
report_only=0
if [ "${1:-}" = --report-only ]; then
    report_only=1
    shift
fi
if [ $# -ne 2 ]; then
    echo "usage: $0 [--report-only] TEST_PROGRAM WORK_DIR" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -x "$1" ]; then
    echo "test-vm: no test program at $1" >&2
    exit 1
fi
program=$(realpath "$1")
work=$(mkdir -p "$2" && realpath "$2")
# qemu's TCG boot takes seconds; the limit only stops a VM that hangs.
boot_limit=${TESSARO_VM_TIMEOUT:-300}

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
# Other jobs on the machine may hold the package database lock for a while.
apt_options=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "test-vm: installing ${missing[*]}"
        $sudo_cmd apt-get "${apt_options[@]}" update -qq
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get "${apt_options[@]}" install -y -qq \
            --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

install_missing qemu-system-x86 cpio busybox-static

# --- kernel and modules --------------------------------------------------------------------
kernel_dir=$work/kernel
if [ ! -f "$kernel_dir/ready" ]; then
    echo "test-vm: fetching Debian's linux-image-amd64"
    rm -rf "$kernel_dir"
    mkdir -p "$kernel_dir/download"
    # The metapackage names the current kernel; apt's download user cannot write into a
    # root-owned work tree, and that warning is harmless.
    fetch_kernel() {
        local image_package
        image_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
        [ -n "$image_package" ] || return 1
        (cd "$kernel_dir/download" &&
            apt-get "${apt_options[@]}" -qq download "$image_package" 2>&1 |
            grep -v '^W: Download is performed unsandboxed')
        ls "$kernel_dir"/download/linux-image-[0-9]*.deb >/dev/null 2>&1
    }
    # Package lists that are missing or older than the archive name a kernel it no longer has.
    if ! fetch_kernel; then
        $sudo_cmd apt-get "${apt_options[@]}" update -qq
        fetch_kernel || { echo "test-vm: cannot download linux-image-amd64" >&2; exit 1; }
    fi
    dpkg-deb -x "$kernel_dir"/download/linux-image-[0-9]*.deb "$kernel_dir/unpacked"
    rm -rf "$kernel_dir/download"
    # Keep the kernel and the media drivers only: the full module tree is some 400 MB.
    mkdir -p "$kernel_dir/root/boot"
    mv "$kernel_dir"/unpacked/boot/vmlinuz-* "$kernel_dir/root/boot/"
    for tree in "$kernel_dir"/unpacked/lib/modules/*; do
        mkdir -p "$kernel_dir/root/lib/modules/$(basename "$tree")/kernel/drivers"
        mv "$tree/kernel/drivers/media" "$kernel_dir/root/lib/modules/$(basename "$tree")/kernel/drivers/"
    done
    rm -rf "$kernel_dir/unpacked"
    touch "$kernel_dir/ready"
fi
vmlinuz=$(ls "$kernel_dir"/root/boot/vmlinuz-* | head -1)
modules_root=$(ls -d "$kernel_dir"/root/lib/modules/* | head -1)

# vivid and what it needs, dependencies first. The package holds no modules.dep (depmod runs at
# install time), so the dependencies are read from each module's own "depends=" field.
declare -A visited=()
load_order=()
add_module() {
    local name=$1 file
    [ -n "${visited[$name]:-}" ] && return 0
    visited[$name]=1
    file=$(find "$modules_root/kernel" -name "$name.ko" -o -name "${name//_/-}.ko" | head -1)
    if [ -z "$file" ]; then
        echo "test-vm: module $name not found in $modules_root" >&2
        exit 1
    fi
    local dep
    for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    load_order+=("$file")
}
add_module vivid

# --- initramfs ---------------------------------------------------------------------------
stage=$work/initramfs
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,lib/modules,tests}
cp /bin/busybox "$stage/bin/busybox"
cp "$here/vm/init" "$stage/init"
cp "$here/vm/vivid-options" "$stage/lib/modules/vivid-options"
for file in "${load_order[@]}"; do
    cp "$file" "$stage/lib/modules/"
    basename "$file" >>"$stage/lib/modules/load-order"
done
cp "$program" "$stage/tests/kernel_tests"
# Tests that drive pelorin from Python threads embed Debian's CPython 3.11, with its extension
# modules built in; it reads the pure-Python part of its standard library from /usr/lib/python3.11.
if [ -d /usr/lib/python3.11 ]; then
    (cd /usr/lib && find python3.11 \( -name test -o -name idlelib -o -name tkinter -o -name lib2to3 \
        -o -name ensurepip -o -name site-packages -o -name dist-packages -o -name 'config-*' \) -prune \
        -o -name '*.py' -print | cpio -pdm --quiet "$stage/usr/lib")
fi
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

# --- boot --------------------------------------------------------------------------------
rm -f "$work/report.log" "$work/console.log"
# KVM hangs on these machines; TCG is slower but dependable.
status=0
timeout --kill-after=10 "$boot_limit" qemu-system-x86_64 \
    -accel tcg -m 512 -smp 1 -nodefaults -display none -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=4" \
    -serial "file:$work/console.log" -serial "file:$work/report.log" || status=$?

touch "$work/report.log"
# The serial line turns every end-of-line into CR LF.
sed -i 's/\r$//' "$work/report.log"
cat "$work/report.log"
result=$(sed -n 's/^tessaro-vm: exit status \([0-9]*\).*/\1/p' "$work/report.log" | tail -1)
if [ -z "$result" ]; then
    echo "test-vm: the VM ended before the tests did (qemu status $status); kernel console:"
    tail -n 40 "$work/console.log" 2>/dev/null || true
    exit 1
fi
[ "$report_only" -eq 1 ] && exit 0
exit "$result"
