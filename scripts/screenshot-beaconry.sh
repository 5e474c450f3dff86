#!/usr/bin/env bash
# Photographs Beaconry's tray icon in the running state, with its tooltip, under Xvfb with
# the trayer tray host.
#
#   bash scripts/screenshot-beaconry.sh [OUTPUT.png]      (default docs/beaconry-tray-running.png)
#
# Needs root and a build in ./build (or BUILD_DIR). The running state needs a Wi-Fi adapter
# that holds the hosted network's address 192.168.137.1, so the program runs in a private
# network: one veth stands for the PC's own Wi-Fi adapter (listed first, with the
# hardware address 00-1A-2B-3C-4D-5E the SSID is derived from) and the PC's side of a veth
# pair holds the hosted network; a tmpfs with a "wireless" entry over each one's sysfs folder
# makes both Wi-Fi adapters to the adapter table. A tmpfs over the configuration folder, in
# the same private mount namespace, keeps the machine's own configuration file untouched.
set -euo pipefail
[[ -z "${OSTRA_TRACE:-}" ]] || set -x
cd "$(dirname "$0")/.."

config_folder=/opt/Quorvane/OstraImagraEXE
build=${BUILD_DIR:-build}
out=$(realpath -m "${1:-docs/beaconry-tray-running.png}")
beaconry=$(realpath -m "$build/hotspot/Beaconry")

mode=${2:-}

if [[ -z "$mode" ]]; then
    [[ $EUID -eq 0 ]] || { echo "run as root (private network and mount namespaces are needed)" >&2; exit 1; }
    [[ -x "$beaconry" ]] || { echo "no $beaconry: build first (cmake --build $build)" >&2; exit 1; }
    for tool in xvfb-run trayer xdotool xwininfo import ip; do
        command -v "$tool" >/dev/null || { echo "$tool is missing: bash scripts/setup.sh" >&2; exit 1; }
    done
    pc="ostra-shot-pc-$$"
    dev="ostra-shot-dev-$$"
    cleanup() {
        ip netns del "$pc" 2>/dev/null || true
        ip netns del "$dev" 2>/dev/null || true
    }
    trap cleanup EXIT
    ip netns add "$pc"
    ip netns add "$dev"
    ip -n "$pc" link set lo up
    ip link add wlan0 netns "$pc" type veth peer name wlan0-peer netns "$dev"
    ip -n "$pc" link set wlan0 address 00:1a:2b:3c:4d:5e
    ip -n "$pc" link set wlan0 up
    ip -n "$dev" link set wlan0-peer up
    ip link add veth-pc netns "$pc" type veth peer name veth-dev netns "$dev"
    ip -n "$pc" addr add 192.168.137.1/24 dev veth-pc
    ip -n "$pc" link set veth-pc up
    ip -n "$dev" addr add 192.168.137.45/24 dev veth-dev
    ip -n "$dev" link set veth-dev up
    # ip netns exec gives the script a private mount namespace with the network's own sysfs.
    ip netns exec "$pc" bash "$0" "$out" --inside-namespace
    exit
fi

if [[ "$mode" == --inside-namespace ]]; then
    for adapter in wlan0 veth-pc; do
        folder=$(readlink -f "/sys/class/net/$adapter")
        mount -t tmpfs ostra-wireless "$folder"
        mkdir "$folder/wireless"
    done
    # Cover the deepest folder that exists, so that nothing is created on the real disk.
    cover=$config_folder
    while [[ ! -d "$cover" ]]; do cover=$(dirname "$cover"); done
    mount -t tmpfs -o mode=0755 ostra-screenshot "$cover"
    mkdir -p "$config_folder"
    xvfb-run --auto-servernum --server-args="-screen 0 360x110x24 -dpi 96" \
        bash "$0" "$out" --inside-display
    exit
fi

# Inside the display. A lock folder of its own, so that a Beaconry already running
# elsewhere does not turn this start into a second instance.
private_tmp=$(mktemp -d)
trayer_pid=
beaconry_pid=
finish() {
    [[ -z "$beaconry_pid" ]] || kill "$beaconry_pid" 2>/dev/null || true
    [[ -z "$trayer_pid" ]] || kill "$trayer_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$private_tmp"
}
trap finish EXIT
fail() {
    echo "$1" >&2
    cat "$private_tmp/beaconry.log" >&2 2>/dev/null || true
    exit 1
}

trayer --edge top --align left --widthtype pixel --width 36 --height 32 \
    --transparent true --alpha 0 --tint 0x13171d >"$private_tmp/trayer.log" 2>&1 &
trayer_pid=$!
for _ in $(seq 1 50); do
    xwininfo -root -tree | grep -qF '("panel" "trayer")' && break
    sleep 0.1
done

# No desktop tray service here: the icon goes to the tray host.
DBUS_SESSION_BUS_ADDRESS="unix:path=$private_tmp/no-session-bus" QT_QPA_PLATFORM=xcb TMPDIR="$private_tmp" "$beaconry" \
    >"$private_tmp/beaconry.log" 2>&1 &
beaconry_pid=$!
# The icon is a Beaconry window embedded below the tray host's panel.
icon=
for _ in $(seq 1 100); do
    icon=$(xwininfo -root -tree |
        grep -E '^ {6,}0x[0-9a-f]+ "Beaconry": \("Beaconry" "Beaconry"\)' |
        awk '{print $1; exit}' || true)
    [[ -n "$icon" ]] && break
    kill -0 "$beaconry_pid" 2>/dev/null || fail "Beaconry ended"
    sleep 0.1
done
[[ -n "$icon" ]] || fail "no tray icon appeared"
# The first status check comes 10 s after start and finds the hosted network.
sleep 11.5
kill -0 "$beaconry_pid" 2>/dev/null || fail "Beaconry ended"
# Rest the pointer on the icon so that its tooltip shows the SSID.
eval "$(xdotool getwindowgeometry --shell "$icon")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
sleep 2
import -window root -crop 260x64+0+0 +repage "$out"
echo "wrote $out"
