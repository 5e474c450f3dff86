#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds over its committed seeds and regression inputs.
#
#   fuzz/run.sh BIN_DIR TARGET SECONDS [WORK_CORPUS] [-- extra libFuzzer options]
#
# TARGET is picture or settings. New inputs go to WORK_CORPUS, else to a temporary folder, so
# the committed seeds are only read. A finding's input goes to OSTRA_FUZZ_ARTIFACTS (default:
# fuzz-artifacts/ here). Exits 77 when the target is not built, 1 on any finding.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
(($# >= 3)) || { echo "usage: $0 BIN_DIR TARGET SECONDS [WORK_CORPUS] [-- options]" >&2; exit 2; }
binary="$1/fuzz_$2" target=$2 seconds=$3 work=""
shift 3
if (($#)) && [[ $1 != -- ]]; then work=$1; shift; fi
[[ ${1-} == -- ]] && shift
[[ -x $binary ]] || { echo "$binary not built (-DOSTRA_FUZZ=ON): skipped"; exit 77; }
# A picture is refused above 16 megapixels before it decodes, and the library holds a few at once.
case $target in
picture) options=(-max_len=65536 -malloc_limit_mb=512) ;;
*) options=(-max_len=8192 -malloc_limit_mb=64) ;;
esac
[[ -n $work ]] || { work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; }
artifacts="${OSTRA_FUZZ_ARTIFACTS:-$PWD/fuzz-artifacts}/$target"
mkdir -p "$work" "$artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}" QT_QPA_PLATFORM=offscreen
# Ten seconds on one input is a hang, 2 GiB unbounded growth. libFuzzer's own exit code on a
# finding is 77, which CTest would take for a skip.
"$binary" "${options[@]}" -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
    -error_exitcode=1 -artifact_prefix="$artifacts/" "$@" \
    "$work" "$here/corpus/$target" "$here/regressions/$target"
