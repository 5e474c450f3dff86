#!/usr/bin/env bash
# Builds the project with a sanitizer into build-<kind> and runs the whole suite there.
#   bash scripts/sanitize.sh thread     ThreadSanitizer
#   bash scripts/sanitize.sh address    AddressSanitizer with UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-thread}"
case "$kind" in
    thread | address) ;;
    *) echo "usage: $0 thread|address" >&2; exit 2 ;;
esac
shift || true
build="build-$kind"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_SANITIZER="$kind"
cmake --build "$build" -j2
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=0 ${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp ${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
