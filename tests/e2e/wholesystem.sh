#!/usr/bin/env bash
# The whole system inside tests/support/run-in-test-net.sh: a simulated scanner on a test host,
# Beaconry, the TWAIN listener as the data source, Imagra in a real window. --demo N: N s more.
set -uo pipefail
build="" out="" demo_seconds=0
while (($# > 1)); do
    case "$1" in --build) build=$(realpath "$2") ;; --out) out=$(realpath -m "$2") ;; --demo) demo_seconds=$2 ;; *) break ;; esac && shift 2
done
[[ $# -eq 0 && -n "$build" && -n "$out" ]] || { echo "usage: $0 --build DIR --out DIR [--demo SECONDS]" >&2; exit 2; }
source "$(dirname "$0")/common.sh"
imagra=$build/acquisition/Imagra sim=$build/tools/ostra-scanner-sim picturecheck=$build/tests/e2e/ostra-picturecheck
needs_programs "$imagra" "$sim" "$build/tools/ostra-twain-listener" "$picturecheck"
scanner=192.168.137.45 mode=2 saved=$out/scan.png log=$out/imagra.log pictures=() # mode 2: Ultra HD
mkdir -p "$out" && rm -f "$saved" && cover_config_folder
# The scanner's pictures: 16-bit PNGs like the camera's, at a size whose hand-over time is the
# program's own (camera-sized ones are measured by bench_tick); the test serves one, the demo three.
for seed in $(seq $((demo_seconds > 0 ? 3 : 1))); do
    "$picturecheck" make "$work/served$seed.png" 640 480 16 "$seed" || exit 1
    pictures+=(--picture "$work/served$seed.png")
done
start_listener "$build/tools/ostra-twain-listener" && write_config "$saved" $mode
if ((demo_seconds > 0)); then start_display use-existing; else start_display; fi
# On our own display, a tray host; a desktop's tray service would take the icon instead.
tray=${own_display:-0}
if ((tray)); then
    trayer --edge top --align left --widthtype pixel --width 120 --height 32 >"$work/trayer.log" 2>&1 & pids+=($!)
    wait_for 30 eval 'xwininfo -root -tree | grep -qF "(\"panel\" \"trayer\")"' ||
        say "FAIL: no tray host: $(kill -0 "${pids[-1]}" 2>/dev/null && echo running || echo ended) $(tail -3 "$work/trayer.log")"
fi
start_hotspot "$build/hotspot/Beaconry"
tray_icon() { xwininfo -root -tree | sed -n 's/^ \{6,\}\(0x[0-9a-f]*\) "Beaconry": ("Beaconry" "Beaconry").*/\1/p' | head -1; }
if ((tray)); then check "Beaconry's icon sits in the tray" wait_for 15 eval '[[ -n "$(tray_icon)" ]]'; else sleep 1; fi
check "a second Beaconry exits 0 and leaves the first running" eval 'timeout 10 "$build/hotspot/Beaconry" &>/dev/null && kill -0 $hotspot_pid'
network_up # sets $scanner where the network gives the address
ip netns exec "$OSTRA_TEST_HOST_NS" "$sim" --address "$scanner" "${pictures[@]}" --sequence 16,17,18,16,19,16,19,16,19 >"$work/scanner.log" 2>&1 & pids+=($!)
wait_for 10 grep -qs "listening on" "$work/scanner.log" || { cat "$work/scanner.log"; die "the scanner did not start"; }
announce "$scanner"

# The window's device-state lines and the addresses online are debug output of their categories.
export QT_LOGGING_RULES="ostra.window.debug=true;ostra.monitor.debug=true" && started=$SECONDS
check "the window shows" start_imagra "$imagra" "$log"
second_start() { timeout $((10 * ${OSTRA_TIME_SCALE:-1})) "$imagra" >/dev/null 2>&1 && kill -0 "$imagra_pid"; }
check "a second start exits 0 and leaves the first running" second_start
check "the scanner appears in the selector within the discovery period" wait_for 20 grep -q "it.key():   \"$scanner\"" "$log"
say "      scanner online after $((SECONDS - started)) s"
pictures_seen() { (($(count DEVICE_ACQUISITION_END "$log") >= $1)); }
check "pictures arrive and show" wait_for 30 pictures_seen 8
check "the picture is saved" wait_for 30 test -s "$saved"
# Auto-save keeps replacing the file with whichever served picture came last: one snapshot.
matches_a_served_picture() {
    local served
    cp "$saved" "$work/snapshot.png" || return 1
    for served in "$work"/served*.png; do "$picturecheck" check "$served" "$work/snapshot.png" $mode >/dev/null && return 0; done
    return 1
}
check "the saved picture is a served one after Ultra HD" matches_a_served_picture
icons=$(grep -o 'device state icon [^ ]* *[^ ]*' "$log" | head -3 | tr '\n' ' ')
check "the status codes change the device icon (dim, lit, animated)" eval '[[ "$icons" == *"(22).png"*"(21).png"*"(1).gif"* ]]'
sleep "$demo_seconds" && import -window root "$out/imagra-screen.png" 2>/dev/null
cp "$saved" "$out/last-saved.png" 2>/dev/null; [[ -n "$window" ]] && import -window "$window" "$out/imagra-window.png" 2>/dev/null

# The scanner leaves the network: its link fails, and nothing rediscovers it.
polled=$(count '^request' "$work/scanner.log") # the window's own polls; the SANE checks add more
ip -n "$OSTRA_TEST_HOST_NS" link set "$dev_if" down
last_line() { grep -n "$1" "$log" | tail -1 | cut -d: -f1; }
gone() { local t o; t=$(last_line WIFI_OPEN_SUCCESS) o=$(last_line "it.key():   \"$scanner\""); ((t > o + 6)); }
check "a scanner that disappears leaves the selector" wait_for 40 gone
check "the window closes and the program ends within seconds" close_imagra
check "the program's exit code is 0" test "${imagra_status:-1}" -eq 0 && sleep 0.5
saves=$(count DEVICE_ACQUISITION_END "$log") failed_saves=$(count "Picture not saved" "$log")
scans=$(count 'datagram "1001"' "$work/twain.log") closes=$(count 'datagram "1000"' "$work/twain.log")
check "\"1001\" reached the data source once per save ($scans for $saves pictures)" test "$scans" -eq $((saves - failed_saves))
check "closing sent \"1000\" once ($closes)" test "$closes" -eq 1
commands=$(awk -v upto="$polled" '/^request / && $2 <= upto && $4 == 2' "$work/scanner.log" | wc -l)
check "the command request went once, after the first record's dim state ($commands)" test "$commands" -eq 1
check "every notified picture decoded for the data source" test "$(count 'decodes: yes' "$work/twain.log")" -eq "$scans"
source "$(dirname "$0")/sane-scan.sh" && sane_scan_checks
cp "$work/twain.log" "$work/scanner.log" "$out/" 2>/dev/null
shown_windows() { xdotool search --onlyvisible --classname Beaconry 2>/dev/null | wc -l; }
hotspot_exits() { # by "Exit", the tray menu's last entry; the menu is one more window
    local before attempt
    for attempt in 1 2 3; do # keys that come before the menu takes the keyboard are lost: again
        before=$(shown_windows)
        xdotool mousemove --window "$(tray_icon)" 4 4 click 3
        wait_for 10 eval '(($(shown_windows) > before))' && xdotool key Up Return
        wait_for 3 eval '! kill -0 $hotspot_pid 2>/dev/null' && { wait "$hotspot_pid"; return; }
        xdotool key Escape
    done
    return 1
}
((tray)) && check "Exit in Beaconry's tray menu ends it with 0" hotspot_exits && network_after_exit

# The scanner's pace from its log: all polls, and those answered with a status (the tick's pace).
polls_per_second() { # REPLY-PATTERN
    awk -v reply="$1" -v upto="$polled" '/^request [0-9]+ code 1 at / && $2 <= upto && $0 ~ reply { if (n++ == 0) first = $6; last = $6 }
        END { if (n > 1 && last > first) printf "%.2f", (n - 1) * 1000 / (last - first); else printf "n/a" }' "$work/scanner.log"
}
# From the scanner's last byte of a picture to "1001" at the data source, both on the wall clock:
# one picture per press, so the n-th "1001" is of the n-th picture.
sent=$(awk -v upto="$polled" '/^request / && $2 <= upto && / -> image / {print $NF}' "$work/scanner.log")
told=$(sed -n 's/^datagram "1001".*, at \([0-9]*\)$/\1/p' "$work/twain.log" | head -n "$(wc -l <<<"$sent")")
handover=$(paste <(echo "$sent") <(echo "$told") | awk 'NF == 2 {print $2 - $1}' | sort -n)
printf '%s\n' "" "scanner:        $scanner, $(count '^request' "$work/scanner.log") requests served"
say "pictures:       $saves received and shown, $((saves - failed_saves)) saved to $saved"
say "notifications:  $scans \"1001\", $closes \"1000\" at the TWAIN listener"
say "scanner polls:  $(polls_per_second .) per second, $(polls_per_second '-> status') answered with a status"
[[ -z "$handover" ]] || say "picture to \"1001\" (640 x 480 16-bit, one per press): median $(awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}' <<<"$handover") ms, longest $(tail -1 <<<"$handover") ms over $(wc -l <<<"$handover") pictures"
printf '%s\n' "screenshots:    $out/imagra-window.png, $out/imagra-screen.png" "logs:           $out/imagra.log, $out/twain.log, $out/scanner.log"
((failures == 0)) || { say "$failures check(s) failed"; exit 1; }
say "all checks passed"
