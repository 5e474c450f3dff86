#!/usr/bin/env bash
# The whole system on one machine: a simulated scanner on a test host, the hotspot
# program, the TWAIN listener standing in for the data source, and Imagra in a real
# window. Runs inside tests/support/run-in-test-net.sh (root, private network and mounts).
#
#   wholesystem.sh --build DIR --out DIR            the whole-system test: checks and exits
#   wholesystem.sh --build DIR --out DIR --demo N   the demo: N seconds of pictures, a report
set -uo pipefail

build=""
out=""
demo_seconds=0
while (($#)); do
    case "$1" in
        --build) build=$(realpath "$2"); shift 2 ;;
        --out) out=$(realpath -m "$2"); shift 2 ;;
        --demo) demo_seconds=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ -n "$build" && -n "$out" ]] || { echo "usage: $0 --build DIR --out DIR [--demo SECONDS]" >&2; exit 2; }
[[ -n "${OSTRA_TEST_HOST_NS:-}" ]] || { echo "run me through tests/support/run-in-test-net.sh" >&2; exit 2; }

imagra=$build/acquisition/Imagra
sim=$build/tools/ostra-scanner-sim
listener=$build/tools/ostra-twain-listener
picturecheck=$build/tests/e2e/ostra-picturecheck
beaconry=$build/hotspot/Beaconry
for tool in Xvfb xdotool xwininfo import; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (bash scripts/setup.sh installs it)"; exit 1; }
done
for program in "$imagra" "$sim" "$listener" "$picturecheck"; do
    [[ -x "$program" ]] || { echo "FAIL: $program is not built"; exit 1; }
done

scanner=192.168.137.45
config_folder=/opt/Quorvane/OstraImagraEXE
mode=2 # Ultra HD
mkdir -p "$out"
work=$(mktemp -d)
pids=()
failures=0

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "interrupted"; exit 130' INT TERM

