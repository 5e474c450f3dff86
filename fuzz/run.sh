#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds over its committed seeds and regression inputs.
#
#   fuzz/run.sh BIN_DIR TARGET SECONDS [WORK_CORPUS] [-- extra libFuzzer options]
#
# TARGET is picture or settings. New inputs go to WORK_CORPUS; without one, to a temporary
# folder removed afterwards, so the committed seeds are only read. A finding's input goes to
# OSTRA_FUZZ_ARTIFACTS (default: fuzz-artifacts/ here). Exits 77 when the target is not
# built, 1 on any finding.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
(($# >= 3)) || { echo "usage: $0 BIN_DIR TARGET SECONDS [WORK_CORPUS] [-- options]" >&2; exit 2; }
bin_dir=$1 target=$2 seconds=$3
shift 3
work=""
if (($#)) && [[ $1 != -- ]]; then work=$1; shift; fi
[[ ${1-} == -- ]] && shift
binary="$bin_dir/fuzz_$target"
[[ -x $binary ]] || { echo "fuzz_$target not built in $bin_dir (-DOSTRA_FUZZ=ON): skipped"; exit 77; }

# The longest input worth trying and the largest single allocation: a picture is bounded to
# 16 megapixels while decoding, and the library works on a few such matrices at once.
case $target in
picture) options=(-max_len=65536 -malloc_limit_mb=512) ;;
settings) options=(-max_len=8192 -malloc_limit_mb=64) ;;
*) echo "unknown target $target" >&2; exit 2 ;;
esac
if [[ -z $work ]]; then
    work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz_$target.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
artifacts="${OSTRA_FUZZ_ARTIFACTS:-$PWD/fuzz-artifacts}/$target"
mkdir -p "$artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=offscreen
# An input that runs ten seconds is a hang; a process above 2 GiB grows without bound.
# libFuzzer's own exit code on a finding is 77, which CTest would take for a skip.
status=0
"$binary" "${options[@]}" -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
    -error_exitcode=1 -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" \
    "$work" "$here/corpus/$target" "$here/regressions/$target" || status=$?
exit $status
