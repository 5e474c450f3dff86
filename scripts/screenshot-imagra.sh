#!/usr/bin/env bash
# Photographs Imagra's window as it starts with no scanner present, under Xvfb.
#
#   bash scripts/screenshot-imagra.sh [OUTPUT.png]      (default docs/imagra-window.png)
#
# Needs root and a build in ./build (or BUILD_DIR). The program reads its configuration
# from a fixed path, so it runs in a private mount namespace with an empty tmpfs over that
# folder: the machine's own configuration file is neither read nor written.
set -euo pipefail
cd "$(dirname "$0")/.."

config_folder=/opt/Quorvane/OstraImagraEXE
build=${BUILD_DIR:-build}
out=$(realpath -m "${1:-docs/imagra-window.png}")
imagra=$(realpath -m "$build/acquisition/Imagra")

if [[ "${2:-}" != --inside-namespace ]]; then
    [[ $EUID -eq 0 ]] || { echo "run as root (a private mount namespace is needed)" >&2; exit 1; }
    [[ -x "$imagra" ]] || { echo "no $imagra: build first (cmake --build $build)" >&2; exit 1; }
    for tool in xvfb-run xwininfo import unshare; do
        command -v "$tool" >/dev/null || { echo "$tool is missing: bash scripts/setup.sh" >&2; exit 1; }
    done
    exec unshare --mount --propagation private bash "$0" "$out" --inside-namespace
fi

# Cover the deepest folder that exists, so that nothing is created on the real disk.
cover=$config_folder
while [[ ! -d "$cover" ]]; do cover=$(dirname "$cover"); done
mount -t tmpfs -o mode=0755 ostra-screenshot "$cover"
mkdir -p "$config_folder"
cat >"$config_folder/scanConfig.ini" <<INI
[IMAHE]
ImageScanPth=$config_folder/Pictures/scan.png
AutoSave=1
ProType=1
[UDP]
Port=5801
INI

# A lock folder of its own, so that an Imagra already running elsewhere does not turn
# this start into a second instance.
private_tmp=$(mktemp -d)
trap 'rm -rf "$private_tmp"' EXIT

export IMAGRA=$imagra OUT=$out PRIVATE_TMP=$private_tmp
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -dpi 96" bash -c '
    set -euo pipefail
    TMPDIR=$PRIVATE_TMP "$IMAGRA" >"$PRIVATE_TMP/imagra.log" 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null || true" EXIT
    for _ in $(seq 1 100); do
        if xwininfo -name "Imagra Ostra" 2>/dev/null | grep -q "IsViewable"; then break; fi
        kill -0 $pid 2>/dev/null || { cat "$PRIVATE_TMP/imagra.log" >&2; exit 1; }
        sleep 0.1
    done
    id=$(xwininfo -name "Imagra Ostra" | awk "/Window id:/ {print \$4}")
    [[ -n "$id" ]] || { echo "the window did not show" >&2; cat "$PRIVATE_TMP/imagra.log" >&2; exit 1; }
    # Let the first paint finish before the picture is taken.
    sleep 1
    import -window "$id" "$OUT"
'
echo "wrote $out"
