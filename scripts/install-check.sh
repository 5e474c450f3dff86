#!/usr/bin/env bash
# Installs the Debian package on this machine and meets it as a camera user would: an
# ordinary user starts Beaconry and Imagra from their desktop entries' Exec lines under
# Xvfb, clicks Auto Save, a simulated scanner's picture is saved (the simulator comes from
# ./build: it is a test tool, not in the package), scanimage lists the camera and takes the
# saved picture; then the package is removed and purged and what stays is shown.
# It all happens in a throwaway copy of this machine (scripts/throwaway-root.sh), which
# goes when the check ends. Not part of the test suite: it takes a minute or two.
#
#   bash scripts/install-check.sh [ostra_VERSION_amd64.deb]   (default: newest in build-package)
set -uo pipefail
cd "$(dirname "$0")/.."
user=ostra-check
folder=/opt/Quorvane/OstraImagraEXE
scanner=192.168.137.45

if [[ "${1:-}" == --desktop ]]; then
    # Inside tests/support/run-in-test-net.sh: a Wi-Fi adapter holding the hosted network's
    # address, which the programs need to stay open, and a test host for the scanner.
    source tests/e2e/common.sh
    as_user() { runuser -u "$user" -- env DISPLAY="$DISPLAY" HOME="/home/$user" TMPDIR=/tmp "$@"; }
    exec_line() { sed -n 's/^Exec=//p' "$1"; }
    start_display
    beaconry=$(exec_line /etc/xdg/autostart/ostra-beaconry.desktop)
    imagra=$(exec_line /usr/share/applications/ostra-imagra.desktop)
    say "autostart Exec: $beaconry; Imagra's menu Exec: $imagra"

    ip netns exec "$OSTRA_TEST_HOST_NS" build/tools/ostra-scanner-sim --address "$scanner" \
        --sequence 17,19 >"$work/scanner.log" 2>&1 &
    pids+=($!)
    wait_for 10 grep -qs "listening on" "$work/scanner.log" || say "FAIL: the scanner did not start"
    announce "$scanner"

    as_user sh -c "$beaconry" >"$work/beaconry.log" 2>&1 &
    pids+=($!)
    beaconry_runs() { pgrep -u "$user" -x Beaconry >/dev/null; }
    check "Beaconry runs as $user" wait_for 15 beaconry_runs
    as_user sh -c "$imagra" >"$work/imagra.log" 2>&1 &
    imagra_pid=$!
    pids+=($imagra_pid)
    check "Imagra's window shows for $user" wait_for 20 window_shows
    window=$(xwininfo -name "Imagra Ostra" 2>/dev/null | awk '/Window id:/ {print $4}')
    say "before the click: AutoSave=$(sed -n 's/^AutoSave=//p' $folder/scanConfig.ini)"
    xdotool mousemove --window "$window" 24 457 click 1
    auto_save_on() { grep -q '^AutoSave=1' "$folder/scanConfig.ini"; }
    check "the Auto Save click is written to the configuration file" wait_for 10 auto_save_on
    say "after the click:  $(grep -A3 '^\[IMAHE\]' $folder/scanConfig.ini | tr '\n' ' ')"
    ls -l "$folder/scanConfig.ini" /etc/ostra/scanConfig.ini | sed 's/^/      /'
    check "the scanner's picture is saved by $user" wait_for 40 test -s "$folder/Pictures/scan.png"
    ls -la "$folder/Pictures" "$folder/LogFile" | sed 's/^/      /'
    listed=$(as_user scanimage -L 2>&1)
    say "      $listed"
    check "scanimage -L (as $user) lists the camera" test -n "$(grep ostra:camera <<<"$listed")"
    check "scanimage (as $user) takes the last saved picture" as_user scanimage -d ostra \
        --last-picture=yes --format=png -o "/home/$user/scan.png"
    say "      $(identify "/home/$user/scan.png" 2>&1)"
    close_imagra
    ((failures == 0))
    exit
fi

[[ $EUID -eq 0 ]] || { echo "run as root: it installs a package and adds a user" >&2; exit 1; }
if [[ ${1:-} != --in-copy ]]; then
    deb=$(realpath "${1:-$(ls -t build-package/ostra_*_amd64.deb 2>/dev/null | head -1)}")
    [[ -f "$deb" ]] || { echo "no package: bash scripts/package.sh first" >&2; exit 1; }
    exec scripts/throwaway-root.sh bash -c \
        'chroot "$root" bash -c "cd \"\$0\" && bash scripts/install-check.sh --in-copy \"\$1\"" "$0" "$1"' \
        "$PWD" "$deb"
fi
deb=$2
failures=0
step() { printf '\n== %s\n' "$*"; }

step "apt-get install ./$(basename "$deb")"
(cd "$(dirname "$deb")" && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./$(basename "$deb")") |
    sed -n '/^Unpacking ostra/,$p' || failures=$((failures + 1))
step "the shared folders"
ls -la /etc/ostra "$folder" "$folder/Pictures"

step "an ordinary user in the camera's group: $user"
id "$user" >/dev/null 2>&1 || useradd -m -s /bin/bash -G ostra "$user"
id "$user"

step "both programs as $user under Xvfb"
bash tests/support/run-in-test-net.sh bash "$0" --desktop || failures=$((failures + 1))

step "apt-get remove ostra"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q ostra | tail -2
dpkg -l ostra | tail -1
for gone in /usr/bin/Imagra /usr/bin/Beaconry /usr/lib/x86_64-linux-gnu/sane/libsane-ostra.so.1 \
    /usr/share/applications/ostra-imagra.desktop; do
    [[ -e "$gone" ]] && { echo "FAIL: $gone stayed"; failures=$((failures + 1)); }
done
echo "what stays (dpkg's list, then the folders):"
dpkg -L ostra 2>/dev/null | sed 's/^/  /'
find /etc/ostra "$folder" -maxdepth 1 | sed 's/^/  /'

step "apt-get purge ostra"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q ostra | tail -1
echo "what stays:"
find /etc/ostra /opt/Quorvane 2>/dev/null | sed 's/^/  /'
getent group ostra | sed 's/^/  group /'

((failures == 0)) && echo "install check passed" || { echo "$failures step(s) failed"; exit 1; }
