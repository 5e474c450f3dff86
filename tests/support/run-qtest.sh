#!/usr/bin/env bash
# Runs a QtTest executable and exits 77 (skipped, to CTest) when it skipped every function: a
# test that could not run here must not show as passed. QtTest counts initTestCase and
# cleanupTestCase as passed whether they exist or not.   run-qtest.sh EXECUTABLE [ARG...]
set -uo pipefail
log=$(mktemp) && trap 'rm -f "$log"' EXIT || exit 1
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
((status == 0)) || exit "$status"
read -r passed failed skipped < <(sed -nE 's/^Totals: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped.*/\1 \2 \3/p' "$log" | tail -n 1)
((${skipped:-0} > 0 && ${failed:-0} == 0 && ${passed:-0} <= 2)) || exit 0
echo "every test function skipped: reported as skipped"
exit 77
