#!/usr/bin/env bash
# CTest's launcher for the kernel tests: the cases run together inside the VM (the kernel.vm_boot
# fixture), so each CTest entry reads its own case's result back from the VM's report.
#
#   vm/case_result.sh REPORT TEST_PROGRAM ARGS...
#
# Listing the cases (--gtest_list_tests) runs the static test program here on the host; it
# touches no device.
set -u
report=$1 program=$2
shift 2
[[ " $* " == *" --gtest_list_tests "* ]] && exec "$program" "$@"
name=$(printf '%s\n' "$@" | sed -n 's/^--gtest_filter=//p')

# The case's lines, from its RUN line to its verdict; a case without a verdict (or without a
# report: did kernel.vm_boot run?) failed.
awk -v name="$name" '
    $0 == "[ RUN      ] " name { inside = 1 }
    inside { print }
    inside && index($0, "] " name) && /^\[ *(OK|FAILED|SKIPPED) *\]/ { verdict = $0; exit }
    END { if (verdict == "") print "case_result: " name " has no verdict in the VM report"; exit verdict !~ /^\[ *(OK|SKIPPED) *\]/ }
' "$report"