say() { printf '%s\n' "$*"; }
check() { # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then say "ok:   $what"; else say "FAIL: $what"; failures=$((failures + 1)); fi
}
# Waits up to $1 seconds for the command to succeed.
wait_for() {
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
count() { grep -c -- "$1" "$2" 2>/dev/null || true; }

# The machine's own configuration stays untouched: a tmpfs covers the deepest existing
# folder of the configuration path (this script runs in a private mount namespace).
cover=$config_folder
while [[ ! -d "$cover" ]]; do cover=$(dirname "$cover"); done
mount -t tmpfs -o mode=0755 ostra-wholesystem "$cover" || { say "FAIL: cannot cover $cover"; exit 1; }
mkdir -p "$config_folder"

# The scanner's pictures: 16-bit PNGs like the camera's.
pictures=()
for seed in 1 2 3; do
    "$picturecheck" make "$work/served$seed.png" 1500 2000 16 "$seed" || exit 1
    pictures+=(--picture "$work/served$seed.png")
done
[[ $demo_seconds -gt 0 ]] || pictures=(--picture "$work/served1.png")

"$listener" --port 0 >"$work/twain.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q "listening on" "$work/twain.log" || { say "FAIL: the TWAIN listener did not start"; cat "$work/twain.log"; exit 1; }
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/twain.log" | head -1)

saved=$out/scan.png
rm -f "$saved"
cat >"$config_folder/scanConfig.ini" <<INI
[IMAHE]
ImageScanPth=$saved
AutoSave=1
ProType=$mode
[UDP]
Port=$port
INI
# The network name the hotspot program published when it brought the network up, made
# from the Wi-Fi adapter's hardware address as it does.
mac=$(ip -o link show veth-pc | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p' | tr -d : | tr a-f A-F)
printf '[WIFI]\nssid=ostra@%s\n' "${mac%?}" >>"$config_folder/scanConfig.ini"

ip netns exec "$OSTRA_TEST_HOST_NS" "$sim" --address "$scanner" "${pictures[@]}" \
    --sequence 17,18,16,19,19,19,19,19,19 >"$work/scanner.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q "listening on" "$work/scanner.log" || { say "FAIL: the scanner did not start"; cat "$work/scanner.log"; exit 1; }
# A scanner that joins the hosted network talks to the PC first, which puts it in the
# PC's neighbour table, where discovery looks.
ip netns exec "$OSTRA_TEST_HOST_NS" ping -c 1 -W 1 192.168.137.1 >/dev/null

# The hotspot program must run, or Imagra refuses to.
if [[ -x "$beaconry" ]]; then
    hotspot=$beaconry
else
    # A stand-in under its name, and the network name it would have published.
    hotspot=$work/Beaconry
    cp /bin/sleep "$hotspot"
fi

# Each program gets the lock folder of this run, so that copies running elsewhere on the
# machine do not make these starts second instances.
export TMPDIR=$work
if [[ $demo_seconds -gt 0 && -n "${DISPLAY:-}" ]] && xwininfo -root >/dev/null 2>&1; then
    say "using the display $DISPLAY"
else
    for n in $(seq 90 120); do [[ -e /tmp/.X11-unix/X$n ]] || break; done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    export DISPLAY=":$n"
    wait_for 10 xwininfo -root >/dev/null 2>&1 || { say "FAIL: Xvfb did not start"; exit 1; }
fi

if [[ "$hotspot" == "$beaconry" ]]; then
    "$hotspot" >"$work/beaconry.log" 2>&1 &
else
    "$hotspot" 3600 &
fi
pids+=($!)
sleep 1

"$imagra" >"$out/imagra.log" 2>&1 &
imagra_pid=$!
pids+=($imagra_pid)
log=$out/imagra.log
started=$SECONDS

window_shows() { xwininfo -name "Imagra Ostra" 2>/dev/null | grep -q IsViewable; }
check "the window shows" wait_for 15 window_shows
window=$(xwininfo -name "Imagra Ostra" 2>/dev/null | awk '/Window id:/ {print $4}')

online() { grep -q "it.key():   \"$scanner\"" "$log"; }
check "the scanner appears in the selector within the discovery period" wait_for 20 online
say "      scanner online after $((SECONDS - started)) s"
pictures_seen() { (($(count DEVICE_ACQUISITION_END "$log") >= $1)); }
check "pictures arrive and show" wait_for 30 pictures_seen 3
check "the picture is saved" test -s "$saved"
# The file holds the last picture saved, which may be any of those served.
# Auto-save keeps replacing it, so one snapshot is compared.
matches_a_served_picture() {
    local served snapshot=$work/snapshot.png
    cp "$saved" "$snapshot" || return 1
    for served in "$work"/served*.png; do
        [[ " ${pictures[*]} " == *" $served "* ]] || continue
        "$picturecheck" check "$served" "$snapshot" $mode >/dev/null && return 0
    done
    return 1
}
check "the saved picture is a served one after Ultra HD" matches_a_served_picture

icons=$(grep -o 'device state icon [^ ]* *[^ ]*' "$log" | head -3 | tr '\n' ' ')
icons_follow() { [[ "$icons" == *"(21).png"*"(1).gif"*"(22).png"* ]]; }
check "the status codes change the device icon (lit, animated, dim)" icons_follow

if [[ $demo_seconds -gt 0 ]]; then
    sleep "$demo_seconds"
fi
import -window root "$out/imagra-screen.png" 2>/dev/null
[[ -n "$window" ]] && import -window "$window" "$out/imagra-window.png" 2>/dev/null
cp "$saved" "$out/last-saved.png" 2>/dev/null

# The scanner leaves the network: its link fails, and nothing rediscovers it.
ip -n "$OSTRA_TEST_HOST_NS" link set veth-dev down
gone() {
    local last_online last_tick
    last_online=$(grep -n "it.key():   \"$scanner\"" "$log" | tail -1 | cut -d: -f1)
    last_tick=$(grep -n WIFI_OPEN_SUCCESS "$log" | tail -1 | cut -d: -f1)
    (( last_tick > last_online + 6 ))
}
check "a scanner that disappears leaves the selector" wait_for 40 gone

# A user's click on the title strip's close button.
if [[ -n "$window" ]]; then
    xdotool mousemove --window "$window" 630 17 click 1
fi
ended() { ! kill -0 "$imagra_pid" 2>/dev/null; }
check "the window closes and the program ends within seconds" wait_for 10 ended
wait "$imagra_pid" 2>/dev/null
status=$?
check "the program's exit code is 0" test "$status" -eq 0
sleep 0.5

saves=$(count DEVICE_ACQUISITION_END "$log")
failed_saves=$(count "Picture not saved" "$log")
scans=$(count 'datagram "1001"' "$work/twain.log")
closes=$(count 'datagram "1000"' "$work/twain.log")
check "\"1001\" reached the data source once per save ($scans for $saves pictures)" test "$scans" -eq $((saves - failed_saves))
check "closing sent \"1000\" once ($closes)" test "$closes" -eq 1
check "every notified picture decoded for the data source" \
    test "$(count 'decodes: yes' "$work/twain.log")" -eq "$scans"

cp "$work/twain.log" "$work/scanner.log" "$out/" 2>/dev/null
say ""
say "scanner:        $scanner, $(count '^request' "$work/scanner.log") requests served"
say "pictures:       $saves received and shown, $((saves - failed_saves)) saved to $saved"
say "notifications:  $scans \"1001\", $closes \"1000\" at the TWAIN listener"
say "screenshots:    $out/imagra-window.png, $out/imagra-screen.png"
say "logs:           $out/imagra.log, $out/twain.log, $out/scanner.log"
if ((failures)); then
    say "$failures check(s) failed"
    exit 1
fi
say "all checks passed"
