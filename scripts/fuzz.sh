#!/usr/bin/env bash
# Runs each fuzz target for a while, two at a time, and reports what each found.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target, 600 by default; TARGETs from picture, settings (all
# by default). Builds the targets into build-fuzz first (clang, -DOSTRA_FUZZ=ON). The corpus
# each run grows is kept in build-fuzz/corpus/TARGET and seeded from fuzz/corpus/TARGET; a
# finding's input lands in build-fuzz/fuzz-artifacts/TARGET; logs in build-fuzz/fuzz-logs.
# Exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
(($#)) && shift
targets=("$@")
((${#targets[@]})) || targets=(picture settings)

build=${OSTRA_FUZZ_BUILD:-build-fuzz}
if [[ ! -f $build/CMakeCache.txt ]]; then
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DOSTRA_FUZZ=ON -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target fuzzers -j2

mkdir -p "$build/fuzz-logs"
export OSTRA_FUZZ_ARTIFACTS="$PWD/$build/fuzz-artifacts"

run() {
    local target=$1
    fuzz/run.sh "$build/fuzz" "$target" "$seconds" "$build/corpus/$target" \
        >"$build/fuzz-logs/$target.log" 2>&1
}

# Two at a time: the machine has two cores, and each target is single-threaded.
failed=()
declare -A running=() # pid -> target
reap() {
    local pid status=0
    wait -n -p pid || status=$?
    ((status == 0)) || failed+=("${running[$pid]}")
    unset "running[$pid]"
}
for target in "${targets[@]}"; do
    while ((${#running[@]} >= 2)); do
        reap
    done
    echo "fuzzing $target for ${seconds}s"
    run "$target" &
    running[$!]=$target
done
while ((${#running[@]})); do
    reap
done

for target in "${targets[@]}"; do
    log="$build/fuzz-logs/$target.log"
    printf '%-11s %s\n' "$target" "$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
done
if ((${#failed[@]})); then
    echo "findings in: ${failed[*]} (see $build/fuzz-logs and $build/fuzz-artifacts)" >&2
    exit 1
fi
