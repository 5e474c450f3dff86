# Shared by the whole-system and soak runs; sourced inside tests/support/run-in-test-net.sh.
config_folder=/opt/Quorvane/OstraImagraEXE
pids=() failures=0 work=$(mktemp -d)
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "interrupted"; exit 130' INT TERM
# Each program locks in this run's folder, so copies running elsewhere make no second instance.
export TMPDIR=$work
unset QT_QPA_PLATFORM # the programs need a real window here

say() { printf '%s\n' "$*"; }
die() { say "FAIL: $*"; exit 1; }
check() { # DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then say "ok:   $what"; else say "FAIL: $what"; failures=$((failures + 1)); fi
}
wait_for() { # SECONDS COMMAND...: until the command succeeds; OSTRA_TIME_SCALE stretches SECONDS
    local deadline=$((SECONDS + $1 * ${OSTRA_TIME_SCALE:-1})); shift
    until "$@"; do ((SECONDS < deadline)) || return 1; sleep 0.2; done
}
count() { grep -c -- "$1" "$2" 2>/dev/null || true; }

needs_programs() { # PATH...: every one built, and the X tools installed
    local p
    for p in Xvfb xdotool xwininfo import; do command -v "$p" >/dev/null || die "$p is missing (bash scripts/setup.sh installs it)"; done
    for p in "$@"; do [[ -x "$p" ]] || die "$p is not built"; done
    [[ -n "${OSTRA_TEST_HOST_NS:-}" ]] || { say "run me through tests/support/run-in-test-net.sh"; exit 2; }
}
# The network: the test network's veth pair, or what the caller names and brings up
# (tests/e2e/wifi-vm-guest.sh: radios, with the access point up only once Beaconry runs).
pc_if=${OSTRA_PC_IF:-veth-pc} dev_if=${OSTRA_DEV_IF:-veth-dev}
declare -F network_up >/dev/null || network_up() { :; }
declare -F network_after_exit >/dev/null || network_after_exit() { :; }
# A tmpfs over the deepest existing folder keeps the machine's own configuration untouched.
cover_config_folder() {
    local cover=$config_folder
    while [[ ! -d "$cover" ]]; do cover=$(dirname "$cover"); done
    mount -t tmpfs -o mode=0755 ostra-e2e "$cover" || die "cannot cover $cover"
    mkdir -p "$config_folder"
}
start_listener() { # PROGRAM: the TWAIN listener on a free port; sets $port
    "$1" --port 0 >"$work/twain.log" 2>&1 &
    pids+=($!)
    wait_for 10 grep -qs "listening on" "$work/twain.log" || { cat "$work/twain.log"; die "the TWAIN listener did not start"; }
    port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/twain.log" | head -1)
}
# write_config PICTURE MODE: as an installation leaves it, with the network name the hotspot
# program publishes from the Wi-Fi adapter's hardware address.
write_config() {
    local mac
    mac=$(ip -o link show "$pc_if" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p' | tr -d : | tr a-f A-F)
    printf '[IMAHE]\nImageScanPth=%s\nAutoSave=1\nProType=%s\n[UDP]\nPort=%s\n[WIFI]\nssid=ostra@%s\n' \
        "$1" "$2" "$port" "${mac%?}" >"$config_folder/scanConfig.ini"
}
# A scanner that joins talks to the PC first, which puts it in the neighbour table discovery reads.
announce() { ip netns exec "$OSTRA_TEST_HOST_NS" ping -c 1 -W 1 -I "$1" 192.168.137.1 >/dev/null; }
start_display() { # [use-existing]: the given display where one works and is wanted, else Xvfb
    if [[ "${1:-}" == use-existing && -n "${DISPLAY:-}" ]] && xwininfo -root >/dev/null 2>&1; then
        say "using the display $DISPLAY"; return
    fi
    local n
    for n in $(seq 90 120); do [[ -e /tmp/.X11-unix/X$n ]] || break; done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    export DISPLAY=":$n" && own_display=1
    # An address where no session bus listens: on a display of our own the programs would
    # otherwise autolaunch one, which writes under root's home and outlives the run; without a
    # bus, a tray icon goes to the tray host.
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus"
    wait_for 10 xwininfo -root >/dev/null 2>&1 || die "Xvfb did not start"
}
start_hotspot() { # BEACONRY, or a stand-in under its name: Imagra refuses to run without it
    if [[ -x "$1" ]]; then "$1" >"$work/beaconry.log" 2>&1 & else cp /bin/sleep "$work/Beaconry"; "$work/Beaconry" 3600 & fi
    hotspot_pid=$! && pids+=($!)
}
window_shows() { xwininfo -name "Imagra Ostra" 2>/dev/null | grep -q IsViewable; }
start_imagra() { # PROGRAM LOG: sets $imagra_pid and $window
    "$1" >"$2" 2>&1 &
    imagra_pid=$! && pids+=($!)
    wait_for 15 window_shows || return 1
    window=$(xwininfo -name "Imagra Ostra" 2>/dev/null | awk '/Window id:/ {print $4}')
}
imagra_ended() { ! kill -0 "$imagra_pid" 2>/dev/null; }
close_imagra() { # a click on the title strip's close button; sets $imagra_status
    [[ -n "${window:-}" ]] && xdotool mousemove --window "$window" 630 17 click 1
    wait_for 10 imagra_ended || return 1
    wait "$imagra_pid" 2>/dev/null
    imagra_status=$?
}
