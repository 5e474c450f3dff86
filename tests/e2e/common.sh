# Pieces shared by the whole-system run and the soak run; sourced, not run. Both run
# inside tests/support/run-in-test-net.sh, as root in private network and mount namespaces.

config_folder=/opt/Quorvane/OstraImagraEXE
pids=()
failures=0
work=$(mktemp -d)

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

# needs_programs PATH... : every one built, and the X tools installed.
needs_programs() {
    local tool program
    for tool in Xvfb xdotool xwininfo import; do
        command -v "$tool" >/dev/null || { say "FAIL: $tool is missing (bash scripts/setup.sh installs it)"; exit 1; }
    done
    for program in "$@"; do
        [[ -x "$program" ]] || { say "FAIL: $program is not built"; exit 1; }
    done
    [[ -n "${OSTRA_TEST_HOST_NS:-}" ]] || { say "run me through tests/support/run-in-test-net.sh"; exit 2; }
}

# The machine's own configuration stays untouched: a tmpfs covers the deepest existing
# folder of the configuration path.
cover_config_folder() {
    local cover=$config_folder
    while [[ ! -d "$cover" ]]; do cover=$(dirname "$cover"); done
    mount -t tmpfs -o mode=0755 ostra-e2e "$cover" || { say "FAIL: cannot cover $cover"; exit 1; }
    mkdir -p "$config_folder"
}

# start_listener PROGRAM: the TWAIN listener on a free port; sets $port.
start_listener() {
    "$1" --port 0 >"$work/twain.log" 2>&1 &
    pids+=($!)
    wait_for 10 grep -qs "listening on" "$work/twain.log" || { say "FAIL: the TWAIN listener did not start"; cat "$work/twain.log"; exit 1; }
    port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/twain.log" | head -1)
}

# write_config PICTURE MODE: the configuration as an installation leaves it, with the
# network name the hotspot program published from the Wi-Fi adapter's hardware address.
write_config() {
    local mac
    mac=$(ip -o link show veth-pc | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p' | tr -d : | tr a-f A-F)
    cat >"$config_folder/scanConfig.ini" <<INI
[IMAHE]
ImageScanPth=$1
AutoSave=1
ProType=$2
[UDP]
Port=$port
[WIFI]
ssid=ostra@${mac%?}
INI
}

# announce ADDRESS: a scanner that joins the hosted network talks to the PC first, which
# puts it in the PC's neighbour table, where discovery looks.
announce() {
    ip netns exec "$OSTRA_TEST_HOST_NS" ping -c 1 -W 1 -I "$1" 192.168.137.1 >/dev/null
}

# start_display [use-existing]: the given display where one works and is wanted, else Xvfb.
start_display() {
    if [[ "${1:-}" == use-existing && -n "${DISPLAY:-}" ]] && xwininfo -root >/dev/null 2>&1; then
        say "using the display $DISPLAY"
        return
    fi
    local n
    for n in $(seq 90 120); do [[ -e /tmp/.X11-unix/X$n ]] || break; done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    export DISPLAY=":$n"
    wait_for 10 xwininfo -root >/dev/null 2>&1 || { say "FAIL: Xvfb did not start"; exit 1; }
}

# start_hotspot BEACONRY: the hotspot program, or a stand-in under its name when it is
# not built; Imagra refuses to run without it.
start_hotspot() {
    if [[ -x "$1" ]]; then
        "$1" >"$work/beaconry.log" 2>&1 &
    else
        cp /bin/sleep "$work/Beaconry"
        "$work/Beaconry" 3600 &
    fi
    pids+=($!)
}

# start_imagra PROGRAM LOG: sets $imagra_pid and $window.
start_imagra() {
    "$1" >"$2" 2>&1 &
    imagra_pid=$!
    pids+=($imagra_pid)
    wait_for 15 window_shows || return 1
    window=$(xwininfo -name "Imagra Ostra" 2>/dev/null | awk '/Window id:/ {print $4}')
}
window_shows() { xwininfo -name "Imagra Ostra" 2>/dev/null | grep -q IsViewable; }

# close_imagra: a user's click on the title strip's close button; waits for the end and
# sets $imagra_status.
close_imagra() {
    [[ -n "${window:-}" ]] && xdotool mousemove --window "$window" 630 17 click 1
    wait_for 10 imagra_ended || return 1
    wait "$imagra_pid" 2>/dev/null
    imagra_status=$?
}
imagra_ended() { ! kill -0 "$imagra_pid" 2>/dev/null; }

# Each program gets the lock folder of this run, so that copies running elsewhere on the
# machine do not make these starts second instances.
export TMPDIR=$work
# The programs need a real window here, whatever the calling environment asked for.
unset QT_QPA_PLATFORM
