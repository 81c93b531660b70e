#!/usr/bin/env bash
# CTest's launcher for the kernel tests: the cases run together inside the VM (the kernel.vm_boot
# fixture), so each CTest entry reads its own case's result back from the VM's report.
#
#   vm/case_result.sh REPORT TEST_PROGRAM ARGS...
#
# Listing the cases (--gtest_list_tests) runs the static test program here on the host; it
# touches no device.
set -uo pipefail
report=$1
program=$2
shift 2

name=""
for arg in "$@"; do
    case $arg in
        --gtest_list_tests) exec "$program" "$@" ;;
        --gtest_filter=*) name=${arg#--gtest_filter=} ;;
    esac
done
if [ -z "$name" ]; then
    echo "case_result: no --gtest_filter given" >&2
    exit 2
fi
if [ ! -f "$report" ]; then
    echo "case_result: no VM report at $report (did kernel.vm_boot run?)"
    exit 1
fi

# The case's lines, from its RUN line to its verdict.
awk -v name="$name" '
    $0 == "[ RUN      ] " name { inside = 1 }
    inside { print }
    inside && index($0, "] " name) && $0 ~ /^\[ *(OK|FAILED|SKIPPED) *\]/ { exit }
' "$report" >"$report.$$"
cat "$report.$$"
verdict=$(tail -n 1 "$report.$$" | sed -n 's/^\[ *\([A-Z]*\) *\].*/\1/p')
rm -f "$report.$$"
case $verdict in
    OK | SKIPPED) exit 0 ;;
    FAILED) exit 1 ;;
    *)
        echo "case_result: $name has no verdict in the VM's report"
        exit 1
        ;;
esac
