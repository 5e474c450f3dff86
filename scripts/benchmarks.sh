#!/usr/bin/env bash
# Runs every benchmark once and writes the figures, the machine and the commands to
# docs/BENCHMARKS.md. Needs the set-up; the tick benchmark needs root (test network).
#
#   bash scripts/benchmarks.sh [OUTPUT]      (default docs/BENCHMARKS.md)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/BENCHMARKS.md}
cmake --build build -j2 --target bench_devicerequest bench_framehandler bench_tick bench_save \
    bench_toolrunner bench_quorimage bench_flood >/dev/null

section() { # section TITLE COMMAND...
    local title=$1; shift
    echo "running: $*" >&2
    {
        echo "## $title"
        echo
        echo '```'
        echo "\$ $*"
        "$@" 2>/dev/null
        echo '```'
        echo
    } >>"$tmp"
}

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
{
    echo "# Benchmarks"
    echo
    echo "Made by \`bash scripts/benchmarks.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD)."
    echo
    echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
        "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) memory," \
        "$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)," \
        "$(g++ --version | head -1), build type RelWithDebInfo."
    echo
    echo "Every figure is a median over repeated runs in one process; ratios compare two"
    echo "measurements taken in the same run."
    echo
} >"$tmp"

section "Scanner exchange: DeviceRequest against a bare recv loop" build/bench/bench_devicerequest 21
section "Picture handed over by the link to picture on the label, per mode, against bare decode and initialisation" build/bench/bench_framehandler 15
if [[ $EUID -eq 0 ]]; then
    section "GUI thread blocked per tick" tests/support/run-in-test-net.sh build/bench/bench_tick 40
else
    echo "## GUI thread blocked per tick" >>"$tmp"
    echo >>"$tmp"
    echo "Not measured: needs root for the test network." >>"$tmp"
    echo >>"$tmp"
fi
if [[ $EUID -eq 0 ]]; then
    flood() { # camera-sized pictures for 60 s in the default mode, then the largest in Ultra HD
        tests/support/run-in-test-net.sh build/bench/bench_flood 60 &&
            tests/support/run-in-test-net.sh build/bench/bench_flood 30 4096 4096 2
    }
    section "Flood of pictures: memory, saves waiting, \"1001\" lag, close time" flood
    # The whole-system run's report: its checks and figures, without the file list.
    wholesystem() {
        tests/support/run-in-test-net.sh bash tests/e2e/wholesystem.sh --build build \
            --out "$(mktemp -d)" | grep -E '^(scanner|pictures|notifications|scanner polls|picture to)'
    }
    section "Whole system: picture to \"1001\", and the scanner's polls" wholesystem
fi
section "Saving: whole-picture write against bare imwrite" build/bench/bench_save 15
section "Process-list answer (the presence probe's wait)" build/bench/bench_toolrunner 200
section "Image library" build/bench/bench_quorimage
# Figures written by hand below this heading stay from one run to the next.
kept="## Earlier figures (kept by the script, not made by it)"
[[ ! -f "$out" ]] || sed -n "/^$kept\$/,\$p" "$out" >>"$tmp"
mv "$tmp" "$out"
trap - EXIT
echo "wrote $out"
